"""Unplugging in the middle of an upload: the adapter removed (QMP device_del), or the host end of
a line closed (the sim killed), while quorvane in the guest waits for an answer, for the sync reply,
in a pause, or while the port is idle. The run ends with status 255 and the failure block, never
success, within a second of the cut where the device can tell (the 16550 cannot: a closed host end
leaves it a quiet line); the guest goes on, and a new line plugged in afterwards uploads again."""
import os
import tempfile
import time
import unittest

from rig import GuestTest, harness, sample_records, upload_output, wait_for_event

# The sim sees the host's last byte a moment before the host's drain of it returns, so the cut can
# still find the host in WaitForWrites; after that it waits in WaitForReads.
DEVICE_FAILED = ("WaitForReads(): WIN32 WaitForSingleObject() failed: Input/output error",
                 "WaitForWrites(): WIN32 FlushFileBuffers() failed: Input/output error")
NOT_RESPONDING = ("Target is not responding.",)
# The settle after the open is a sleep: the port's failure shows at the first call after it.
PURGE_FAILED = ("PurgeAll(): WIN32 PurgeComm() failed: Input/output error",)
AWAITING_RECORD_10 = (["--answer-delay", "10:3000"], "record-complete 10 1 ", 10)

# name: (device, (sim options, sim event that starts the cut, records the sim gets),
#        how the line is cut, the failure texts the run may end with, seconds from the cut to the
#        failure block, whether a new line is plugged in and uploaded to afterwards)
IN_THE_SYNC = (["--silent-sync"], "rx-sync", 0)
IN_A_PAUSE = (["--pause-silent", "10"], "tx-pause 10", 10)
WHILE_IDLE = ([], None, 0)  # cut once the port is open, during the settle

CASES = {
    "adapter_unplugged_awaiting_an_answer": ("ttyUSB0", AWAITING_RECORD_10, "unplug", DEVICE_FAILED, 1.0, True),
    "adapter_host_end_closed_awaiting_an_answer": ("ttyUSB0", AWAITING_RECORD_10, "close", DEVICE_FAILED, 1.0, True),
    # A 16550 has no way to tell: the wait for an answer runs out, 2 s after the record.
    "uart_host_end_closed_awaiting_an_answer": ("ttyS1", AWAITING_RECORD_10, "close", NOT_RESPONDING, 3.0, True),
    "adapter_unplugged_in_the_sync": ("ttyUSB0", IN_THE_SYNC, "unplug", DEVICE_FAILED, 1.0, False),
    "adapter_unplugged_in_a_pause": ("ttyUSB0", IN_A_PAUSE, "unplug", DEVICE_FAILED, 1.0, False),
    "adapter_unplugged_while_idle": ("ttyUSB0", WHILE_IDLE, "unplug", PURGE_FAILED, 6.0, False),
}


class Unplugging(GuestTest):
    def check_cut(self, name):
        device, (options, event, delivered), cut, texts, within, replug = CASES[name]
        recs = sample_records()
        scratch = tempfile.TemporaryDirectory(prefix="quorvane-vm-")
        self.addCleanup(scratch.cleanup)
        events = os.path.join(scratch.name, "events.log")
        sim, other = self.sim("--event-log", events, *options), self.host_end()
        fresh = self.sim() if replug else None  # the new line's target
        serial, usb = (sim.device, other.path) if device == "ttyS1" else (other.path, sim.device)
        upload = "/bin/quorvane /sample-image.txt /dev/%s 115200 4" % device
        script = "run cut %s\n" % upload
        if replug:
            script += "ask replug\nwait_device /dev/%s\nrun again %s\n" % (device, upload)
        guest = self.boot(script, serial, usb)
        if replug:
            plug = guest.repoint_uart if device == "ttyS1" else guest.plug_adapter
            guest.on("replug", lambda: plug(fresh.device))

        if event:
            wait_for_event(events, event)
        else:
            guest.wait_line(r"^Serial device /dev/%s opened\.\.\.$" % device, 60)
        if cut == "unplug":
            guest.unplug_adapter()
        else:
            sim.proc.kill()
        cut_at = time.monotonic()

        run = guest.result("cut", limit=60)
        self.assertEqual(run.status, 255, run.output)
        self.assertNotIn("Target updated successfully.", run.output)
        self.assertIn(harness.failure_text(run.output), texts, run.output)
        self.assertLess(run.time_of("*** Failed ***") - cut_at, within, run.output)
        self.assertEqual(sim.records(), recs[:delivered])
        if replug:
            again = guest.result("again", limit=60)
            self.assertEqual(again.status, 0, again.output)
            self.assertEqual(again.output, upload_output("/dev/" + device, recs))
            self.assertEqual(fresh.records(), recs)
        guest.wait_done()


for _name in CASES:
    setattr(Unplugging, "test_" + _name, lambda self, n=_name: self.check_cut(n))


if __name__ == "__main__":
    unittest.main()
