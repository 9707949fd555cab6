"""The target hanging up at each stage: during the sync, in the middle of a record and during a
pause. Each run fails with status 255 soon after, with "Target is not responding." or the port's
own failure, and never reports success."""
import unittest

from harness import UploadTest, failure_text, record, records, run_quorvane
from upload_model import NOT_RESPONDING, PORT_FAILURE

SMALL = records(3, 16)
LONG = [record(b"\x01" * 16), record(bytes(i & 0xFF for i in range(60000))), record(b"\x02" * 16)]

# stage: (target options, records, line after which the hang-up comes, records the target gets,
#         the texts the failure may carry)
STAGES = {
    "sync": (["--hangup-sync"], SMALL, "Syncing", 0, "either"),
    "record": (["--hangup-within", "2:1000"], LONG, "Transferring... 0%", 1, "either"),
    # Only reads are under way during a pause, and a read finds nothing on a gone line.
    "pause": (["--pause-hangup", "2", "--pause-ms", "300"], SMALL, "Transferring... 33%", 2, "silence"),
}


class HangUps(UploadTest):
    def check_hangup(self, stage):
        options, recs, before, delivered, texts = STAGES[stage]
        sim = self.sim(*options)
        run = run_quorvane([self.image(recs), sim.device, 115200, 4], limit=60)
        self.assertEqual(run.status, 255, run.output)
        self.assertNotIn("Target updated successfully.", run.output)
        text = failure_text(run.output)
        self.assertIsNotNone(text, run.output)
        if texts == "silence":
            self.assertEqual(text, NOT_RESPONDING, run.output)
        else:
            self.assertTrue(text == NOT_RESPONDING or PORT_FAILURE.fullmatch(text), run.output)
        # At most the two 2 s waits of a timeout of 4 follow the hang-up, never a hang.
        self.assertLess(run.time_of("*** Failed ***") - run.time_of(before), 6.0, run.output)
        self.assertEqual(sim.records(), recs[:delivered])


for _stage in STAGES:
    setattr(HangUps, "test_hangup_during_%s" % _stage, lambda self, st=_stage: self.check_hangup(st))


if __name__ == "__main__":
    unittest.main()
