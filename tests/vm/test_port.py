"""The port library on the real drivers: vm_port_test (GoogleTest, built static from the library's
sources) runs in the guest, one suite per boot, on /dev/ttyS1 and on /dev/ttyUSB0. The rig holds
the host end of both lines and does what the cases ask of it: hold up or release the line, send
bytes or a break, unplug or plug the adapter."""
import unittest

from rig import GuestTest, HostEnd

# device: the suites that run on it
SUITES = {
    "ttyS1": ("LineControl", "Uart16550", "ExclusiveUse", "DeviceAsFound"),
    "ttyUSB0": ("LineControl", "ExclusiveUse", "DeviceAsFound", "UsbUnplug"),
}


class PortOnRealDrivers(GuestTest):
    def run_suite(self, device, suite):
        ends = {"ttyS1": self.host_end(), "ttyUSB0": self.host_end()}
        script = ("run port env QUORVANE_VM_DEVICE=/dev/%s /bin/vm_port_test --gtest_color=no --gtest_filter='%s.*'\n"
                  % (device, suite))
        guest = self.boot(script, ends["ttyS1"].path, ends["ttyUSB0"].path, uart_mux=True)
        guest.on("stall", lambda name: ends[name].stall())
        guest.on("unstall", lambda name: ends[name].unstall())
        guest.on("send", lambda name, count: ends[name].send(bytes(65 + i % 26 for i in range(int(count)))))
        guest.on("break", lambda name: ends[name].send_break())
        guest.on("unplug", guest.unplug_adapter)
        replacement = self.host_end()
        guest.on("plug", lambda: guest.plug_adapter(replacement.path))
        run = guest.result("port", limit=90)
        self.assertEqual(run.status, 0, run.output)
        self.assertIn("[  PASSED  ]", run.output)
        guest.wait_done()


for _device, _suites in SUITES.items():
    for _suite in _suites:
        setattr(PortOnRealDrivers, "test_%s_%s" % (_device, _suite),
                lambda self, d=_device, s=_suite: self.run_suite(d, s))


if __name__ == "__main__":
    unittest.main()
