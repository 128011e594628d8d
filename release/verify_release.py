"""Checks a Windows release that someone was handed against the source, in a checkout.

    release/verify-release.sh ZIP [--ca CA.pem] [--trust REF]...

verify-release.sh installs the packages this needs and runs it. The ZIP may have been made to
fool the check, so it is read in memory with a cap on every size, no file is ever written
under a name taken from it, and none of its bytes reach the terminal raw: every byte outside
printable ASCII, and the backslash, is shown as \\xNN.

The check rebuilds the release and compares the whole ZIP, byte for byte:
1. The ZIP's entries must be distinct plain files, and each program's signature may carry an
   RFC 3161 time stamp as its only unauthenticated attribute. A ZIP that fails here is
   refused before anything is built.
2. The commit that BUILDINFO.txt names must be on this checkout's main line (origin/main,
   else main) or on a ref named with --trust. Nothing of any other commit is run.
3. That commit's own release/release.sh builds the release unsigned in build-verify/, from
   git archive.
4. Each program's signature is taken from the ZIP and attached to the fresh program with
   osslsigncode attach-signature, which also verifies it: against the --ca certificate, or,
   without --ca, against the root certificate that the signature carries itself. With --ca, a
   time stamp must verify too, with openssl ts, against --ca's file and the system's CAs.
5. The commit's own release/release_zip.py makes the ZIP from those programs, exactly as its
   release.sh makes it, and only the comparison of the whole ZIP with it decides. The lines
   per entry explain a difference.

Status: 0 when the ZIP is the release, 1 when it is not or a signature fails, and 2, with one
line on standard error, when it cannot check.
"""

import base64
import calendar
import glob
import hashlib
import os
import re
import shutil
import struct
import subprocess
import sys
import zlib
from typing import NamedTuple

USAGE = "usage: release/verify-release.sh ZIP [--ca CA.pem] [--trust REF]..."
NOT_RELEASE, CANNOT_CHECK = 1, 2

# A release is a few hundred KB: these caps leave it ample room and keep a crafted ZIP (a
# decompression bomb, a central directory of a million entries) from exhausting memory.
MAX_ZIP = 64 << 20
MAX_ENTRIES = 256
MAX_ENTRY = 64 << 20
MAX_UNPACKED = 128 << 20
MAX_DER_DEPTH = 32

OID_SIGNED_DATA = "1.2.840.113549.1.7.2"
OID_TST_INFO = "1.2.840.113549.1.9.16.1.4"
OID_RFC3161_STAMP = "1.3.6.1.4.1.311.3.3.1"
KNOWN_ATTRIBUTES = {
    "1.3.6.1.4.1.311.2.4.1": "a second, nested signature",
    "1.2.840.113549.1.9.6": "a countersignature of the older kind, not RFC 3161",
    "1.3.6.1.4.1.42921.1.2.1": "a blob that osslsigncode adds",
}
PLAIN_NAME = re.compile(rb"[A-Za-z0-9._-]+")
WINDOWS_DEVICES = {b"con", b"prn", b"aux", b"nul"} | {
    b"%s%d" % (port, n) for port in (b"com", b"lpt") for n in range(1, 10)
}
COMMIT = re.compile(rb"[0-9a-f]{40}(?:[0-9a-f]{24})?")
EPOCH = re.compile(rb"0|[1-9][0-9]{0,11}")
TOOLCHAIN_FIELDS = (b"compiler", b"binutils", b"windres", b"runtime")
SYSTEM_CAS = "/etc/ssl/certs/ca-certificates.crt"


class Cannot(Exception):
    """The check cannot be made: status 2 and the message as one line."""


class BuildFailed(Cannot):
    """The commit's release could not be built: its log is kept."""


class Unreadable(Exception):
    """The ZIP cannot be read as one."""


class BadDer(Exception):
    """Bytes that are not well-formed DER."""


def show(raw, spaces=False):
    """raw, with every byte outside printable ASCII (the space too, unless spaces) and the
    backslash written as \\xNN, so that it is one harmless word on any terminal."""
    if isinstance(raw, str):
        raw = os.fsencode(raw)
    out = []
    for byte in raw:
        if (0x21 <= byte <= 0x7E and byte != 0x5C) or (spaces and byte == 0x20):
            out.append(chr(byte))
        else:
            out.append(f"\\x{byte:02x}")
    return "".join(out)


def say(line):
    sys.stdout.write(line + "\n")
    sys.stdout.flush()


def sha(data):
    return hashlib.sha256(data).hexdigest()


# ---- The ZIP, read in memory --------------------------------------------------------------


class Archive:
    """A ZIP read in memory: its bytes, its entries in order, by name, and its comment."""

    def __init__(self, data):
        self.data = data
        self.entries, self.comment = read_zip(data)
        self.by_name = {entry.name: entry for entry in self.entries}


class Entry:
    """One entry of a ZIP: its place, its raw name in the central directory and in its local
    header, and its content."""

    def __init__(self, index, name, local_name, data):
        self.index = index
        self.name = name
        self.local_name = local_name
        self.data = data


def read_zip(data):
    """The entries of the ZIP in data, in the order of its central directory, and its comment.
    Only what a release can be is read: no ZIP64, no encryption, stored or deflated entries."""
    end = len(data)
    lowest = max(0, end - 22 - 0xFFFF)
    # The end record is the last one whose comment runs exactly to the end of the file.
    pos = data.rfind(b"PK\x05\x06", lowest)
    while pos >= 0:
        if pos + 22 <= end and pos + 22 + struct.unpack_from("<H", data, pos + 20)[0] == end:
            break
        pos = data.rfind(b"PK\x05\x06", lowest, pos + 3)
    if pos < 0:
        raise Unreadable("is not a ZIP file, or a damaged one")
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
        local_name_len, local_extra_len = struct.unpack_from("<HH", data, local + 26)
        local_name = data[local + 30 : local + 30 + local_name_len]
        start = local + 30 + local_name_len + local_extra_len
        if start + csize > cd_start:
            raise damaged
        packed = data[start : start + csize]
        if method == 0:
            content = packed
        else:
            inflater = zlib.decompressobj(-15)
            try:
                content = inflater.decompress(packed, MAX_ENTRY + 1)
            except zlib.error:
                raise damaged from None
            if len(content) > MAX_ENTRY:
                raise Unreadable(f"has an entry over the {MAX_ENTRY >> 20} MiB this check reads")
            if not inflater.eof:
                raise damaged
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
    if not PLAIN_NAME.fullmatch(name) or name in (b".", b"..") or name.endswith(b"."):
        return False
    return name.split(b".")[0].lower() not in WINDOWS_DEVICES


def structure_faults(entries):
    """A line for each entry that is not a distinct plain file: a folder, a name that is not a
    plain file name, a name the entry's local header gives otherwise, a name given twice."""
    lines, seen = [], {}
    for entry in entries:
        what = f"{sha(entry.data)}  {show(entry.name)}"
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


# ---- Authenticode signatures: PE certificate tables and a bounded DER walk ---------------


def pe_layout(data):
    """(offset of the PE checksum, offset of the certificate table's directory entry) of a PE
    image, or None when data is not one."""
    if len(data) < 64 or data[:2] != b"MZ":
        return None
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if pe + 24 + 2 > len(data) or data[pe : pe + 4] != b"PE\0\0":
        return None
    optional = pe + 24
    optional_size = struct.unpack_from("<H", data, pe + 20)[0]
    magic = struct.unpack_from("<H", data, optional)[0]
    directories = optional + {0x10B: 96, 0x20B: 112}.get(magic, 0)
    if directories == optional or directories + 5 * 8 > min(len(data), optional + optional_size):
        return None
    if struct.unpack_from("<I", data, directories - 4)[0] < 5:
        return None
    return optional + 64, directories + 4 * 8


def pe_signature(data):
    """The PKCS#7 signature in a PE image's certificate table, or None for an image without
    one or data that is no PE image. Raises BadDer for a table that cannot be read."""
    layout = pe_layout(data)
    if layout is None:
        return None
    offset, size = struct.unpack_from("<II", data, layout[1])
    if offset == 0 and size == 0:
        return None
    if size < 8 or offset + size > len(data):
        raise BadDer("its certificate table lies outside the file")
    length, revision, kind = struct.unpack_from("<IHH", data, offset)
    if revision != 0x0200 or kind != 0x0002 or not 8 < length <= size:
        raise BadDer("its certificate table holds no Authenticode signature")
    try:
        return data[offset + 8 : der_at(data, offset + 8, offset + length).end]
    except BadDer as fault:
        raise BadDer(f"its signature cannot be read: {fault}") from None


class El(NamedTuple):
    """A DER element of a buffer: its tag, where it begins, and where its content begins and
    ends."""

    tag: int
    at: int
    start: int
    end: int


def der_at(buf, pos, end):
    """The DER element at pos, which must end by end. Definite, shortest lengths and one-byte
    tags only, as DER has them."""
    if end - pos < 2:
        raise BadDer("an element runs past its end")
    tag, first = buf[pos], buf[pos + 1]
    if tag & 0x1F == 0x1F:
        raise BadDer("a tag of more than one byte")
    start = pos + 2
    if first < 0x80:
        length = first
    else:
        count = first & 0x7F
        if count == 0 or count > 4 or end - start < count:
            raise BadDer("a length that DER does not allow")
        length = int.from_bytes(buf[start : start + count], "big")
        if buf[start] == 0 or length < 0x80:
            raise BadDer("a length that DER does not allow")
        start += count
    if length > end - start:
        raise BadDer("an element runs past its end")
    return El(tag, pos, start, start + length)


def der_children(buf, element):
    """The elements that make up the content of element, which must fill it exactly."""
    children, pos = [], element.start
    while pos < element.end:
        children.append(der_at(buf, pos, element.end))
        pos = children[-1].end
    return children


def der_check(buf, element, depth=0):
    """Raises BadDer unless element is well-formed DER, down through every constructed
    element, no deeper than MAX_DER_DEPTH."""
    if depth > MAX_DER_DEPTH:
        raise BadDer("elements nested too deep")
    if element.tag & 0x20:
        for child in der_children(buf, element):
            der_check(buf, child, depth + 1)


def der_oid(buf, element):
    """The dotted form of an object identifier."""
    if element.tag != 0x06:
        raise BadDer("an object identifier is not where a signature has it")
    if element.end - element.start > 64:
        return "(an object identifier too long to show)"
    arcs, value = [], 0
    for byte in buf[element.start : element.end]:
        value = value << 7 | byte & 0x7F
        if not byte & 0x80:
            arcs.append(value)
            value = 0
    if not arcs:
        return "(an empty object identifier)"
    first = min(arcs[0] // 40, 2)
    return ".".join(str(arc) for arc in [first, arcs[0] - 40 * first] + arcs[1:])


def expect(buf, element, tag, what, count=None):
    """The children of element, which must have the tag (and that many children)."""
    if element.tag != tag:
        raise BadDer(f"{what} is not where a signature has it")
    children = der_children(buf, element)
    if count is not None and len(children) != count:
        raise BadDer(f"{what} is not one a signature has")
    return children


def signed_data(buf, outer):
    """The parts of the CMS SignedData in the ContentInfo outer."""
    kind, wrapped = expect(buf, outer, 0x30, "the content info", 2)
    if der_oid(buf, kind) != OID_SIGNED_DATA:
        raise BadDer("it is not signed data")
    (inner,) = expect(buf, wrapped, 0xA0, "the signed data", 1)
    parts = expect(buf, inner, 0x30, "the signed data")
    if not 4 <= len(parts) <= 6:
        raise BadDer("the signed data is not one a signature has")
    expect(buf, parts[1], 0x31, "the digest algorithms")
    optional = {part.tag: part for part in parts[3:-1]}
    if parts[0].tag != 0x02 or len(optional) != len(parts) - 4 or set(optional) - {0xA0, 0xA1}:
        raise BadDer("the signed data is not one a signature has")
    return {
        "content": parts[2],
        "certificates": der_children(buf, optional[0xA0]) if 0xA0 in optional else [],
        "crls": 0xA1 in optional,
        "signers": expect(buf, parts[-1], 0x31, "the signer infos"),
    }


def signer_parts(buf, signer):
    """(the signature value, the unauthenticated attributes) of a SignerInfo; each attribute is
    (its type, its values)."""
    kids = expect(buf, signer, 0x30, "the signer info")
    signature = [kid for kid in kids if kid.tag == 0x04]
    unsigned = [kid for kid in kids if kid.tag == 0xA1]
    if len(signature) != 1 or len(unsigned) > 1 or (unsigned and kids[-1] != unsigned[0]):
        raise BadDer("the signer info is not one a signature has")
    attributes = []
    for attribute in der_children(buf, unsigned[0]) if unsigned else []:
        kind, values_set = expect(buf, attribute, 0x30, "an attribute", 2)
        values = expect(buf, values_set, 0x31, "an attribute's values")
        attributes.append((der_oid(buf, kind), values))
    return buf[signature[0].start : signature[0].end], attributes


def self_issued(buf, certificate):
    """Whether the certificate names itself as its issuer: a root."""
    if certificate.tag != 0x30:
        return False
    tbs = expect(buf, expect(buf, certificate, 0x30, "a certificate", 3)[0], 0x30, "a certificate")
    skip = 1 if tbs and tbs[0].tag == 0xA0 else 0
    if len(tbs) < skip + 5:
        raise BadDer("a certificate is not one")
    issuer, subject = tbs[skip + 2], tbs[skip + 4]
    return buf[issuer.at : issuer.end] == buf[subject.at : subject.end]


def stamp_time(buf, content):
    """The time (seconds since 1970) in the TSTInfo of a time stamp's signed content."""
    kind, wrapped = expect(buf, content, 0x30, "the time stamp's content", 2)
    if der_oid(buf, kind) != OID_TST_INFO:
        raise BadDer("the time stamp holds no RFC 3161 time-stamp info")
    (octets,) = expect(buf, wrapped, 0xA0, "the time-stamp info", 1)
    if octets.tag != 0x04:
        raise BadDer("the time-stamp info is not where a time stamp has it")
    info = der_at(buf, octets.start, octets.end)
    fields = expect(buf, info, 0x30, "the time-stamp info")
    if info.end != octets.end or len(fields) < 5 or fields[4].tag != 0x18:
        raise BadDer("the time-stamp info is not one")
    text = buf[fields[4].start : fields[4].end]
    match = re.fullmatch(rb"(\d{4})(\d\d)(\d\d)(\d\d)(\d\d)(\d\d)(?:\.\d+)?Z", text)
    if not match:
        raise BadDer("the time-stamp time is not one")
    return calendar.timegm(tuple(int(part) for part in match.groups()))


class Signature:
    """What the check needs of a program's signature, and what is wrong with it."""

    def __init__(self, der):
        self.der = der
        self.roots = []
        self.value = None
        self.stamp = None
        self.stamp_time = None
        self.faults = []
        try:
            outer = der_at(der, 0, len(der))
            der_check(der, outer)
            self.read(outer)
        except (BadDer, ValueError) as fault:
            self.faults = [f"its signature cannot be read: {fault}"]

    def read(self, outer):
        der = self.der
        data = signed_data(der, outer)
        self.roots = [der[c.at : c.end] for c in data["certificates"] if self_issued(der, c)]
        if data["crls"]:
            self.faults.append("its signature carries revocation lists, which nothing signs")
        if len(data["signers"]) != 1:
            self.faults.append(f"its signature has {len(data['signers'])} signers, not one")
            return
        self.value, attributes = signer_parts(der, data["signers"][0])
        for oid, values in attributes:
            if oid == OID_RFC3161_STAMP and self.stamp is None and len(values) == 1:
                self.read_stamp(values[0])
                continue
            what = oid
            if oid == OID_RFC3161_STAMP:
                what += " (a second time stamp, or one with more than one value)"
            elif oid in KNOWN_ATTRIBUTES:
                what += f" ({KNOWN_ATTRIBUTES[oid]})"
            self.faults.append(
                f"its signature carries the unauthenticated attribute {what}; "
                "only an RFC 3161 time stamp may be there"
            )

    def read_stamp(self, token):
        der = self.der
        stamp = signed_data(der, token)
        self.stamp_time = stamp_time(der, stamp["content"])
        for signer in stamp["signers"]:
            for oid, _ in signer_parts(der, signer)[1]:
                self.faults.append(
                    f"its time stamp carries the unauthenticated attribute {oid}; "
                    "a time stamp needs none"
                )
        self.stamp = der[token.at : token.end]


def pem(certificates):
    """Certificates in DER, as one PEM file."""
    out = []
    for der in certificates:
        body = base64.b64encode(der).decode("ascii")
        lines = [body[i : i + 64] for i in range(0, len(body), 64)]
        out.append("-----BEGIN CERTIFICATE-----\n" + "\n".join(lines))
        out.append("\n-----END CERTIFICATE-----\n")
    return "".join(out)


# ---- The checkout, the commit and its build -----------------------------------------------


def run(command, stdin=subprocess.DEVNULL):
    """A command of this machine's, its output taken and never shown."""
    return subprocess.run(command, stdin=stdin, capture_output=True, check=False)


def git(top, *arguments):
    return run(["git", "-C", top, *arguments])


def trusted_on(top, commit, trust):
    """The ref on which the commit is found: the main line or one of the refs trust names."""
    refs = []  # (what git is handed, what the user is told)
    for ref in ("refs/remotes/origin/main", "refs/heads/main"):
        if git(top, "rev-parse", "--verify", "-q", ref + "^{commit}").returncode == 0:
            refs.append((ref, ref.split("/", 2)[2]))
            break
    for ref in trust:
        found = git(top, "rev-parse", "--verify", "-q", "--end-of-options", ref + "^{commit}")
        if ref.startswith("-") or found.returncode != 0:
            raise Cannot(f"--trust {show(ref)} names no commit in this checkout")
        refs.append((ref, show(ref)))
    if not refs:
        raise Cannot(
            "this checkout has no main line (origin/main or main); "
            "name a ref you trust with --trust"
        )
    for ref, shown in refs:
        ancestor = git(top, "merge-base", "--is-ancestor", commit, ref + "^{commit}")
        if ancestor.returncode == 0:
            return shown
    raise Cannot(
        f"commit {commit} is not on {' or '.join(shown for _, shown in refs)}, so it is not "
        "built: a commit off the main line may run anything (name a ref you trust with --trust)"
    )


def tooling(source):
    """The folder of a commit's release tooling: release/, or scripts/ in the commits from
    before it had a folder of its own; None when it has neither."""
    for folder in ("release", "scripts"):
        if os.path.isfile(os.path.join(source, folder, "release.sh")):
            return folder
    return None


def build(top, scratch, commit, epoch):
    """Builds the commit's release unsigned with its own release.sh: the source folder."""
    source = os.path.join(scratch, "source")
    os.makedirs(source)
    archive = subprocess.Popen(
        ["git", "-C", top, "archive", "--format=tar", commit],
        stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
    )
    unpacked = run(["tar", "-xf", "-", "-C", source], stdin=archive.stdout)
    archive.stdout.close()
    if archive.wait() != 0 or unpacked.returncode != 0:
        raise Cannot(f"git archive cannot take commit {commit} out of this checkout")
    tools = tooling(source)
    if tools is None:
        raise Cannot(f"commit {commit} has no release/release.sh to build its release with")
    env = {k: v for k, v in os.environ.items() if not k.startswith("ZELMORTH_SIGN_")}
    env.update(SOURCE_DATE_EPOCH=epoch, ZELMORTH_COMMIT=commit)
    log_path = os.path.join(scratch, "build.log")
    with open(log_path, "wb") as log:
        status = subprocess.run(
            [f"./{tools}/release.sh"], cwd=source, env=env, stdin=subprocess.DEVNULL,
            stdout=log, stderr=subprocess.STDOUT,
        ).returncode
    if status != 0:
        shutil.rmtree(source, ignore_errors=True)
        raise BuildFailed(
            f"the release of commit {commit} could not be built here; its log is in "
            f"{show(log_path, spaces=True)}"
        )
    return source


def release_zip(source, commit, *arguments):
    script = os.path.join(source, tooling(source) or "release", "release_zip.py")
    made = run([sys.executable, script, *arguments])
    if made.returncode != 0:
        raise Cannot(
            f"commit {commit}'s release/release_zip.py cannot make its ZIP from the build folder; "
            "a commit from before it could is not checked this way"
        )
    return made.stdout


def attach(signature_path, ca_path, program, out):
    """Attaches the signature to the program, as osslsigncode verifies it: whether it could."""
    if os.path.exists(out):
        os.remove(out)
    done = run(["osslsigncode", "attach-signature", "-sigin", signature_path, "-CAfile", ca_path,
                "-in", program, "-out", out])
    if done.returncode != 0 and os.path.exists(out):
        os.remove(out)
    return done.returncode == 0


# ---- Explaining a difference --------------------------------------------------------------


def first_difference(one, other):
    """The offset of the first byte in which one and other differ, or None when one is the
    start of the other."""
    step, common = 4096, min(len(one), len(other))
    for block in range(0, common, step):
        end = min(block + step, common)
        if one[block:end] != other[block:end]:
            return next(i for i in range(block, end) if one[i] != other[i])
    return None


def program_difference(given, rebuilt):
    """Where a program from the ZIP first differs from the rebuilt one, in words."""
    first = first_difference(given, rebuilt)
    if first is None:
        return f"it has {len(given)} bytes, where the rebuilt one has {len(rebuilt)}"
    place = "the program"
    layout = pe_layout(rebuilt)
    if layout and layout[0] <= first < layout[0] + 4:
        place = "the PE checksum"
    elif layout:
        offset, size = struct.unpack_from("<II", rebuilt, layout[1])
        if size and offset <= first:
            place = "the signature"
    return f"first difference at byte {first}, in {place}"


def zip_difference(given, rebuilt):
    """What differs between two ZIPs whose entries hold the same files, in words."""
    if [entry.name for entry in given.entries] != [entry.name for entry in rebuilt.entries]:
        return "its entries are in another order"
    first = first_difference(given.data, rebuilt.data)
    if first is None:
        return f"it has {len(given.data)} bytes, where the rebuilt one has {len(rebuilt.data)}"
    return f"the first difference is at byte {first}, in a header, a comment or an extra field"


# ---- The check ----------------------------------------------------------------------------


def arguments(argv):
    zip_path, ca, trust = None, None, []
    i = 0
    while i < len(argv):
        if argv[i] in ("--ca", "--trust") and i + 1 < len(argv):
            if argv[i] == "--ca":
                if ca is not None:
                    raise Cannot(USAGE)
                ca = os.path.abspath(argv[i + 1])
            else:
                trust.append(argv[i + 1])
            i += 2
        elif argv[i].startswith("-") or zip_path is not None:
            raise Cannot(USAGE)
        else:
            zip_path = os.path.abspath(argv[i])
            i += 1
    if zip_path is None:
        raise Cannot(USAGE)
    return zip_path, ca, trust


class Check:
    """One check of a given ZIP: what it was handed and what it has found so far."""

    def __init__(self, argv):
        self.zip_path, self.ca, self.trust = arguments(argv)
        self.top = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
        self.scratch = os.path.join(self.top, "build-verify")
        self.given = None
        self.commit = self.epoch = self.trusted_ref = None
        self.signatures = {}  # by entry name, for each entry that is a signed PE image

    def run(self):
        self.read_given()
        # 1. The ZIP's structure, before anything else: a ZIP that different tools unpack
        # into different files is no release, whatever its bytes.
        faults = structure_faults(self.given.entries)
        if faults:
            return refuse(faults, "the ZIP's entries are not distinct plain files, as a "
                          "release's are; it was not rebuilt")
        self.read_buildinfo()
        # 2. The commit: in this checkout, and on a line its user trusts, before any of it runs.
        if git(self.top, "cat-file", "-e", self.commit + "^{commit}").returncode != 0:
            raise Cannot(f"commit {self.commit} is not in this checkout; fetch it (git fetch) "
                         "and run this again")
        self.trusted_ref = trusted_on(self.top, self.commit, self.trust)
        shutil.rmtree(self.scratch, ignore_errors=True)
        os.makedirs(self.scratch)
        keep_log = False
        try:
            # 3. The signatures, read before any build: one that fails refuses the ZIP at once.
            faults = self.signature_faults()
            if faults:
                return refuse(faults, "a signature in the ZIP fails; the release was not rebuilt")
            # 4. The commit's own release, unsigned; 5. the ZIP remade and compared.
            return self.compare(self.sign_fresh_build())
        except BuildFailed:
            keep_log = True
            raise
        finally:
            if keep_log:
                for name in os.listdir(self.scratch):
                    path = os.path.join(self.scratch, name)
                    if os.path.isdir(path):
                        shutil.rmtree(path)
                    elif name != "build.log":
                        os.remove(path)
            else:
                shutil.rmtree(self.scratch, ignore_errors=True)

    def read_given(self):
        for tool in ("git", "tar", "osslsigncode", "openssl"):
            if shutil.which(tool) is None:
                raise Cannot(f"{tool} is not installed; it is needed for the check")
        found = git(self.top, "rev-parse", "--show-toplevel")
        found_top = os.fsdecode(found.stdout.rstrip(b"\n"))
        if found.returncode or os.path.realpath(found_top) != os.path.realpath(self.top):
            raise Cannot(f"{show(self.top, spaces=True)} is not a git checkout; run this in one")
        if self.ca is not None and run(["openssl", "x509", "-in", self.ca, "-noout"]).returncode:
            raise Cannot(f"cannot read the CA certificate {show(self.ca, spaces=True)} (PEM)")
        shown = show(self.zip_path, spaces=True)
        try:
            with open(self.zip_path, "rb") as handle:
                data = handle.read(MAX_ZIP + 1)
        except OSError:
            raise Cannot(f"cannot read {shown}") from None
        if len(data) > MAX_ZIP:
            raise Cannot(f"{shown} is over the {MAX_ZIP >> 20} MiB this check reads")
        try:
            self.given = Archive(data)
        except Unreadable as fault:
            raise Cannot(f"{shown} {fault}") from None

    def read_buildinfo(self):
        shown = show(self.zip_path, spaces=True)
        info = self.given.by_name.get(b"BUILDINFO.txt")
        if info is None:
            raise Cannot(f"{shown} holds no BUILDINFO.txt, so it does not say what made it")
        commit = field(info.data, b"commit") or b""
        epoch = field(info.data, b"source-date-epoch") or b""
        if commit.endswith(b"-dirty") and COMMIT.fullmatch(commit[:-6]):
            raise Cannot(
                "the release was built from changes that were never committed, on top of "
                f"{commit[:-6].decode()}; there is no source to check it against"
            )
        if not COMMIT.fullmatch(commit):
            raise Cannot(f"BUILDINFO.txt in {shown} names no commit")
        if not EPOCH.fullmatch(epoch):
            raise Cannot(f"BUILDINFO.txt in {shown} gives no source-date-epoch")
        self.commit, self.epoch = commit.decode(), epoch.decode()

    def signature_faults(self):
        """A line for each signature that fails on its own: one that cannot be read, one with
        an unauthenticated attribute other than an RFC 3161 time stamp, and with --ca, a
        program that is not signed or a time stamp that does not verify."""
        faults, roots_missing = [], []
        for entry in self.given.entries:
            label = f"BAD SIGNATURE {show(entry.name)}:"
            try:
                der = pe_signature(entry.data)
            except BadDer as fault:
                faults.append(f"{label} {fault}")
                continue
            if der is None:
                if self.ca is not None and entry.name.lower().endswith(b".exe"):
                    faults.append(f"{label} it is not signed")
                continue
            signature = self.signatures[entry.name] = Signature(der)
            faults += [f"{label} {fault}" for fault in signature.faults]
            if signature.faults:
                continue
            if self.ca is None and not signature.roots:
                roots_missing.append(entry.name)
            if self.ca is not None and signature.stamp is not None:
                if not self.stamp_holds(f"entry-{entry.index}", signature):
                    faults.append(f"{label} its time stamp does not verify against "
                                  f"{show(self.ca, spaces=True)} or the system's CAs")
        if roots_missing and not faults:
            raise Cannot(
                f"the signature of {show(roots_missing[0])} carries no root certificate to "
                "check it against; give the root with --ca"
            )
        return faults

    def stamp_holds(self, name, signature):
        """Whether the time stamp verifies with openssl ts: its signature, its chain to --ca's
        file or the system's CAs at the time it names, and that it stamps this signature."""
        cas = os.path.join(self.scratch, "tsa-cas.pem")
        if not os.path.exists(cas):
            with open(cas, "wb") as out:
                for path in (self.ca, SYSTEM_CAS):
                    if os.path.isfile(path):
                        with open(path, "rb") as part:
                            out.write(part.read() + b"\n")
        token = os.path.join(self.scratch, f"{name}.stamp")
        value = os.path.join(self.scratch, f"{name}.value")
        with open(token, "wb") as out:
            out.write(signature.stamp)
        with open(value, "wb") as out:
            out.write(signature.value)
        done = run(["openssl", "ts", "-verify", "-token_in", "-in", token, "-data", value,
                    "-CAfile", cas, "-attime", str(signature.stamp_time)])
        return done.returncode == 0

    def sign_fresh_build(self):
        """Builds the commit's release unsigned, attaches the given signatures to its programs
        and makes the ZIP from them with the commit's own release_zip.py: (the ZIP, the notes
        for the programs, the signatures that fail against --ca)."""
        say(f"Building commit {self.commit} (on {self.trusted_ref}, SOURCE_DATE_EPOCH "
            f"{self.epoch}) unsigned in {show(self.scratch, spaces=True)} ...")
        commit, epoch = self.commit, self.epoch
        source = build(self.top, self.scratch, commit, epoch)
        built, dist = os.path.join(source, "build-release"), os.path.join(source, "dist")
        zips = glob.glob(os.path.join(glob.escape(dist), "*.zip"))
        if len(zips) != 1:
            raise Cannot(f"the build of commit {commit} made {len(zips)} ZIP files, not one")
        programs = release_zip(source, commit, "--programs", built).split()
        if not programs or not all(plain(name) for name in programs):
            raise Cannot(f"commit {commit}'s release/release_zip.py names no programs")
        # The same code must give the ZIP that release.sh made, or it is not what made it.
        again = os.path.join(self.scratch, "unsigned.zip")
        release_zip(source, commit, built, dist, epoch, again)
        with open(again, "rb") as one, open(zips[0], "rb") as other:
            if one.read() != other.read():
                raise Cannot(f"commit {commit}'s release/release_zip.py does not make the ZIP "
                             "that its release.sh made")

        signed = os.path.join(self.scratch, "signed")
        os.makedirs(signed)
        notes, bad = {}, {}
        for name in programs:
            # Every file written here is named after the fresh build's programs.
            program = name.decode()
            fresh, out = os.path.join(dist, program), os.path.join(signed, program)
            if not os.path.isfile(fresh):
                raise Cannot(f"the build of commit {commit} made no {show(name)}")
            signature = self.signatures.get(name)
            if signature is None:
                shutil.copyfile(fresh, out)
                notes[name] = "not signed"
                continue
            der = os.path.join(self.scratch, program + ".p7")
            roots = os.path.join(self.scratch, program + ".roots.pem")
            with open(der, "wb") as der_out:
                der_out.write(signature.der)
            with open(roots, "w", encoding="ascii") as roots_out:
                roots_out.write(pem(signature.roots))
            # attach-signature verifies as it attaches: against --ca, or the signature's own
            # root. One that its own root verifies but --ca does not is still carried over, so
            # that the rest of the comparison can be made.
            if self.ca is not None and attach(der, self.ca, fresh, out):
                notes[name] = f"signature verified against {show(os.path.basename(self.ca))}"
            elif self.ca is None and attach(der, roots, fresh, out):
                notes[name] = "signature carried over; no trusted CA checked it"
            elif self.ca is not None and signature.roots and attach(der, roots, fresh, out):
                bad[name] = f"it does not verify against {show(self.ca, spaces=True)}"
            else:
                shutil.copyfile(fresh, out)
                notes[name] = "its signature is not one for the fresh program"
                if self.ca is not None and not signature.roots:
                    notes[name] = "its signature does not verify on the fresh program"
        rebuilt = os.path.join(self.scratch, "rebuilt.zip")
        release_zip(source, commit, built, signed, epoch, rebuilt)
        with open(rebuilt, "rb") as handle:
            rebuilt = Archive(handle.read())
        with open(os.path.join(built, "BUILDINFO.txt"), "rb") as handle:
            self.note_toolchain(handle.read())
        return rebuilt, notes, bad

    def note_toolchain(self, fresh_info):
        """Says first when this toolchain is not the one that BUILDINFO.txt records, as the
        likely cause of any difference below."""
        noted = False
        for tool in TOOLCHAIN_FIELDS:
            theirs = field(self.given.by_name[b"BUILDINFO.txt"].data, tool)
            ours = field(fresh_info, tool)
            if theirs == ours:
                continue
            if not noted:
                say("NOTE: this toolchain is not the one that built the release; "
                    "expect differences")
                noted = True
            say(f"    {tool.decode()}: release: {show(theirs or b'(none)', spaces=True)}")
            say(f"    {tool.decode()}: here:    {show(ours or b'(none)', spaces=True)}")

    def compare(self, remade):
        """The verdict, which only the comparison of the whole ZIP gives, after a line for
        each file that explains a difference: the word, the sha256 of the file as the ZIP
        holds it, its name, and what was done or found."""
        rebuilt, notes, bad = remade
        given, commit = self.given, self.commit
        for entry in given.entries:
            what = f"{sha(entry.data)}  {show(entry.name)}"
            mine = rebuilt.by_name.get(entry.name)
            note = notes.get(entry.name)
            if entry.name in bad:
                say(f"BAD SIGNATURE {show(entry.name)}: {bad[entry.name]}")
            elif mine is None:
                say(f"EXTRA     {what} (the fresh build has no such file)")
            elif mine.data == entry.data:
                say(f"same      {what}" + (f" ({note})" if note else ""))
            elif note:
                where = program_difference(entry.data, mine.data)
                say(f"DIFFERENT {what} ({note}; {where}; rebuilt: {sha(mine.data)})")
            else:
                say(f"DIFFERENT {what} (rebuilt: {sha(mine.data)})")
        for mine in rebuilt.entries:
            if mine.name not in given.by_name:
                missing = f"{sha(mine.data)}  {show(mine.name)}"
                say(f"MISSING   {missing} (in the fresh build, not in the ZIP)")

        if given.data == rebuilt.data and not bad:
            release = f"verify-release: the ZIP is, byte for byte, commit {commit}'s release"
            release += f" (found on {self.trusted_ref})"
            if not self.signatures:
                say(f"{release}; its programs are not signed")
            elif self.ca is not None:
                say(f"{release}, with signatures that verify against "
                    f"{show(self.ca, spaces=True)}")
            else:
                say(f"{release}, with the signatures it carries")
                say("verify-release: no trusted CA checked the signatures; "
                    "--ca CA.pem checks them")
            return 0
        if given.data == rebuilt.data:
            say(f"verify-release: REFUSED: the ZIP is commit {commit}'s release, but its "
                f"signatures do not verify against {show(self.ca, spaces=True)}")
            return NOT_RELEASE
        if sorted((e.name, e.data) for e in given.entries) == sorted(
            (e.name, e.data) for e in rebuilt.entries
        ):
            say(f"DIFFERENT the ZIP itself: its files are the same, but "
                f"{zip_difference(given, rebuilt)}")
        say(f"verify-release: DIFFERENT: the ZIP is not commit {commit}'s release")
        return NOT_RELEASE


def refuse(lines, why):
    for line in lines:
        say(line)
    say(f"verify-release: REFUSED: {why}")
    return NOT_RELEASE


def main():
    try:
        status = Check(sys.argv[1:]).run()
    except Cannot as fault:
        sys.stderr.write(f"verify-release: {fault.args[0]}\n")
        status = CANNOT_CHECK
    except Exception as fault:  # a fault of this check's own: one line, and never a pass
        sys.stderr.write(f"verify-release: the check failed: {show(repr(fault), spaces=True)}\n")
        status = CANNOT_CHECK
    sys.exit(status)


if __name__ == "__main__":
    main()
