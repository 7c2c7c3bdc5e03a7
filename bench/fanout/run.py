#!/usr/bin/env python3
"""Fan-out cost: nginx's RTMP module against the client's own view relay.

One mirrax_host (synthetic screen) feeds, in turn:

  nginx   mirrax_client stream -o rtmp://.../live/bench -> nginx (deploy/nginx-rtmp.conf)
          <- N RTMP readers (fanout_readers: libavformat, a thread each, reading and
          discarding)
  relay   mirrax_client view <- N WebSocket viewers (raw sockets that read and
          discard; the 51st connection would pass the relay's 32 per address, so
          they come from 127.0.0.2, 127.0.0.3, ...)

for N = 1, 10 and 50 readers, the two servers alternating at each N. Each run waits
until the readers receive, then measures a window: the CPU time of the host, of nginx
(master and worker), of the publishing client and of the relay, from the run time of
their threads (/proc/PID/task/*/schedstat, nanoseconds), divided by the pictures one
reader received in the window, and the readers still connected at its end (from
/proc/net/tcp). The host's CPU per frame must not grow with N on either side: the
fan-out is the server's work. The relay's process also receives the host's stream,
which on the nginx side the publishing client does: "nginx + publisher" against
"relay" compares like with like. A measurement, not a test.

  bench/fanout/run.py [--build DIR] [--counts 1,10,50] [--rounds R] [--seconds S]
                      [--warmup S] [--scale S] [--fps F]

Prints every run, then a Markdown table of the medians over the rounds.

Needs /usr/sbin/nginx with Debian's libnginx-mod-rtmp (scripts/bootstrap installs it).
"""

import argparse
import base64
import os
import re
import selectors
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time

ROOT = os.path.abspath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
NGINX = "/usr/sbin/nginx"
RTMP_MODULE = "/usr/lib/nginx/modules/ngx_rtmp_module.so"


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for_line(stream, needle, timeout):
    """The first line holding `needle` (None at the end of the stream or the deadline:
    the deadline is checked between lines)."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        line = stream.readline()
        if not line:
            return None
        if needle in line:
            return line
    return None


def stop(process, sig=signal.SIGINT, timeout=15):
    if process.poll() is None:
        process.send_signal(sig)
        try:
            process.wait(timeout)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()


def cpu_seconds(pids):
    """Run time of every thread of the processes, from schedstat (ns)."""
    total = 0
    for pid in pids:
        try:
            tasks = os.listdir(f"/proc/{pid}/task")
        except FileNotFoundError:
            continue
        for task in tasks:
            try:
                with open(f"/proc/{pid}/task/{task}/schedstat") as f:
                    total += int(f.read().split()[0])
            except (FileNotFoundError, ProcessLookupError):
                pass  # the thread ended between the listing and the read
    return total / 1e9


def with_children(pid):
    """The process and its children (nginx's master and its worker)."""
    pids = [pid]
    try:
        with open(f"/proc/{pid}/task/{pid}/children") as f:
            pids += [int(p) for p in f.read().split()]
    except FileNotFoundError:
        pass
    return pids


def established(port):
    """Established TCP connections whose local end is 127.0.0.1:port (the server's)."""
    count = 0
    with open("/proc/net/tcp") as f:
        for line in f.readlines()[1:]:
            local, state = line.split()[1], line.split()[3]
            count += local.endswith(f":{port:04X}") and state == "01"
    return count


class Counter:
    """Pictures counted by a reader thread; the window reads it twice."""

    def __init__(self):
        self.value = 0
        self.changed = threading.Condition()

    def set(self, value):
        with self.changed:
            self.value = value
            self.changed.notify_all()

    def wait_for(self, value, timeout):
        with self.changed:
            return self.changed.wait_for(lambda: self.value >= value, timeout)


class RtmpReaders:
    """fanout_readers: N readers on threads of one process, reading and discarding."""

    def __init__(self, build, url, count):
        self.counter = Counter()
        self.opened = 0
        self.process = subprocess.Popen(
            [os.path.join(build, "bin", "fanout_readers"), url, str(count)],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        self.thread = threading.Thread(target=self._progress, name="rtmp-progress")
        self.thread.start()

    def _progress(self):
        for line in self.process.stdout:
            match = re.match(r"pictures (\d+) opened (\d+)", line)
            if match:
                self.opened = int(match.group(2))
                self.counter.set(int(match.group(1)))

    def close(self):
        self.process.stdin.close()  # the readers end at the end of their input
        try:
            self.process.wait(15)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        self.thread.join()


class WebSocketViewers:
    """N WebSocket viewers on one selector thread: all read and discard; the first
    parses its frames and counts the pictures (binary messages that are not codec
    data alone)."""

    def __init__(self, port, count):
        self.counter = Counter()
        self.selector = selectors.DefaultSelector()
        self.sockets = []
        self.running = True
        self.first = bytearray()  # what the first viewer received after its upgrade
        for i in range(count):
            s = socket.create_connection(("127.0.0.1", port), timeout=10,
                                         source_address=(f"127.0.0.{2 + i // 25}", 0))
            key = base64.b64encode(os.urandom(16)).decode()
            s.sendall((f"GET /ws HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\n"
                       "Connection: Upgrade\r\nUpgrade: websocket\r\n"
                       f"Sec-WebSocket-Version: 13\r\nSec-WebSocket-Key: {key}\r\n\r\n").encode())
            head = b""
            while b"\r\n\r\n" not in head:
                chunk = s.recv(4096)
                if not chunk:
                    raise RuntimeError("the relay closed the upgrade")
                head += chunk
            if not head.startswith(b"HTTP/1.1 101"):
                raise RuntimeError(f"upgrade refused: {head[:80]!r}")
            if i == 0:
                self.first += head.split(b"\r\n\r\n", 1)[1]
            s.setblocking(False)
            self.sockets.append(s)
            self.selector.register(s, selectors.EVENT_READ, i)
        self.pictures = 0
        self.thread = threading.Thread(target=self._read, name="ws-viewers")
        self.thread.start()

    def _parse_first(self):
        buf = self.first
        while len(buf) >= 2:
            size, at = buf[1] & 0x7F, 2
            if size == 126:
                if len(buf) < 4:
                    return
                size, at = int.from_bytes(buf[2:4], "big"), 4
            elif size == 127:
                if len(buf) < 10:
                    return
                size, at = int.from_bytes(buf[2:10], "big"), 10
            if len(buf) < at + size:
                return
            if buf[0] & 0x0F == 2 and size >= 8:
                flags = int.from_bytes(buf[at + 4:at + 8], "little")
                if not flags & 8:
                    self.pictures += 1
            del buf[:at + size]
        self.counter.set(self.pictures)

    def _read(self):
        deadline = time.monotonic() + 600  # bounded even when close() never came
        while self.running and time.monotonic() < deadline:
            for key, _ in self.selector.select(timeout=0.2):
                try:
                    data = key.fileobj.recv(1 << 20)
                except BlockingIOError:
                    continue
                if key.data == 0 and data:
                    self.first += data
                    self._parse_first()

    def close(self):
        self.running = False
        self.thread.join()
        for s in self.sockets:
            s.close()


def fail(why):
    print(f"  {why}", file=sys.stderr, flush=True)
    return None


def run_once(args, build, host_target, prefix_conf, mode, count, host_pid):
    client = os.path.join(build, "bin", "mirrax_client")
    nginx = sender = readers = None
    try:
        if mode == "nginx":
            prefix, conf, rtmp_port = prefix_conf
            nginx = subprocess.Popen([NGINX, "-p", prefix + "/", "-c", conf, "-g", "daemon off;"],
                                     stderr=subprocess.DEVNULL)
            url = f"rtmp://127.0.0.1:{rtmp_port}/live/bench"
            sender = subprocess.Popen([client, "--server", host_target, "stream", "-o", url],
                                      stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
            if not wait_for_line(sender.stderr, "publishing to", 20):
                return fail("the client did not publish to nginx")
            readers = RtmpReaders(build, url, count)
            servers = with_children(nginx.pid)
            server_port = rtmp_port
        else:
            port = free_port()
            sender = subprocess.Popen([client, "--server", host_target, "view", "--listen",
                                       f"127.0.0.1:{port}"],
                                      stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
            if not wait_for_line(sender.stdout, "view: watch the screen at", 20):
                return fail("the view relay did not start")
            readers = WebSocketViewers(port, count)
            servers = [sender.pid]
            server_port = port
        # Every reader joined at a key frame by the end of the warm-up.
        if not readers.counter.wait_for(1, 20):
            return fail("the first reader received nothing in 20 s")
        time.sleep(args.warmup)  # a measuring window, not a synchronisation
        server_before = cpu_seconds(servers)
        sender_before = cpu_seconds([sender.pid])
        host_before = cpu_seconds([host_pid])
        pictures_before = readers.counter.value
        time.sleep(args.seconds)
        pictures = readers.counter.value - pictures_before
        # The publisher's connection is nginx's too.
        connected = established(server_port) - (mode == "nginx")
        if pictures <= 0:
            return fail("the first reader received nothing in the window")
        return {
            "fps": pictures / args.seconds,
            "host": (cpu_seconds([host_pid]) - host_before) * 1e3 / pictures,
            "server": (cpu_seconds(servers) - server_before) * 1e3 / pictures,
            "sender": (cpu_seconds([sender.pid]) - sender_before) * 1e3 / pictures,
            "connected": connected,
        }
    finally:
        if readers:
            readers.close()
        if sender:
            stop(sender)
        if nginx:
            stop(nginx, signal.SIGTERM)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default=os.path.join(ROOT, "build"))
    parser.add_argument("--counts", default="1,10,50")
    parser.add_argument("--seconds", type=float, default=8)
    parser.add_argument("--warmup", type=float, default=3)
    parser.add_argument("--rounds", type=int, default=2)
    parser.add_argument("--scale", default="2")
    parser.add_argument("--fps", default="30")
    args = parser.parse_args()
    build = os.path.abspath(args.build)
    counts = [int(c) for c in args.counts.split(",")]
    if not (os.path.exists(NGINX) and os.path.exists(RTMP_MODULE)):
        print(f"needs {NGINX} and {RTMP_MODULE} (scripts/bootstrap installs them)",
              file=sys.stderr)
        return 1

    prefix = tempfile.mkdtemp(prefix="mirrax_fanout_")
    rtmp_port, http_port = free_port(), free_port()
    with open(os.path.join(ROOT, "deploy", "nginx-rtmp.conf")) as f:
        text = f.read()
    text = text.replace("@PREFIX@", prefix).replace("@RTMP_PORT@", str(rtmp_port))
    conf = os.path.join(prefix, "nginx.conf")
    with open(conf, "w") as f:
        f.write(text.replace("@HTTP_PORT@", str(http_port)))

    port = free_port()
    host = subprocess.Popen(
        [os.path.join(build, "bin", "mirrax_host"), "-p", str(port), "-scale", args.scale,
         "-frameRate", args.fps, "-bitRate", "4000000", "-iFrameInterval", "1000"],
        stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    try:
        if not wait_for_line(host.stdout, "Server Listening on port:", 20):
            print("the host did not start", file=sys.stderr)
            return 1
        print(f"fan-out: synthetic screen /{args.scale} at {args.fps} fps, {args.seconds:g} s "
              f"windows after {args.warmup:g} s, {args.rounds} rounds; CPU from schedstat, ms per "
              f"picture received by one reader; nginx and relay alternate at each reader count", flush=True)
        runs = {(mode, count): [] for mode in ("nginx", "relay") for count in counts}
        for round_number in range(args.rounds):
            for count in counts:
                for mode in ("nginx", "relay"):
                    result = run_once(args, build, f"127.0.0.1:{port}",
                                      (prefix, conf, rtmp_port), mode, count, host.pid)
                    if result:
                        runs[(mode, count)].append(result)
                    shown = "failed" if result is None else (
                        "fps %(fps).1f  host %(host).3f  server %(server).3f" % result +
                        ("  publisher %(sender).3f" % result if mode == "nginx" else "") +
                        " ms/picture, %(connected)d readers connected at the end" % result)
                    print(f"  round {round_number + 1} {mode:5} {count:3} readers: {shown}",
                          flush=True)
        # The median of the rounds, figure by figure.
        results = {key: {field: statistics.median([r[field] for r in values]) for field in values[0]}
                   for key, values in runs.items() if values}

        print()
        print("| readers | host ms/frame, nginx / relay | host ÷ host at 1 reader, nginx / relay "
              "| nginx ms/frame | publisher ms/frame | relay ms/frame "
              "| nginx µs/frame per reader | relay µs/frame per reader "
              "| nginx ÷ relay | nginx + publisher ÷ relay |")
        print("|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|")
        first = {mode: results.get((mode, counts[0])) for mode in ("nginx", "relay")}
        for count in counts:
            n, r = results.get(("nginx", count)), results.get(("relay", count))
            if not n or not r or not first["nginx"] or not first["relay"]:
                print(f"| {count} | failed | | | | | | | | |")
                continue
            print(f"| {count} | {n['host']:.3f} / {r['host']:.3f} "
                  f"| {n['host'] / first['nginx']['host']:.2f} / "
                  f"{r['host'] / first['relay']['host']:.2f} "
                  f"| {n['server']:.3f} | {n['sender']:.3f} | {r['server']:.3f} "
                  f"| {n['server'] * 1e3 / count:.1f} | {r['server'] * 1e3 / count:.1f} "
                  f"| {n['server'] / r['server']:.2f} "
                  f"| {(n['server'] + n['sender']) / r['server']:.2f} |", flush=True)
        # What each further reader adds, from the first count to the last.
        low, high = counts[0], counts[-1]
        if high > low and all(results.get((m, c)) for m in ("nginx", "relay") for c in (low, high)):
            added = {m: (results[(m, high)]["server"] - results[(m, low)]["server"]) * 1e3 /
                     (high - low) for m in ("nginx", "relay")}
            print(f"\neach further reader, {low} to {high}: nginx {added['nginx']:.1f} µs/frame, "
                  f"relay {added['relay']:.1f} µs/frame, nginx ÷ relay "
                  f"{added['nginx'] / added['relay']:.2f}")
    finally:
        stop(host, signal.SIGTERM, 20)
        shutil.rmtree(prefix, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
