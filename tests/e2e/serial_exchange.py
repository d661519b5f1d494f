#!/usr/bin/env python3
"""A serial program of the desktop user's own: opens a virtual serial port with pyserial,
sends COMMAND (with CR LF) every two seconds until EXPECTED has come back or TIMEOUT
seconds have passed, and prints everything it read.

    serial_exchange.py LINK COMMAND EXPECTED TIMEOUT

Exit status 0 when EXPECTED came back, 1 when it did not, 2 when the port did not open.
"""
import sys
import time

import serial


def main():
    link, command, expected, timeout = sys.argv[1], sys.argv[2], sys.argv[3].encode(), float(sys.argv[4])
    try:
        port = serial.Serial(link, 115200, timeout=0.1)
    except (OSError, serial.SerialException) as error:
        print(f"cannot open {link}: {error}", file=sys.stderr)
        return 2
    received = b""
    deadline = time.monotonic() + timeout
    next_send = 0.0
    with port:
        while time.monotonic() < deadline:
            if time.monotonic() >= next_send:
                port.write(command.encode() + b"\r\n")
                next_send = time.monotonic() + 2.0
            received += port.read(4096)
            if expected in received:
                sys.stdout.write(received.decode("utf-8", "replace"))
                return 0
    sys.stdout.write(received.decode("utf-8", "replace"))
    return 1


if __name__ == "__main__":
    sys.exit(main())
