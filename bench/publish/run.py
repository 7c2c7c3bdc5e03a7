#!/usr/bin/env python3
"""Latency that publishing adds, per protocol, against the direct stream.

One mirrax_host (synthetic screen) serves every run in turn. Each run decodes the
stream in publish_receiver and reads the frame stamp the screen drew into every
picture, so the figure is the time from drawing to a decoded picture at the receiver:

  direct  mirrax_client stream -o - --format nut | publish_receiver --input -
  rtsp    mirrax_client stream -o rtsp://...  ->  publish_receiver (RTSP listen, TCP)
  srt     mirrax_client stream -o srt://...   ->  publish_receiver (SRT listener)
  rtmp    mirrax_client stream -o rtmp://...  ->  publish_receiver (RTMP listen)

Everything runs on 127.0.0.1. SRT's figure includes its receiver latency window
(120 ms by default, the libsrt setting both sides use unless told otherwise).

"arrival" is drawing to the arrival of the picture's packet at the receiver, before
decoding. Rounds alternate the outputs, so a busy moment of the machine does not fall
on one of them only.

  bench/publish/run.py [--build DIR] [--pictures N] [--rounds R] [--scale S] [--fps F]
"""

import argparse
import os
import re
import signal
import socket
import subprocess
import sys
import time


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for_line(stream, needle, timeout):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        line = stream.readline()
        if not line:
            return False
        if needle in line:
            return True
    return False


def stop(process, timeout=15):
    if process.poll() is None:
        process.send_signal(signal.SIGINT)
        try:
            process.wait(timeout)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()


def run_mode(build, server, mode, args):
    client = os.path.join(build, "bin", "mirrax_client")
    receiver = os.path.join(build, "bin", "publish_receiver")
    common = ["--pictures", str(args.pictures), "--skip", "30", "--timeout", "60"]
    if mode == "direct":
        sender = subprocess.Popen(
            [client, "--server", server, "stream", "-o", "-", "--format", "nut"],
            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        reader = subprocess.Popen([receiver, "--input", "-"] + common,
                                  stdin=sender.stdout, stdout=subprocess.PIPE, text=True)
        sender.stdout.close()
    else:
        port = free_port()
        url = {"rtsp": f"rtsp://127.0.0.1:{port}/live",
               "srt": f"srt://127.0.0.1:{port}",
               "rtmp": f"rtmp://127.0.0.1:{port}/live/key"}[mode]
        reader = subprocess.Popen([receiver, "--input", url] + common,
                                  stdout=subprocess.PIPE, text=True)
        # The client retries until the receiver listens.
        sender = subprocess.Popen([client, "--server", server, "stream", "-o", url],
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        out, _ = reader.communicate(timeout=90)
    except subprocess.TimeoutExpired:
        reader.kill()
        out, _ = reader.communicate()
    stop(sender)
    match = re.search(r" median_ms ([\d.]+) p90_ms ([\d.]+) max_ms ([\d.]+) "
                      r"arrival_median_ms ([\d.]+)", out or "")
    if not match:
        return None
    return tuple(float(v) for v in match.groups())


def median(values):
    values = sorted(values)
    middle = len(values) // 2
    return values[middle] if len(values) % 2 else (values[middle - 1] + values[middle]) / 2


def main():
    parser = argparse.ArgumentParser()
    here = os.path.dirname(os.path.abspath(__file__))
    parser.add_argument("--build", default=os.path.join(here, "..", "..", "build"))
    parser.add_argument("--pictures", type=int, default=300)
    parser.add_argument("--scale", default="2")
    parser.add_argument("--fps", default="60")
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()
    build = os.path.abspath(args.build)

    port = free_port()
    host = subprocess.Popen(
        [os.path.join(build, "bin", "mirrax_host"), "-p", str(port), "-scale", args.scale,
         "-frameRate", args.fps, "-bitRate", "4000000"],
        stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    try:
        if not wait_for_line(host.stdout, "Server Listening on port:", 20):
            print("the host did not start", file=sys.stderr)
            return 1
        server = f"127.0.0.1:{port}"
        modes = ["direct", "rtsp", "srt", "rtmp"]
        print(f"draw-to-decoded latency at the receiver, {args.pictures} pictures per run, "
              f"{args.rounds} rounds of {', '.join(modes)} in turn, synthetic screen "
              f"/{args.scale} at {args.fps} fps; figures are medians over the rounds")
        results = {mode: [] for mode in modes}
        for round_number in range(args.rounds):
            for mode in modes:
                result = run_mode(build, server, mode, args)
                if result is not None:
                    results[mode].append(result)
                shown = "failed" if result is None else \
                    "median %.1f p90 %.1f max %.1f arrival %.1f ms" % result
                print(f"  round {round_number + 1} {mode:6} {shown}", flush=True)
        print(f"{'output':8} {'median ms':>10} {'p90 ms':>8} {'max ms':>8} "
              f"{'arrival ms':>11} {'added ms':>9} {'x direct':>9}")
        direct = None
        for mode in modes:
            if not results[mode]:
                print(f"{mode:8} failed")
                continue
            center, p90, worst, arrival = (median([r[i] for r in results[mode]])
                                           for i in range(4))
            if mode == "direct":
                direct = center
            added = f"{center - direct:9.1f}" if direct else f"{'-':>9}"
            ratio = f"{center / direct:9.2f}" if direct else f"{'-':>9}"
            print(f"{mode:8} {center:10.1f} {p90:8.1f} {worst:8.1f} {arrival:11.1f} "
                  f"{added} {ratio}", flush=True)
    finally:
        stop(host, 20)
    return 0


if __name__ == "__main__":
    sys.exit(main())
