"""Every stop signal at every stage of an upload: "Terminated by user!", status 255, the device's
settings as before, and nothing sent after the stop beyond the record already under way."""
import signal
import time
import unittest

from harness import UploadTest, records, run_quorvane

SIGNALS = {"int": signal.SIGINT, "term": signal.SIGTERM, "hup": signal.SIGHUP, "quit": signal.SIGQUIT}


def after(prefix, delay):
    """A stop condition: delay seconds after the first line starting with prefix."""
    state = {}

    def when(line):
        if line.startswith(prefix) and "at" not in state:
            state["at"] = time.monotonic()
            time.sleep(delay)
            return True
        return False

    return when


# stage: (target options, bit rate, records, stop condition, records the target may get)
STAGES = {
    "settle": ([], 115200, records(3, 16), lambda: after("Serial device", 1.0), 0),
    "sync": (["--silent-sync"], 115200, records(3, 16), lambda: after("Syncing", 0.5), 0),
    "start": (["--ready-delay", "400"], 115200, records(3, 16), lambda: after("Syncing", 0.6), 0),
    "record": (["--bitrate", "9600"], 9600, records(3, 1000), lambda: after("Transferring... 0%", 0.5), 1),
    "pause": (["--pause-ack", "2", "--pause-ms", "1500"], 115200, records(3, 16),
              lambda: after("Transferring... 33%", 0.5), 2),
}


class StopSignals(UploadTest):
    def check_stop(self, stage, sig):
        options, bitrate, recs, stop_when, allowed = STAGES[stage]
        sim = self.sim(*options)
        watch = self.settings(sim.device)
        run = run_quorvane([self.image(recs), sim.device, bitrate, 10], stop_when=stop_when(),
                           stop_signal=SIGNALS[sig])
        self.assertFailedWith(run, "Terminated by user!")
        self.assertTrue(watch.unchanged(), "the device's settings were not restored")
        self.assertEqual(sim.records(), recs[:allowed])


for _stage in STAGES:
    for _sig in SIGNALS:
        setattr(StopSignals, "test_%s_during_%s" % (_sig, _stage),
                lambda self, st=_stage, sg=_sig: self.check_stop(st, sg))


if __name__ == "__main__":
    unittest.main()
