"""Whole uploads against the simulated target: records byte for byte, resends, pauses, progress."""
import unittest

from harness import BANNER, UploadTest, failure_block, record, records, run_quorvane


class Upload(UploadTest):
    def upload(self, recs, *options, bitrate=115200, timeout=4, line_stays=True):
        sim = self.sim(*options)
        watch = self.settings(sim.device)
        run = run_quorvane([self.image(recs), sim.device, bitrate, timeout])
        if line_stays:  # after a hang-up the device has no settings left to read
            self.assertTrue(watch.unchanged(), "the device's settings were not restored")
        return sim, run

    def test_records_arrive_byte_for_byte_with_the_whole_console_text(self):
        recs = records(20, 200) + [record(b"\x13\x11\x06\x00\xff"), record(b"")]
        sim, run = self.upload(recs)
        self.assertSucceeded(run)
        self.assertEqual(sim.records(), recs)
        total = sum(len(r) for r in recs)
        expected, acked, previous = [], 0, None
        for r in recs:
            if acked * 100 // total != previous:
                previous = acked * 100 // total
                expected.append("Transferring... %d%% done.\n" % previous)
            acked += len(r)
        self.assertEqual(run.output, BANNER + "Serial device %s opened...\nSyncing with the device...\n" % sim.device
                         + "".join(expected) + "Transferring... 100% done.\nTarget updated successfully.\n")

    def test_progress_starts_at_zero_never_repeats_and_ends_at_100(self):
        sim, run = self.upload(records(150, 3), "--reject", "5:2")
        self.assertSucceeded(run)
        figures = run.progress()
        self.assertEqual(figures[0], 0)
        self.assertEqual(figures[-1], 100)
        self.assertEqual(len(figures), len(set(figures)), figures)
        self.assertEqual(figures, sorted(figures))

    def test_rejected_record_is_sent_again_identically(self):
        recs = records(4, 64)
        sim, run = self.upload(recs, "--reject", "2:3")
        self.assertSucceeded(run)
        self.assertEqual(sim.records(), [recs[0]] + [recs[1]] * 4 + recs[2:])

    def test_fourth_rejection_in_one_response_fails(self):
        recs = records(3, 16)
        sim, run = self.upload(recs, "--reject-burst", "2:4")
        self.assertFailedWith(run, "CRC error... file damaged.")
        self.assertEqual(sim.records(), recs[:2])

    def test_pause_then_acknowledgement_goes_on(self):
        recs = records(3, 16)
        sim, run = self.upload(recs, "--pause-ack", "2", "--pause-ms", "1500")
        self.assertSucceeded(run)
        self.assertEqual(sim.records(), recs)

    def test_pause_then_silence_is_not_responding(self):
        recs = records(3, 16)
        sim, run = self.upload(recs, "--pause-silent", "2")
        self.assertFailedWith(run, "Target is not responding.")
        self.assertEqual(sim.records(), recs[:2])
        self.assertGreater(run.lines[-1][0] - run.time_of("Transferring... 33%"), 1.9)

    def test_silence_at_a_record_is_not_responding(self):
        recs = records(3, 16)
        sim, run = self.upload(recs, "--silent-at", "3")
        self.assertFailedWith(run, "Target is not responding.")
        self.assertEqual(sim.records(), recs)

    def test_ignored_bytes_move_on_without_counting(self):
        recs = records(4, 100)
        sim, run = self.upload(recs, "--ignored", "1:AK")
        self.assertSucceeded(run)
        self.assertEqual(sim.records(), recs)
        self.assertEqual(run.progress(), [0, 25, 50, 100])

    def test_double_acknowledgement_runs_ahead(self):
        recs = records(4, 100)
        sim, run = self.upload(recs, "--double-ack", "1")
        self.assertSucceeded(run)
        self.assertEqual(run.progress(), [0, 50, 75, 100, 100])

    def test_record_longer_than_the_ring_is_sent_whole(self):
        recs = [record(bytes(i & 0xFF for i in range(10000))), record(b"tail")]
        sim, run = self.upload(recs)
        self.assertSucceeded(run)
        self.assertEqual(sim.records(), recs)

    def test_empty_image_sends_no_record_and_succeeds(self):
        sim, run = self.upload([])
        self.assertSucceeded(run)
        self.assertEqual(run.progress(), [100])
        self.assertEqual(sim.records(), [])

    def test_one_small_record(self):
        recs = [bytes.fromhex("0003AABBCC")]
        sim, run = self.upload(recs)
        self.assertSucceeded(run)
        self.assertEqual(run.progress(), [0, 100])
        self.assertEqual(sim.records(), recs)

    def test_target_hanging_up_mid_upload_fails_cleanly(self):
        recs = records(5, 32)
        sim, run = self.upload(recs, "--hangup-at", "3", line_stays=False)
        # The drain after the record fails once the line is gone; if it came first, the wait for
        # the answer does.
        drain = "WaitForWrites(): WIN32 FlushFileBuffers() failed: Input/output error"
        wait = "WaitForReads(): WIN32 WaitForSingleObject() failed: Input/output error"
        self.assertEqual(run.status, 255, run.output)
        self.assertTrue(run.output.endswith(failure_block(drain))
                        or run.output.endswith(failure_block(wait)), run.output)
        self.assertEqual(sim.records(), recs[:3])


if __name__ == "__main__":
    unittest.main()
