"""Runs the real quorvane binary against quorvane-sim on a pseudo-terminal."""
import os
import re
import signal
import subprocess
import tempfile
import termios
import threading
import time
import unittest

BUILD = os.environ.get("QUORVANE_BUILD", os.path.join(os.path.dirname(__file__), "../../build/default"))
QUORVANE = os.environ.get("QUORVANE_BIN", os.path.join(BUILD, "quorvane"))
SIM = os.environ.get("QUORVANE_SIM", os.path.join(BUILD, "tools", "quorvane-sim"))

BANNER = ("\n"
          "                       QUORVANE_ZELK v1.0                       \n"
          "\n"
          " Copyright (c) the quorvane developers. All rights reserved.\n"
          "\n")
USAGE = (" usage: quorvane  <filename> <devicename> <bitrate> [timeout]\n"
         "\n"
         "   <filename>     File with the flash upgrade firmware.\n"
         "   <devicename>   Communications port (i.e. \\\\.\\COM1, \\\\.\\COM2, ...).\n"
         "   <bitrate>      Communication bitrate (9600, 19200, 38400, 57600, 115200)\n"
         "   [timeout]      Syncronization timeout (optional: 5..120 sec, default 30)\n"
         "\n")


def failure_block(text):
    return "\n*** Failed ***\n" + text + "\n\n"


FAILURE_TAIL = re.compile(r"\n\*\*\* Failed \*\*\*\n(.*)\n\n\Z")


def failure_text(output):
    """The text of the failure block that ends output, or None when it does not end with one."""
    tail = FAILURE_TAIL.search(output)
    return tail.group(1) if tail else None


def record(payload):
    return len(payload).to_bytes(2, "big") + bytes(payload)


def records(count, size, seed=1):
    return [record(bytes((seed + i * 31 + j * 7) & 0xFF for j in range(size))) for i in range(count)]


class Run:
    """The outcome of one quorvane run: exit status, output and when each line came."""

    def __init__(self, status, lines):
        self.status = status
        self.lines = lines  # (seconds since start, text)

    @property
    def output(self):
        return "".join(text for _, text in self.lines)

    def time_of(self, prefix):
        for when, text in self.lines:
            if text.startswith(prefix):
                return when
        raise AssertionError("no line starting with %r in:\n%s" % (prefix, self.output))

    def progress(self):
        return [int(text.split()[1].rstrip("%")) for _, text in self.lines if text.startswith("Transferring... ")]


def run_quorvane(args, stop_when=None, stop_signal=signal.SIGINT, limit=120):
    """Runs quorvane with args; stop_when(line) -> True sends stop_signal once."""
    started = time.monotonic()
    proc = subprocess.Popen([QUORVANE] + [str(a) for a in args], stdout=subprocess.PIPE,
                            stdin=subprocess.DEVNULL, text=True, bufsize=1)
    timer = threading.Timer(limit, proc.kill)
    timer.start()
    lines = []
    stopped = False
    try:
        for line in proc.stdout:
            lines.append((time.monotonic() - started, line))
            if stop_when and not stopped and stop_when(line):
                proc.send_signal(stop_signal)
                stopped = True
        status = proc.wait()
    finally:
        timer.cancel()
        proc.stdout.close()
    return Run(status, lines)


class Sim:
    """quorvane-sim on a fresh pty pair, with the given options."""

    def __init__(self, *options, bitrate=None):
        self.dir = tempfile.TemporaryDirectory(prefix="quorvane-e2e-")
        self.record_log = os.path.join(self.dir.name, "records.log")
        args = [SIM, "--record-log", self.record_log, "--time-limit", "90"]
        if bitrate:
            args += ["--bitrate", str(bitrate)]
        self.proc = subprocess.Popen(args + list(options), stdout=subprocess.PIPE,
                                     stdin=subprocess.DEVNULL, text=True)
        first = self.proc.stdout.readline()
        if not first.startswith("device: "):
            raise RuntimeError("quorvane-sim did not start: %r" % first)
        self.device = first[len("device: "):].strip()

    def records(self):
        if not os.path.exists(self.record_log):
            return []
        with open(self.record_log) as log:
            return [bytes.fromhex(line.strip()) for line in log if line.strip()]

    def close(self):
        if self.proc.poll() is None:
            self.proc.terminate()
        self.proc.wait(timeout=10)
        self.proc.stdout.close()
        self.dir.cleanup()


class DeviceSettings:
    """Keeps a descriptor to the device so that its settings can be compared before and after."""

    def __init__(self, path):
        self.fd = os.open(path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
        self.before = termios.tcgetattr(self.fd)

    def unchanged(self):
        return termios.tcgetattr(self.fd) == self.before

    def close(self):
        os.close(self.fd)


class UploadTest(unittest.TestCase):
    """A test with a scratch folder and helpers to write images and start simulated targets."""

    def setUp(self):
        self.scratch = tempfile.TemporaryDirectory(prefix="quorvane-e2e-")
        self.addCleanup(self.scratch.cleanup)

    def image(self, recs, text=None, name="image.txt"):
        path = os.path.join(self.scratch.name, name)
        with open(path, "w") as out:
            out.write(text if text is not None else b"".join(recs).hex().upper() + "\n")
        return path

    def sim(self, *options, bitrate=None):
        sim = Sim(*options, bitrate=bitrate)
        self.addCleanup(sim.close)
        return sim

    def settings(self, device):
        watch = DeviceSettings(device)
        self.addCleanup(watch.close)
        return watch

    def assertSucceeded(self, run):
        self.assertEqual(run.status, 0, run.output)
        self.assertTrue(run.output.endswith("Transferring... 100% done.\nTarget updated successfully.\n"),
                        run.output)

    def assertFailedWith(self, run, text):
        self.assertEqual(run.status, 255, run.output)
        self.assertTrue(run.output.endswith(failure_block(text)), run.output)
