"""What quorvane must do with the answers quorvane-sim --chaos gave, worked out from the sim's
event log alone: the record each transmission must carry, the progress lines, the outcome.

The sim writes each burst in one go and never longer than the host's port reads at once, and
after a burst that leaves the host no longer paused it waits 400 ms before the next one; so
the host reads burst by burst and stops after the first burst that does not leave it paused.
"""
import re

ACK, PAUSE = 0x06, 0x13
SYNC_REPLY = b"dsc01"

SUCCESS = "success"
NOT_RESPONDING = "Target is not responding."
CRC_ERROR = "CRC error... file damaged."
HANGUP = "hang-up"  # then either NOT_RESPONDING or a port failure, whichever the host hit first

KNOWN_FAILURES = {
    "Firmware file not found!", "Firmware file read error!", "Firmware file too large!",
    "Firmware file truncated!", "Not a tty device!", "Device not found!",
    "Access denied or device in use!", "Device access error!", "Terminated by user!",
    NOT_RESPONDING, "Target is not in sync... aborting.", CRC_ERROR,
}
PORT_FAILURE = re.compile(r"(Check|Open|Write|Read|WaitForReads|WaitForWrites|PurgeAll|PurgeReads)"
                          r"\(\): \S.*")


def is_ignored(byte):
    return 0x41 <= byte <= 0x48 or byte in (0x4B, 0x58)


class Event:
    def __init__(self, line):
        parts = line.split()
        self.us = int(parts[0])
        self.name = parts[1]
        self.fields = parts[2:]

    def __repr__(self):
        return "%d %s %s" % (self.us, self.name, " ".join(self.fields))


def parse_events(text):
    return [Event(line) for line in text.splitlines() if line.strip()]


class Reading:
    """How the host reads the bursts answering one transmission."""

    def __init__(self, bursts):
        self.read = 0        # bursts it reads before it stops
        self.acks = 0
        self.resend = False  # a rejection byte came
        self.crc = False     # a fourth rejection without a 0x06 in between
        self.waiting = True  # nothing answered yet, or still paused after the last burst
        rejections, paused = 0, False
        for burst in bursts:
            self.read += 1
            for byte in burst:
                if byte == ACK:
                    self.acks, rejections, paused = self.acks + 1, 0, False
                elif byte == PAUSE:
                    paused = True
                elif not is_ignored(byte):
                    rejections, paused, self.resend = rejections + 1, False, True
                    if rejections > 3:
                        self.crc, self.waiting = True, False
                        return
            if not paused:
                self.waiting = False
                return


def sync_bursts_needed(bursts):
    """How many sync bursts the host drains before its matcher holds the whole reply, or None."""
    state = 0
    for count, burst in enumerate(bursts, 1):
        for byte in burst:
            state = state + 1 if state < 5 and byte == SYNC_REPLY[state] else 0
        if state == 5:
            return count
    return None


class Answer:
    def __init__(self, complete):
        self.complete = complete  # the record-complete event
        self.kind = "?"
        self.bursts = []          # (us, bytes)
        self.hangup = None        # us of the hang-up
        self.cut = 0


class Prediction:
    def __init__(self):
        self.outcome = SUCCESS
        self.progress = []       # figures printed before the transmissions that happened
        self.quiet_since = None  # us of the sim's last byte before a "not responding"
        self.problems = []
        self.trace = []          # one line per step, for the report
        self.transmissions = 0


def answers_by_transmission(events):
    answers, current = [], None
    for event in events:
        if event.name == "record-complete":
            current = Answer(event)
            answers.append(current)
        elif current is None:
            continue
        elif event.name == "chaos-answer":
            current.kind = " ".join(event.fields[2:])
        elif event.name == "tx-burst":
            current.bursts.append((event.us, bytes.fromhex(event.fields[2])))
        elif event.name == "hangup":
            current.hangup = event.us
        elif event.name == "cut":
            current.cut = int(event.fields[2])
    return answers


def predict(events, records, sent, attempts):
    """records: the image's records; sent: the records the sim received, in order."""
    p = Prediction()
    sync = [bytes.fromhex(e.fields[0]) for e in events if e.name == "tx-sync-burst"]
    needed = sync_bursts_needed(sync)
    started = any(e.name == "rx-start" for e in events)
    p.trace.append("sync bursts %s -> %s" % ([b.hex() for b in sync], "synced" if needed else "no sync"))
    if needed is None:
        p.outcome = NOT_RESPONDING
        if started or sent:
            p.problems.append("the host went on although the sync reply never completed")
        return p
    if needed < len(sync) or needed > attempts:
        p.problems.append("sim: %d sync bursts, reply complete after %d, %d attempts: no single outcome"
                          % (len(sync), needed, attempts))
        return p
    if not started:
        p.problems.append("the host never sent the start command after the sync reply")
        return p

    answers = answers_by_transmission(events)
    if len(answers) != len(sent):
        p.problems.append("sim: %d record-complete events but %d records logged" % (len(answers), len(sent)))
        return p
    total = sum(len(r) for r in records)
    index, acked, previous = 0, 0, -1
    ended = not records
    again = False
    for number, (answer, got) in enumerate(zip(answers, sent), 1):
        p.transmissions = number
        if ended:
            p.problems.append("transmission %d (%s) came after the upload should have ended"
                              % (number, got[:8].hex()))
            return p
        percent = acked * 100 // total
        if percent != previous:
            p.progress.append(percent)
            previous = percent
        if got != records[index]:
            p.problems.append("transmission %d is %s..., not the %s of record %d %s..."
                              % (number, got[:8].hex(), "resend" if again else "first send", index + 1,
                                 records[index][:8].hex()))
            return p
        reading = Reading([b for _, b in answer.bursts])
        p.trace.append("tx %d: record %d, %s -> read %d of %d bursts%s%s%s" % (
            number, index + 1, answer.kind, reading.read, len(answer.bursts),
            ", resend" if reading.resend else "", ", crc error" if reading.crc else "",
            ", waiting" if reading.waiting else ""))
        if reading.crc:
            p.outcome, ended = CRC_ERROR, True
            continue
        if reading.waiting:
            ended = True
            if answer.hangup is not None:
                p.outcome = HANGUP
            else:
                p.outcome = NOT_RESPONDING
                p.quiet_since = answer.bursts[-1][0] if answer.bursts else answer.complete.us
            continue
        acked += len(records[index]) * reading.acks
        again = reading.resend
        if not reading.resend:
            index += 1
        if index == len(records):
            p.outcome, ended = SUCCESS, True
        elif reading.read < len(answer.bursts):
            done, late = answer.bursts[reading.read - 1][0], answer.bursts[reading.read][0]
            p.problems.append("transmission %d: %d ms after the answer was complete the host had still "
                              "not begun its next transmission" % (number, (late - done) // 1000))
            return p
    if not ended:
        p.problems.append("the host stopped after transmission %d, though the answer called for record %d"
                          % (p.transmissions, index + 1))
    return p
