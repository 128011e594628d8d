"""Property tests of the release check's readers of untrusted bytes, with hypothesis:

    fuzz_readers.py RELEASE.zip... [--seconds N]

The ZIP reader (zip_reader.py) and the signature reader (pe.py, der.py, signature_reader.py
and the path checks of trust.py) are handed inputs grown from the given releases' own bytes:
the ZIPs themselves, each program's signature and time stamp, mutated (bytes flipped, set to
the values that lengths and tags turn on, cut out, repeated, spliced in from elsewhere), and
ZIPs and DER made from scratch. A third test gives the signatures names made of the
characters that cost most where names are compared by Unicode's rules (those that
normalisation expands many-fold, right to left alone so that string preparation takes them
whole, or mixed with private-use, unassigned and bidirectional ones), in UTF-8,
BMP and universal strings, each name standing for the same one as before or each a name of
its own. For every input, each reader must answer: accept it, or refuse it with one printable
line; never raise anything else, and within MAX_SECONDS, a signature named so within its share
of it, SIGNATURE_SECONDS of CPU, since a ZIP may hold 64 of them. The worst inputs this check
knows of (a signature of empty elements up to its cap, nesting past its cap, a ZIP of long
names, a ZIP that inflates past its cap, a ZIP of 64 signatures whose names fill them with
U+FDFA) are tried first, and the whole run must stay under MAX_MEMORY. Each reader gets N
seconds (20 unless given, the names a quarter of it), in rounds of ROUND examples, so that the
test command's time stays bounded.
"""

import io
import os
import re
import resource
import shutil
import sys
import tempfile
import time
import warnings
import zipfile

from hypothesis import HealthCheck, given, settings, strategies as st

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import craft  # noqa: E402
import pe  # noqa: E402
import trust  # noqa: E402
from asn1crypto import x509  # noqa: E402
from show import Report  # noqa: E402
from signature_reader import Signature  # noqa: E402
from zip_reader import MAX_ENTRIES, Archive, Unreadable, field, structure_faults  # noqa: E402

MAX_SECONDS = 5.0  # for any one input; a release's own take milliseconds
SIGNATURE_SECONDS = MAX_SECONDS / MAX_ENTRIES  # of CPU, for a signature's worst names
WORST_CHARACTERS = (
    "\ufdfa\ufdfb"  # Arabic ligatures, 18 and 8 characters in NFKC
    "\u3300\u33c7\u2033\ufb03\u01c4"  # squared words, primes, ligatures, a digraph
    "\u0390\u1f52\u0149"  # three characters each when case is folded
    "\ue000\U000f0000\u0378\u200f\u0301\u00ad"  # private use, unassigned, RLM, a mark, SHY
    " A\t"
)
RIGHT_TO_LEFT = "\ufdfa\ufdfb\ufdf2\ufef5\u0628"  # names of these alone pass the bidi rule
MAX_MEMORY = 400 << 20
MAX_LINE = 2000
ROUND = 50
ONE_LINE = re.compile(r"[\x20-\x7e]+")
BOUNDARY_BYTES = [0x00, 0x01, 0x02, 0x05, 0x06, 0x30, 0x31, 0x7F, 0x80, 0x81, 0x82, 0x83, 0x84,
                  0x85, 0xA0, 0xA1, 0xFF]


class Slow(AssertionError):
    pass


def one_line(text):
    assert ONE_LINE.fullmatch(text) and len(text) <= MAX_LINE, f"not one printable line: {text!r}"


def timed(reader, data, clock=time.monotonic, limit=None):
    """Runs the reader on data and gives the time it took by clock, which must stay within
    limit (MAX_SECONDS of wall time by default)."""
    start = clock()
    reader(data)
    took = clock() - start
    if took > (MAX_SECONDS if limit is None else limit):
        raise Slow(f"{reader.__name__} took {took:.3f} s on {len(data)} bytes")
    return took


def zip_answer(data):
    """What the check makes of a ZIP before it builds anything: its entries, their names'
    faults and BUILDINFO.txt's fields, or one line."""
    try:
        archive = Archive(data)
    except Unreadable as fault:
        one_line(f"verify-release: x.zip {fault}")
        return
    report = Report()
    for line in structure_faults(archive.entries):
        one_line(line)
        report.add(line)
    shown = report.text()
    assert sum(len(line) for line in shown) < 64 << 10, "the report of one ZIP is too long"
    info = archive.by_name.get(b"BUILDINFO.txt")
    if info is not None:
        for name in (b"commit", b"source-date-epoch", b"compiler"):
            field(info.data, name)
    for entry in archive.entries:
        program_answer(entry.data)


def program_answer(data):
    """What the check makes of a program's signature, or one line."""
    try:
        signature = pe.signature(data)
    except pe.BadTable as fault:
        one_line(f"BAD SIGNATURE x: {fault}")
        return
    if signature is not None:
        signature_answer(signature)


ANCHORS = []  # the roots of the given releases' signatures, as --ca would hand them
FOLDER = []  # where trust.path_end hands openssl a cross-certificate


def signature_answer(signature_der):
    signature = Signature(signature_der)
    for fault in signature.faults:
        one_line(f"BAD SIGNATURE x: {fault}")
    if signature.faults:
        return
    for anchors in (ANCHORS, [signature.path[-1]]):
        _, chain, faults = trust.path_end(signature.path, anchors, "ca.pem", FOLDER[0])
        faults += trust.validity_faults(chain, int(time.time()), "now")
        faults += trust.signing_time_faults(signature.signer, signature.signing_time, "it")
        if signature.stamp is not None:
            faults += trust.path_end(signature.stamp_path, anchors, "ca.pem", FOLDER[0])[2]
        for fault in faults:
            one_line(f"BAD SIGNATURE x: {fault}")


# ---- Inputs ---------------------------------------------------------------------------------


@st.composite
def mutated(draw, seeds, places=None):
    """One of the seeds, changed a few times: at any byte, or at the places that matter more
    (a ZIP's headers), when given."""
    index = draw(st.integers(0, len(seeds) - 1))
    data = bytearray(seeds[index])
    for _ in range(draw(st.integers(1, 6))):
        if not data:
            data += draw(st.binary(min_size=1, max_size=64))
            continue
        if places and places[index] and draw(st.booleans()):
            pos = min(len(data) - 1, draw(st.sampled_from(places[index])) + draw(st.integers(0, 46)))
        else:
            pos = draw(st.integers(0, len(data) - 1))
        kind = draw(st.sampled_from(["flip", "set", "cut", "repeat", "splice", "end"]))
        if kind == "flip":
            data[pos] ^= 1 << draw(st.integers(0, 7))
        elif kind == "set":
            for i, byte in enumerate(draw(st.lists(st.sampled_from(BOUNDARY_BYTES), min_size=1,
                                                   max_size=4))):
                if pos + i < len(data):
                    data[pos + i] = byte
        elif kind == "cut":
            del data[pos : pos + draw(st.integers(1, 256))]
        elif kind == "repeat":
            piece = bytes(data[pos : pos + draw(st.integers(1, 64))])
            data[pos:pos] = piece * draw(st.integers(1, 512))
        elif kind == "splice":
            other = seeds[draw(st.integers(0, len(seeds) - 1))]
            start = draw(st.integers(0, max(0, len(other) - 1)))
            data[pos:pos] = other[start : start + draw(st.integers(1, 2048))]
        else:
            del data[pos:]
    return bytes(data)


@st.composite
def der_trees(draw, depth=0):
    """DER made from scratch: sequences, sets and context tags of primitives and of each other,
    with a wrong length now and then."""
    if depth >= 6 or draw(st.integers(0, 3)) == 0:
        tag = draw(st.sampled_from([0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x0C, 0x13, 0x17, 0x18,
                                    0x80, 0x81]))
        content = draw(st.binary(max_size=40))
    else:
        tag = draw(st.sampled_from([0x30, 0x31, 0xA0, 0xA1, 0xA3]))
        content = b"".join(draw(st.lists(der_trees(depth + 1), max_size=5)))
    length = len(content) + draw(st.sampled_from([0] * 12 + [-1, 1]))
    length = max(0, length)
    if length < 0x80:
        head = bytes([length])
    else:
        body = length.to_bytes((length.bit_length() + 7) // 8, "big")
        head = bytes([0x80 | len(body)]) + body
    return bytes([tag]) + head + content


@st.composite
def made_zips(draw):
    """ZIPs made from scratch, of a few entries with any names and contents."""
    out = io.BytesIO()
    with zipfile.ZipFile(out, "w") as archive:
        for _ in range(draw(st.integers(0, 6))):
            name = draw(st.binary(min_size=1, max_size=40)).decode("latin-1")
            method = draw(st.sampled_from([zipfile.ZIP_STORED, zipfile.ZIP_DEFLATED]))
            archive.writestr(zipfile.ZipInfo(name), draw(st.binary(max_size=200)),
                             compress_type=method)
        archive.comment = draw(st.binary(max_size=40))
    return out.getvalue()


@st.composite
def named_signatures(draw, seeds):
    """A signature whose names are made of WORST_CHARACTERS, as long as its 64 KiB allow."""
    seed = draw(st.sampled_from(seeds))
    pattern = draw(st.one_of(st.text(alphabet=RIGHT_TO_LEFT, min_size=1, max_size=6),
                             st.text(alphabet=WORST_CHARACTERS, min_size=1, max_size=6)))
    kind = draw(st.sampled_from(["utf8_string", "bmp_string", "universal_string"]))
    length = draw(st.one_of(st.just(pe.MAX_SIGNATURE), st.integers(0, pe.MAX_SIGNATURE)))
    text = (pattern * (length // len(pattern) + 1))[:length]

    def name_for(n):
        value = x509.DirectoryString(name=kind, value=chr(0x0628 + n % 18) + text)
        pair = x509.NameTypeAndValue({"type": "common_name", "value": value})
        return x509.Name(name="", value=x509.RDNSequence([x509.RelativeDistinguishedName([pair])]))

    alike = draw(st.booleans())
    signature = craft.renamed(seed, name_for, alike)
    while len(signature) > pe.MAX_SIGNATURE:  # names as long as the signature's room allows
        text = text[: len(text) * pe.MAX_SIGNATURE // len(signature) - 1]
        signature = craft.renamed(seed, name_for, alike)
    return signature


# ---- The worst inputs known ---------------------------------------------------------------


def worst_signatures():
    limit = pe.MAX_SIGNATURE
    empty = b"\x30\x00" * ((limit - 4) // 2)
    yield b"\x30\x82" + len(empty).to_bytes(2, "big") + empty
    deep = b"\x05\x00"
    for _ in range(4000):
        deep = b"\x30" + (bytes([len(deep)]) if len(deep) < 0x80 else
                          bytes([0x82]) + len(deep).to_bytes(2, "big")) + deep
        if len(deep) > limit - 8:
            break
    yield deep


def worst_zips():
    out = io.BytesIO()
    with zipfile.ZipFile(out, "w") as archive:
        for index in range(64):
            archive.writestr("%05d%s" % (index, "\x1b" * 59995), b"")
    yield out.getvalue()
    out = io.BytesIO()
    with zipfile.ZipFile(out, "w", zipfile.ZIP_DEFLATED) as archive:
        for index in range(3):
            archive.writestr(f"zeros{index}", bytes(30 << 20), compresslevel=9)
    yield out.getvalue()
    yield b"PK\x05\x06" * (0x10000 // 4) + b"\0" * 22


def worst_named_zip(program):
    """A ZIP of MAX_ENTRIES programs whose signatures' names are U+FDFA, as many as fit."""
    named = pe.signed(pe.without_signature(program), craft.expanding_names(pe.signature(program)))
    out = io.BytesIO()
    with zipfile.ZipFile(out, "w") as archive:
        for index in range(MAX_ENTRIES):
            archive.writestr(f"copy{index:02d}.exe", named)
    return out.getvalue()


# ---- The run --------------------------------------------------------------------------------


def run_for(name, test, seconds):
    """Runs the property test in rounds until its time is spent: how many inputs it tried."""
    start, rounds = time.monotonic(), 0
    while time.monotonic() - start < seconds:
        test()
        rounds += 1
    print(f"{name}: {rounds * ROUND} inputs in {time.monotonic() - start:.0f} s, every one "
          "answered")


def main():
    warnings.simplefilter("ignore")  # zipfile warns of names given twice, which are made here
    args = sys.argv[1:]
    seconds = 20.0
    if "--seconds" in args:
        at = args.index("--seconds")
        seconds = float(args[at + 1])
        del args[at : at + 2]
    if not args:
        sys.exit(__doc__)
    zips, programs, signatures, places = [], [], [], []
    for path in args:
        with open(path, "rb") as handle:
            zips.append(handle.read())
        places.append([m.start() for m in re.finditer(rb"PK[\x01\x03\x05][\x02\x04\x06]", zips[-1])])
        for entry in Archive(zips[-1]).entries:
            signature = pe.signature(entry.data)
            if signature is not None:
                programs.append(entry.data)
                signatures.append(signature)
                read = Signature(signature)
                assert not read.faults, f"a given release's signature is refused: {read.faults}"
                ANCHORS.append(read.path[-1])
                if read.stamp is not None:
                    signatures.append(read.stamp)
    unsigned = pe.without_signature(programs[0])
    FOLDER.append(tempfile.mkdtemp(prefix="fuzz-readers-"))
    try:
        run_all(zips, places, programs, signatures, unsigned, seconds)
    finally:
        shutil.rmtree(FOLDER[0], ignore_errors=True)
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss << 10
    print(f"peak memory: {peak >> 20} MiB")
    assert peak < MAX_MEMORY, f"the readers took {peak >> 20} MiB, more than {MAX_MEMORY >> 20}"


def run_all(zips, places, programs, signatures, unsigned, seconds):
    slowest = 0.0
    for data in worst_signatures():
        slowest = max(slowest, timed(signature_answer, data),
                      timed(program_answer, pe.signed(unsigned, data)))
    for data in [*worst_zips(), worst_named_zip(programs[-1])]:
        slowest = max(slowest, timed(zip_answer, data))
    print(f"the worst inputs known: answered, the slowest in {slowest:.2f} s")

    check = settings(max_examples=ROUND, deadline=None, database=None, print_blob=True,
                     suppress_health_check=list(HealthCheck))

    @check
    @given(st.one_of(mutated(zips, places), made_zips()))
    def zip_reader_answers(data):
        timed(zip_answer, data)

    @check
    @given(st.one_of(mutated(signatures), der_trees()), st.booleans())
    def signature_reader_answers(data, in_program):
        if in_program:
            timed(program_answer, pe.signed(unsigned, data))
        else:
            timed(signature_answer, data)

    @check
    @given(named_signatures(signatures))
    def names_cost_their_bytes(data):
        timed(signature_answer, data, time.process_time, SIGNATURE_SECONDS)

    run_for("ZIP reader", zip_reader_answers, seconds)
    run_for("signature reader", signature_reader_answers, seconds)
    run_for("names of the costliest characters", names_cost_their_bytes, seconds / 4)


if __name__ == "__main__":
    main()
