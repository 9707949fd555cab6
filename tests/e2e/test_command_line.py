"""The command line: banner, usage, argument checks, the failure block and the exit status."""
import os
import subprocess
import unittest

from harness import BANNER, QUORVANE, USAGE, UploadTest, failure_block, run_quorvane


def raw_run(*args):
    proc = subprocess.run([QUORVANE] + list(args), stdout=subprocess.PIPE, stdin=subprocess.DEVNULL, timeout=30)
    return proc.returncode, proc.stdout.decode()


class CommandLine(unittest.TestCase):
    def test_wrong_argument_counts_print_banner_and_usage(self):
        for args in ([], ["a"], ["a", "b"], ["a", "b", "9600", "10", "extra"]):
            with self.subTest(args=args):
                self.assertEqual(raw_run(*args), (255, BANNER + USAGE))

    def test_only_the_five_listed_bit_rates_are_accepted(self):
        for rate in ("09600", "9600 ", " 9600", "+9600", "230400", "14400", "", "9600x"):
            with self.subTest(rate=rate):
                self.assertEqual(raw_run("missing.txt", "/dev/null", rate), (255, BANNER + USAGE))
        for rate in ("9600", "19200", "38400", "57600", "115200"):
            with self.subTest(rate=rate):
                self.assertEqual(raw_run("missing.txt", "/dev/null", rate, "10"),
                                 (255, BANNER + failure_block("Firmware file not found!")))


class RefusedBeforeTheDevice(UploadTest):
    """Failures found before any byte goes on the line: the device is never opened."""

    def test_each_refusal_prints_its_block(self):
        cases = [
            ("missing file", os.path.join(self.scratch.name, "none.txt"), "Firmware file not found!"),
            ("truncated", self.image([], text="0005AABB\n", name="cut.txt"), "Firmware file truncated!"),
            ("too large", self.image([], text="00" * 393217, name="big.txt"), "Firmware file too large!"),
            ("a folder", self.scratch.name, "Firmware file read error!"),
        ]
        sim = self.sim()
        for name, path, text in cases:
            with self.subTest(name):
                self.assertEqual(raw_run(path, sim.device, "9600"), (255, BANNER + failure_block(text)))
        self.assertEqual(sim.records(), [])

    def test_unusable_devices_are_named(self):
        image = self.image([], text="")
        plain_file = self.image([], text="", name="plain.txt")
        cases = [
            (plain_file, "Not a tty device!"),
            ("/dev/null", "Not a tty device!"),
            ("/dev/quorvane-missing", "Device not found!"),
            (plain_file + "/below", "Device access error!"),
        ]
        for device, text in cases:
            with self.subTest(device=device):
                self.assertEqual(raw_run(image, device, "115200"), (255, BANNER + failure_block(text)))

    def test_device_in_use_by_another_program(self):
        import fcntl
        sim = self.sim()
        holder = os.open(sim.device, os.O_RDWR | os.O_NOCTTY)
        self.addCleanup(os.close, holder)
        fcntl.flock(holder, fcntl.LOCK_EX | fcntl.LOCK_NB)
        run = run_quorvane([self.image([], text=""), sim.device, 9600])
        self.assertEqual(run.status, 255)
        self.assertEqual(run.output, BANNER + failure_block("Access denied or device in use!"))

    def test_device_denied_to_an_unprivileged_user(self):
        if os.geteuid() != 0:
            self.skipTest("needs root to run as another user")
        sim = self.sim()
        os.chmod(sim.device, 0o600)
        image = self.image([], text="")
        os.chmod(self.scratch.name, 0o755)
        os.chmod(image, 0o644)
        proc = subprocess.run(["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups",
                               QUORVANE, image, sim.device, "9600"],
                              stdout=subprocess.PIPE, stdin=subprocess.DEVNULL, timeout=30)
        self.assertEqual((proc.returncode, proc.stdout.decode()),
                         (255, BANNER + failure_block("Access denied or device in use!")))
