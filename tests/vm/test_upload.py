"""The whole upload on the real drivers: quorvane in the guest uploads the sample image to
quorvane-sim through the 16550 and through the FTDI adapter, at 115200 and at 9600 bit/s. Around
each run vm_devstate holds the device, as another program would, and records its state: after the
run it must be exactly as before, and while the records go out low latency must be on."""
import unittest

from rig import GuestTest, sample_records, upload_output

RUNS = [("ttyS1", 115200), ("ttyS1", 9600), ("ttyUSB0", 115200), ("ttyUSB0", 9600)]


class UploadOnRealDrivers(GuestTest):
    def check_upload(self, device, bitrate):
        recs = sample_records()
        sim, other = self.sim(), self.host_end()
        serial, usb = (sim.device, other.path) if device == "ttyS1" else (other.path, sim.device)
        guest = self.boot("run upload vm_devstate /dev/{0} -- /bin/quorvane /sample-image.txt /dev/{0} {1} 4\n"
                          .format(device, bitrate), serial, usb)
        run = guest.result("upload", limit=90)
        self.assertEqual(run.status, 0, run.output)
        self.assertEqual(run.output, upload_output("/dev/" + device, recs))
        self.assertEqual(sim.records(), recs, "every record once and in order")
        # The last progress line comes after Close: low latency off again, the timer back at 16 ms.
        self.assertIn("during", run.states, run.output)
        during = dict(field.split("=") for field in run.states["during"].split())
        lines = sum(1 for _, text in run.lines if text.startswith("Transferring... "))
        self.assertEqual(during["low_latency"], ",".join(["1"] * (lines - 1) + ["0"]), run.states["during"])
        if device == "ttyUSB0":
            self.assertEqual(during["latency"], ",".join(["1"] * (lines - 1) + ["16"]), run.states["during"])
        self.assertIn("before", run.states, run.output)
        self.assertEqual(run.states.get("after"), run.states["before"], "the device's state after the run")
        guest.wait_done()


for _device, _bitrate in RUNS:
    setattr(UploadOnRealDrivers, "test_%s_at_%d" % (_device, _bitrate),
            lambda self, d=_device, b=_bitrate: self.check_upload(d, b))


if __name__ == "__main__":
    unittest.main()
