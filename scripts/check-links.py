#!/usr/bin/env python3
"""Checks the relative links of the manuals: README.md and every docs/*.md.

    python3 scripts/check-links.py

Each link [text](target) that names no scheme (http:, mailto: and the like) must lead to a file
or folder of the checkout, taken from the folder of the page that links; a target with
#heading must also name a heading of that page, spelt as the hosting site spells its anchors
(lower case, punctuation dropped, spaces as hyphens). Links inside code are not links. Prints
each broken link as FILE:LINE: target (cause) and ends with status 1 when there is one.
"""
import os
import re
import sys

HERE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
LINK = re.compile(r"\[[^\]]*\]\(([^)\s]+)\)")
SCHEME = re.compile(r"^[A-Za-z][A-Za-z0-9+.-]*:")


def pages():
    yield os.path.join(HERE, "README.md")
    docs = os.path.join(HERE, "docs")
    for name in sorted(os.listdir(docs)):
        if name.endswith(".md"):
            yield os.path.join(docs, name)


def prose_lines(path):
    """The page's lines with fenced blocks and code spans blanked out, numbered from 1."""
    fenced = False
    with open(path, encoding="utf-8") as page:
        for number, line in enumerate(page, 1):
            if line.lstrip().startswith("```"):
                fenced = not fenced
                continue
            yield number, "" if fenced else re.sub(r"`[^`]*`", "", line)


def anchor(heading):
    """The anchor of a heading: lower case, only letters, digits, '_', '-' and spaces kept,
    each space a hyphen."""
    text = re.sub(r"[^\w\- ]", "", heading.strip().lower())
    return text.replace(" ", "-")


def anchors(path):
    """Every anchor of a page; a heading that repeats gets -1, -2, ... after the first."""
    found, seen = set(), {}
    for _, line in prose_lines(path):
        match = re.match(r"#{1,6} (.*)", line)
        if not match:
            continue
        name = anchor(match.group(1))
        count = seen.get(name, 0)
        seen[name] = count + 1
        found.add(name if count == 0 else "%s-%d" % (name, count))
    return found


def broken_links(path):
    for number, line in prose_lines(path):
        for target in LINK.findall(line):
            if SCHEME.match(target):
                continue
            file_part, _, heading = target.partition("#")
            dest = os.path.normpath(os.path.join(os.path.dirname(path), file_part)) \
                if file_part else path
            if not os.path.exists(dest):
                yield number, target, "no such file"
            elif heading and (not dest.endswith(".md") or heading not in anchors(dest)):
                yield number, target, "no such heading"


def main():
    bad = 0
    for path in pages():
        for number, target, cause in broken_links(path):
            print("%s:%d: %s (%s)" % (os.path.relpath(path, HERE), number, target, cause))
            bad += 1
    if bad:
        sys.exit("check-links: %d broken link%s" % (bad, "" if bad == 1 else "s"))
    print("check-links: every relative link in README.md and docs/ resolves")


if __name__ == "__main__":
    main()
