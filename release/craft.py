"""Makes the programs and ZIPs that release/check-signed-release.sh hands the release check to
fool it, the way someone without the signing key would: by changing what a signature carries
outside what its signer signed, and by repacking the ZIP.

    craft.py program CHANGE IN.exe OUT.exe [FILE]
    craft.py zip SOURCE.zip OUT.zip CHANGE...

Changes to a program's signature (the program is signed, and stays as it is otherwise):
    add-cert CERT.pem         the certificate, in the signature's certificate set
    add-stamp-cert CERT.pem   the certificate, in its time stamp's certificate set
    add-stamp-crl CRL.pem     the revocation list, in its time stamp
    second-stamp-signer       its time stamp's signer given twice
    stamp-signer CERT.pem KEY.pem
                              its time stamp's content signed again, by CERT's key, as
                              openssl cms signs it (the time-stamp authorities of openssl and
                              osslsigncode sign with time-stamping certificates only)
    der-bomb                  a signature that is one SEQUENCE of 30000 empty SEQUENCEs
    sid-private-use           its signer named by an issuer with a private-use character
    expanding-names           every name in it, the time stamp's too, made of U+FDFA (which
                              Unicode normalisation expands 18-fold), as many as the 64 KiB of
                              a signature hold, each name standing for the same one as before
Changes to a ZIP (each as one argument):
    byte                      one bit of the middle byte of zelmorth.exe flipped
    checksum                  the PE checksum of zelmorth.exe changed
    program=NAME:FILE         FILE in the place of NAME
    compiler                  another compiler in BUILDINFO.txt, with an escape and a \\n
    commit=ID                 BUILDINFO.txt names ID as the commit
    epoch=N                   BUILDINFO.txt gives N as source-date-epoch, and the entries that
                              time where a ZIP can hold it
    no-buildinfo              BUILDINFO.txt left out
    duplicate                 a changed zelmorth.exe before the genuine one
    dot-slash                 a changed zelmorth.exe, and the genuine one as ./zelmorth.exe
    line-end                  a changed one named README.txt, a line end, zelmorth.exe
    long-names                64 entries with names of 60000 bytes
    comment                   a ZIP comment, every file as it was
    copies=FILE               FILE under new names, up to the 64 entries a ZIP may have
"""

import os
import re
import struct
import subprocess
import sys
import tempfile
import time
import warnings
import zipfile

from asn1crypto import cms, crl, pem, x509

import pe

EXPANDING = "\ufdfa"  # ARABIC LIGATURE SALLALLAHOU ALAYHE WASALLAM: 18 characters in NFKC
SIGNATURE_ROOM = pe.MAX_SIGNATURE - 8


def unarmored(path):
    with open(path, "rb") as handle:
        data = handle.read()
    return pem.unarmor(data)[2] if pem.detect(data) else data


def stamp_of(info):
    return info["content"]["signer_infos"][0]["unsigned_attrs"][0]["values"][0]


def signed_again(content, certificate, key):
    """The content signed by the key, as a CMS SignedData of time-stamp info, in DER."""
    with tempfile.TemporaryDirectory() as folder:
        inside = os.path.join(folder, "content")
        with open(inside, "wb") as handle:
            handle.write(content)
        made = subprocess.run(
            ["openssl", "cms", "-sign", "-binary", "-nodetach", "-nosmimecap", "-md", "sha256",
             "-econtent_type", "1.2.840.113549.1.9.16.1.4", "-signer", certificate,
             "-inkey", key, "-in", inside, "-outform", "DER"],
            check=True, capture_output=True, timeout=60)
    return cms.ContentInfo.load(made.stdout)


def names_of(info):
    """Every name in a signature, its time stamp's too, in order: (the object that holds it,
    its key there)."""
    places, signed = [], [info["content"]]
    if info["content"]["signer_infos"][0]["unsigned_attrs"].native is not None:
        signed.append(stamp_of(info)["content"])
    for data in signed:
        for choice in data["certificates"]:
            tbs = choice.chosen["tbs_certificate"]
            places += [(tbs, "subject"), (tbs, "issuer")]
        sid = data["signer_infos"][0]["sid"]
        if sid.name == "issuer_and_serial_number":
            places.append((sid.chosen, "issuer"))
    return places


def renamed(signature, name_for, alike=True):
    """The signature with each of its names replaced by name_for(n), n counting the distinct
    names in order, so that a name that stood for another still does, or, unless alike, each
    name in its place by one of its own: the DER."""
    info = cms.ContentInfo.load(signature)
    distinct = {}
    for place, (holder, key) in enumerate(names_of(info)):
        old = holder[key].dump() if alike else place
        if old not in distinct:
            distinct[old] = name_for(len(distinct))
        holder[key] = distinct[old]
    return info.dump(force=True)


def expanding_names(signature):
    """The signature with every name made of as many EXPANDING characters as fit."""
    def grown(count):
        # An Arabic letter in front of each keeps the names apart and, right to left like
        # U+FDFA, lets them pass the bidirectional rule of string preparation, as they must
        # to cost their most there.
        return renamed(signature, lambda n: x509.Name.build(
            {"common_name": chr(0x0628 + n % 18) + EXPANDING * count}))
    low, high = 0, SIGNATURE_ROOM
    while low < high:
        middle = (low + high + 1) // 2
        low, high = (middle, high) if len(grown(middle)) <= SIGNATURE_ROOM else (low, middle - 1)
    return grown(low)


def craft_program(change, source, out, argument=None, second=None):
    with open(source, "rb") as handle:
        program = handle.read()
    info = cms.ContentInfo.load(pe.signature(program))
    if change == "add-cert":
        certificate = x509.Certificate.load(unarmored(argument))
        certificates = list(info["content"]["certificates"]) + [
            cms.CertificateChoices(name="certificate", value=certificate)]
        info["content"]["certificates"] = cms.CertificateSet(certificates)
    elif change == "add-stamp-cert":
        stamp = stamp_of(info)["content"]
        certificate = x509.Certificate.load(unarmored(argument))
        certificates = list(stamp["certificates"]) + [
            cms.CertificateChoices(name="certificate", value=certificate)]
        stamp["certificates"] = cms.CertificateSet(certificates)
    elif change == "add-stamp-crl":
        stamp = stamp_of(info)["content"]
        revocations = crl.CertificateList.load(unarmored(argument))
        stamp["crls"] = cms.RevocationInfoChoices(
            [cms.RevocationInfoChoice(name="crl", value=revocations)])
    elif change == "second-stamp-signer":
        stamp = stamp_of(info)["content"]
        signer = stamp["signer_infos"][0]
        stamp["signer_infos"] = cms.SignerInfos([signer, signer.copy()])
    elif change == "stamp-signer":
        attribute = info["content"]["signer_infos"][0]["unsigned_attrs"][0]
        content = stamp_of(info)["content"]["encap_content_info"]["content"].contents
        attribute["values"] = cms.SetOfContentInfo([signed_again(content, argument, second)])
    elif change == "sid-private-use":
        sid = info["content"]["signer_infos"][0]["sid"].chosen
        sid["issuer"] = x509.Name.build({"common_name": "\ue000 a private-use character"})
    elif change not in ("der-bomb", "expanding-names"):
        sys.exit(f"craft.py: no such change to a program: {change}")
    if change == "der-bomb":
        body = b"\x30\x00" * 30000
        signature = b"\x30\x82" + struct.pack(">H", len(body)) + body
    elif change == "expanding-names":
        signature = expanding_names(pe.signature(program))
    else:
        signature = info.dump(force=True)
    with open(out, "wb") as handle:
        handle.write(pe.signed(pe.without_signature(program), signature))


def flipped(data, offset):
    return data[:offset] + bytes([data[offset] ^ 0x01]) + data[offset + 1 :]


def craft_zip(source, out, changes):
    warnings.simplefilter("ignore")  # zipfile warns of a name given twice, which is the point
    with zipfile.ZipFile(source) as given, zipfile.ZipFile(out, "w") as changed:
        program = given.read("zelmorth.exe")
        changed_program = flipped(program, len(program) // 2)
        if "duplicate" in changes:
            changed.writestr("zelmorth.exe", changed_program)
        for info in given.infolist():
            data = given.read(info)
            for change in changes:
                data, info = changed_entry(change, info, data, changed_program)
            if data is not None:
                changed.writestr(info, data)
        if "dot-slash" in changes:
            changed.writestr("./zelmorth.exe", program)
        if "line-end" in changes:
            changed.writestr("README.txt\nzelmorth.exe", changed_program)
        if "long-names" in changes:
            for index in range(64 - len(given.infolist())):
                changed.writestr("%05d%s" % (index, "\x1b" * 59995), b"")
        for change in changes:
            if change.startswith("copies="):
                with open(change[7:], "rb") as handle:
                    copy = handle.read()
                for index in range(64 - len(changed.infolist())):
                    changed.writestr(f"copy{index:02d}.exe", copy)
        if "comment" in changes:
            changed.comment = b"every file is the release's"


def changed_entry(change, info, data, changed_program):
    """The entry's content and header after the change, or no content to leave it out."""
    name = info.filename
    if name == "zelmorth.exe" and change in ("byte", "dot-slash"):
        data = changed_program
    if name == "zelmorth.exe" and change == "checksum":
        data = flipped(data, struct.unpack_from("<I", data, 0x3C)[0] + 24 + 64)
    if change.startswith("program=") and name == change[8:].split(":", 1)[0]:
        with open(change[8:].split(":", 1)[1], "rb") as handle:
            data = handle.read()
    if name == "BUILDINFO.txt" and data is not None:
        if change == "no-buildinfo":
            data = None
        elif change == "compiler":
            compiler = b"compiler: another\x1b[8m compiler 1.0\\n\r"
            data = re.sub(rb"(?m)^compiler: .*$", lambda _: compiler, data)
        elif change.startswith("commit="):
            line = b"commit: " + change[7:].encode() + b"\r"
            data = re.sub(rb"(?m)^commit: .*$", lambda _: line, data)
        elif change.startswith("epoch="):
            line = b"source-date-epoch: " + change[6:].encode() + b"\r"
            data = re.sub(rb"(?m)^source-date-epoch: .*$", lambda _: line, data)
    if change.startswith("epoch=") and int(change[6:]) < 4354819200:
        moment = time.gmtime(max(int(change[6:]), 315532800))[:6]
        header = zipfile.ZipInfo(info.filename, date_time=moment)
        for field in ("compress_type", "create_system", "create_version", "extract_version",
                      "external_attr", "extra", "comment"):
            setattr(header, field, getattr(info, field))
        info = header
    return data, info


def main():
    if len(sys.argv) in (5, 6, 7) and sys.argv[1] == "program":
        craft_program(*sys.argv[2:])
    elif len(sys.argv) >= 5 and sys.argv[1] == "zip":
        craft_zip(sys.argv[2], sys.argv[3], sys.argv[4:])
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main()
