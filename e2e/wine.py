"""The real program under Wine, with its COM ports on pseudo-terminals served by
the receiver simulator: the pieces the end-to-end tests, the demo and the
benchmark are made of.

One Wine prefix and one persistent wineserver serve a whole test run. Wine's
own helper commands write to files, never to pipes: its background services
inherit their handles, so a pipe might never reach its end.
"""

import os
import re
import signal
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
SIMULATOR = ROOT / "tools" / "receiver_simulator.py"
SERIALCOMM = r"HKLM\HARDWARE\DEVICEMAP\SERIALCOMM"


def wine_env(prefix):
    env = dict(os.environ)
    env.update(WINEPREFIX=str(prefix), WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")
    env.pop("DISPLAY", None)  # a message box then returns at once
    return env


def _quiet(cmd, prefix, timeout=60, env=None):
    with tempfile.TemporaryFile() as out:
        result = subprocess.run(cmd, env=env or wine_env(prefix), stdin=subprocess.DEVNULL,
                                stdout=out, stderr=subprocess.STDOUT, timeout=timeout)
        out.seek(0)
        return result.returncode, out.read().decode(errors="replace")


def start_session(prefix):
    """Makes the prefix if it is new and starts its persistent wineserver."""
    prefix = Path(prefix)
    if not (prefix / "system.reg").exists():
        prefix.mkdir(parents=True, exist_ok=True)
        _quiet(["wineboot", "-i"], prefix, timeout=300)
        _quiet(["wineserver", "-w"], prefix, timeout=120)
    start_wineserver(prefix)
    # Trace only the message box when a test asks for a relay trace.
    reg(prefix, "add", r"HKCU\Software\Wine\Debug", "/v", "RelayInclude", "/t", "REG_SZ",
        "/d", "user32.MessageBoxA", "/f")


def start_wineserver(prefix):
    subprocess.Popen(["wineserver", "-p"], env=wine_env(prefix), stdin=subprocess.DEVNULL,
                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                     start_new_session=True)
    # The first program start after the server is up also starts Wine's services.
    _quiet(["wine", "cmd", "/c", "exit"], prefix, timeout=120)


def stop_session(prefix):
    _quiet(["wineserver", "-k"], prefix, timeout=60)
    _quiet(["wineserver", "-w"], prefix, timeout=60)


def restart_wineserver(prefix):
    """Brings back a registry key that a test deleted: SERIALCOMM is volatile."""
    stop_session(prefix)
    start_wineserver(prefix)


def reg(prefix, *args):
    rc, text = _quiet(["wine", "reg", *args], prefix)
    return rc, text


def serial_values(prefix):
    """The SERIALCOMM values as Wine lists them: {name: data}."""
    rc, text = reg(prefix, "query", SERIALCOMM)
    values = {}
    for line in text.splitlines():
        m = re.match(r"\s+(\S.*?)\s+REG_SZ\s+(.*)$", line)
        if m:
            values[m.group(1)] = m.group(2).strip()
    return values


def set_serial_values(prefix, values):
    """Makes our test values the only ones besides Wine's own (those not named VCP)."""
    for name in serial_values(prefix):
        if "vcp" in name.lower() and name not in values:
            reg(prefix, "delete", SERIALCOMM, "/v", name, "/f")
    for name, data in values.items():
        rc, text = reg(prefix, "add", SERIALCOMM, "/v", name, "/t", "REG_SZ", "/d", data, "/f")
        if rc != 0:
            raise RuntimeError(f"reg add {name}: {text}")


def map_port(prefix, com, target):
    """COMn is a symlink in dosdevices, in lower case; effective at once."""
    link = Path(prefix) / "dosdevices" / com.lower()
    if link.is_symlink() or link.exists():
        link.unlink()
    link.symlink_to(target)


class Simulator:
    """The receiver simulator on a new pseudo-terminal."""

    def __init__(self, *args):
        self.proc = subprocess.Popen([sys.executable, str(SIMULATOR), "--log", *args],
                                     stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, text=True)
        self.path = self.proc.stdout.readline().strip()
        if not self.path:
            raise RuntimeError("the simulator did not start: " + self.proc.stderr.read())
        self.log = []
        self.reader = threading.Thread(target=self._collect, daemon=True)
        self.reader.start()

    def _collect(self):
        for line in self.proc.stderr:
            self.log.append(line.rstrip("\n"))

    def events(self):
        return list(self.log)

    def wait_for(self, text, timeout_s):
        deadline = time.monotonic() + timeout_s
        while time.monotonic() < deadline:
            if any(text in line for line in self.events()):
                return True
            time.sleep(0.02)
        return False

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            self.proc.wait(timeout=10)
        self.reader.join(timeout=10)


class Program:
    """The .exe under Wine, its standard output through a pipe."""

    def __init__(self, prefix, exe, env_extra=None, stderr_path=None):
        env = wine_env(prefix)
        env.update(env_extra or {})
        self.out_file = tempfile.TemporaryFile()
        self.err_file = open(stderr_path, "wb") if stderr_path else subprocess.DEVNULL
        self.started = time.monotonic()
        # Through a file rather than a pipe read here: same block buffering in the
        # program (a pipe and a file are both not a console), and nothing to drain.
        self.proc = subprocess.Popen(["wine", str(exe)], env=env, stdin=subprocess.DEVNULL,
                                     stdout=subprocess.PIPE, stderr=self.err_file)
        self.reader = subprocess.Popen(["cat"], stdin=self.proc.stdout, stdout=self.out_file)
        self.proc.stdout.close()

    def interrupt(self):
        """Ctrl+C on the console."""
        self.proc.send_signal(signal.SIGINT)

    def wait(self, timeout_s):
        try:
            rc = self.proc.wait(timeout=timeout_s)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
            rc = None
        elapsed = time.monotonic() - self.started
        self.reader.wait(timeout=10)
        self.out_file.seek(0)
        return rc, self.out_file.read(), elapsed
