"""Checks a Windows release that someone was handed against the source, in a checkout.

    release/verify-release.sh ZIP [--ca CA.pem] [--trust REF]...

verify-release.sh installs the packages this needs and runs it. The ZIP may have been made to
fool the check, so nothing of it is trusted: it is read in memory with a cap on every size
(zip_reader.py), no file is ever written under a name taken from it, none of its bytes reach
the terminal raw (show.py), every byte of each signature is accounted for before any other
tool sees it (signature_reader.py), and no address it names is ever contacted.

The check, in this order; each step that fails ends it:
1. The ZIP's entries must be distinct plain files.
2. BUILDINFO.txt must name a commit of this checkout by its full object id, which git must
   resolve to that very commit (not a tag, tree or blob, nor a ref that happens to be spelt in
   hex digits), and the commit's own time as its source-date-epoch, which a ZIP must be able
   to hold.
3. Each program's signature must hold only what its signer signed, the certificates of the
   path from its signer to a root and one RFC 3161 time stamp with its own path; its signer
   must be one that may sign code, the stamp's one that may stamp time, and the certificates
   above them CAs, valid when the signature was made (trust.py), at a time stamp's time no
   later than this machine's clock, and each signer's own signing time within its dates. With
   --ca, the path must end at that file's CA (through a cross-certificate that another of its
   CAs issued, too); without it, at the root the signature carries.
4. The commit must be on this checkout's main line (origin/main, else main) or on a ref named
   with --trust. Nothing of any other commit is run.
5. A time stamp must verify with openssl ts, at the time it names.
6. The commit's own release.sh builds the release unsigned in a scratch folder of this check's
   own (build-verify-*/, from git archive; checkout.py). Each signature is put on the fresh
   program (pe.py), and osslsigncode verifies it there, never online; the commit's own
   release_zip.py makes the ZIP from those programs, and only the comparison of the whole ZIP
   with it decides. The lines per entry explain a difference.

Status: 0 when the ZIP is the release, 1 when it is not or a signature fails, and 2, with one
line on standard error, when it cannot check. Every program it runs has a time limit, and one
that runs out is status 2 too; so is SIGINT, SIGTERM or SIGHUP, which end the check with
everything it started and leave nothing of it behind. git never goes online: a partial clone
is refused (checkout.py).
"""

import calendar
import glob
import hashlib
import os
import re
import shutil
import signal
import struct
import sys
import tempfile
import time

STOP_SIGNALS = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)


def stopped_early(number, _frame):
    """A stopping signal while the check's modules load, before it has begun anything."""
    sys.stderr.write(f"verify-release: cannot check: stopped by signal "
                     f"{signal.Signals(number).name}; nothing was decided\n")
    sys.exit(2)


for early in STOP_SIGNALS:
    if signal.getsignal(early) is not signal.SIG_IGN:
        signal.signal(early, stopped_early)

import pe  # noqa: E402 - after the signals, which may come while the modules load
import trust  # noqa: E402
from checkout import (  # noqa: E402
    BuildFailed, Cannot, build, commit_time, full_clone, git, id_digits, object_kind, run,
    trusted_on)
from show import Report, say, show  # noqa: E402
from signature_reader import Signature  # noqa: E402
from zip_reader import MAX_ZIP, Archive, Unreadable, field, plain, structure_faults  # noqa: E402

USAGE = "usage: release/verify-release.sh ZIP [--ca CA.pem] [--trust REF]..."
NOT_RELEASE, CANNOT_CHECK = 1, 2
COMMIT = re.compile(rb"[0-9a-f]{40}(?:[0-9a-f]{24})?")  # SHA-1 or SHA-256
EPOCH = re.compile(rb"0|[1-9][0-9]{0,11}")
LAST_ZIP_TIME = calendar.timegm((2107, 12, 31, 23, 59, 59))  # an MS-DOS date ends in 2107
TOOLCHAIN_FIELDS = (b"compiler", b"binutils", b"windres", b"runtime")


class Stopped(Cannot):
    """The check was told to stop."""


def sha(data):
    return hashlib.sha256(data).hexdigest()


def date(epoch):
    try:
        return time.strftime("%Y-%m-%d %H:%M:%S UTC", time.gmtime(epoch))
    except (OverflowError, OSError, ValueError):
        return "a time past any calendar"


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
    layout = pe.layout(rebuilt)
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


def osslsigncode_reason(output):
    """The line of osslsigncode's or openssl's output that says why a signature failed, made
    harmless."""
    lines = [line.strip() for line in output.decode("utf-8", "replace").splitlines()]
    for line in lines:
        if "Verify error:" in line:  # openssl's own words, after its error codes
            return show(line[line.index("Verify error:"):].encode(), spaces=True, limit=160)
    for marker in ("Error:", "mismatch", "MISMATCH", "failed", "Failed"):
        for line in lines:
            if marker in line:
                return show(line.encode("utf-8", "replace"), spaces=True, limit=160)
    return "osslsigncode gives no reason"


# ---- The check ----------------------------------------------------------------------------


def arguments(argv):
    zip_path, ca, trusted = None, None, []
    i = 0
    while i < len(argv):
        if argv[i] in ("--ca", "--trust") and i + 1 < len(argv):
            if argv[i] == "--ca":
                if ca is not None:
                    raise Cannot(USAGE)
                ca = os.path.abspath(argv[i + 1])
            else:
                trusted.append(argv[i + 1])
            i += 2
        elif argv[i].startswith("-") or zip_path is not None:
            raise Cannot(USAGE)
        else:
            zip_path = os.path.abspath(argv[i])
            i += 1
    if zip_path is None:
        raise Cannot(USAGE)
    return zip_path, ca, trusted


def refuse(lines, why):
    report = Report()
    for line in lines:
        report.add(line)
    report.print()
    say(f"verify-release: REFUSED: {why}")
    return NOT_RELEASE


class Check:
    """One check of a given ZIP: what it was handed and what it has found so far."""

    def __init__(self, argv):
        self.zip_path, self.ca, self.trust = arguments(argv)
        self.ca_shown = show(self.ca, spaces=True) if self.ca else None
        self.top = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
        self.scratch = None
        self.given = None
        self.anchors = []  # --ca's certificates
        self.system = None  # the system's CAs, read when a time stamp needs them
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
        # 2. The commit and its time.
        self.read_buildinfo()
        if self.epoch > LAST_ZIP_TIME:
            return refuse([], f"BUILDINFO.txt gives source-date-epoch {self.epoch} "
                          f"({date(self.epoch)}), later than any ZIP entry can hold (the end "
                          "of 2107), so no release carries it; it was not rebuilt")
        digits = id_digits(self.top)
        if len(self.commit) != digits:
            return refuse([], f"BUILDINFO.txt names {self.commit} as its commit, but the object "
                          f"ids of this checkout have {digits} hex digits, so that is no commit "
                          "id here, and release.sh records only commit ids; it was not rebuilt")
        kind = object_kind(self.top, self.commit)
        if kind is None:
            raise Cannot(f"commit {self.commit} is not in this checkout; fetch it (git fetch) "
                         "and run this again")
        if kind != "commit":
            return refuse([], f"BUILDINFO.txt names {self.commit} as its commit, but that is "
                          f"{show(kind, spaces=True)} here, not a commit, and release.sh records "
                          "only commits; it was not rebuilt")
        made = commit_time(self.top, self.commit)
        if made != self.epoch:
            return refuse([], f"BUILDINFO.txt gives source-date-epoch {self.epoch} "
                          f"({date(self.epoch)}), but commit {self.commit} was made at {made} "
                          f"({date(made)}), and a commit's release carries its time; it was "
                          "not rebuilt")
        keep_log = False
        try:
            self.make_scratch()
            # 3. The signatures, on their own.
            faults = self.signature_faults()
            if faults:
                return refuse(faults, "a signature in the ZIP fails; the release was not rebuilt")
            # 4. The commit: on a line its user trusts, before any of it runs.
            self.trusted_ref = trusted_on(self.top, self.commit, self.trust)
            # 5. The time stamps.
            faults = self.stamp_faults()
            if faults:
                return refuse(faults, "a time stamp in the ZIP fails; the release was not "
                              "rebuilt")
            # 6. The commit's own release, unsigned, the signatures put on it, the ZIP remade
            # and compared.
            return self.compare(self.sign_fresh_build())
        except BuildFailed:
            keep_log = True
            raise
        finally:
            self.clean(keep_log)

    def make_scratch(self):
        """Makes the check's scratch folder in the checkout, with the stopping signals held
        back until it is known, so that a stop never leaves one behind."""
        signal.pthread_sigmask(signal.SIG_BLOCK, STOP_SIGNALS)
        try:
            self.scratch = tempfile.mkdtemp(prefix="build-verify-", dir=self.top)
        except OSError as fault:
            raise Cannot(f"cannot make a scratch folder in {show(self.top, spaces=True)}: "
                         f"{show(fault.strerror or str(fault), spaces=True)}") from None
        finally:
            signal.pthread_sigmask(signal.SIG_UNBLOCK, STOP_SIGNALS)

    def clean(self, keep_log):
        """Removes the scratch folder, or all of it but the build's log."""
        if self.scratch is None:
            return
        if not keep_log:
            shutil.rmtree(self.scratch, ignore_errors=True)
            return
        for name in os.listdir(self.scratch):
            path = os.path.join(self.scratch, name)
            if os.path.isdir(path):
                shutil.rmtree(path, ignore_errors=True)
            elif name != "build.log":
                os.remove(path)

    def read_given(self):
        for tool in ("git", "tar", "osslsigncode", "openssl"):
            if shutil.which(tool) is None:
                raise Cannot(f"{tool} is not installed; it is needed for the check")
        found = git(self.top, "rev-parse", "--show-toplevel")
        found_top = os.fsdecode(found.stdout.rstrip(b"\n"))
        if found.returncode or os.path.realpath(found_top) != os.path.realpath(self.top):
            raise Cannot(f"{show(self.top, spaces=True)} is not a git checkout; run this in one")
        full_clone(self.top)
        if self.ca is not None:
            try:
                self.anchors = trust.load(self.ca)
            except trust.NotAnchors as fault:
                raise Cannot(f"the CA certificate: {fault.args[0]} (PEM)") from None
        shown = show(self.zip_path, spaces=True)
        try:
            with open(self.zip_path, "rb") as handle:
                data = handle.read(MAX_ZIP + 1)
        except OSError:
            raise Cannot(f"cannot read {shown}") from None
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
        self.commit, self.epoch = commit.decode(), int(epoch)

    def system_anchors(self):
        if self.system is None:
            self.system = trust.system_anchors()
        return self.system

    def signature_faults(self):
        """A line for each signature that fails on its own: one that cannot be read or holds
        what it may not, one that its path and trust refuse, and with --ca, a program that is
        not signed."""
        faults, roots_missing = [], []
        for entry in self.given.entries:
            label = f"BAD SIGNATURE {show(entry.name)}:"
            try:
                der = pe.signature(entry.data)
            except pe.BadTable as fault:
                faults.append(f"{label} {fault}")
                continue
            if der is None:
                if self.ca is not None and entry.name.lower().endswith(b".exe"):
                    faults.append(f"{label} it is not signed")
                continue
            signature = self.signatures[entry.name] = Signature(der)
            found = signature.faults or self.trust_faults(signature)
            if found is None:
                roots_missing.append(entry.name)
            faults += [f"{label} {fault}" for fault in found or []]
        if roots_missing and not faults:
            raise Cannot(
                f"the signature of {show(roots_missing[0])} carries no root certificate to "
                "check it against; give the root with --ca"
            )
        return faults

    def trust_faults(self, signature):
        """What trust refuses of a signature that holds only what it may: where its paths
        end, and whether each certificate on them is valid when it was made. None when,
        without --ca, the signature carries no root."""
        if self.ca is not None:
            anchor, chain, faults = trust.path_end(signature.path, self.anchors, self.ca_shown,
                                                   self.scratch)
            faults = [f"it does not verify against {self.ca_shown}: {fault}" for fault in faults]
        elif signature.path[-1].self_issued:
            anchor, chain, faults = signature.path[-1], signature.path, []
        else:
            return None
        signature.anchor = anchor
        if faults:
            return faults
        faults = trust.signing_time_faults(signature.signer, signature.signing_time, "it")
        now = int(time.time())
        if signature.stamp is None:
            return faults + trust.validity_faults(chain, now, "this moment, since it has no "
                                                  "time stamp")
        if signature.stamp_time > now:
            # A certificate's dates are judged at the stamp's time, so a stamp from the future
            # would pass one that has never been valid yet.
            return faults + [f"its time stamp names {signature.stamp_time_text}, later than "
                             f"this machine's clock ({trust.when(now)}); no time stamp is made "
                             "in the future (if the clock is wrong, set it right)"]
        faults += trust.validity_faults(chain, signature.stamp_time, "the time its time stamp "
                                        "names")
        mine = self.anchors if self.ca is not None else [anchor]
        signature.stamp_anchors = mine + self.system_anchors()
        label = (f"{self.ca_shown} or the system's CAs" if self.ca is not None
                 else "the signature's root or the system's CAs")
        stamp_anchor, chain, found = trust.path_end(signature.stamp_path,
                                                    signature.stamp_anchors, label, self.scratch)
        faults += [f"its time stamp does not verify against {label}: {fault}" for fault in found]
        faults += trust.signing_time_faults(signature.stamp_signer, signature.stamp_signing_time,
                                            "its time stamp")
        faults += [f"its time stamp: {fault}" for fault in
                   trust.validity_faults(chain, signature.stamp_time, "the time it names")]
        signature.stamp_anchor = stamp_anchor
        return faults

    def scratch_file(self, name, data):
        """Writes a file of the check's own into the scratch folder: its path."""
        path = os.path.join(self.scratch, name)
        with open(path, "wb" if isinstance(data, bytes) else "w") as out:
            out.write(data)
        return path

    def stamp_faults(self):
        """A line for each time stamp that openssl ts does not verify: its signature, its
        chain to the anchor its path ends at, at the time it names, and that it stamps this
        signature's value."""
        faults = []
        for index, (name, signature) in enumerate(self.signatures.items()):
            if signature.stamp is None:
                continue
            token = self.scratch_file(f"stamp-{index}.der", signature.stamp)
            value = self.scratch_file(f"stamp-{index}.value", signature.value)
            cas = self.scratch_file(f"stamp-{index}.pem", trust.pem_text([signature.stamp_anchor]))
            done = run(["openssl", "ts", "-verify", "-token_in", "-in", token, "-data", value,
                        "-CAfile", cas, "-attime", str(signature.stamp_time)], "openssl ts")
            if done.returncode != 0:
                faults.append(f"BAD SIGNATURE {show(name)}: its time stamp does not verify: "
                              f"{osslsigncode_reason(done.stdout + done.stderr)}")
        return faults

    def release_zip(self, source, tools, *arguments):
        script = os.path.join(source, tools, "release_zip.py")
        made = run([sys.executable, script, *arguments], "release_zip.py")
        if made.returncode != 0:
            raise Cannot(
                f"commit {self.commit}'s release_zip.py cannot make its ZIP from the build "
                "folder; a commit from before it could is not checked this way"
            )
        return made.stdout

    def verify_signed(self, program, signature):
        """osslsigncode's verdict on the fresh program with the signature on it, offline: None
        when it verifies, else why not."""
        if self.ca is not None:
            cas = self.ca
        else:
            cas = self.scratch_file("root.pem", trust.pem_text([signature.anchor]))
        stamp_cas = self.scratch_file("stamp-cas.pem", trust.pem_text(
            getattr(signature, "stamp_anchors", None) or [signature.anchor]))
        # -ignore-crl and -ignore-cdp: nothing is fetched from the addresses a certificate
        # names, so the ZIP's author never learns who checks it, and a server that never
        # answers cannot stop the check.
        done = run(["osslsigncode", "verify", "-ignore-crl", "-ignore-cdp", "-CAfile", cas,
                    "-TSA-CAfile", stamp_cas, "-in", program], "osslsigncode verify")
        if done.returncode == 0:
            return None
        return osslsigncode_reason(done.stdout + done.stderr)

    def sign_fresh_build(self):
        """Builds the commit's release unsigned, puts the given signatures on its programs
        and makes the ZIP from them with the commit's own release_zip.py: (the ZIP, the notes
        for the programs, why a signature fails on its fresh program)."""
        say(f"Building commit {self.commit} (on {self.trusted_ref}, SOURCE_DATE_EPOCH "
            f"{self.epoch}) unsigned in {show(os.path.basename(self.scratch))}/ ...")
        commit, epoch = self.commit, str(self.epoch)
        source, tools = build(self.top, self.scratch, commit, self.epoch)
        built, dist = os.path.join(source, "build-release"), os.path.join(source, "dist")
        zips = glob.glob(os.path.join(glob.escape(dist), "*.zip"))
        if len(zips) != 1:
            raise Cannot(f"the build of commit {commit} made {len(zips)} ZIP files, not one")
        programs = self.release_zip(source, tools, "--programs", built).split()
        if not programs or not all(plain(name) for name in programs):
            raise Cannot(f"commit {commit}'s release_zip.py names no programs")
        # The same code must give the ZIP that release.sh made, or it is not what made it.
        again = os.path.join(self.scratch, "unsigned.zip")
        self.release_zip(source, tools, built, dist, epoch, again)
        with open(again, "rb") as one, open(zips[0], "rb") as other:
            if one.read() != other.read():
                raise Cannot(f"commit {commit}'s release_zip.py does not make the ZIP that its "
                             "release.sh made")

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
            with open(fresh, "rb") as handle:
                with_signature = pe.signed(handle.read(), signature.der)
            if with_signature is None:
                raise Cannot(f"the build of commit {commit} made {show(name)}, which is no "
                             "unsigned PE image to put a signature on")
            with open(out, "wb") as handle:
                handle.write(with_signature)
            why = self.verify_signed(out, signature)
            if why is not None:
                bad[name] = why
            elif self.ca is not None:
                notes[name] = f"signature verified against {show(os.path.basename(self.ca))}"
            else:
                notes[name] = "signature verified against the root it carries, which no one vouches for"
        rebuilt = os.path.join(self.scratch, "rebuilt.zip")
        self.release_zip(source, tools, built, signed, epoch, rebuilt)
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
        given, commit, report = self.given, self.commit, Report()
        for entry in given.entries:
            what = f"{sha(entry.data)}  {show(entry.name)}"
            mine = rebuilt.by_name.get(entry.name)
            note = notes.get(entry.name)
            if mine is None:
                report.add(f"EXTRA     {what} (the fresh build has no such file)")
            elif entry.name in bad and mine.data == entry.data:
                report.add(f"BAD SIGNATURE {show(entry.name)}: on the fresh program, it does "
                           f"not verify: {bad[entry.name]}")
            elif entry.name in bad:
                where = program_difference(entry.data, mine.data)
                report.add(f"DIFFERENT {what} (its signature does not verify on the fresh "
                           f"program: {bad[entry.name]}; {where}; rebuilt: {sha(mine.data)})")
            elif mine.data == entry.data:
                report.add(f"same      {what}" + (f" ({note})" if note else ""))
            elif note:
                where = program_difference(entry.data, mine.data)
                report.add(f"DIFFERENT {what} ({note}; {where}; rebuilt: {sha(mine.data)})")
            else:
                report.add(f"DIFFERENT {what} (rebuilt: {sha(mine.data)})")
        for mine in rebuilt.entries:
            if mine.name not in given.by_name:
                missing = f"{sha(mine.data)}  {show(mine.name)}"
                report.add(f"MISSING   {missing} (in the fresh build, not in the ZIP)")
        report.print()

        if given.data == rebuilt.data and not bad:
            release = f"verify-release: the ZIP is, byte for byte, commit {commit}'s release"
            release += f" (found on {self.trusted_ref})"
            if not self.signatures:
                say(f"{release}; its programs are not signed")
                return 0
            if self.ca is not None:
                say(f"{release}, with signatures that verify against {self.ca_shown}")
            else:
                say(f"{release}, with the signatures it carries")
                say("verify-release: no trusted CA checked the signatures; "
                    "--ca CA.pem checks them")
            say("verify-release: revocation was not checked: this check never goes online "
                "(see docs/windows.md)")
            return 0
        if given.data == rebuilt.data:
            say(f"verify-release: REFUSED: the ZIP is commit {commit}'s release, but its "
                "signatures do not verify on the fresh programs")
            return NOT_RELEASE
        if sorted((e.name, e.data) for e in given.entries) == sorted(
            (e.name, e.data) for e in rebuilt.entries
        ):
            say(f"DIFFERENT the ZIP itself: its files are the same, but "
                f"{zip_difference(given, rebuilt)}")
        say(f"verify-release: DIFFERENT: the ZIP is not commit {commit}'s release")
        return NOT_RELEASE


def stopped(number, _frame):
    """Ends the check at a stopping signal: the exception unwinds it, which ends what it runs
    and removes its scratch folder, and any further signal is ignored so that nothing cuts
    that short."""
    for other in STOP_SIGNALS:
        signal.signal(other, signal.SIG_IGN)
    raise Stopped(f"stopped by signal {signal.Signals(number).name}; nothing was decided")


def main():
    for number in STOP_SIGNALS:
        # One that the caller ignores (nohup, a shell's background job) stays ignored.
        if signal.getsignal(number) is not signal.SIG_IGN:
            signal.signal(number, stopped)
    try:
        status = Check(sys.argv[1:]).run()
    except Cannot as fault:
        sys.stderr.write(f"verify-release: cannot check: {fault.args[0]}\n")
        status = CANNOT_CHECK
    except Exception as fault:  # a fault of this check's own: one line, and never a pass
        sys.stderr.write(f"verify-release: the check failed: {show(repr(fault), spaces=True)}\n")
        status = CANNOT_CHECK
    sys.exit(status)


if __name__ == "__main__":
    main()
