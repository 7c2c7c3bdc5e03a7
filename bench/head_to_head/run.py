#!/usr/bin/env python3
"""Head-to-head benchmark: the project's host and client against ffmpeg (x11grab +
libx264) on the same Xvfb screen, with a bare capture+encode loop as the CPU floor.

For each screen size and content, an Xvfb server and the animator (moving content at
60 fps, every frame stamped with its sequence number) run for the whole block; the
senders then take turns, --rounds times each:

  project  mirrax_host --display x11::N ... + mirrax_client stream --format nut | h2h_receiver
  ffmpeg   ffmpeg -f x11grab ... -f nut tcp://127.0.0.1:PORT -> h2h_receiver (listening)
  bare     h2h_bare_loop (capture, convert, encode in one thread; no transport)

The receiver decodes every picture as it arrives and reads its stamp; the animator logs
when each stamp was on the screen. Steady-state figures come from each run's window
[start + 1 s, start + S - 0.3 s]; start-up (time to the first picture, latency of the
first ten pictures) is reported separately. Everything is printed as Markdown.

Only the Python standard library is used. Every child process is stopped on any exit,
Ctrl-C included, and every wait is bounded.
"""

import argparse
import json
import os
import re
import select
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]
PROJECT_BITRATE = 31457280  # -bitRate given to the host, bit/s
FFMPEG_BITRATE = 30_000_000  # ffmpeg's -b:v 30M, bit/s
FPS = 60
SKIP_S = 1.0  # start of the steady-state window after the sender starts
TAIL_S = 0.3  # the window ends this long before the sender's planned end
DROP_MARGIN_S = 0.2  # frames shown this close to the window's end are not judged
RATE_WINDOW_S = 5.0
SMOKE_SIZE = (540, 1170)
SMOKE_SECONDS = 3.0
SENDERS = ("project", "ffmpeg", "bare")
CLK_TCK = os.sysconf("SC_CLK_TCK")
# The display side (Xvfb and the animator) is the measurement's reference clock: it
# runs at a higher priority when the system allows it, so the senders' load does not
# make it miss frames. Both senders read the same server, so neither gains from it.
DISPLAY_NICE = -10


class BenchError(Exception):
    """A component failed; the message is the one line the user sees."""


class Interrupted(Exception):
    pass


def now_us():
    # time.monotonic is CLOCK_MONOTONIC on Linux: the clock of every log line.
    return time.monotonic_ns() // 1000


def sleep_until_us(target):
    delay = (target - now_us()) / 1e6
    if delay > 0:
        time.sleep(delay)


# ---------------------------------------------------------------- child processes


class LineWatcher:
    """Collects the lines of a child's pipe on a thread of its own."""

    def __init__(self, stream, name):
        self._stream = stream
        self._lines = []
        self._closed = False
        self._cond = threading.Condition()
        self._thread = threading.Thread(target=self._run, name="watch-" + name)
        self._thread.start()

    def _run(self):
        for raw in self._stream:
            with self._cond:
                self._lines.append(raw.decode(errors="replace").rstrip("\n"))
                self._cond.notify_all()
        with self._cond:
            self._closed = True
            self._cond.notify_all()

    def wait_for(self, pattern, timeout):
        """The first line matching `pattern` within `timeout` seconds, else None."""
        regex = re.compile(pattern)

        def found():
            return next((line for line in self._lines if regex.search(line)), None)

        with self._cond:
            self._cond.wait_for(lambda: self._closed or found() is not None, timeout)
            return found()

    def lines(self):
        with self._cond:
            return list(self._lines)

    def join(self, timeout=5):
        self._thread.join(timeout)


class Child:
    def __init__(self, name, popen, stop_signal, rank):
        self.name = name
        self.popen = popen
        self.stop_signal = stop_signal
        self.rank = rank
        self.watchers = []


class Children:
    """Every process the driver starts, each in a session of its own (a Ctrl-C on the
    terminal reaches only the driver, which stops them in order: clients first, so the
    host sees each stream ended, then senders and receivers, animator, Xvfb)."""

    CLIENT, SENDER, RECEIVER, ANIMATOR, SERVER = range(5)

    def __init__(self):
        self._live = []

    def spawn(self, name, argv, rank, stop_signal=signal.SIGTERM, **kwargs):
        try:
            popen = subprocess.Popen(argv, start_new_session=True, **kwargs)
        except OSError as e:
            raise BenchError(f"{name} could not start: {e}") from e
        child = Child(name, popen, stop_signal, rank)
        self._live.append(child)
        return child

    def watch(self, child, stream):
        watcher = LineWatcher(stream, child.name)
        child.watchers.append(watcher)
        return watcher

    def wait(self, child, timeout):
        """Waits for a child that ends by itself; its exit status, or None."""
        try:
            return child.popen.wait(timeout)
        except subprocess.TimeoutExpired:
            return None

    def stop(self, child, grace=10.0):
        """Sends the child its stop signal and waits; a process that ignores it is
        killed, except a client: the host is stopped first, which ends its call."""
        if child.popen.poll() is None:
            try:
                child.popen.send_signal(child.stop_signal)
            except ProcessLookupError:
                pass
            if self.wait(child, grace) is None and child.rank != Children.CLIENT:
                child.popen.kill()
                self.wait(child, 5)
        if child.popen.poll() is not None:
            for w in child.watchers:
                w.join()
            if child in self._live:
                self._live.remove(child)
        return child.popen.returncode

    def stop_all(self):
        for rank in range(Children.SERVER + 1):
            for child in [c for c in self._live if c.rank == rank]:
                self.stop(child, grace=5.0)
        # A client that outlived its grace time had its host stopped since; it ends now.
        for child in list(self._live):
            if child.popen.poll() is None:
                child.popen.kill()
            self.wait(child, 5)
            self._live.remove(child)


# ---------------------------------------------------------------- measurements


def read_cpu_ticks(pid):
    """utime + stime of a process (every thread), in clock ticks; None once gone."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return int(fields[11]) + int(fields[12])
    except (OSError, IndexError, ValueError):
        return None


def read_machine_ticks():
    with open("/proc/stat") as f:
        values = [int(v) for v in f.readline().split()[1:]]
    idle = values[3] + (values[4] if len(values) > 4 else 0)
    return sum(values), idle


class Sampler:
    """CPU of the benchmark's processes (the sender, Xvfb, and the animator, receiver and
    client) and of the whole machine at the window's edges; what the machine spent
    beyond the benchmark's processes is other load."""

    def __init__(self, pids):
        self.pids = pids  # name -> pid; "sender" and "xvfb" are reported by name
        self.start = None
        self.end = None

    def take(self):
        sample = {name: read_cpu_ticks(pid) for name, pid in self.pids.items()}
        sample["machine"] = read_machine_ticks()
        sample["t"] = now_us()
        return sample

    def result(self):
        if not self.start or not self.end:
            return {}
        seconds = (self.end["t"] - self.start["t"]) / 1e6
        if seconds <= 0:
            return {}
        out = {}
        ours = 0.0
        for name in self.pids:
            a, b = self.start[name], self.end[name]
            if a is None or b is None:
                continue
            ours += (b - a) / CLK_TCK
            if name in ("sender", "xvfb"):
                out[name + "_cpu_s"] = (b - a) / CLK_TCK
                out[name + "_cpu_pct"] = 100.0 * (b - a) / CLK_TCK / seconds
        (total0, idle0), (total1, idle1) = self.start["machine"], self.end["machine"]
        if total1 > total0:
            busy = 1 - (idle1 - idle0) / (total1 - total0)
            out["machine_busy_pct"] = 100.0 * busy
            # /proc/stat counts every core: its busy share of all cores, in cores.
            busy_cores = busy * (os.cpu_count() or 1)
            out["other_cpu_pct"] = max(0.0, 100.0 * (busy_cores - ours / seconds))
        return out


def read_rows(path, columns):
    """Numeric rows of a log, '#' lines and an unfinished last line left out."""
    rows = []
    try:
        text = Path(path).read_text()
    except OSError:
        return rows
    for line in text.split("\n")[:-1]:
        if not line or line.startswith("#"):
            continue
        parts = line.split()
        if len(parts) >= columns:
            rows.append([int(p) for p in parts[:columns]])
    return rows


def percentile(values, p):
    if not values:
        return None
    ordered = sorted(values)
    k = min(len(ordered) - 1, max(0, int(round(p * (len(ordered) - 1)))))
    return ordered[k]


def analyse(shown, pictures, t_req, seconds, requested_bitrate, decoded_index):
    """Figures of one run. `shown`: sequence -> shown time; `pictures`: rows whose
    sequence is column 0, arrival column 1, decoded (or encoded) column
    `decoded_index`, bytes column 3."""
    ws = t_req + int(SKIP_S * 1e6)
    we = t_req + int((seconds - TAIL_S) * 1e6)
    window_s = (we - ws) / 1e6
    seen = set()
    distinct = duplicates = unstamped = 0
    latencies = []
    arrival_latencies = []
    in_window = []
    for row in pictures:
        seq, arrival, done, size = row[0], row[1], row[decoded_index], row[3]
        inside = ws <= done < we
        if inside:
            in_window.append((done, size))
        if seq < 0:
            unstamped += inside
            continue
        if seq in seen:
            duplicates += inside
            continue
        seen.add(seq)
        if inside:
            distinct += 1
            if seq in shown:
                latencies.append((done - shown[seq]) / 1000.0)
                arrival_latencies.append((arrival - shown[seq]) / 1000.0)
    judged = [s for s, t in shown.items() if ws <= t < we - int(DROP_MARGIN_S * 1e6)]
    drops = sum(1 for s in judged if s not in seen)
    shown_in_window = sorted(s for s, t in shown.items() if ws <= t < we)
    missed = sum(b - a - 1 for a, b in zip(shown_in_window, shown_in_window[1:]))
    total_bytes = sum(size for _, size in in_window)
    rates = []
    step = int(0.5e6)
    start = ws
    while start + int(RATE_WINDOW_S * 1e6) <= we:
        end = start + int(RATE_WINDOW_S * 1e6)
        bits = 8 * sum(size for t, size in in_window if start <= t < end)
        rates.append(bits / RATE_WINDOW_S / 1e6)
        start += step
    first10 = []
    for row in pictures[:10]:
        seq, done = row[0], row[decoded_index]
        first10.append((done - shown[seq]) / 1000.0 if seq in shown else None)
    first = pictures[0] if pictures else None
    return {
        "window_s": window_s,
        "pictures": len(in_window),
        "distinct_fps": distinct / window_s if window_s > 0 else None,
        "duplicates": duplicates,
        "unstamped": unstamped,
        "drops": drops,
        "judged": len(judged),
        "animator_missed": missed,
        "bytes_per_frame": total_bytes / len(in_window) if in_window else None,
        "mbit_s": 8 * total_bytes / window_s / 1e6 if window_s > 0 else None,
        "mbit_s_5s_max": max(rates) if rates else None,
        "mbit_s_5s_min": min(rates) if rates else None,
        "requested_mbit_s": requested_bitrate / 1e6,
        "latency_p50": percentile(latencies, 0.5),
        "latency_p99": percentile(latencies, 0.99),
        "arrival_p50": percentile(arrival_latencies, 0.5),
        "first_arrival_ms": (first[1] - t_req) / 1000.0 if first else None,
        "first_picture_ms": (first[decoded_index] - t_req) / 1000.0 if first else None,
        "first10": first10,
    }


# ---------------------------------------------------------------- the bench


class Bench:
    def __init__(self, args, children, workdir):
        self.args = args
        self.children = children
        self.workdir = Path(workdir)
        build = Path(args.build)
        self.bin = build / "bin"
        self.ffmpeg = args.ffmpeg
        for name in ("mirrax_host", "mirrax_client", "h2h_receiver", "h2h_animator",
                     "h2h_bare_loop"):
            if not (self.bin / name).exists():
                raise BenchError(f"{self.bin / name} is missing: build it first "
                                 f"(ninja -C {build} {name})")
        self.xvfb = None
        self.display = None
        self.animator = None
        self.animator_log = None
        self.counter = 0
        self.display_nice = None  # the niceness the display side got, None: unchanged

    def path(self, stem):
        self.counter += 1
        return self.workdir / f"{self.counter:03d}-{stem}"

    def raise_priority(self, child):
        try:
            os.setpriority(os.PRIO_PROCESS, child.popen.pid, DISPLAY_NICE)
            self.display_nice = DISPLAY_NICE
        except OSError:
            self.display_nice = None

    def tail(self, path, lines=3):
        try:
            text = Path(path).read_text(errors="replace").strip().splitlines()
        except OSError:
            return ""
        return " | ".join(text[-lines:])

    # -- the screen

    def start_screen(self, width, height, content):
        first = 100 + os.getpid() % 700
        for n in range(first, first + 40):
            if Path(f"/tmp/.X{n}-lock").exists() or Path(f"/tmp/.X11-unix/X{n}").exists():
                continue
            read_fd, write_fd = os.pipe()
            log = self.path(f"xvfb-{n}.log")
            with open(log, "w") as err:
                child = self.children.spawn(
                    "Xvfb", ["Xvfb", f":{n}", "-displayfd", str(write_fd), "-screen", "0",
                             f"{width}x{height}x24", "-nolisten", "tcp", "-noreset"],
                    Children.SERVER, pass_fds=(write_fd,), stdin=subprocess.DEVNULL,
                    stdout=subprocess.DEVNULL, stderr=err)
            os.close(write_fd)
            # Xvfb writes its display number and then a newline once it accepts
            # connections; it dies if the pipe closes before the newline is written.
            answer = b""
            deadline = time.monotonic() + 15
            while b"\n" not in answer and time.monotonic() < deadline:
                ready, _, _ = select.select([read_fd], [], [], deadline - time.monotonic())
                chunk = os.read(read_fd, 64) if ready else b""
                if not chunk:
                    break
                answer += chunk
            os.close(read_fd)
            if b"\n" in answer:
                self.raise_priority(child)
                self.xvfb = child
                self.display = f":{n}"
                break
            self.children.stop(child)  # display taken meanwhile, or no Xvfb: next
        else:
            raise BenchError(f"Xvfb did not start ({self.tail(log)})")

        self.animator_log = self.path(f"animator-{content}.log")
        err = self.path("animator.err")
        with open(err, "w") as errf:
            self.animator = self.children.spawn(
                "animator",
                [str(self.bin / "h2h_animator"), "--display", self.display, "--content",
                 content, "--log", str(self.animator_log), "--fps", str(FPS)],
                Children.ANIMATOR, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                stderr=errf)
        self.animator_err = err
        if self.display_nice is not None:
            self.raise_priority(self.animator)
        watcher = self.children.watch(self.animator, self.animator.popen.stdout)
        # Precomputing the frames takes a few seconds at phone size.
        if watcher.wait_for(r"^ready ", 300) is None:
            raise BenchError(f"the animator did not start ({self.tail(err)})")

    def stop_screen(self):
        summary = ""
        if self.animator:
            self.children.stop(self.animator)
            summary = self.tail(self.animator_err, 1)
            self.animator = None
        if self.xvfb:
            self.children.stop(self.xvfb)
            self.xvfb = None
        return summary

    def shown(self):
        if self.animator.popen.poll() is not None:
            raise BenchError(f"the animator ended early ({self.tail(self.animator_err)})")
        return {row[0]: row[2] for row in read_rows(self.animator_log, 3)}

    def sample_window(self, t_req, seconds, sender, *helpers):
        pids = {"sender": sender.popen.pid, "xvfb": self.xvfb.popen.pid,
                "animator": self.animator.popen.pid}
        for helper in helpers:
            pids[helper.name] = helper.popen.pid
        sampler = Sampler(pids)
        sleep_until_us(t_req + int(SKIP_S * 1e6))
        sampler.start = sampler.take()
        sleep_until_us(t_req + int((seconds - TAIL_S) * 1e6))
        sampler.end = sampler.take()
        return sampler.result()

    # -- the senders

    def run_project(self, width, height, seconds):
        for _ in range(3):
            result = self._try_project(seconds)
            if result is not None:
                return result
        raise BenchError("mirrax_host could not listen on a free port three times")

    def _try_project(self, seconds):
        port = free_port()
        host_log = self.path("host.log")
        host_err = self.path("host.err")
        with open(host_err, "w") as errf:
            host = self.children.spawn(
                "mirrax_host",
                [str(self.bin / "mirrax_host"), "--log", str(host_log), "--display",
                 "x11:" + self.display, "-p", str(port), "-frameRate", str(FPS), "-bitRate",
                 str(PROJECT_BITRATE)],
                Children.SENDER, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                stderr=errf)
        out = self.children.watch(host, host.popen.stdout)
        if out.wait_for(r"Server Listening on port", 30) is None:
            status = self.children.stop(host)
            if status == 1:
                return None  # the port was taken meanwhile
            raise BenchError(f"mirrax_host did not listen ({self.tail(host_log)})")
        try:
            recv_log = self.path("project-receiver.log")
            client_err = self.path("client.err")
            recv_err = self.path("project-receiver.err")
            t_req = now_us()
            with open(client_err, "w") as cerr, open(recv_err, "w") as rerr:
                client = self.children.spawn(
                    "mirrax_client",
                    [str(self.bin / "mirrax_client"), "-p", str(port), "stream", "-o", "-",
                     "--format", "nut", "--seconds", str(seconds), "--json"],
                    Children.CLIENT, stop_signal=signal.SIGINT, stdin=subprocess.DEVNULL,
                    stdout=subprocess.PIPE, stderr=cerr)
                receiver = self.children.spawn(
                    "h2h_receiver",
                    [str(self.bin / "h2h_receiver"), "--stdin", "--format", "nut", "--log",
                     str(recv_log)],
                    Children.RECEIVER, stdin=client.popen.stdout, stdout=subprocess.DEVNULL,
                    stderr=rerr)
            client.popen.stdout.close()  # the receiver holds the pipe now
            cpu = self.sample_window(t_req, seconds, host, client, receiver)
            client_status = self.children.wait(client, seconds + 20)
            if client_status is None:
                self.children.stop(client)
                raise BenchError(f"mirrax_client did not end ({self.tail(client_err)})")
            receiver_status = self.children.wait(receiver, 20)
            self.children.stop(receiver)
            if client_status != 0:
                raise BenchError(f"mirrax_client exited {client_status} "
                                 f"({self.tail(client_err)})")
            if receiver_status != 0:
                raise BenchError(f"the receiver of the project's stream exited "
                                 f"{receiver_status} ({self.tail(recv_err)})")
        finally:
            host_status = self.children.stop(host)
        if host_status != 0:
            raise BenchError(f"mirrax_host exited {host_status} ({self.tail(host_log)})")
        figures = analyse(self.shown(), read_rows(recv_log, 4), t_req, seconds,
                          PROJECT_BITRATE, 2)
        figures.update(cpu)
        summary = json_line(client_err)
        if summary:
            figures["send_to_arrival_p50"] = summary.get("latency_median_ms")
        figures["surface_drops"] = surface_drops(host_log)
        return figures

    def run_ffmpeg(self, width, height, seconds):
        recv_log = self.path("ffmpeg-receiver.log")
        recv_err = self.path("ffmpeg-receiver.err")
        ffmpeg_err = self.path("ffmpeg.err")
        with open(recv_err, "w") as rerr:
            receiver = self.children.spawn(
                "h2h_receiver",
                [str(self.bin / "h2h_receiver"), "--listen", "0", "--format", "nut", "--log",
                 str(recv_log), "--accept-timeout", "20"],
                Children.RECEIVER, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                stderr=rerr)
        line = self.children.watch(receiver, receiver.popen.stdout).wait_for(r"^listening ", 10)
        if line is None:
            self.children.stop(receiver)
            raise BenchError(f"the receiver did not listen ({self.tail(recv_err)})")
        port = int(line.split()[1])
        t_req = now_us()
        with open(ffmpeg_err, "w") as ferr:
            # -draw_mouse 0: the project does not paint the pointer either.
            # -flush_packets 1: each picture leaves as soon as it is muxed.
            ffmpeg = self.children.spawn(
                "ffmpeg",
                [self.ffmpeg, "-hide_banner", "-nostdin", "-loglevel", "warning", "-f",
                 "x11grab", "-draw_mouse", "0", "-framerate", str(FPS), "-video_size",
                 f"{width}x{height}", "-i", self.display, "-c:v", "libx264", "-preset",
                 "ultrafast", "-tune", "zerolatency", "-b:v", "30M", "-maxrate", "30M",
                 "-bufsize", "1M", "-t", str(seconds), "-flush_packets", "1", "-f", "nut",
                 f"tcp://127.0.0.1:{port}"],
                Children.SENDER, stop_signal=signal.SIGINT, stdin=subprocess.DEVNULL,
                stdout=subprocess.DEVNULL, stderr=ferr)
        try:
            cpu = self.sample_window(t_req, seconds, ffmpeg, receiver)
            ffmpeg_status = self.children.wait(ffmpeg, seconds + 20)
            if ffmpeg_status is None:
                raise BenchError(f"ffmpeg did not end ({self.tail(ffmpeg_err)})")
            receiver_status = self.children.wait(receiver, 20)
        finally:
            self.children.stop(ffmpeg)
            self.children.stop(receiver)
        if ffmpeg_status != 0:
            raise BenchError(f"ffmpeg exited {ffmpeg_status} ({self.tail(ffmpeg_err)})")
        if receiver_status != 0:
            raise BenchError(f"the receiver of ffmpeg's stream exited {receiver_status} "
                             f"({self.tail(recv_err)})")
        figures = analyse(self.shown(), read_rows(recv_log, 4), t_req, seconds, FFMPEG_BITRATE,
                          2)
        figures.update(cpu)
        return figures

    def run_bare(self, width, height, seconds):
        log = self.path("bare.log")
        err = self.path("bare.err")
        t_req = now_us()
        with open(err, "w") as errf:
            bare = self.children.spawn(
                "h2h_bare_loop",
                [str(self.bin / "h2h_bare_loop"), "--display", self.display, "--seconds",
                 str(seconds), "--skip", str(SKIP_S), "--fps", str(FPS), "--bitrate",
                 str(PROJECT_BITRATE), "--log", str(log)],
                Children.SENDER, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                stderr=errf)
        out = self.children.watch(bare, bare.popen.stdout)
        try:
            cpu = self.sample_window(t_req, seconds, bare)
            status = self.children.wait(bare, seconds + 20)
        finally:
            self.children.stop(bare)
        if status != 0:
            raise BenchError(f"h2h_bare_loop exited {status} ({self.tail(err)})")
        summary = {}
        for line in out.lines():
            if line.startswith("{"):
                summary = json.loads(line)
        # Its log: sequence, captured, encoded, bytes: "arrival" is the capture.
        figures = analyse(self.shown(), read_rows(log, 4), t_req, seconds, PROJECT_BITRATE, 2)
        figures.update(cpu)
        figures["sender_cpu_ms_per_frame_own"] = summary.get("cpu_ms_per_frame")
        return figures

    def run(self, sender, width, height, seconds):
        if sender == "project":
            figures = self.run_project(width, height, seconds)
        elif sender == "ffmpeg":
            figures = self.run_ffmpeg(width, height, seconds)
        else:
            figures = self.run_bare(width, height, seconds)
        if sender == "bare" and figures.get("sender_cpu_ms_per_frame_own"):
            figures["cpu_ms_per_frame"] = figures["sender_cpu_ms_per_frame_own"]
        elif figures.get("sender_cpu_s") is not None and figures["pictures"]:
            figures["cpu_ms_per_frame"] = 1000.0 * figures["sender_cpu_s"] / figures["pictures"]
        return figures


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("0.0.0.0", 0))
        return s.getsockname()[1]


def json_line(path):
    try:
        for line in reversed(Path(path).read_text(errors="replace").splitlines()):
            if line.startswith("{"):
                return json.loads(line)
    except (OSError, ValueError):
        pass
    return None


def surface_drops(host_log):
    try:
        text = Path(host_log).read_text(errors="replace")
    except OSError:
        return None
    found = re.findall(r"(\d+) frames dropped by the surface", text)
    return sum(int(n) for n in found) if found else None


# ---------------------------------------------------------------- report


def med(runs, key):
    values = [r[key] for r in runs if r.get(key) is not None]
    return statistics.median(values) if values else None


def fmt(value, digits=1):
    if value is None:
        return "–"
    if isinstance(value, str):
        return value
    return f"{value:,.{digits}f}"


def ratio(a, b):
    if a is None or b is None or b == 0:
        return None
    return a / b


def machine_lines():
    model = "unknown"
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    return model, os.cpu_count()


def load_text():
    return " / ".join(f"{v:.2f}" for v in os.getloadavg())


def tool_version(argv):
    try:
        out = subprocess.run(argv, capture_output=True, text=True, timeout=10).stdout
        return out.splitlines()[0].strip() if out else "unknown"
    except (OSError, subprocess.TimeoutExpired):
        return "unknown"


def print_block(title, results, seconds):
    p, f, b = results["project"], results["ffmpeg"], results["bare"]
    window = med(p + f + b, "window_s")
    print(f"### {title}\n")
    print(f"Medians of {len(p)} round(s); steady-state window {fmt(window, 1)} s per run "
          f"(the first {SKIP_S:g} s of each {seconds:g} s run skipped).\n")
    print("| figure | project | ffmpeg | project ÷ ffmpeg | bare loop | project ÷ bare loop |")
    print("|---|---:|---:|---:|---:|---:|")

    def row(label, key, digits=1, bare=True, bare_ratio=False, show_ratio=True):
        pv, fv, bv = med(p, key), med(f, key), med(b, key) if bare else None
        r1 = fmt(ratio(pv, fv), 2) if show_ratio else ""
        r2 = fmt(ratio(pv, bv), 2) if bare_ratio else ""
        print(f"| {label} | {fmt(pv, digits)} | {fmt(fv, digits)} | {r1} | "
              f"{fmt(bv, digits) if bare else ''} | {r2} |")

    row("distinct frames/s (animator: 60)", "distinct_fps")
    row("duplicates (same stamp again)", "duplicates", 0)
    row("drops (shown, never decoded)", "drops", 0)
    row("frames shown and judged", "judged", 0, show_ratio=False)
    row("sender CPU ms per frame", "cpu_ms_per_frame", 2, bare_ratio=True)
    row("sender CPU % of one core", "sender_cpu_pct", 0, bare_ratio=True)
    row("bytes per frame (KB)", "kbytes_per_frame", 1)
    row("Mbit/s (mean)", "mbit_s", 1)
    pmax, pmin = med(p, "mbit_s_5s_max"), med(p, "mbit_s_5s_min")
    fmax, fmin = med(f, "mbit_s_5s_max"), med(f, "mbit_s_5s_min")

    def span(hi, lo, requested):
        if hi is None or lo is None:
            return "–"
        return f"{hi:.1f} / {lo:.1f} ({100 * hi / requested:.0f}% / {100 * lo / requested:.0f}%)"

    print(f"| Mbit/s max / min over 5 s (of requested {PROJECT_BITRATE / 1e6:.1f} / "
          f"{FFMPEG_BITRATE / 1e6:.1f}) | {span(pmax, pmin, PROJECT_BITRATE / 1e6)} | "
          f"{span(fmax, fmin, FFMPEG_BITRATE / 1e6)} |  |  |  |")
    row("display→decoded latency p50 ms (bare: →encoded)", "latency_p50", 1)
    row("display→decoded latency p99 ms (bare: →encoded)", "latency_p99", 1)
    row("display→arrival p50 ms (bare: →captured)", "arrival_p50", 1)
    row("first picture arrived ms (from request / start)", "first_arrival_ms", 0, bare=False)
    row("first picture decoded ms (from request / start)", "first_picture_ms", 0, bare=False)
    row("animator frames missed in window", "animator_missed", 0, show_ratio=False)
    row("Xvfb CPU % of one core", "xvfb_cpu_pct", 0, show_ratio=False)
    row("machine busy % (all cores, everyone)", "machine_busy_pct", 0, show_ratio=False)
    row("other processes' CPU % of one core", "other_cpu_pct", 0, show_ratio=False)
    print()
    send = med(p, "send_to_arrival_p50")
    drops = med(p, "surface_drops")
    notes = []
    if send is not None:
        notes.append(f"project: the client's send→arrival median {fmt(send, 1)} ms")
    if drops is not None:
        notes.append(f"host encoder input queue dropped {fmt(drops, 0)} frames per run (median)")
    if notes:
        print("; ".join(notes) + ".\n")
    print("Start-up: display→decoded latency (ms) of the stream's first pictures, "
          "median over rounds:\n")
    print("| picture | " + " | ".join(str(i) for i in range(1, 11)) + " |")
    print("|---|" + "---:|" * 10)
    for name, runs in (("project", p), ("ffmpeg", f)):
        cells = []
        for i in range(10):
            values = [r["first10"][i] for r in runs
                      if len(r["first10"]) > i and r["first10"][i] is not None]
            cells.append(fmt(statistics.median(values), 0) if values else "–")
        print(f"| {name} | " + " | ".join(cells) + " |")
    print()


def print_runs(all_runs):
    print("### Every run\n")
    print("| size | content | round | sender | frames/s | dup | drops | CPU ms/frame | "
          "p50 ms | p99 ms | first ms | animator missed | machine busy % | other CPU % |")
    print("|---|---|---:|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|")
    for (size, content, rnd, sender), r in all_runs:
        print(f"| {size} | {content} | {rnd} | {sender} | {fmt(r.get('distinct_fps'))} | "
              f"{r['duplicates']} | {r['drops']} | {fmt(r.get('cpu_ms_per_frame'), 2)} | "
              f"{fmt(r.get('latency_p50'))} | {fmt(r.get('latency_p99'))} | "
              f"{fmt(r.get('first_picture_ms'), 0) if sender != 'bare' else '–'} | "
              f"{r['animator_missed']} | {fmt(r.get('machine_busy_pct'), 0)} | "
              f"{fmt(r.get('other_cpu_pct'), 0)} |")
    print()


# ---------------------------------------------------------------- main


def parse_args(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seconds", type=float, default=10.0, help="length of each run")
    parser.add_argument("--rounds", type=int, default=3, help="runs of each sender")
    parser.add_argument("--sizes", default="1080x2340,1920x1080", help="WxH,WxH,...")
    parser.add_argument("--content", default="scroll,fractal", help="scroll,fractal")
    parser.add_argument("--build", default=str(REPO / "build"), help="the build directory")
    parser.add_argument("--ffmpeg", default="ffmpeg", help="the ffmpeg program")
    parser.add_argument("--keep-logs", metavar="DIR", help="keep every log in DIR")
    parser.add_argument("--smoke", action="store_true",
                        help=f"one {SMOKE_SIZE[0]}x{SMOKE_SIZE[1]} screen, one content, one "
                             f"round of {SMOKE_SECONDS:g} s; fails unless every part ran and "
                             "pictures arrived")
    args = parser.parse_args(argv)
    try:
        args.sizes = [tuple(int(v) for v in s.lower().split("x")) for s in args.sizes.split(",")]
        assert all(len(s) == 2 and s[0] > 0 and s[1] > 0 for s in args.sizes)
    except (ValueError, AssertionError):
        parser.error("--sizes takes WxH[,WxH...]")
    args.content = [c for c in args.content.split(",") if c]
    if not args.content or any(c not in ("scroll", "fractal") for c in args.content):
        parser.error("--content takes scroll and/or fractal")
    if args.smoke:
        args.sizes = [SMOKE_SIZE]
        args.content = args.content[:1]
        args.rounds = 1
        args.seconds = SMOKE_SECONDS
    if args.seconds < SKIP_S + TAIL_S + 1 or args.rounds < 1:
        parser.error(f"--seconds must be at least {SKIP_S + TAIL_S + 1:g} and --rounds 1 or more")
    return args


def check_smoke(all_runs):
    """The one line that says which part did not deliver, or None."""
    for (size, content, _, sender), r in all_runs:
        stamped = r["pictures"] - r["unstamped"]
        if r["pictures"] == 0 or stamped == 0 or not r.get("distinct_fps"):
            what = {"project": "the project's stream", "ffmpeg": "ffmpeg's stream",
                    "bare": "the bare loop"}[sender]
            return f"{what} delivered no stamped picture in the window ({size}, {content})"
    return None


def main(argv):
    args = parse_args(argv)
    children = Children()

    def on_signal(signum, _frame):
        raise Interrupted(signal.Signals(signum).name)

    for s in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(s, on_signal)
    workdir = args.keep_logs or tempfile.mkdtemp(prefix="h2h-")
    Path(workdir).mkdir(parents=True, exist_ok=True)
    status = 0
    all_runs = []
    try:
        bench = Bench(args, children, workdir)
        model, cores = machine_lines()
        load_start = load_text()
        blocks = []
        for width, height in args.sizes:
            for content in args.content:
                title = f"{width}x{height}, {content}"
                print(f"[{time.strftime('%H:%M:%S')}] {title}: starting Xvfb and the animator",
                      file=sys.stderr, flush=True)
                bench.start_screen(width, height, content)
                results = {s: [] for s in SENDERS}
                for rnd in range(1, args.rounds + 1):
                    for sender in SENDERS:
                        print(f"[{time.strftime('%H:%M:%S')}] {title}: round {rnd}, {sender}",
                              file=sys.stderr, flush=True)
                        figures = bench.run(sender, width, height, args.seconds)
                        if figures.get("bytes_per_frame") is not None:
                            figures["kbytes_per_frame"] = figures["bytes_per_frame"] / 1000
                        results[sender].append(figures)
                        all_runs.append(((f"{width}x{height}", content, rnd, sender), figures))
                animator_summary = bench.stop_screen()
                blocks.append((title, results, animator_summary))
        print("## Head to head: the project against ffmpeg on an Xvfb screen\n")
        print(f"Machine: {model}, {cores} cores; load average (1/5/15 min) {load_start} at "
              f"the start, {load_text()} at the end.  ")
        print(f"ffmpeg: {tool_version([args.ffmpeg, '-hide_banner', '-version'])}.  ")
        print(f"Each run {args.seconds:g} s at {FPS} fps; the project at -bitRate "
              f"{PROJECT_BITRATE} (mirrax_client stream --format nut), ffmpeg at -b:v 30M "
              "-maxrate 30M -bufsize 1M (x11grab, libx264 ultrafast zerolatency, NUT over "
              "TCP); both decoded by h2h_receiver. The bare loop captures, converts and "
              "encodes with the project's encoder settings in one thread, without transport "
              "or decoding. The display side (Xvfb, animator) ran at "
              + (f"nice {bench.display_nice}." if bench.display_nice is not None
                 else "normal priority (raising it was not permitted).") + "\n")
        for title, results, animator_summary in blocks:
            print_block(title, results, args.seconds)
            if animator_summary:
                print(f"Animator: {animator_summary.replace('h2h_animator: ', '')}\n")
        print_runs(all_runs)
        if args.smoke:
            problem = check_smoke(all_runs)
            if problem:
                print(f"smoke: FAILED: {problem}")
                status = 1
            else:
                print("smoke: ok: the animator, the project, ffmpeg and the bare loop all "
                      "delivered stamped pictures")
    except BenchError as e:
        kept = any(Path(workdir).iterdir())
        print(f"run.py: FAILED: {e}" + (f" (logs in {workdir})" if kept else ""), flush=True)
        status = 1
    except Interrupted as e:
        print(f"run.py: interrupted by {e}; every child stopped", file=sys.stderr, flush=True)
        status = 130
    finally:
        for s in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            signal.signal(s, signal.SIG_IGN)
        children.stop_all()
        if not args.keep_logs and (status == 0 or not any(Path(workdir).iterdir())):
            for p in Path(workdir).iterdir():
                p.unlink()
            Path(workdir).rmdir()
    return status


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
