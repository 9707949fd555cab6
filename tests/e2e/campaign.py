#!/usr/bin/env python3
"""A randomised protocol campaign: many uploads against quorvane-sim --chaos, each checked.

Every run draws its image (a few records of random sizes), its bit rate and the sim's answers
from one seed, runs the real quorvane against the sim, and checks that
  - the exit status matches the output (0 only after "Target updated successfully.", 255 only
    with a failure block carrying a known text or a port failure);
  - every transmission is a whole record of the image, in order, a resend identical to the
    record it repeats, and nothing comes after the upload has ended;
  - the output (progress figures and outcome) is what the host's rules make of the answers the
    sim logged (upload_model.py), and a "not responding" comes 2 s after the last answer byte;
  - the device's settings are back as they were (not after a hang-up).
Run i of a campaign with seed B has seed B + i; a failing run prints its seed and how to replay it.

    python3 tests/e2e/campaign.py                           # 24 runs, 8 at a time, seed from the clock
    python3 tests/e2e/campaign.py --runs 500 --jobs 8       # a long campaign, about 10 minutes
    python3 tests/e2e/campaign.py --seed S --runs 1 -v      # replay one run with its exchange

QUORVANE_BIN and QUORVANE_SIM (or QUORVANE_BUILD) name the binaries, as for the other e2e tests.
"""
import argparse
import concurrent.futures
import os
import random
import sys
import tempfile
import termios
import time
import traceback

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from harness import BANNER, DeviceSettings, Sim, failure_block, failure_text, record, run_quorvane  # noqa: E402
import upload_model as model  # noqa: E402

RATES = (9600, 19200, 38400, 57600, 115200)
TIMEOUT = 12  # six sync attempts: more than the sim's sync reply ever takes bursts


class RunPlan:
    def __init__(self, seed):
        rng = random.Random(seed)
        self.seed = seed
        count = 0 if rng.random() < 0.03 else rng.randint(1, 6)
        self.records = [record(bytes(rng.randrange(256) for _ in range(self.payload_size(rng))))
                        for _ in range(count)]
        self.bitrate = rng.choice(RATES)
        self.rate = rng.choice((30, 60, 60, 90))

    @staticmethod
    def payload_size(rng):
        pick = rng.random()
        if pick < 0.7:
            return rng.randint(0, 64)
        return rng.randint(65, 600) if pick < 0.95 else rng.randint(1000, 5000)

    def sim_options(self, event_log):
        # The port reads bitrate/1800 bytes at a time: no burst may be longer.
        burst_max = min(64, self.bitrate // 1800)
        return ["--chaos", str(self.seed), "--chaos-rate", str(self.rate),
                "--chaos-burst-max", str(burst_max), "--event-log", event_log]

    def describe(self):
        return "%d records %s, %d bit/s, chaos rate %d%%" % (
            len(self.records), [len(r) for r in self.records], self.bitrate, self.rate)


class Observation:
    """What one run did: the host's exit status and timed output, and the sim's logs."""

    def __init__(self, plan):
        with tempfile.TemporaryDirectory(prefix="quorvane-campaign-") as scratch:
            image = os.path.join(scratch, "image.txt")
            with open(image, "w") as out:
                out.write(b"".join(plan.records).hex().upper() + "\n")
            event_log = os.path.join(scratch, "events.log")
            sim = Sim(*plan.sim_options(event_log))
            try:
                self.device = sim.device
                watch = DeviceSettings(sim.device)
                try:
                    started = time.monotonic()
                    self.run = run_quorvane([image, sim.device, plan.bitrate, TIMEOUT], limit=90)
                    self.started_us = int(started * 1e6)
                    try:
                        self.settings_kept = watch.unchanged()
                    except (OSError, termios.error):  # a hung-up pty has no settings to read
                        self.settings_kept = None
                finally:
                    watch.close()
                # With every descriptor of the slave closed the sim sees the host go and ends.
                try:
                    sim.proc.wait(timeout=5)
                except Exception:
                    pass
                self.sim_status = sim.proc.poll()
                self.sent = sim.records()
                with open(event_log) as log:
                    self.events = model.parse_events(log.read())
            finally:
                sim.close()

    def line_time_us(self, prefix):
        for when, text in self.run.lines:
            if text.startswith(prefix):
                return self.started_us + int(when * 1e6)
        return None


def status_problems(run):
    """The exit status against the output, whatever the answers were."""
    output = run.output
    if run.status == 0:
        if not output.endswith("\nTarget updated successfully.\n") or "*** Failed ***" in output:
            return ["exit status 0 without \"Target updated successfully.\" as the last line"]
        return []
    if run.status != 255:
        return ["exit status %d" % run.status]
    text = failure_text(output)
    if text is None:
        return ["exit status 255 without a failure block at the end"]
    if text not in model.KNOWN_FAILURES and not model.PORT_FAILURE.fullmatch(text):
        return ["failure text %r is neither a known failure nor a port failure" % text]
    return []


def expected_output(prediction, device):
    head = BANNER + "Serial device %s opened...\nSyncing with the device...\n" % device
    head += "".join("Transferring... %d%% done.\n" % figure for figure in prediction.progress)
    if prediction.outcome == model.SUCCESS:
        return head + "Transferring... 100% done.\nTarget updated successfully.\n"
    return head + failure_block(prediction.outcome)


def output_problems(prediction, seen):
    output = seen.run.output
    if prediction.outcome == model.HANGUP:
        head = expected_output(prediction, seen.device).split("\n*** Failed ***\n")[0]
        text = failure_text(output)
        if (seen.run.status != 255 or not output.startswith(head)
                or not (text == model.NOT_RESPONDING or model.PORT_FAILURE.fullmatch(text or ""))
                or len(output) != len(head) + len(failure_block(text or ""))):
            return ["after the hang-up expected the output so far and \"%s\" or a port failure, got:\n%s"
                    % (model.NOT_RESPONDING, indent(output[len(BANNER):]))]
        return []
    want = expected_output(prediction, seen.device)
    want_status = 0 if prediction.outcome == model.SUCCESS else 255
    if output != want or seen.run.status != want_status:
        return ["expected status %d and output\n%s\n  got status %d and output\n%s"
                % (want_status, indent(want[len(BANNER):]), seen.run.status, indent(output[len(BANNER):]))]
    return []


def timing_problems(prediction, seen):
    if prediction.outcome != model.NOT_RESPONDING or prediction.quiet_since is None:
        return []
    failed = seen.line_time_us("*** Failed ***")
    if failed is not None and failed - prediction.quiet_since < 1950000:
        return ["\"not responding\" %d ms after the last answer byte, not 2000"
                % ((failed - prediction.quiet_since) // 1000)]
    return []


def indent(text):
    return "\n".join("    " + line for line in text.rstrip("\n").split("\n"))


class Result:
    def __init__(self, plan):
        self.plan = plan
        began = time.monotonic()
        try:
            seen = Observation(plan)
        except Exception:  # a run that could not even be set up is a failure too
            self.problems, self.prediction, self.seen = ["run failed:\n" + traceback.format_exc()], None, None
            self.seconds = time.monotonic() - began
            return
        self.seconds = time.monotonic() - began
        self.seen = seen
        attempts = max(1, TIMEOUT // 2)
        p = model.predict(seen.events, plan.records, seen.sent, attempts)
        self.prediction = p
        self.problems = status_problems(seen.run) + p.problems
        if not p.problems:
            self.problems += output_problems(p, seen) + timing_problems(p, seen)
        if p.outcome != model.HANGUP and seen.settings_kept is not True:
            self.problems.append("the device's settings were not restored")
        if any(e.name == "record-partial" for e in seen.events) and p.outcome != model.HANGUP:
            self.problems.append("the host left a record unfinished")
        if seen.sim_status not in (0, None):
            self.problems.append("quorvane-sim ended with status %s" % seen.sim_status)

    def outcome(self):
        if self.prediction is None:
            return "broken"
        if self.prediction.outcome == model.NOT_RESPONDING and not self.seen.sent:
            return "no sync" if not any(e.name == "rx-start" for e in self.seen.events) else "not responding"
        return {model.SUCCESS: "success", model.CRC_ERROR: "crc error", model.HANGUP: "hang-up",
                model.NOT_RESPONDING: "not responding"}[self.prediction.outcome]

    def report(self, verbose):
        lines = []
        if self.problems:
            lines.append("FAIL seed %d: %s" % (self.plan.seed, self.plan.describe()))
            lines += ["  - " + problem.replace("\n", "\n    ") for problem in self.problems]
            lines.append("  replay: python3 tests/e2e/campaign.py --seed %d --runs 1 -v" % self.plan.seed)
        elif verbose:
            lines.append("ok seed %d: %s -> %s in %.1f s" % (self.plan.seed, self.plan.describe(),
                                                              self.outcome(), self.seconds))
        if (self.problems or verbose) and self.prediction is not None:
            lines += ["  " + step for step in self.prediction.trace]
        if (self.problems or verbose) and self.seen is not None:
            if verbose:
                lines += ["  | " + repr(e) for e in self.seen.events]
            lines.append("  host: status %d, last line %r" % (self.seen.run.status,
                                                             self.seen.run.output.rstrip("\n").split("\n")[-1]))
        return "\n".join(lines)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--runs", type=int, default=24)
    parser.add_argument("--seed", type=int, help="seed of the first run (default: from the clock)")
    parser.add_argument("--jobs", type=int, default=8, help="runs at once")
    parser.add_argument("-v", "--verbose", action="store_true", help="report every run with its exchange")
    args = parser.parse_args()
    seed = args.seed if args.seed is not None else int(time.time())
    print("campaign: seed %d, %d runs, %d at a time" % (seed, args.runs, args.jobs), flush=True)

    began = time.monotonic()
    results = []
    with concurrent.futures.ThreadPoolExecutor(max_workers=args.jobs) as pool:
        for result in pool.map(Result, [RunPlan(seed + i) for i in range(args.runs)]):
            results.append(result)
            text = result.report(args.verbose)
            if text:
                print(text, flush=True)

    failed = [r.plan.seed for r in results if r.problems]
    outcomes = {}
    for r in results:
        outcomes[r.outcome()] = outcomes.get(r.outcome(), 0) + 1
    transmissions = sum(r.prediction.transmissions for r in results if r.prediction)
    print("campaign: %d runs from seed %d, %d failed%s; %s; %d transmissions; %.1f s (longest run %.1f s)"
          % (len(results), seed, len(failed), (" (seeds %s)" % " ".join(map(str, failed))) if failed else "",
             ", ".join("%s %d" % item for item in sorted(outcomes.items())), transmissions,
             time.monotonic() - began, max((r.seconds for r in results), default=0)))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
