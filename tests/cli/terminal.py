# SPDX-License-Identifier: GPL-2.0-or-later
"""Runs a command with stderr (and stdout, when asked) on a pseudo-terminal of a given width,
and gives what the terminal received. Shared by the console tests."""
import fcntl
import os
import pty
import struct
import subprocess
import termios


def run_on_terminal(command, cwd, columns=80, stdout_too=False, limit=120):
    """(exit code, bytes the terminal got)."""
    master, slave = pty.openpty()
    fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 24, columns, 0, 0))
    process = subprocess.Popen(command, cwd=cwd, stderr=slave,
                               stdout=slave if stdout_too else subprocess.DEVNULL)
    os.close(slave)
    shown = bytearray()
    while True:
        try:
            chunk = os.read(master, 65536)
        except OSError:  # the terminal is gone with the program
            break
        if not chunk:
            break
        shown.extend(chunk)
    rc = process.wait(limit)
    os.close(master)
    return rc, bytes(shown)
