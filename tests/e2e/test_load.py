"""Sixteen uploads at once on sixteen pty pairs, each target pacing its line: every one succeeds
with its records byte for byte. (Their speed is measured by bench/upload_bench.py.)"""
import threading
import unittest

from harness import UploadTest, records, run_quorvane


class Load(UploadTest):
    def test_sixteen_paced_uploads_at_once_all_succeed(self):
        recs = records(64, 254, seed=3)  # 16 KiB of 256-byte records
        image = self.image(recs)
        sims = [self.sim(bitrate=115200) for _ in range(16)]
        runs = [None] * len(sims)

        def upload(i):
            runs[i] = run_quorvane([image, sims[i].device, 115200, 10])

        threads = [threading.Thread(target=upload, args=(i,)) for i in range(len(sims))]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        for sim, run in zip(sims, runs):
            self.assertSucceeded(run)
            self.assertEqual(sim.records(), recs)


if __name__ == "__main__":
    unittest.main()
