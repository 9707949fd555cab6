#!/usr/bin/env python3
"""The whole upload on Windows: quorvane.exe under Wine against the simulated target.

    upload_under_wine.py --prefix DIR --arch win32|win64 --wine LOADER [--interrupt] \
        QUORVANE_EXE QUORVANE_SIM IMAGE

Builds nothing. The simulated target's pty is mapped as COM5 of the prefix, and
`quorvane.exe IMAGE \\\\.\\COM5 115200 10` must end with status 0 and "Target updated
successfully.", with every record of the image received once, in order.

With --interrupt the target never answers the sync request, and a SIGINT (which Wine hands the
program as Ctrl+C) comes once the program is syncing: the run must end with "Terminated by
user!" in the failure block and status -1.
"""
import argparse
import os
import select
import signal
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from run_with_com_port import FileLock, ensure_prefix_and_server, wine_environment  # noqa: E402

SIM_TIME_LIMIT_S = 120
UPLOAD_TIME_LIMIT_S = 150


def image_records(path):
    """The image's records as the target logs them: upper-case hex, length field included."""
    with open(path) as f:
        data = bytes.fromhex("".join(f.read().split()))
    records, off = [], 0
    while off + 2 <= len(data):
        end = off + 2 + int.from_bytes(data[off:off + 2], "big")
        records.append(data[off:end].hex().upper())
        off = end
    return records


def read_device_line(sim):
    ready, _, _ = select.select([sim.stdout], [], [], 10)
    line = sim.stdout.readline().decode() if ready else ""
    if not line.startswith("device: "):
        sys.exit("the simulated target printed no device line: %r" % line)
    return line[len("device: "):].strip()


def run_quorvane(args, env, interrupt):
    """Runs quorvane.exe on COM5; with interrupt, sends SIGINT once it says it is syncing."""
    command = [args.wine, args.quorvane, args.image, "\\\\.\\COM5", "115200", "10"]
    program = subprocess.Popen(command, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                               stderr=subprocess.STDOUT)
    lines = []
    try:
        for raw in program.stdout:
            lines.append(raw.decode(errors="replace").rstrip("\r\n"))
            if interrupt and lines[-1] == "Syncing with the device...":
                program.send_signal(signal.SIGINT)
        status = program.wait(timeout=UPLOAD_TIME_LIMIT_S)
    finally:
        if program.poll() is None:
            program.kill()
            program.wait()
    print("\n".join(lines))
    return status, lines


def check_upload(status, lines, received, image):
    failures = []
    if status != 0:
        failures.append("exit status %d, not 0" % status)
    if "Target updated successfully." not in lines:
        failures.append('no line "Target updated successfully."')
    expected = image_records(image)
    if received != expected:
        failures.append("the target received %d records, the image has %d%s" % (
            len(received), len(expected), "" if len(received) != len(expected) else " (contents differ)"))
    return failures


def check_interrupted(status, lines):
    failures = []
    if status != 255:  # -1 as an exit status
        failures.append("exit status %d, not 255 (-1)" % status)
    block = ["", "*** Failed ***", "Terminated by user!", ""]
    if not any(lines[i:i + len(block)] == block for i in range(len(lines))):
        failures.append("no failure block with \"Terminated by user!\"")
    return failures


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--prefix", required=True)
    parser.add_argument("--arch", choices=("win32", "win64"), required=True)
    parser.add_argument("--wine", required=True)
    parser.add_argument("--wineserver", default="wineserver")
    parser.add_argument("--interrupt", action="store_true")
    parser.add_argument("quorvane")
    parser.add_argument("sim")
    parser.add_argument("image")
    args = parser.parse_args()

    env = wine_environment(os.path.abspath(args.prefix), args.arch)
    ensure_prefix_and_server(args.wine, args.wineserver, env)
    dosdevices = os.path.join(env["WINEPREFIX"], "dosdevices")
    com5 = os.path.join(dosdevices, "com5")
    port_lock = FileLock(os.path.join(dosdevices, ".quorvane-com5.lock"))  # one COM5 per prefix
    record_log = os.path.join(tempfile.mkdtemp(prefix="quorvane-upload-"), "records.log")
    sim_command = [args.sim, "--record-log", record_log, "--time-limit", str(SIM_TIME_LIMIT_S)]
    if args.interrupt:
        sim_command.append("--silent-sync")
    sim = subprocess.Popen(sim_command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE)
    try:
        device = read_device_line(sim)
        if os.path.lexists(com5):
            os.unlink(com5)
        os.symlink(device, com5)
        status, lines = run_quorvane(args, env, args.interrupt)
        sim.wait(timeout=30)  # the target ends once the host has closed the device
        with open(record_log) as f:
            received = f.read().split()
    finally:
        if sim.poll() is None:
            sim.terminate()
            sim.wait()
        if os.path.lexists(com5):
            os.unlink(com5)
        port_lock.release()

    if args.interrupt:
        failures = check_interrupted(status, lines)
    else:
        failures = check_upload(status, lines, received, args.image)
    for failure in failures:
        print("FAILED: " + failure)
    if not failures:
        print("passed")
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
