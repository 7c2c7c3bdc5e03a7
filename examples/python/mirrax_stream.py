#!/usr/bin/python3
"""Streams the screen from mirrax_host into a raw H.264 file, from Python.

The gRPC stubs are generated at start from the installed mirrax.proto with Debian's
python3-grpc-tools, into a temporary folder:

    /usr/bin/python3 examples/python/mirrax_stream.py --port 5000 --frames 60 -o screen.h264

mirrax.proto is taken from --proto FILE, else from PREFIX/share/mirrax/ for --prefix
PREFIX, /usr/local and /usr in that order. The example opens the stream (onStart),
writes every buffer (codec data and pictures, Annex B) to the file, asks for a key
frame (onRequestIDRFrame) once a third of the pictures have arrived, and after N
pictures ends the run with onEnd and reads the stream to its end, as every client
must: a client that just goes away stops the host's streaming until it restarts.
Exit status: 0 success, 1 failure, 2 bad arguments.
"""

import argparse
import importlib
import os
import signal
import sys
import tempfile
import threading

import grpc

# Bits of a buffer's "flags" payload entry.
FLAG_SYNC_FRAME = 2
FLAG_CODEC_DATA = 8

# How long the server may take to end the stream after onEnd before it is cancelled.
END_GRACE_SECONDS = 5.0
CALL_TIMEOUT_SECONDS = 5.0


def find_proto(args):
    if args.proto:
        return args.proto
    prefixes = ([args.prefix] if args.prefix else []) + ["/usr/local", "/usr"]
    for prefix in prefixes:
        path = os.path.join(prefix, "share", "mirrax", "mirrax.proto")
        if os.path.isfile(path):
            return path
    sys.exit("mirrax_stream: no mirrax.proto under %s; give --proto FILE" %
             ", ".join(p + "/share/mirrax" for p in prefixes))


def load_stubs(proto, out_dir):
    """Generates mirrax_pb2 and mirrax_pb2_grpc from `proto` and imports them."""
    from grpc_tools import protoc

    status = protoc.main([
        "protoc",
        "-I" + os.path.dirname(os.path.abspath(proto)),
        "--python_out=" + out_dir,
        "--grpc_python_out=" + out_dir,
        os.path.abspath(proto),
    ])
    if status != 0:
        sys.exit("mirrax_stream: protoc failed on %s (status %d)" % (proto, status))
    sys.path.insert(0, out_dir)
    name = os.path.splitext(os.path.basename(proto))[0]
    return importlib.import_module(name + "_pb2"), importlib.import_module(name + "_pb2_grpc")


def payload_int(message, key, default=0):
    value = message.payload.get(key)
    if value is None or value.WhichOneof("values") != "val_int":
        return default
    return value.val_int


class Interrupt:
    """Ctrl-C ends the run as reaching the picture count does (onEnd, then the end of
    the stream), at the next buffer that arrives."""

    def __init__(self):
        self.requested = False
        signal.signal(signal.SIGINT, self._on_signal)

    def _on_signal(self, signum, frame):
        self.requested = True


def stream(pb2, stub, frames, out, interrupt):
    """Writes `frames` pictures to `out`; returns a summary dict or raises RuntimeError."""
    replies = stub.onStart(pb2.Empty())
    summary = {"pictures": 0, "key_frames": 0, "key_frames_after_request": 0,
               "request_result": None, "end_result": None}
    request_at = max(1, frames // 3)
    grace = None  # cancels a stream that the server does not end after onEnd
    try:
        for reply in replies:
            if summary["end_result"] is not None:
                continue  # after onEnd: read the stream to its end, keep nothing
            data = reply.payload["data"].val_bytes if "data" in reply.payload else b""
            flags = payload_int(reply, "flags")
            out.write(data)
            if data and not flags & FLAG_CODEC_DATA:
                summary["pictures"] += 1
                if flags & FLAG_SYNC_FRAME:
                    summary["key_frames"] += 1
                    if summary["request_result"] == 0:
                        summary["key_frames_after_request"] += 1
                if summary["pictures"] == request_at:
                    answer = stub.onRequestIDRFrame(pb2.Empty(), timeout=CALL_TIMEOUT_SECONDS)
                    summary["request_result"] = answer.result
                    print("key frame requested after picture %d: result %d" %
                          (request_at, answer.result))
            if summary["pictures"] >= frames or interrupt.requested:
                answer = stub.onEnd(pb2.Empty(), timeout=CALL_TIMEOUT_SECONDS)
                summary["end_result"] = answer.result
                grace = threading.Timer(END_GRACE_SECONDS, replies.cancel)
                grace.name = "end-grace"
                grace.start()
    except grpc.RpcError as error:
        if grace is not None and error.code() == grpc.StatusCode.CANCELLED:
            raise RuntimeError("the server did not end the stream within %g s of onEnd" %
                               END_GRACE_SECONDS) from None
        raise
    finally:
        if grace is not None:
            grace.cancel()
            grace.join()
    if summary["end_result"] is None:
        raise RuntimeError("the server ended the stream after %d of %d pictures" %
                           (summary["pictures"], frames))
    return summary


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--host", default="127.0.0.1", help="the host's address")
    parser.add_argument("-p", "--port", type=int, default=5000)
    parser.add_argument("--frames", type=int, default=60, help="pictures to write")
    parser.add_argument("-o", "--output", required=True, help="the .h264 file to write")
    parser.add_argument("--proto", help="mirrax.proto (default: found under a prefix)")
    parser.add_argument("--prefix", help="install prefix holding share/mirrax/mirrax.proto")
    args = parser.parse_args()
    if args.frames < 1:
        parser.error("--frames must be 1 or more")

    proto = find_proto(args)
    with tempfile.TemporaryDirectory(prefix="mirrax_stubs_") as stubs_dir:
        pb2, pb2_grpc = load_stubs(proto, stubs_dir)
        target = "%s:%d" % (args.host, args.port)
        with grpc.insecure_channel(target) as channel:
            try:
                grpc.channel_ready_future(channel).result(timeout=10)
            except grpc.FutureTimeoutError:
                print("mirrax_stream: cannot reach mirrax_host at %s" % target, file=sys.stderr)
                return 1
            stub = pb2_grpc.MirraxServiceStub(channel)
            try:
                with open(args.output, "wb") as out:
                    summary = stream(pb2, stub, args.frames, out, Interrupt())
            except (grpc.RpcError, RuntimeError, OSError) as error:
                print("mirrax_stream: %s" % error, file=sys.stderr)
                return 1
    print("wrote %d pictures (%d key frames, %d after the request) to %s; onEnd answered %s" %
          (summary["pictures"], summary["key_frames"], summary["key_frames_after_request"],
           args.output, summary["end_result"]))
    return 0


if __name__ == "__main__":
    sys.exit(main())
