"""Writes the users' ZIP so that its bytes depend only on the files put in and one time.

    python3 scripts/release_zip.py OUT.zip EPOCH FILE...

Each FILE goes in under its own name, in the order given, with the time EPOCH (seconds since
1970, UTC; a ZIP cannot hold a time before 1980, so an earlier one becomes 1980-01-01), the
MS-DOS attributes of a plain file, no extra fields and no comments, compressed with deflate at
level 9.
"""

import os
import sys
import time
import zipfile

ZIP_EPOCH_MIN = 315532800  # 1980-01-01 00:00:00 UTC, the first time a ZIP entry can hold
DOS_ARCHIVE = 0x20  # the attribute of a plain file; zipfile puts its own in place of none


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


def main():
    if len(sys.argv) < 4:
        sys.exit("usage: release_zip.py OUT.zip EPOCH FILE...")
    out, epoch, files = sys.argv[1], int(sys.argv[2]), sys.argv[3:]
    with zipfile.ZipFile(out, "w", allowZip64=False) as archive:
        for path in files:
            with open(path, "rb") as source:
                data = source.read()
            archive.writestr(entry(os.path.basename(path), epoch), data, compresslevel=9)


if __name__ == "__main__":
    main()
