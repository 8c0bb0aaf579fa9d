#!/usr/bin/env python3
"""Measures the real program under Wine against a receiver played by this
script on pseudo-terminals, side by side with tio (a serial monitor in
hexadecimal mode) on the same set-up, and prints one table.

    bench.py --exe receiver_finder.exe --prefix WINEPREFIX [--smoke] [--plot FILE]

Every figure is measured in this run. --smoke only checks, in a few seconds,
that a stream reaches a pipe complete and in order.
"""

import argparse
import fcntl
import os
import re
import select
import shutil
import signal
import statistics
import struct
import subprocess
import sys
import tempfile
import termios
import threading
import time
import tty
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "e2e"))
import wine  # noqa: E402

LINE_RATE = 11520  # bytes/s at 115200 baud, 10 bits a byte
PROBE_PAUSES_MS = 270


def values_text(codes, newline="\r\n"):
    return "".join(f"{v} " + (newline if v > 250 else "") for v in codes)


# ---------------------------------------------------------------- the receiver

class Receiver:
    """Plays the receiver on the master side of a pseudo-terminal. Watches when
    the program opens and closes the port (the master reports a hang-up while
    no one has the slave open), answers the query 0x00 0x81 with 0x81 unless
    silent, and sends what it is told to."""

    def __init__(self, silent=False):
        self.fd, slave = os.openpty()
        self.path = os.ttyname(slave)
        tty.setraw(slave)
        os.close(slave)
        self.silent = silent
        self.opens, self.closes, self.answers = [], [], []
        self.lock = threading.Lock()
        self.stop_flag = False
        self.thread = threading.Thread(target=self._watch, daemon=True)
        self.thread.start()

    def _watch(self):
        poller = select.poll()
        poller.register(self.fd, select.POLLIN | select.POLLHUP)
        is_open, previous = False, -1
        while not self.stop_flag:
            events = poller.poll(1)
            now = time.monotonic()
            hup = any(mask & select.POLLHUP for _, mask in events)
            if hup:
                if is_open:
                    self.closes.append(now)
                    is_open = False
                time.sleep(0.0002)
                continue
            if not is_open:
                self.opens.append(now)
                is_open = True
            if any(mask & select.POLLIN for _, mask in events):
                try:
                    data = os.read(self.fd, 4096)
                except OSError:
                    continue
                for byte in data:
                    if previous == 0x00 and byte == 0x81 and not self.silent:
                        time.sleep(0.002)
                        self.write(b"\x81")
                        self.answers.append(time.monotonic())
                    previous = byte

    def write(self, data):
        view = memoryview(data)
        with self.lock:
            while view:
                try:
                    view = view[os.write(self.fd, view):]
                except BlockingIOError:
                    select.select([], [self.fd], [], 0.01)

    def wait_open(self, count, timeout_s):
        deadline = time.monotonic() + timeout_s
        while len(self.opens) < count:
            if time.monotonic() > deadline:
                raise TimeoutError(f"port opened {len(self.opens)} times, not {count}")
            time.sleep(0.001)
        return self.opens[count - 1]

    def close(self):
        self.stop_flag = True
        self.thread.join(timeout=5)
        os.close(self.fd)


# ---------------------------------------------------------------- outputs

class Capture:
    """What a process writes, with the time each piece arrived."""

    def __init__(self, fd):
        self.fd = fd
        self.chunks = []  # (time, bytes)
        self.thread = threading.Thread(target=self._read, daemon=True)
        self.thread.start()

    def _read(self):
        while True:
            try:
                data = os.read(self.fd, 65536)
            except OSError:
                break
            if not data:
                break
            self.chunks.append((time.monotonic(), data))

    def data(self):
        return b"".join(c for _, c in list(self.chunks))

    def size(self):
        return sum(len(c) for _, c in list(self.chunks))


ESCAPE = re.compile(rb"\x1b\[[0-9;?]*[ -/]*[@-~]|\x1b\][^\x07\x1b]*(\x07|\x1b\\)|\x1b[()][0-9A-Za-z]|\x1b[=>78]")


CURSOR_FORWARD = re.compile(rb"\x1b\[([0-9]*)C")


def console_text(chunks):
    """What a console shows, as one line of text with the time each character
    arrived. Wine draws a trailing blank as erase-to-end-of-line and a cursor
    move: cursor moves and line breaks become blanks, other escape sequences
    are dropped. The console is made wide enough that no line wraps."""
    text, times = bytearray(), []
    for t, chunk in chunks:
        pos = 0
        for m in ESCAPE.finditer(chunk):
            plain = chunk[pos:m.start()].replace(b"\r", b" ").replace(b"\n", b" ")
            text += plain
            times += [t] * len(plain)
            forward = CURSOR_FORWARD.fullmatch(m.group(0))
            if forward:
                blanks = int(forward.group(1) or b"1")
                text += b" " * blanks
                times += [t] * blanks
            pos = m.end()
        plain = chunk[pos:].replace(b"\r", b" ").replace(b"\n", b" ")
        text += plain
        times += [t] * len(plain)
    return text, times


def console_tokens(chunks, marker):
    """The values a console showed after `marker`, each with the time it was
    complete (its blank had arrived): [(time, token)]."""
    text, times = console_text(chunks)
    start = text.find(marker)
    if start < 0:
        return []
    tokens, current = [], bytearray()
    for i in range(start + len(marker), len(text)):
        if text[i] == 0x20:
            if current:
                tokens.append((times[i], current.decode(errors="replace")))
                current = bytearray()
        else:
            current.append(text[i])
    return tokens


def interrupt(proc, timeout_s):
    """Ctrl+C, and a kill if that does not end it in time."""
    if proc.poll() is None:
        proc.send_signal(signal.SIGINT)
    try:
        proc.wait(timeout=timeout_s)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()


class ConsoleProcess:
    """A command whose console is a pseudo-terminal we read."""

    def __init__(self, cmd, env, columns=2000, rows=50):
        master, slave = os.openpty()
        fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", rows, columns, 0, 0))
        self.started = time.monotonic()
        self.proc = subprocess.Popen(cmd, env=env, stdin=slave, stdout=slave, stderr=slave,
                                     start_new_session=True)
        os.close(slave)
        self.master = master
        self.capture = Capture(master)

    def stop(self, timeout_s=10):
        interrupt(self.proc, timeout_s)
        time.sleep(0.1)
        os.close(self.master)


class PipeProcess:
    """A command whose standard output is a pipe we read."""

    def __init__(self, cmd, env):
        self.started = time.monotonic()
        self.proc = subprocess.Popen(cmd, env=env, stdin=subprocess.DEVNULL,
                                     stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self.capture = Capture(self.proc.stdout.fileno())

    def stop(self, timeout_s=10):
        interrupt(self.proc, timeout_s)
        self.capture.thread.join(timeout=10)


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def wineserver_pid():
    out = subprocess.run(["pgrep", "-x", "wineserver64"], capture_output=True, text=True).stdout
    if not out.strip():
        out = subprocess.run(["pgrep", "-x", "wineserver"], capture_output=True, text=True).stdout
    return int(out.split()[0]) if out.strip() else None


# ---------------------------------------------------------------- the bench

class Bench:
    def __init__(self, exe, prefix):
        self.exe, self.prefix = exe, prefix
        self.env = wine.wine_env(prefix)
        self.receivers = []

    def ports(self, count, silent=False):
        for r in self.receivers:
            r.close()
        self.receivers = [Receiver(silent) for _ in range(count)]
        values = {}
        for i, r in enumerate(self.receivers):
            com = f"COM{40 + i}"
            wine.map_port(self.prefix, com, r.path)
            values[rf"\Device\VCP{i:02d}"] = com
        wine.set_serial_values(self.prefix, values)
        return self.receivers

    def done(self):
        for r in self.receivers:
            r.close()
        self.receivers = []

    def listening_program(self, console):
        """The program found the receiver on COM40 and has reopened it."""
        rx = self.ports(1)[0]
        cmd = ["wine", str(self.exe)]
        program = ConsoleProcess(cmd, self.env) if console else PipeProcess(cmd, self.env)
        rx.wait_open(2, 20)
        time.sleep(0.05)
        return rx, program

    # 1. probe time with the receiver present
    def probe_time(self, runs):
        probes, to_ok = [], []
        for _ in range(runs):
            rx, program = self.listening_program(console=True)
            probes.append((rx.closes[0] - rx.opens[0]) * 1000)
            ok_at = []

            def ok_shown():
                ok_at[:] = [t for t, chunk in list(program.capture.chunks)
                            if b"device detected" in ESCAPE.sub(b"", chunk)][:1]
                return bool(ok_at)

            wait_until(ok_shown, 5)
            program.stop()
            if ok_at:
                to_ok.append((ok_at[0] - program.started) * 1000)
            self.done()
        return probes, to_ok

    # 2. no receiver over N ports
    def no_receiver(self, n):
        rxs = self.ports(n, silent=True)
        program = PipeProcess(["wine", str(self.exe)], self.env)
        program.proc.wait(timeout=120)
        total = (time.monotonic() - program.started) * 1000
        per_probe = [(r.closes[0] - r.opens[0]) * 1000 for r in rxs if r.closes]
        program.stop()
        self.done()
        return total, per_probe

    # 3. throughput
    def throughput_program(self, console, count):
        """Values per second the program shows while the receiver sends `count`
        bytes as fast as the line takes them; how many were lost; whether all
        came out in order."""
        data = bytes(i % 256 for i in range(count))
        head = len(self.head_text())
        rx, program = self.listening_program(console)
        started = time.monotonic()
        rx.write(data)
        if console:
            wait_until_quiet(program.capture)
            program.stop()
            self.done()
            tokens = console_tokens(program.capture.chunks, b"remote control:")
            return stream_result(tokens, data, started, int)
        # To a pipe the text comes in 4096-byte blocks: the rate counts what the
        # full blocks held, then Ctrl+C brings out the rest.
        expected = values_text(data).encode()
        wait_until(lambda: program.capture.size() - head >= len(expected) - 4096, 120)
        last_block = program.capture.chunks[-1][0] if program.capture.chunks else started
        in_blocks = program.capture.data()[head:].count(b" ")
        program.stop()
        self.done()
        out = program.capture.data()[head:]
        return in_blocks / (last_block - started), count - out.count(b" "), out == expected

    def head_text(self):
        """What the program prints before the first value, COM40 being the receiver."""
        own = "".join(f"{data} -- failed to detect device :(\r\n"
                      for name, data in sorted(wine.serial_values(self.prefix).items(),
                                               key=lambda kv: kv[0].lower())
                      if "vcp" not in name.lower())
        return ("Please shut down Pomvex.Tolla and Pomvex.Quenn.\r\n"
                "Detecting Pomvex.Ravo on different COM ports:\r\n" + own +
                "COM40 -- OK, device detected =|:-)=\r\n"
                "Listening codes on port COM40, press any key on remote control:\r\n").encode()

    def throughput_monitor(self, count):
        data = bytes(i % 256 for i in range(count))
        rx, mon = start_monitor()
        started = time.monotonic()
        rx.write(data)
        wait_until_quiet(mon.capture)
        mon.stop()
        rx.close()
        return stream_result(hex_tokens(mon.capture.chunks), data, started,
                             lambda t: int(t, 16))

    # 4. latency on a console
    def latency_program(self, samples, spacing_s):
        rx, program = self.listening_program(console=True)
        sent = self._send_spaced(rx, samples, spacing_s)
        time.sleep(0.3)
        program.stop()
        tokens = console_tokens(program.capture.chunks, b"remote control:")
        self.done()
        return pair_latencies(sent, [(t, int(v) if v.isdigit() else -1) for t, v in tokens])

    def latency_monitor(self, samples, spacing_s):
        rx, mon = start_monitor()
        sent = self._send_spaced(rx, samples, spacing_s)
        time.sleep(0.3)
        mon.stop()
        rx.close()
        return pair_latencies(sent, [(t, int(v, 16)) for t, v in hex_tokens(mon.capture.chunks)])

    @staticmethod
    def _send_spaced(rx, samples, spacing_s):
        sent = []
        next_at = time.monotonic()
        for i in range(samples):
            value = (i * 7) % 256
            while time.monotonic() < next_at:
                time.sleep(0.0005)
            t = time.monotonic()
            rx.write(bytes([value]))
            sent.append((t, value))
            next_at += spacing_s
        return sent

    def console_floor(self, floor_exe):
        """Microseconds per bare WriteConsoleA of a value and its blank."""
        tool = ConsoleProcess(["wine", str(floor_exe)], self.env)
        tool.proc.wait(timeout=120)
        tool.stop()
        m = re.search(rb"floor: ([0-9.]+) us per write", ESCAPE.sub(b"", tool.capture.data()))
        return float(m.group(1)) if m else float("nan")

    # 5. idle CPU
    def idle_program(self, seconds):
        rx, program = self.listening_program(console=False)
        time.sleep(1)
        server = wineserver_pid()
        pid = program.proc.pid
        p0, s0, t0 = cpu_seconds(pid), cpu_seconds(server), time.monotonic()
        time.sleep(seconds)
        p1, s1, t1 = cpu_seconds(pid), cpu_seconds(server), time.monotonic()
        program.stop()
        self.done()
        return (p1 - p0) / (t1 - t0) * 100, (s1 - s0) / (t1 - t0) * 100

    def idle_monitor(self, seconds):
        rx, mon = start_monitor()
        pid = mon.proc.pid
        c0, t0 = cpu_seconds(pid), time.monotonic()
        time.sleep(seconds)
        c1, t1 = cpu_seconds(pid), time.monotonic()
        mon.stop()
        rx.close()
        return (c1 - c0) / (t1 - t0) * 100


def start_monitor():
    """tio in hexadecimal mode on a console, on a line of its own."""
    rx = Receiver(silent=True)
    mon = ConsoleProcess(["tio", "-x", "-b", "115200", rx.path], os.environ.copy())
    rx.wait_open(1, 10)
    time.sleep(0.5)
    return rx, mon


def wait_until(condition, timeout_s):
    deadline = time.monotonic() + timeout_s
    while not condition() and time.monotonic() < deadline:
        time.sleep(0.01)


def wait_until_quiet(capture, quiet_s=1.0, timeout_s=120):
    """Until nothing more has come for `quiet_s`."""
    deadline = time.monotonic() + timeout_s
    last_size, still_since = -1, time.monotonic()
    while time.monotonic() < deadline:
        size = capture.size()
        if size != last_size:
            last_size, still_since = size, time.monotonic()
        elif time.monotonic() - still_since > quiet_s:
            return
        time.sleep(0.05)


def stream_result(tokens, data, started, parse):
    """(values shown per second, bytes lost, all shown in order) of a stream
    whose values a console showed as `tokens`."""
    shown = []
    for _, token in tokens:
        try:
            shown.append(parse(token))
        except ValueError:
            shown.append(-1)
    shown = shown[-len(data):]
    finished = tokens[-1][0] if tokens else time.monotonic()
    lost = len(data) - sum(1 for a, b in zip(shown, data) if a == b)
    return len(tokens) / (finished - started), lost, shown == list(data)


def hex_tokens(chunks):
    """tio -x shows each byte as two hex digits and a blank."""
    tokens = console_tokens(chunks, b"")
    return [(t, v) for t, v in tokens if re.fullmatch(r"[0-9a-fA-F]{2}", v)]


def pair_latencies(sent, shown):
    """Latency of each sent value to the first matching value shown after it."""
    latencies, j = [], 0
    for t_sent, value in sent:
        while j < len(shown) and (shown[j][1] != value or shown[j][0] < t_sent):
            j += 1
        if j == len(shown):
            break
        latencies.append((shown[j][0] - t_sent) * 1000)
        j += 1
    return latencies


def percentile(values, p):
    ordered = sorted(values)
    if not ordered:
        return float("nan")
    k = min(len(ordered) - 1, max(0, round(p / 100 * (len(ordered) - 1))))
    return ordered[k]


def plot(path, program_ms, monitor_ms):
    gnuplot = shutil.which("gnuplot")
    if not gnuplot:
        print("gnuplot not found: no plot", file=sys.stderr)
        return
    with tempfile.TemporaryDirectory() as tmp:
        files = []
        for name, values in (("receiver_finder", program_ms), ("tio -x", monitor_ms)):
            f = Path(tmp) / f"{len(files)}.dat"
            ordered = sorted(values)
            f.write_text("".join(f"{v:.4f} {(i + 1) / len(ordered):.4f}\n"
                                 for i, v in enumerate(ordered)))
            files.append((f, name))
        plots = ", ".join(f"'{f}' using 1:2 with steps lw 2 title '{n}'" for f, n in files)
        script = (f"set terminal pngcairo size 900,500 font 'sans,11'\n"
                  f"set output '{path}'\n"
                  "set title 'Console latency: byte written by the receiver to its value on screen'\n"
                  "set xlabel 'latency (ms, log scale)'\nset ylabel 'share of bytes (cumulative)'\n"
                  "set logscale x\nset xrange [0.02:10]\n"
                  "set grid\nset key bottom right\nset yrange [0:1]\nset termoption noenhanced\n"
                  f"plot {plots}\n")
        subprocess.run([gnuplot], input=script, text=True, check=True)


def machine():
    model = "unknown"
    for line in Path("/proc/cpuinfo").read_text().splitlines():
        if line.startswith("model name"):
            model = line.split(":", 1)[1].strip()
            break
    wine_version = subprocess.run(["wine", "--version"], capture_output=True,
                                  text=True).stdout.strip()
    return f"{model}, {os.cpu_count()} cores, Linux {os.uname().release}, {wine_version}"


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--exe", required=True)
    parser.add_argument("--prefix", required=True)
    parser.add_argument("--smoke", action="store_true")
    parser.add_argument("--plot")
    args = parser.parse_args()
    bench = Bench(Path(args.exe), args.prefix)

    if args.smoke:
        sound = True
        for console, count in ((False, 20000), (True, 2000)):
            rate, lost, complete = bench.throughput_program(console=console, count=count)
            where = "a console" if console else "a pipe"
            print(f"smoke: {count} bytes to {where} at {rate:,.0f} values/s, lost {lost}, "
                  f"complete and in order: {complete}")
            sound = sound and complete and lost == 0
        sys.exit(0 if sound else 1)

    rows = []

    def row(what, measured, against, goal, met):
        rows.append((what, measured, against, goal, "yes" if met else "NO"))
        print(f"  {what}: {measured}", file=sys.stderr, flush=True)

    print("measuring probe time...", file=sys.stderr, flush=True)
    probes, to_ok = bench.probe_time(5)
    overhead = statistics.median(probes) - PROBE_PAUSES_MS
    row("probe, receiver present (open to close, median of 5)",
        f"{statistics.median(probes):.1f} ms (min {min(probes):.1f}, max {max(probes):.1f})",
        f"{PROBE_PAUSES_MS} ms of pauses: +{overhead:.1f} ms", "<= +15 ms", overhead <= 15)
    row("program start to OK line on a console (median of 5)",
        f"{statistics.median(to_ok):.0f} ms", "one probe + Wine's start", "-", True)

    print("measuring runs with no receiver...", file=sys.stderr, flush=True)
    for n in (1, 4, 8):
        total, per_probe = bench.no_receiver(n)
        expected = 10000 + n * PROBE_PAUSES_MS
        row(f"no receiver, {n} vcp port(s): whole run",
            f"{total:,.0f} ms (probe {statistics.mean(per_probe):.1f} ms each)",
            f"10,000 + {n} x {PROBE_PAUSES_MS} = {expected:,} ms: +{total - expected:.0f} ms",
            "-", True)

    print("measuring throughput...", file=sys.stderr, flush=True)
    rate, lost, complete = bench.throughput_program(console=False, count=300000)
    row("throughput to a pipe (300,000 bytes)", f"{rate:,.0f} bytes/s, lost {lost}",
        f"line rate {LINE_RATE:,}: x{rate / LINE_RATE:.1f}", ">= x10, 0 lost",
        rate >= 10 * LINE_RATE and lost == 0 and complete)
    rate, lost, complete = bench.throughput_program(console=True, count=30000)
    row("throughput to a console (30,000 bytes)", f"{rate:,.0f} bytes/s, lost {lost}",
        f"line rate {LINE_RATE:,}: x{rate / LINE_RATE:.1f}", ">= x1, 0 lost",
        rate >= LINE_RATE and lost == 0 and complete)
    rate, lost, complete = bench.throughput_monitor(30000)
    floor_us = bench.console_floor(Path(args.exe).with_name("console_floor.exe"))
    row("a bare WriteConsoleA of one value under Wine (5,000 writes)",
        f"{floor_us:.0f} us per write", f"at most {1e6 / floor_us:,.0f} values/s on a console",
        "(the floor)", True)
    row("tio -x throughput to a console (30,000 bytes)", f"{rate:,.0f} bytes/s, lost {lost}",
        f"line rate {LINE_RATE:,}: x{rate / LINE_RATE:.1f}", "(reference)", True)

    print("measuring console latency...", file=sys.stderr, flush=True)
    program_ms = bench.latency_program(400, 0.01)
    monitor_ms = bench.latency_monitor(400, 0.01)
    med, p99 = statistics.median(program_ms), percentile(program_ms, 99)
    row(f"console latency ({len(program_ms)} bytes, 10 ms apart)",
        f"median {med:.2f} ms, p99 {p99:.2f} ms",
        f"tio -x: median {statistics.median(monitor_ms):.2f} ms, "
        f"p99 {percentile(monitor_ms, 99):.2f} ms", "median <= 2 ms", med <= 2)

    print("measuring idle CPU...", file=sys.stderr, flush=True)
    program_cpu, server_cpu = bench.idle_program(20)
    monitor_cpu = bench.idle_monitor(20)
    row("idle CPU while listening (20 s)",
        f"program {program_cpu:.1f} %, wineserver {server_cpu:.1f} % of a core",
        f"tio -x: {monitor_cpu:.1f} %", "program <= 3 %", program_cpu <= 3)

    if args.plot:
        plot(args.plot, program_ms, monitor_ms)

    print()
    print(f"Machine: {machine()}")
    print()
    print("| measure | measured | against | goal | met |")
    print("|---|---|---|---|---|")
    for r in rows:
        print("| " + " | ".join(r) + " |")


if __name__ == "__main__":
    main()
