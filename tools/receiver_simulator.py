#!/usr/bin/env python3
"""Plays the receiver on a serial line: answers the query 0x00 0x81, then sends
made-up key codes.

By default it opens a pseudo-terminal and prints the path of its slave side
(the end the program opens) on standard output, one line, as soon as it is
ready. With --device it works on a given character device instead.

The receiver's part of the exchange:
  * it answers only after it has read the query 0x00 0x81 (bytes sent to a port
    nobody has open are lost), with --reply after --reply-delay-ms;
  * --silent never answers, --echo sends back everything it reads;
  * --start-after-ms after answering (and once the port is open again, since
    the program closes the probed port and reopens it for listening) it sends
    the code stream: --frames frames of 4 bytes, the last one above 250, at
    --rate frames per second, or the bytes of --stream as given.
It runs until it is sent SIGTERM or SIGINT.
"""

import argparse
import os
import re
import select
import signal
import sys
import termios
import time
import tty


def parse_bytes(text):
    """'0x81' or '0-255' or '1,2,0xfb' -> bytes (numbers as Python writes them)."""
    out = bytearray()
    for part in text.split(","):
        part = part.strip()
        if not part:
            continue
        if "-" in part:
            low, high = (int(x, 0) for x in part.split("-", 1))
            out.extend(range(low, high + 1))
        else:
            out.append(int(part, 0))
    return bytes(out)


def frame(number):
    """A made-up key code: three bytes up to 250, then an end byte above 250."""
    key = number % 48
    return bytes([0x20 + key, (key * 37) % 200, 0x5A, 251 + number % 5])


class Line:
    """The master side of the pseudo-terminal, or a device."""

    def __init__(self, device):
        if device:
            self.fd = os.open(device, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
            tty.setraw(self.fd)
            self.path = device
        else:
            self.fd, slave = os.openpty()
            self.path = os.ttyname(slave)
            tty.setraw(slave)
            # Only the program may hold the slave: a hang-up on the master
            # then tells when it has the port open.
            os.close(slave)
            os.set_blocking(self.fd, False)
        self.is_pty = not device

    def peer_has_it_open(self):
        if not self.is_pty:
            return True
        events = select.poll()
        events.register(self.fd, select.POLLIN | select.POLLHUP)
        for _, mask in events.poll(0):
            if mask & select.POLLHUP:
                return False
        return True

    def read(self, timeout_s):
        ready, _, _ = select.select([self.fd], [], [], timeout_s)
        if not ready:
            return b""
        try:
            return os.read(self.fd, 4096)
        except (BlockingIOError, OSError):
            # EIO while nobody has the slave open.
            time.sleep(min(timeout_s, 0.001))
            return b""

    def settings(self):
        """How the program set the line up, as the master side sees it."""
        try:
            iflag, oflag, cflag, lflag, ispeed, ospeed, cc = termios.tcgetattr(self.fd)
        except termios.error:
            return "unknown"
        speeds = {getattr(termios, name): name[1:] for name in dir(termios)
                  if re.fullmatch(r"B\d+", name)}
        bits = {termios.CS5: 5, termios.CS6: 6, termios.CS7: 7, termios.CS8: 8}[cflag & termios.CSIZE]
        parity = "parity on" if cflag & termios.PARENB else "parity off"
        stops = 2 if cflag & termios.CSTOPB else 1
        raw = "raw" if not lflag & (termios.ICANON | termios.ECHO) else "cooked"
        return f"{speeds.get(ospeed, ospeed)} baud, {bits} data bits, {parity}, {stops} stop bits, {raw}"

    def write(self, data):
        view = memoryview(data)
        while view:
            try:
                n = os.write(self.fd, view)
                view = view[n:]
            except BlockingIOError:
                select.select([], [self.fd], [], 0.01)


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--device", help="serve this device instead of a new pseudo-terminal")
    parser.add_argument("--reply", default="0x81", help="bytes of the answer, e.g. 0x55,0x81")
    parser.add_argument("--reply-delay-ms", type=float, default=2.0)
    parser.add_argument("--silent", action="store_true", help="never answer the query")
    parser.add_argument("--echo", action="store_true", help="send back every byte read")
    parser.add_argument("--start-after-ms", type=float, default=300.0)
    parser.add_argument("--frames", type=int, default=0, help="frames to send, 0 for no end")
    parser.add_argument("--rate", type=float, default=4.0, help="frames per second, 0 for line rate")
    parser.add_argument("--stream", help="send exactly these bytes instead of frames, e.g. 0-255")
    parser.add_argument("--log", action="store_true", help="say what happens on standard error")
    args = parser.parse_args()

    line = Line(args.device)
    stop = []
    signal.signal(signal.SIGTERM, lambda *_: stop.append(1))
    signal.signal(signal.SIGINT, lambda *_: stop.append(1))
    print(line.path, flush=True)

    def log(text):
        if args.log:
            print(f"simulator: {text}", file=sys.stderr, flush=True)

    reply = parse_bytes(args.reply)
    previous = -1
    answered_at = None
    streaming = False
    sent_frames = 0
    next_frame_at = 0.0
    stream_bytes = parse_bytes(args.stream) if args.stream else None

    while not stop:
        data = line.read(0.001)
        if data:
            if args.echo:
                line.write(data)
            for byte in data:
                if previous == 0x00 and byte == 0x81 and not args.silent:
                    time.sleep(args.reply_delay_ms / 1000)
                    line.write(reply)
                    answered_at = time.monotonic()
                    streaming = False
                    log(f"query answered on a line of {line.settings()}")
                previous = byte
        now = time.monotonic()
        if answered_at is not None and not streaming:
            if now - answered_at >= args.start_after_ms / 1000 and line.peer_has_it_open():
                streaming = True
                next_frame_at = now
                log("code stream started")
                if stream_bytes is not None:
                    line.write(stream_bytes)
                    log("code stream finished")
        if streaming and stream_bytes is None and (args.frames == 0 or sent_frames < args.frames):
            if args.rate <= 0:
                count = 64 if args.frames == 0 else min(64, args.frames - sent_frames)
                line.write(b"".join(frame(sent_frames + i) for i in range(count)))
                sent_frames += count
            elif now >= next_frame_at:
                line.write(frame(sent_frames))
                sent_frames += 1
                next_frame_at += 1 / args.rate
            if sent_frames == args.frames:
                log("code stream finished")
    os.close(line.fd)


if __name__ == "__main__":
    main()
