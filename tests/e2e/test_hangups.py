"""The target hanging up at each stage: during the sync, in the middle of a record and during a
pause. Each run fails with status 255 at once, with the port's own failure (the line is gone,
not silent), and never reports success."""
import unittest

from harness import UploadTest, failure_text, record, records, run_quorvane
from upload_model import PORT_FAILURE

GONE_WHILE_WAITING = "WaitForReads(): WIN32 WaitForSingleObject() failed: Input/output error"

SMALL = records(3, 16)
LONG = [record(b"\x01" * 16), record(bytes(i & 0xFF for i in range(60000))), record(b"\x02" * 16)]

# stage: (target options, records, line after which the hang-up comes, records the target gets,
#         the failure text when only one can come)
STAGES = {
    # The drain of what was sent last or the wait for its answer finds the line gone.
    "sync": (["--hangup-sync"], SMALL, "Syncing", 0, None),
    "record": (["--hangup-within", "2:1000"], LONG, "Transferring... 0%", 1, None),
    "pause": (["--pause-hangup", "2", "--pause-ms", "300"], SMALL, "Transferring... 33%", 2, GONE_WHILE_WAITING),
}


class HangUps(UploadTest):
    def check_hangup(self, stage):
        options, recs, before, delivered, expected = STAGES[stage]
        sim = self.sim(*options)
        run = run_quorvane([self.image(recs), sim.device, 115200, 4], limit=60)
        self.assertEqual(run.status, 255, run.output)
        self.assertNotIn("Target updated successfully.", run.output)
        text = failure_text(run.output)
        self.assertIsNotNone(text, run.output)
        self.assertTrue(PORT_FAILURE.fullmatch(text), run.output)
        if expected:
            self.assertEqual(text, expected, run.output)
        # Reported as soon as the line is gone, not after a 2 s wait for an answer.
        self.assertLess(run.time_of("*** Failed ***") - run.time_of(before), 1.5, run.output)
        self.assertEqual(sim.records(), recs[:delivered])


for _stage in STAGES:
    setattr(HangUps, "test_hangup_during_%s" % _stage, lambda self, st=_stage: self.check_hangup(st))


if __name__ == "__main__":
    unittest.main()
