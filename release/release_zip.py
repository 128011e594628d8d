"""Writes the users' ZIP so that its bytes depend only on the files put in and one time.

    python3 release/release_zip.py BUILD PROGRAMS EPOCH OUT.zip
    python3 release/release_zip.py --programs BUILD

BUILD is the release's build folder (build-release/). The ZIP holds the programs that its
release-programs.txt lists, in that order, each taken from the folder PROGRAMS, and then
BUILD's README.txt and BUILDINFO.txt. release.sh hands it the programs as they were signed;
verify-release.sh hands it the fresh programs with the given release's signatures attached,
so that both ZIPs come from this one piece of code. The second form prints the names of the
programs, one a line, in ZIP order.

Each file goes in under its own name with the time EPOCH (seconds since 1970, UTC; a ZIP
cannot hold a time before 1980, so an earlier one becomes 1980-01-01), the MS-DOS attributes
of a plain file, no extra fields and no comments, compressed with deflate at level 9.
"""

import os
import re
import sys
import time
import zipfile

ZIP_EPOCH_MIN = 315532800  # 1980-01-01 00:00:00 UTC, the first time a ZIP entry can hold
DOS_ARCHIVE = 0x20  # the attribute of a plain file; zipfile puts its own in place of none
PLAIN_NAME = re.compile(r"[A-Za-z0-9._-]+")


def entry(name, epoch):
    info = zipfile.ZipInfo(name, date_time=time.gmtime(max(epoch, ZIP_EPOCH_MIN))[:6])
    info.compress_type = zipfile.ZIP_DEFLATED
    info.create_system = 0  # MS-DOS, whatever system writes it: the attributes are DOS ones
    info.create_version = 20
    info.extract_version = 20
    info.external_attr = DOS_ARCHIVE
    info.extra = b""
    info.comment = b""
    return info


def programs(build):
    """The names of the programs, in ZIP order, from the build folder's list of their paths."""
    names = []
    with open(os.path.join(build, "release-programs.txt"), encoding="utf-8") as listing:
        for line in listing:
            if line.strip():
                names.append(os.path.basename(line.rstrip("\n")))
    for name in names:
        if not PLAIN_NAME.fullmatch(name) or name in (".", ".."):
            sys.exit(f"release_zip.py: not a plain file name for a program: {name!r}")
    return names


def main():
    if len(sys.argv) == 3 and sys.argv[1] == "--programs":
        for name in programs(sys.argv[2]):
            print(name)
        return
    if len(sys.argv) != 5:
        sys.exit("usage: release_zip.py BUILD PROGRAMS EPOCH OUT.zip | --programs BUILD")
    build, folder, epoch, out = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4]
    files = [os.path.join(folder, name) for name in programs(build)]
    files += [os.path.join(build, "README.txt"), os.path.join(build, "BUILDINFO.txt")]
    with zipfile.ZipFile(out, "w", allowZip64=False) as archive:
        for path in files:
            with open(path, "rb") as source:
                data = source.read()
            archive.writestr(entry(os.path.basename(path), epoch), data, compresslevel=9)


if __name__ == "__main__":
    main()
