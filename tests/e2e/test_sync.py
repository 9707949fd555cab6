"""Syncing and starting the target: attempt counts, split replies, the ready byte, stop signals."""
import os
import unittest

from harness import UploadTest, records, run_quorvane
import upload_model


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

    def test_fixed_pauses_between_the_steps(self):
        log = os.path.join(self.scratch.name, "events.log")
        sim = self.sim("--ready-delay", "400", "--event-log", log)
        run = run_quorvane([self.image(records(2, 8)), sim.device, 115200, 4])
        self.assertSucceeded(run)
        with open(log) as events:
            first = {}
            for e in upload_model.parse_events(events.read()):
                first.setdefault(e.name, e.us / 1e6)
        settle = run.time_of("Syncing") - run.time_of("Serial device")
        self.assertTrue(4.95 < settle < 5.5, "settle time %.3f s" % settle)
        before_start = first["rx-start"] - first["tx-sync-reply"]
        self.assertTrue(0.5 <= before_start < 0.8, "start command %.3f s after the reply" % before_start)
        # The ready byte comes 400 ms after the start command, past the host's 250 ms wait.
        before_records = first["record-first-byte"] - first["tx-ready"]
        self.assertTrue(0.5 <= before_records < 0.8, "first record %.3f s after ready" % before_records)

    def test_missing_or_wrong_ready_byte_aborts(self):
        for option in ("--no-ready", "--wrong-ready"):
            with self.subTest(option):
                sim = self.sim(option)
                run = run_quorvane([self.image(records(2, 8)), sim.device, 19200, 4])
                self.assertFailedWith(run, "Target is not in sync... aborting.")
                self.assertEqual(sim.records(), [])

    def upload_with_late_reply(self, timeout_args):
        """A reply 13 s after the request: the seventh 2-second attempt takes it."""
        sim = self.sim("--sync-delay", "13000")
        image = records(2, 8)
        run = run_quorvane([self.image(image), sim.device, 9600] + timeout_args)
        return run, sim, image

    def test_late_reply_is_taken_with_the_default_timeout(self):
        run, sim, image = self.upload_with_late_reply([])
        self.assertSucceeded(run)
        self.assertEqual(sim.records(), image)
        self.assertGreater(run.time_of("Transferring...") - run.time_of("Syncing"), 13.0)

    def test_late_reply_is_taken_with_a_timeout_ending_in_letters(self):
        run, sim, image = self.upload_with_late_reply(["45s"])
        self.assertSucceeded(run)
        self.assertEqual(sim.records(), image)

    def test_late_reply_is_missed_with_three_attempts(self):
        run, sim, _ = self.upload_with_late_reply(["7"])
        self.assertFailedWith(run, "Target is not responding.")
        waited = run.lines[-1][0] - run.time_of("Syncing with the device...")
        self.assertTrue(5.9 < waited < 6.8, "gave up after %.2f s" % waited)
        self.assertEqual(sim.records(), [])


# A silent target gets one 2-second attempt per two seconds of timeout, and at least one.
for _timeout, _waits in (("3", 1), ("5", 2), ("1", 1), ("0", 1), ("-5", 1), ("abc", 1)):
    setattr(Sync, "test_silent_target_with_timeout_%s" % _timeout.replace("-", "minus"),
            lambda self, t=_timeout, w=_waits: self.check_attempts(t, w))


if __name__ == "__main__":
    unittest.main()
