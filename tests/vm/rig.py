"""Boots the guest with its two serial lines, runs a test script in it and reads what it reports.

The guest sees a 16550A as /dev/ttyS1 and an FTDI adapter behind xHCI as /dev/ttyUSB0; the host end
of each is a pty given to QEMU: a quorvane-sim, or a HostEnd that the rig itself holds. The console
is QEMU's standard input and output: the guest marks what the rig must read with "@@RIG" lines
and asks for host-side actions with "@@RIG ask ID WHAT", which the rig answers with "@@ok ID"
(done) or "@@fail ID".
QMP unplugs and plugs the adapter and re-points the 16550.
"""
import json
import os
import pty
import re
import select
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import tty
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.append(os.path.join(HERE, "..", "e2e"))  # after this folder: both have a test_upload
import harness  # noqa: E402
from cpio import Archive  # noqa: E402

WORK = os.environ.get("QUORVANE_VM_WORK", os.path.join(HERE, "../../build/default/vm"))
KERNEL = os.environ.get("QUORVANE_VM_KERNEL", os.path.join(HERE, "../../build/vm-kernel/vmlinux"))
BOOT_LIMIT = 60  # seconds from start to the guest's "ready", both devices there
RESULT = re.compile(r"@@RIG end (\S+) rc=(\d+)$")


def accelerator():
    """KVM only where the processor's own virtualisation is loaded: the /dev/kvm of a machine that
    is itself a guest boots no stock kernel at a usable speed."""
    loaded = any(os.path.isdir("/sys/module/" + name) for name in ("kvm_intel", "kvm_amd"))
    if loaded and os.access("/dev/kvm", os.R_OK | os.W_OK):
        return ["-accel", "kvm", "-cpu", "host"]
    return ["-accel", "tcg"]


class HostEnd:
    """A pty held by the rig as the host end of a line. Everything the guest sends is read and
    dropped, unless the line is stalled: then the pty is filled up, QEMU cannot hand it another
    byte and the guest's driver keeps its output queued, as on a slow line."""

    def __init__(self):
        self.master, self.slave = pty.openpty()
        tty.setraw(self.slave)
        self.path = os.ttyname(self.slave)
        self.lock = threading.Lock()  # a read and the stall never cross
        self.stalled = False
        self.stopping = threading.Event()
        self.drainer = threading.Thread(target=self.drain, daemon=True)
        self.drainer.start()

    def drain(self):
        while not self.stopping.is_set():
            ready, _, _ = select.select([self.master], [], [], 0.02)
            with self.lock:
                if not ready or self.stalled:
                    continue
                try:
                    os.read(self.master, 65536)
                except OSError:  # QEMU has not opened its end yet
                    pass
            if not ready or self.stalled:
                self.stopping.wait(0.01)

    def stall(self):
        with self.lock:
            self.stalled = True
        os.set_blocking(self.slave, False)
        for size in (4096, 256, 16, 1):  # until not one more byte fits, or poll would still say writable
            try:
                while True:
                    os.write(self.slave, b"\0" * size)
            except BlockingIOError:
                pass

    def unstall(self):
        with self.lock:
            self.stalled = False

    def send(self, data):
        os.write(self.master, data)

    def send_break(self):
        """QEMU's multiplexer (uart_mux) turns its escape, Ctrl+A, and 'b' into a break on the line."""
        os.write(self.master, b"\x01b")

    def close(self):
        self.stopping.set()
        self.drainer.join()
        os.close(self.master)
        os.close(self.slave)


class Qmp:
    """QEMU's machine protocol on a unix socket: one command at a time, events skipped."""

    def __init__(self, path, running, limit=30):
        """Connects once QEMU has made the socket; running() tells whether QEMU is still there."""
        deadline = time.monotonic() + limit
        while True:
            try:
                self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
                self.sock.connect(path)
                break
            except (FileNotFoundError, ConnectionRefusedError):
                self.sock.close()
                if not running() or time.monotonic() > deadline:
                    raise AssertionError("QEMU opened no QMP socket at " + path)
                time.sleep(0.02)
        self.reader = self.sock.makefile("r")
        self.lock = threading.Lock()
        self.reader.readline()  # the greeting
        self.execute("qmp_capabilities")

    def execute(self, command, **arguments):
        with self.lock:
            self.sock.sendall(json.dumps({"execute": command, "arguments": arguments}).encode() + b"\n")
            while True:
                line = self.reader.readline()
                if not line:
                    raise AssertionError("QEMU closed QMP during " + command)
                reply = json.loads(line)
                if "return" in reply:
                    return reply["return"]
                if "error" in reply:
                    raise AssertionError("QMP %s %s: %s" % (command, arguments, reply["error"]))

    def close(self):
        self.reader.close()
        self.sock.close()


class GuestRun:
    """What one `run NAME COMMAND` in the guest printed, with the host's time of each line."""

    def __init__(self, status, lines):
        self.status = status
        self.lines = [(when, text) for when, text in lines if not text.startswith("@@RIG ")]
        self.states = {}
        for _, text in lines:
            if text.startswith("@@RIG state "):
                phase, _, rest = text[len("@@RIG state "):].partition(" ")
                self.states[phase] = rest

    @property
    def output(self):
        return "".join(text + "\n" for _, text in self.lines)

    def time_of(self, prefix):
        for when, text in self.lines:
            if text.startswith(prefix):
                return when
        raise AssertionError("no line starting with %r in:\n%s" % (prefix, self.output))


class Guest:
    """One boot of the guest running script (busybox sh, with init.sh's run, ask and wait_device)."""

    def __init__(self, script, serial, usb, uart_mux=False):
        self.dir = tempfile.TemporaryDirectory(prefix="quorvane-vm-")
        self.lines = []
        self.changed = threading.Condition()
        self.handlers = {}
        self.failures = []
        self.closing = False
        self.plugged = 0
        initrd = os.path.join(self.dir.name, "initrd")
        test = Archive()
        test.file("test.sh", script.encode(), 0o755)
        base_image = os.path.join(WORK, "initramfs.cpio")
        if not os.path.exists(base_image):
            raise AssertionError("no %s: the fixture test vm.prepare makes it" % base_image)
        with open(base_image, "rb") as base, open(initrd, "wb") as out:
            out.write(base.read() + test.bytes())  # the kernel unpacks them one after the other
        qmp_path = os.path.join(self.dir.name, "qmp.sock")
        # The multiplexer brings breaks from the host to the 16550. The adapter goes without: its
        # emulation takes bytes without asking the multiplexer for more, which would keep the last
        # few of a burst.
        muxed = ",mux=on" if uart_mux else ""
        command = ["qemu-system-x86_64"] + accelerator() + [
            "-m", "256", "-smp", "1", "-nodefaults", "-no-user-config", "-display", "none", "-no-reboot",
            "-serial", "stdio", "-qmp", "unix:%s,server=on,wait=off" % qmp_path,
            "-kernel", KERNEL, "-initrd", initrd,
            "-append", "console=ttyS0 panic=-1 quiet loglevel=1",
            "-chardev", "serial,id=s1,path=%s%s" % (serial, muxed), "-device", "isa-serial,chardev=s1",
            "-device", "qemu-xhci,id=xhci",
            "-chardev", "serial,id=u0,path=%s" % usb,
            "-device", "usb-serial,bus=xhci.0,chardev=u0,id=usbser0"]
        self.started = time.monotonic()
        self.proc = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.STDOUT)
        self.reader = threading.Thread(target=self.read_console, daemon=True)
        self.reader.start()
        try:
            self.qmp = Qmp(qmp_path, lambda: self.proc.poll() is None)
        except AssertionError as failed:
            self.proc.kill()
            self.proc.wait()
            self.reader.join(timeout=5)
            raise AssertionError("QEMU could not start the guest (%s); its output:\n%s"
                                 % (failed, self.console()))

    def read_console(self):
        for raw in self.proc.stdout:
            text = raw.decode(errors="replace").rstrip("\r\n")
            with self.changed:
                self.lines.append((time.monotonic(), text))
                self.changed.notify_all()
            if text.startswith("@@RIG ask "):
                threading.Thread(target=self.answer, args=(text,), daemon=True).start()
        with self.changed:
            self.lines.append((time.monotonic(), None))  # the console has ended
            self.changed.notify_all()

    def answer(self, text):
        """Does what the guest asked and answers "@@ok ID", or "@@fail ID" when it could not: the
        failure is kept for wait_done to report."""
        ident, _, what = text[len("@@RIG ask "):].partition(" ")
        verb, *args = what.split()
        answer = "ok"
        try:
            if verb not in self.handlers:
                raise AssertionError("this test offers no %r" % verb)
            self.handlers[verb](*args)
        except Exception as failure:  # noqa: BLE001 - reported by wait_done
            answer = "fail"
            if not self.closing:
                self.failures.append("the guest asked for %r: %r" % (what, failure))
        try:
            self.proc.stdin.write(("@@%s %s\n" % (answer, ident)).encode())
            self.proc.stdin.flush()
        except (OSError, ValueError):  # the guest has been shut down meanwhile
            pass

    def on(self, verb, handler):
        self.handlers[verb] = handler

    def console(self, last=60):
        with self.changed:
            return "\n".join(text for _, text in self.lines[-last:] if text is not None)

    def wait_line(self, pattern, limit):
        """The host time and the match of the first console line matching pattern."""
        regex = re.compile(pattern)
        deadline = time.monotonic() + limit
        with self.changed:
            seen = 0
            while True:
                for when, text in self.lines[seen:]:
                    if text is None:
                        raise AssertionError("the guest ended before %r; its console:\n%s"
                                             % (pattern, self.console()))
                    found = regex.search(text)
                    if found:
                        return when, found
                seen = len(self.lines)
                left = deadline - time.monotonic()
                if left <= 0:
                    raise AssertionError("no %r within %d s; the guest's console:\n%s"
                                         % (pattern, limit, self.console()))
                self.changed.wait(left)

    def wait_ready(self):
        try:
            self.wait_line(r"^@@RIG ready$", BOOT_LIMIT - (time.monotonic() - self.started))
        except AssertionError as missing:
            raise AssertionError("the guest did not boot with both serial devices (QEMU %s): %s" % (
                "status %s" % self.proc.poll() if self.proc.poll() is not None else "running", missing))

    def result(self, name, limit):
        """Waits for `run NAME ...` in the guest to end and returns what it printed."""
        begun, _ = self.wait_line(r"^@@RIG begin %s$" % re.escape(name), limit)
        _, end = self.wait_line(r"^@@RIG end %s rc=(\d+)$" % re.escape(name), limit)
        with self.changed:
            lines = [(when, text) for when, text in self.lines if text is not None]
        first = next(i for i, (when, text) in enumerate(lines) if text == "@@RIG begin " + name)
        last = next(i for i, (when, text) in enumerate(lines) if i > first and RESULT.match(text or ""))
        return GuestRun(int(end.group(1)), lines[first + 1:last])

    def wait_done(self, limit=30):
        """The guest ran its script to the end, and the rig did all that it asked."""
        self.wait_line(r"^@@RIG done$", limit)
        if self.failures:
            raise AssertionError("; ".join(self.failures))

    def unplug_adapter(self):
        self.qmp.execute("device_del", id="usbser%d" % self.plugged)

    def plug_adapter(self, path):
        self.plugged += 1
        chardev = "u%d" % self.plugged
        self.qmp.execute("chardev-add", id=chardev, backend={"type": "serial", "data": {"device": path}})
        self.qmp.execute("device_add", driver="usb-serial", bus="xhci.0", chardev=chardev,
                         id="usbser%d" % self.plugged)

    def repoint_uart(self, path):
        self.qmp.execute("chardev-change", id="s1", backend={"type": "serial", "data": {"device": path}})

    def close(self):
        self.closing = True
        self.qmp.close()
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
        try:
            self.proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        self.reader.join(timeout=5)
        self.proc.stdin.close()
        self.proc.stdout.close()
        self.dir.cleanup()


def wait_for_event(log, pattern, limit=60):
    """The host time at which quorvane-sim's event log first had a line matching pattern."""
    regex = re.compile(pattern)
    deadline = time.monotonic() + limit
    while time.monotonic() < deadline:
        if os.path.exists(log):
            with open(log) as events:
                if any(regex.search(line) for line in events):
                    return time.monotonic()
        time.sleep(0.005)
    raise AssertionError("quorvane-sim logged no %r within %d s" % (pattern, limit))


def sample_records():
    """The records of examples/sample-image.txt, as the target must receive them."""
    with open(os.path.join(HERE, "../../examples/sample-image.txt")) as image:
        data = bytes.fromhex(image.read().strip())
    recs, off = [], 0
    while off < len(data):
        size = 2 + int.from_bytes(data[off:off + 2], "big")
        recs.append(data[off:off + size])
        off += size
    return recs


def upload_output(device, recs):
    """The whole console text of a successful upload of recs."""
    total = sum(len(r) for r in recs)
    progress, acked, previous = [], 0, None
    for r in recs:
        if acked * 100 // total != previous:
            previous = acked * 100 // total
            progress.append("Transferring... %d%% done.\n" % previous)
        acked += len(r)
    return (harness.BANNER + "Serial device %s opened...\nSyncing with the device...\n" % device
            + "".join(progress) + "Transferring... 100% done.\nTarget updated successfully.\n")


class GuestTest(unittest.TestCase):
    """A test that boots the guest; everything it starts is ended when it ends."""

    def sim(self, *options):
        sim = harness.Sim(*options)
        self.addCleanup(sim.close)
        return sim

    def host_end(self):
        end = HostEnd()
        self.addCleanup(end.close)
        return end

    def boot(self, script, serial, usb, uart_mux=False):
        guest = Guest(script, serial, usb, uart_mux)
        self.addCleanup(guest.close)
        guest.wait_ready()
        return guest
