#!/usr/bin/env python3
"""Upload benchmark: a 64 KiB image of 256-byte records to quorvane-sim pacing its line at
115200 bit/s, alone and then many at once (16 and 64 by default), each on its own pty pair.

Efficiency = ideal line time (per record: its bytes plus one acknowledgement byte, 10 bits each,
at 115200 bit/s) / measured time from the first byte of the first record to the last
acknowledgement. Turnaround = acknowledgement out of the target to the first byte of the next
record into it, over every record of every upload. Ack late = how long after a record counted as
whole the target's acknowledgement actually left: the target's own lateness, which counts against
the host's efficiency. Processor time is each process's own (user + system), per upload. Each run
also says how busy the whole machine was and how much of that was other programs: figures taken
while other programs hold the processors say little about the host.

The simulated line lets the first byte of a record and the acknowledgement through without a
byte time of their own, so the measured time is up to two byte times per record shorter than a
real line's and the figure can pass 1. "Strict" charges those two byte times back.

    bench/upload_bench.py [--build build/default] [--parallel 16,64] [--sim-arg=--spin-us=0]
"""
import argparse
import os
import resource
import statistics
import subprocess
import sys
import tempfile
import threading
import time

BITRATE = 115200
RECORD = 256  # bytes on the wire, length field included
IMAGE = 64 * 1024


def make_image(path):
    data = b"".join((RECORD - 2).to_bytes(2, "big") + bytes((i + j) & 0xFF for j in range(RECORD - 2))
                    for i in range(IMAGE // RECORD))
    with open(path, "w") as out:
        out.write(data.hex().upper() + "\n")


def reap(process):
    """Waits for the process to end and returns its resource usage."""
    _, status, usage = os.wait4(process.pid, 0)
    process.returncode = os.waitstatus_to_exitcode(status)
    return usage


def one_upload(build, image, work, sim_args):
    events = os.path.join(work, "events.log")
    sim = subprocess.Popen([os.path.join(build, "tools", "quorvane-sim"), "--bitrate", str(BITRATE),
                            "--event-log", events, "--time-limit", "120"] + sim_args,
                           stdout=subprocess.PIPE, stdin=subprocess.DEVNULL, text=True)
    device = sim.stdout.readline().split(": ", 1)[1].strip()
    # The host's progress lines go to a file: a pipe would wake this script for each of them.
    with open(os.path.join(work, "host.out"), "w+") as out:
        host = subprocess.Popen([os.path.join(build, "quorvane"), image, device, str(BITRATE), "10"],
                                stdout=out, stdin=subprocess.DEVNULL)
        usage = reap(host)
        out.seek(0)
        output = out.read()
    sim_usage = reap(sim)
    sim.stdout.close()
    if host.returncode != 0 or "Target updated successfully." not in output:
        raise RuntimeError("upload failed:\n" + output)
    first, acks, sizes, due = {}, {}, {}, {}
    with open(events) as log:
        for line in log:
            f = line.split()
            if f[1] == "record-first-byte" and f[3] == "1":
                first[int(f[2])] = int(f[0])
            elif f[1] == "record-complete":
                sizes[int(f[2])] = int(f[4])
                due[int(f[2])] = int(f[5])
            elif f[1] == "tx-ack":
                acks[int(f[2])] = int(f[0])
    count = len(acks)
    ideal = sum((sizes[n] + 1) * 10 / BITRATE for n in acks)
    measured = (acks[count] - first[1]) / 1e6
    strict = ideal / (measured + 2 * count * 10 / BITRATE)
    return {"efficiency": ideal / measured, "strict": strict,
            "turnaround_ms": [(first[n + 1] - acks[n]) / 1e3 for n in range(1, count)],
            "ack_late_ms": [(acks[n] - due[n]) / 1e3 for n in acks],
            "cpu_s": usage.ru_utime + usage.ru_stime,
            "sim_cpu_s": sim_usage.ru_utime + sim_usage.ru_stime, "records": count}


def busy_seconds():
    """Processor time the whole machine has spent outside its idle states, in seconds."""
    with open("/proc/stat") as stat:
        ticks = [int(t) for t in stat.readline().split()[1:9]]
    return (sum(ticks) - ticks[3] - ticks[4]) / os.sysconf("SC_CLK_TCK")


def run(build, parallel, sim_args):
    """The uploads' results, and how busy the machine was meanwhile: (results, cores busy in
    all, cores busy with other programs than these uploads)."""
    busy, start = busy_seconds(), time.monotonic()
    results = run_uploads(build, parallel, sim_args)
    busy, elapsed = busy_seconds() - busy, time.monotonic() - start
    ours = sum(r["cpu_s"] + r["sim_cpu_s"] for r in results)
    return results, busy / elapsed, max(0.0, busy - ours) / elapsed


def run_uploads(build, parallel, sim_args):
    with tempfile.TemporaryDirectory() as work:
        image = os.path.join(work, "image.txt")
        make_image(image)
        results = [None] * parallel
        errors = []

        def worker(i):
            os.makedirs(os.path.join(work, str(i)))
            try:
                results[i] = one_upload(build, image, os.path.join(work, str(i)), sim_args)
            except Exception as e:  # reported below
                errors.append(str(e))

        threads = [threading.Thread(target=worker, args=(i,)) for i in range(parallel)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        if errors:
            raise RuntimeError(errors[0])
        return results


def percentile(values, p):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(round(p / 100 * (len(ordered) - 1))))]


def report(title, run_result, goal, alone=None):
    results, busy, others = run_result
    eff = [r["efficiency"] for r in results]
    rows = [("efficiency", eff, "%.4f"),
            ("strict efficiency", [r["strict"] for r in results], "%.4f"),
            ("turnaround, ms", [t for r in results for t in r["turnaround_ms"]], "%.3f"),
            ("ack late (target), ms", [t for r in results for t in r["ack_late_ms"]], "%.3f"),
            ("quorvane processor time, s", [r["cpu_s"] for r in results], "%.3f"),
            ("quorvane-sim processor time, s", [r["sim_cpu_s"] for r in results], "%.3f")]
    print("%s: efficiency goal >= %.2f for every upload: %s; machine busy %.2f cores, %.2f of them "
          "other programs" % (title, goal, "met" if min(eff) >= goal else "NOT met", busy, others))
    print("| %-30s | %8s | %8s | %8s | %8s |" % ("", "min", "median", "p95", "max"))
    print("|%s|%s|%s|%s|%s|" % ("-" * 32, "-" * 10, "-" * 10, "-" * 10, "-" * 10))
    for name, values, form in rows:
        cells = [form % v for v in (min(values), statistics.median(values), percentile(values, 95), max(values))]
        print("| %-30s | %8s | %8s | %8s | %8s |" % tuple([name] + cells))
    if alone is not None:
        print("processor time per upload: quorvane %.2fx, quorvane-sim %.2fx of one upload alone" % (
            statistics.median(r["cpu_s"] for r in results) / statistics.median(r["cpu_s"] for r in alone[0]),
            statistics.median(r["sim_cpu_s"] for r in results) / statistics.median(r["sim_cpu_s"] for r in alone[0])))
    print()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default=os.path.join(os.path.dirname(__file__), "..", "build", "default"))
    parser.add_argument("--parallel", default="16,64", help="how many uploads at once, comma-separated")
    parser.add_argument("--sim-arg", action="append", default=[], help="passed on to every quorvane-sim")
    args = parser.parse_args()
    alone = run(args.build, 1, args.sim_arg)
    report("1 upload", alone, 0.98)
    for parallel in (int(p) for p in args.parallel.split(",")):
        report("%d uploads at once" % parallel, run(args.build, parallel, args.sim_arg), 0.98, alone)


if __name__ == "__main__":
    sys.exit(main())
