"""The release check's ZIP reader: a ZIP that may have been made to fool it, read in memory.

Only what a release can be is read: one disk, no ZIP64, no encryption, entries stored or
deflated. Every size is capped, so that no ZIP, however made, costs more than a few hundred
MB or a few seconds: a release is under a megabyte and holds four files, and the caps leave
it ample room. No file is ever written under a name taken from the ZIP; plain() and
structure_faults() say which names a release may have.
"""

import hashlib
import re
import struct
import zlib

from show import show

MAX_ZIP = 32 << 20
MAX_ENTRIES = 64
MAX_ENTRY = 32 << 20
MAX_UNPACKED = 64 << 20
MAX_NAME = 255  # longer names are read, and refused as no plain file name

PLAIN_NAME = re.compile(rb"[A-Za-z0-9._-]+")
WINDOWS_DEVICES = {b"con", b"prn", b"aux", b"nul"} | {
    b"%s%d" % (port, n) for port in (b"com", b"lpt") for n in range(1, 10)
}


class Unreadable(Exception):
    """The bytes cannot be read as a ZIP that could be a release: the message says why, as
    the end of a sentence that begins with the file's name."""


class Entry:
    """One entry of a ZIP: its place (from 1), its raw name in the central directory and in
    its local header, and its content."""

    def __init__(self, index, name, local_name, data):
        self.index = index
        self.name = name
        self.local_name = local_name
        self.data = data


class Archive:
    """A ZIP read in memory: its bytes, its entries in order, by name, and its comment."""

    def __init__(self, data):
        if len(data) > MAX_ZIP:
            raise Unreadable(f"is over the {MAX_ZIP >> 20} MiB this check reads")
        self.data = data
        self.entries, self.comment = read_zip(data)
        self.by_name = {}
        for entry in self.entries:
            self.by_name.setdefault(entry.name, entry)


def end_record(data):
    """Where the end of central directory record is: the last one whose comment runs exactly
    to the end of the file."""
    end = len(data)
    lowest = max(0, end - 22 - 0xFFFF)
    pos = data.rfind(b"PK\x05\x06", lowest)
    while pos >= 0:
        if pos + 22 <= end and pos + 22 + struct.unpack_from("<H", data, pos + 20)[0] == end:
            return pos
        pos = data.rfind(b"PK\x05\x06", lowest, pos + 3)
    raise Unreadable("is not a ZIP file, or a damaged one")


def inflate(packed):
    """The content of a deflated entry, never more than MAX_ENTRY bytes of it."""
    inflater = zlib.decompressobj(-15)
    try:
        content = inflater.decompress(packed, MAX_ENTRY + 1)
    except zlib.error:
        raise Unreadable("is a damaged ZIP file (an entry does not inflate)") from None
    if len(content) > MAX_ENTRY:
        raise Unreadable(f"has an entry over the {MAX_ENTRY >> 20} MiB this check reads")
    if not inflater.eof or inflater.unused_data:
        raise Unreadable("is a damaged ZIP file (an entry's deflated data does not end "
                         "where the entry does)")
    return content


def read_zip(data):
    """The entries of the ZIP in data, in the order of its central directory, and its
    comment."""
    pos = end_record(data)
    disk, cd_disk, on_disk, total, cd_size, cd_start = struct.unpack_from("<HHHHII", data, pos + 4)
    if 0xFFFF in (on_disk, total) or 0xFFFFFFFF in (cd_size, cd_start):
        raise Unreadable("is a ZIP64 file, which no release is")
    if disk or cd_disk or on_disk != total or cd_start + cd_size > pos:
        raise Unreadable("is not a ZIP file, or a damaged one")
    if total > MAX_ENTRIES:
        raise Unreadable(f"has {total} entries, more than this check reads ({MAX_ENTRIES})")
    damaged = Unreadable("is a damaged ZIP file")
    entries, at, unpacked, cd_end = [], cd_start, 0, cd_start + cd_size
    for index in range(1, total + 1):
        if at + 46 > cd_end or data[at : at + 4] != b"PK\x01\x02":
            raise damaged
        # Of the central directory's record: the flags, the method, the CRC, both sizes, the
        # lengths of the name, extra field and comment, and where the local header is.
        flags, method, crc, csize, usize, name_len, extra_len, comment_len = struct.unpack_from(
            "<HH4xIIIHHH", data, at + 8
        )
        local = struct.unpack_from("<I", data, at + 42)[0]
        name = data[at + 46 : at + 46 + name_len]
        at += 46 + name_len + extra_len + comment_len
        if at > cd_end or local + 30 > cd_start or data[local : local + 4] != b"PK\x03\x04":
            raise damaged
        if flags & 0x41:
            raise Unreadable("has an encrypted entry, which no release has")
        if method not in (0, 8):
            raise Unreadable(f"has an entry compressed by method {method}, which no release uses")
        if csize > MAX_ENTRY or usize > MAX_ENTRY:
            raise Unreadable(f"has an entry over the {MAX_ENTRY >> 20} MiB this check reads")
        local_name_len, local_extra_len = struct.unpack_from("<HH", data, local + 26)
        local_name = data[local + 30 : local + 30 + local_name_len]
        start = local + 30 + local_name_len + local_extra_len
        if start + csize > cd_start:
            raise damaged
        packed = data[start : start + csize]
        content = packed if method == 0 else inflate(packed)
        if len(content) != usize or zlib.crc32(content) != crc:
            raise damaged
        unpacked += len(content)
        if unpacked > MAX_UNPACKED:
            raise Unreadable(f"unpacks to over the {MAX_UNPACKED >> 20} MiB this check reads")
        entries.append(Entry(index, name, local_name, content))
    if at != cd_end:
        raise damaged
    return entries, data[pos + 22 :]


def plain(name):
    """Whether name is a plain file name, one that every unzip tool and Windows take as is."""
    if len(name) > MAX_NAME or not PLAIN_NAME.fullmatch(name):
        return False
    if name in (b".", b"..") or name.endswith(b"."):
        return False
    return name.split(b".")[0].lower() not in WINDOWS_DEVICES


def structure_faults(entries):
    """A line for each entry that is not a distinct plain file: a folder, a name that is not a
    plain file name, a name the entry's local header gives otherwise, a name given twice."""
    lines, seen = [], {}
    for entry in entries:
        what = f"{hashlib.sha256(entry.data).hexdigest()}  {show(entry.name)}"
        if entry.name.endswith(b"/"):
            lines.append(f"FOLDER    {what} (entry {entry.index}: a release holds files only)")
        elif not plain(entry.name):
            lines.append(f"BAD NAME  {what} (entry {entry.index}: not a plain file name)")
        elif entry.local_name != entry.name:
            lines.append(
                f"BAD NAME  {what} (entry {entry.index}: its local header names it "
                f"{show(entry.local_name)})"
            )
        key = entry.name.lower().rstrip(b". /")
        if key in seen:
            first = seen[key]
            how = "the same name" if first.name == entry.name else "the same name on Windows"
            lines.append(f"DUPLICATE {what} (entry {entry.index}: {how} as entry {first.index})")
        else:
            seen[key] = entry
    return lines


def field(text, name):
    """The value of the first line "name: value" of a BUILDINFO.txt, as bytes, or None."""
    for line in text.split(b"\n"):
        if line.startswith(name + b": "):
            return line[len(name) + 2 :].removesuffix(b"\r")
    return None
