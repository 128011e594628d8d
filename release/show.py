"""What the release check prints: bytes from a ZIP made harmless, and reports that stay short.

Every byte that came from a ZIP goes through show() before it reaches the terminal, and no
text from it is shown longer than a line can bear. Report keeps the first few lines of each
kind and counts the rest, so that a ZIP of many bad entries costs a few lines, not megabytes.
"""

import os
import sys

SHOWN_BYTES = 96  # of one name or field; the rest is counted, not shown
LINES_OF_A_KIND = 5


def show(raw, spaces=False, limit=SHOWN_BYTES):
    """raw, with every byte outside printable ASCII (the space too, unless spaces) and the
    backslash written as \\xNN, so that it is one harmless word on any terminal; past limit
    bytes, only how many more there are."""
    if isinstance(raw, str):
        raw = os.fsencode(raw)
    out = []
    for byte in raw[:limit]:
        if (0x21 <= byte <= 0x7E and byte != 0x5C) or (spaces and byte == 0x20):
            out.append(chr(byte))
        else:
            out.append(f"\\x{byte:02x}")
    if len(raw) > limit:
        out.append(f"...({len(raw) - limit} bytes more)")
    return "".join(out)


def say(line):
    sys.stdout.write(line + "\n")
    sys.stdout.flush()


class Report:
    """Lines that explain a verdict, the first LINES_OF_A_KIND of each kind (the line's first
    word) shown and the others counted, in the order they were added."""

    def __init__(self):
        self.lines = []
        self.counts = {}

    @staticmethod
    def kind(line):
        """A line's kind: its leading words in capitals (BAD SIGNATURE, DUPLICATE), or its
        first word."""
        words = line.split(" ", 2)
        if len(words) > 1 and words[0].isupper() and words[1].isalpha() and words[1].isupper():
            return " ".join(words[:2])
        return words[0]

    def add(self, line):
        kind = self.kind(line)
        self.counts[kind] = self.counts.get(kind, 0) + 1
        if self.counts[kind] <= LINES_OF_A_KIND:
            self.lines.append(line)

    def __bool__(self):
        return bool(self.counts)

    def text(self):
        """The lines, each kind's count of those not shown after its last shown line."""
        out, last = [], {}
        for line in self.lines:
            out.append(line)
            last[self.kind(line)] = len(out)
        for kind, at in sorted(last.items(), key=lambda item: -item[1]):
            more = self.counts[kind] - LINES_OF_A_KIND
            if more > 0:
                out.insert(at, f"{kind} ... and {more} more like it")
        return out

    def print(self):
        for line in self.text():
            say(line)
