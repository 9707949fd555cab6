#!/usr/bin/env python3
"""Exits with status 0 when this machine runs a 32-bit x86 program, 1 when it does not.

The probe is the smallest static ELF that only exits, made here, so that nothing 32-bit needs
installing to find out: a kernel without IA-32 emulation refuses to start it.
"""
import os
import struct
import subprocess
import sys
import tempfile

BASE = 0x08048000
CODE = bytes.fromhex("b80100000031dbcd80")  # exit(0) through int 0x80


def probe_program():
    size = 52 + 32 + len(CODE)
    header = struct.pack("<4sBBB9xHHIIIIIHHHHHH", b"\x7fELF", 1, 1, 1, 2, 3, 1, BASE + 84, 52, 0, 0,
                         52, 32, 1, 0, 0, 0)
    segment = struct.pack("<8I", 1, 0, BASE, BASE, size, size, 5, 0x1000)
    return header + segment + CODE


def main():
    with tempfile.NamedTemporaryFile(delete=False) as f:
        f.write(probe_program())
    os.chmod(f.name, 0o700)
    try:
        sys.exit(subprocess.run([f.name]).returncode)
    except OSError:
        sys.exit(1)
    finally:
        os.unlink(f.name)


if __name__ == "__main__":
    main()
