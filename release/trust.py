"""What the release check trusts a signature to: the CA that a path must end at, and the time
at which every certificate on it must be valid.

With --ca, the signer's path must end at a certificate of that file: a root it carries must be
one of the file's, byte for byte, and otherwise the file must hold the issuer of the path's
last certificate. A carried certificate with the name of one of the file's CAs but other bytes
is a cross-certificate when it is for that CA's very key and another CA of the file issued it,
which openssl verifies: the path then ends at the file's CA, as X.509 builds it. A time stamp's
path may end at --ca's file or at one of the system's CAs. Without --ca, the signer's path
ends at the root the signature carries, and no one vouches for that root. Every certificate on
a path must be valid when the signature was made: at the time its verified time stamp names,
as Windows has it, or, without a time stamp, now; and a signer's own signing time must fall
within its certificate's dates.
"""

import base64
import os
import time

from asn1crypto import pem, x509

from checkout import run
from show import show
from signature_reader import Cert

SYSTEM_CAS = "/etc/ssl/certs/ca-certificates.crt"
MAX_CA_FILE = 4 << 20


class NotAnchors(Exception):
    """A file that holds no CA certificate the check can read."""


def load(path):
    """The certificates of a PEM file (or one DER certificate)."""
    try:
        with open(path, "rb") as handle:
            data = handle.read(MAX_CA_FILE + 1)
    except OSError:
        raise NotAnchors(f"cannot read {show(path, spaces=True)}") from None
    if len(data) > MAX_CA_FILE:
        raise NotAnchors(f"{show(path, spaces=True)} is over the {MAX_CA_FILE >> 20} MiB of a "
                         "CA file")
    try:
        if pem.detect(data):
            blocks = [body for kind, _, body in pem.unarmor(data, multiple=True)
                      if kind == "CERTIFICATE"]
        else:
            blocks = [data]
        certificates = [Cert(x509.Certificate.load(block, strict=True)) for block in blocks]
    except Exception:  # noqa: BLE001 - any error of the parser means an unreadable file
        raise NotAnchors(f"cannot read {show(path, spaces=True)} as certificates") from None
    if not certificates:
        raise NotAnchors(f"{show(path, spaces=True)} holds no certificate")
    return certificates


def system_anchors():
    """The system's CAs, or none where it has no such file."""
    try:
        return load(SYSTEM_CAS)
    except NotAnchors:
        return []


def signed_by(cert, issuer, folder):
    """Whether openssl verifies cert's signature with issuer's key, with issuer alone trusted
    and dates left aside: a path through a cross-certificate ends at the CA whose key it
    certifies, and that CA's dates are the ones that count."""
    key = (cert.der, issuer.der)
    if key not in VOUCHED:
        name = os.path.join(folder, f"cross-{cert.sha[:16]}-{issuer.sha[:16]}")
        with open(name + ".pem", "w") as out:
            out.write(pem_text([cert]))
        with open(name + ".ca.pem", "w") as out:
            out.write(pem_text([issuer]))
        done = run(["openssl", "verify", "-no-CApath", "-no-CAstore", "-CAfile", name + ".ca.pem",
                    "-partial_chain", "-no_check_time", name + ".pem"], "openssl verify")
        VOUCHED[key] = done.returncode == 0
    return VOUCHED[key]


VOUCHED = {}  # (certificate, issuer): whether openssl verified the one with the other


def cross_certified(cert, anchors, folder):
    """The CA of anchors whose cross-certificate cert is: one with its name and key, where
    another CA of anchors, which may issue, issued cert; None when there is none."""
    same = [a for a in anchors if a.subject == cert.subject and a.public_key == cert.public_key]
    if not same or cert.self_issued:
        return None
    for issuer in anchors:
        if (issuer.der != same[0].der and issuer.issued(cert) and not issuer.may_not_issue()
                and signed_by(cert, issuer, folder)):
            return same[0]
    return None


def path_end(path, anchors, label, folder):
    """(the anchor the path ends at, the certificates whose dates count, faults). label names
    the anchors in a fault; folder is where openssl is handed a cross-certificate."""
    for at, cert in enumerate(path[1:], 1):
        if not any(cert.subject == a.subject and cert.der != a.der for a in anchors):
            continue
        anchor = cross_certified(cert, anchors, folder)
        if anchor is None:
            return None, [], [f"its chain holds {cert.name}, which has the name of a CA of "
                              f"{label} but is neither that certificate nor a cross-certificate "
                              "of it that another CA there issued"]
        above = [c for c in path[at + 1 :] if not any(c.der == a.der for a in anchors)]
        if above:
            return None, [], [f"its chain holds {above[0].name} above the cross-certificate "
                              f"{cert.name}, which is not a CA of {label}"]
        return anchor, path[:at] + [anchor], []
    last = path[-1]
    if last.self_issued:
        for anchor in anchors:
            if anchor.der == last.der:
                return anchor, path, []
        return None, [], [f"its chain ends at the root {last.name}, which is not in {label}"]
    issuers = [anchor for anchor in anchors if anchor.issued(last)]
    if len(issuers) == 1:
        why = issuers[0].may_not_issue()
        if why:
            return None, [], [f"its chain ends at {issuers[0].name} of {label}, which may not "
                              "issue certificates: " + ", and ".join(why)]
        return issuers[0], path + issuers, []
    if issuers:
        return None, [], [f"{label} holds {len(issuers)} certificates that could have issued "
                          f"{last.name}"]
    return None, [], [f"its chain ends at {last.name}, issued by {last.issuer_name}, which is "
                      f"not in {label}"]


def when(at):
    return time.strftime("%Y-%m-%d %H:%M:%S UTC", time.gmtime(at)) if at > -(1 << 40) else "?"


def validity_faults(certificates, at, moment):
    """A fault for each certificate that is not valid at the time at (moment says which time
    that is)."""
    return [f"its certificate {cert.name} is valid from {cert.not_before_text} to "
            f"{cert.not_after_text}, not at {moment} ({when(at)})"
            for cert in certificates if not cert.not_before <= at <= cert.not_after]


def signing_time_faults(cert, at, what):
    """A fault when the signing time that a signer gives (None when it gives none) falls
    outside its certificate's dates."""
    if at is None or cert.not_before <= at <= cert.not_after:
        return []
    return [f"{what} gives its signing time as {when(at)}, when its signer's certificate "
            f"{cert.name}, valid from {cert.not_before_text} to {cert.not_after_text}, was not "
            "valid"]


def pem_text(certificates):
    """Certificates as one PEM file."""
    out = []
    for cert in certificates:
        body = base64.b64encode(cert.der).decode("ascii")
        lines = [body[i : i + 64] for i in range(0, len(body), 64)]
        out.append("-----BEGIN CERTIFICATE-----\n" + "\n".join(lines))
        out.append("\n-----END CERTIFICATE-----\n")
    return "".join(out)
