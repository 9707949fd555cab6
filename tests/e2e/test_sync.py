"""Syncing and starting the target: attempt counts, split replies, the ready byte, stop signals."""
import unittest

from harness import UploadTest, records, run_quorvane


class Sync(UploadTest):
    def check_attempts(self, timeout, waits):
        sim = self.sim("--silent-sync")
        run = run_quorvane([self.image([]), sim.device, 9600, timeout])
        self.assertFailedWith(run, "Target is not responding.")
        waited = run.lines[-1][0] - run.time_of("Syncing with the device...")
        self.assertGreater(waited, 2.0 * waits - 0.1)
        self.assertLess(waited, 2.0 * waits + 0.8)

    def test_reply_split_across_attempts_is_accepted(self):
        sim = self.sim("--split-sync")
        run = run_quorvane([self.image(records(2, 8)), sim.device, 9600, 6])
        self.assertSucceeded(run)

    def test_reply_followed_by_another_byte_needs_a_later_attempt(self):
        sim = self.sim("--sync-extra")
        run = run_quorvane([self.image(records(2, 8)), sim.device, 9600, 6])
        self.assertSucceeded(run)
        self.assertGreater(run.time_of("Transferring...") - run.time_of("Syncing"), 1.0)

    def test_bytes_before_the_start_command_are_not_taken_for_the_ready_byte(self):
        # A second reply lands while the host waits to send the start command.
        sim = self.sim("--sync-echo", "200")
        run = run_quorvane([self.image(records(2, 8)), sim.device, 9600, 4])
        self.assertSucceeded(run)
        self.assertEqual(sim.records(), records(2, 8))

    def test_missing_or_wrong_ready_byte_aborts(self):
        for option in ("--no-ready", "--wrong-ready"):
            with self.subTest(option):
                sim = self.sim(option)
                run = run_quorvane([self.image(records(2, 8)), sim.device, 19200, 4])
                self.assertFailedWith(run, "Target is not in sync... aborting.")
                self.assertEqual(sim.records(), [])

    def test_default_timeout_and_trailing_letters_allow_many_attempts(self):
        for args in ([], ["45s"]):
            with self.subTest(args=args):
                sim = self.sim("--silent-sync")
                run = run_quorvane([self.image([]), sim.device, 9600] + args,
                                   stop_when=lambda line: False, limit=12)
                # Still syncing when killed after 12 s: more than the three attempts of 7 s.
                self.assertEqual(run.status, -9, run.output)


# A silent target gets one 2-second attempt per two seconds of timeout, and at least one.
for _timeout, _waits in (("3", 1), ("5", 2), ("1", 1), ("0", 1), ("-5", 1), ("abc", 1)):
    setattr(Sync, "test_silent_target_with_timeout_%s" % _timeout.replace("-", "minus"),
            lambda self, t=_timeout, w=_waits: self.check_attempts(t, w))


if __name__ == "__main__":
    unittest.main()
