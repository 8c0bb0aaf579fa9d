"""End-to-end: the real .exe under Wine, COM ports on pseudo-terminals, the
receiver simulator on the other side. Standard output goes through a pipe,
where Wine writes each line break as CR LF.

Needs E2E_EXE (the program) and E2E_PREFIX (a Wine prefix with its wineserver
running, see session.py).
"""

import os
import re
import time
import unittest
from pathlib import Path

import wine

EXE = os.environ.get("E2E_EXE", "")
PREFIX = os.environ.get("E2E_PREFIX", "")

BANNER = ("Please shut down Pomvex.Tolla and Pomvex.Quenn.\n"
          "Detecting Pomvex.Ravo on different COM ports:\n")
OPEN_ERROR = "errorr!!!!!!!!!!!!!!!! in opening port!\n"
QUERY_ERROR = "err 22: \n"


def ok(port):
    return f"{port} -- OK, device detected =|:-)=\n"


def failed(port):
    return f"{port} -- failed to detect device :(\n"


def listening(port):
    return f"Listening codes on port {port}, press any key on remote control:\n"


def values(codes):
    return "".join(f"{v} " + ("\n" if v > 250 else "") for v in codes)


def crlf(text):
    return text.replace("\n", "\r\n").encode()


def wine_ports():
    """Wine's own ports come first in the key's order; none is named vcp."""
    return "".join(failed(data) for name, data in sorted(wine.serial_values(PREFIX).items(),
                                                         key=lambda kv: kv[0].lower())
                   if "vcp" not in name.lower())


@unittest.skipUnless(EXE and PREFIX, "needs E2E_EXE and E2E_PREFIX")
class WineE2E(unittest.TestCase):
    def setUp(self):
        self.simulators = []
        self.program = None

    def tearDown(self):
        # The program first: closing a pty master under a reading program makes Wine spin.
        if self.program and self.program.proc.poll() is None:
            self.program.proc.kill()
            self.program.wait(10)
        for sim in self.simulators:
            sim.stop()

    def receiver(self, com, *args):
        sim = wine.Simulator(*args)
        self.simulators.append(sim)
        wine.map_port(PREFIX, com, sim.path)
        return sim

    def start(self, **kw):
        self.program = wine.Program(PREFIX, EXE, **kw)
        return self.program

    def test_detects_the_receiver_then_shows_its_codes(self):
        wine.set_serial_values(PREFIX, {r"\Device\VCP0": "COM33"})
        sim = self.receiver("COM33", "--rate", "20")
        program = self.start()
        # Wine's start, COM1 passed over without a probe, 200 ms to the query.
        self.assertTrue(sim.wait_for("query answered", 5), sim.events())
        self.assertTrue(sim.wait_for("code stream started", 10), sim.events())
        time.sleep(1.0)
        program.interrupt()
        rc, out, elapsed = program.wait(10)

        head = BANNER + wine_ports() + ok("COM33") + listening("COM33")
        self.assertTrue(out.startswith(crlf(head)), out)
        lines = out[len(crlf(head)):].decode().split("\r\n")
        self.assertGreaterEqual(len(lines), 10, out)
        for line in lines[:-1]:
            self.assertRegex(line, r"^(\d{1,3} ){3}25[1-5] $")
        answered = next(e for e in sim.events() if "query answered" in e)
        self.assertIn("115200 baud, 8 data bits, parity off, 1 stop bits, raw", answered)

    def test_every_byte_value_is_shown_and_survives_ctrl_c(self):
        wine.set_serial_values(PREFIX, {r"\Device\VCP0": "COM33"})
        sim = self.receiver("COM33", "--stream", "0-255")
        program = self.start()
        self.assertTrue(sim.wait_for("code stream finished", 10), sim.events())
        time.sleep(0.5)
        # Less than one 4096-byte block: none of it has gone out before Ctrl+C.
        program.interrupt()
        rc, out, elapsed = program.wait(10)
        expected = BANNER + wine_ports() + ok("COM33") + listening("COM33") + values(range(256))
        self.assertLess(len(crlf(expected)), 4096)
        self.assertEqual(out, crlf(expected))

    def test_the_ack_counts_only_in_its_window(self):
        # Late answer, ack as the 129th byte, then an echo line: only the last is found.
        wine.set_serial_values(PREFIX, {r"\Device\VCP0": "COM33", r"\Device\VCP1": "COM34",
                                        r"\Device\VCP2": "COM35", r"\Device\VCP3": "COM36"})
        self.receiver("COM33", "--reply-delay-ms", "150")
        self.receiver("COM34", "--reply", ",".join(["0x55"] * 128 + ["0x81"]))
        self.receiver("COM35", "--silent", "--echo", "--start-after-ms", "100000")
        self.receiver("COM36")
        program = self.start()
        time.sleep(3)
        program.interrupt()
        rc, out, elapsed = program.wait(10)
        expected = (BANNER + wine_ports() + failed("COM33") + failed("COM34") + ok("COM35") +
                    listening("COM35"))
        self.assertEqual(out, crlf(expected))

    def test_no_receiver_and_a_missing_device_end_with_1_after_the_pause(self):
        wine.set_serial_values(PREFIX, {r"\Device\VCP0": "COM33", r"\Device\VCP1": "COM34"})
        self.receiver("COM33", "--silent")
        wine.map_port(PREFIX, "COM34", "/dev/nonexistent-receiver")
        rc, out, elapsed = self.start().wait(60)
        self.assertEqual(rc, 1)
        self.assertEqual(out, crlf(BANNER + wine_ports() + failed("COM33") + OPEN_ERROR +
                                   QUERY_ERROR + failed("COM34")))
        # Two probes and the 10 s pause; generous margin above.
        self.assertGreaterEqual(elapsed, 10.4)
        self.assertLess(elapsed, 25)

    def test_missing_port_list_shows_the_box_and_the_banner_then_ends(self):
        wine.reg(PREFIX, "delete", wine.SERIALCOMM, "/f")
        trace = Path(PREFIX) / "relay-messagebox.txt"
        try:
            program = self.start(env_extra={"WINEDEBUG": "+relay"}, stderr_path=trace)
            rc, out, elapsed = program.wait(60)
        finally:
            wine.restart_wineserver(PREFIX)
        self.assertEqual(rc, 1)
        self.assertEqual(out, crlf(BANNER))
        self.assertGreaterEqual(elapsed, 10.0)
        self.assertLess(elapsed, 25)
        calls = [l for l in trace.read_text(errors="replace").splitlines()
                 if "Call user32.MessageBoxA" in l]
        self.assertEqual(len(calls), 1, calls)
        self.assertIn('"error opening registry"', calls[0])
        self.assertIn('"Pomvex"', calls[0])
        self.assertTrue(re.search(r"MessageBoxA\(00000000,", calls[0]), calls[0])


if __name__ == "__main__":
    unittest.main()
