"""The release check's signature reader: a program's Authenticode signature, which may have
been made to fool the check, accounted for byte by byte before any other tool sees it.

The signature is carried over onto the fresh program as it is, so every byte of it that
nothing judges would be the ZIP author's. What it may hold is therefore only:
- what its signer signed (the content and the signed attributes) and the signature itself;
- the certificates of the path from its signer up to a root, or to the CA that issued the
  last of them, each once;
- one RFC 3161 time stamp, as its one unsigned attribute, which in turn may hold only what
  the time-stamp authority signed and the certificates of the path from the stamp's signer.
Anything else (a certificate on no path, a revocation list, a second signer, an attribute,
an algorithm's parameters) is a fault that names it. So is a signer that may not sign code,
a stamp's signer that may not stamp time, a certificate above either that is no CA, and any
value that cannot be read (never an error of the check's own). A second copy of a
certificate, byte for byte, carries nothing new and is let be.

Names are compared as OpenSSL compares them, which judges the chain after this: strings as
UTF-8, ASCII letters in lower case and white space folded, and no Unicode normalisation, so
that comparing a name costs no more than reading its bytes, whatever characters it holds.

The bytes go first through der.check(), which bounds them, then to asn1crypto, and what
asn1crypto reads must encode again to the very same bytes: that holds the signature to DER
where the schema decides (the order of a SET OF, the form of a time). Whether the CA that a
path ends at is one to trust is for trust.py; the signatures' mathematics for osslsigncode
and openssl.
"""

import hashlib
import re

from asn1crypto import cms, core, tsp

import der
from show import show

OID_SIGNED_DATA = "1.2.840.113549.1.7.2"
OID_SPC_INDIRECT_DATA = "1.3.6.1.4.1.311.2.1.4"
OID_SPC_PE_IMAGE_DATA = "1.3.6.1.4.1.311.2.1.15"
OID_TST_INFO = "1.2.840.113549.1.9.16.1.4"
OID_RFC3161_STAMP = "1.3.6.1.4.1.311.3.3.1"
OTHER_ATTRIBUTES = {
    "1.3.6.1.4.1.311.2.4.1": "a second, nested signature",
    "1.2.840.113549.1.9.6": "a countersignature of the older kind, not RFC 3161",
    "1.3.6.1.4.1.42921.1.2.1": "a blob that osslsigncode adds",
    "1.2.840.113549.1.9.16.2.14": "a time stamp of the CMS kind, which Windows does not read",
}
DIGEST_SIZES = {"sha256": 32, "sha384": 48, "sha512": 64}
RSA_SIGNATURES = {"rsassa_pkcs1v15", "sha256_rsa", "sha384_rsa", "sha512_rsa"}
EC_SIGNATURES = {"sha256_ecdsa", "sha384_ecdsa", "sha512_ecdsa"}
MAX_CERTIFICATES = 8  # in one set: a path of a signer, two intermediates and a root is four
MAX_PATH = 6
MAX_SIGNATURE_VALUE = 2048  # bytes: a 16384-bit RSA key
# What asn1crypto, the codecs under it and der raise on a value they cannot read (a
# UnicodeError is a ValueError): a fault of the signature, where anything else is one of the
# check's own.
READ_FAULTS = (ValueError, TypeError, LookupError, OverflowError, der.BadDer)
# The string types of a name's values and how each is read, as OpenSSL reads them to compare.
STRING_CODECS = {0x0C: "utf-8", 0x13: "latin-1", 0x14: "latin-1", 0x16: "latin-1",
                 0x1A: "latin-1", 0x1C: "utf-32-be", 0x1E: "utf-16-be"}
ASCII_LOWER = bytes.maketrans(b"ABCDEFGHIJKLMNOPQRSTUVWXYZ", b"abcdefghijklmnopqrstuvwxyz")
WHITE_SPACE = re.compile(rb"[ \t\n\v\f\r]+")
SHORT_NAMES = {
    "common_name": "CN", "organization_name": "O", "organizational_unit_name": "OU",
    "country_name": "C", "locality_name": "L", "state_or_province_name": "ST",
}


class Unfit(Exception):
    """A signature that cannot be read as one a release has: the fault, as one line."""


# ---- The Authenticode content, which asn1crypto does not know ----------------------------


class SpcString(core.Choice):
    _alternatives = [("unicode", core.BMPString, {"implicit": 0}),
                     ("ascii", core.IA5String, {"implicit": 1})]


class SpcSerializedObject(core.Sequence):
    _fields = [("class_id", core.OctetString), ("serialized_data", core.OctetString)]


class SpcLink(core.Choice):
    _alternatives = [("url", core.IA5String, {"implicit": 0}),
                     ("moniker", SpcSerializedObject, {"implicit": 1}),
                     ("file", SpcString, {"explicit": 2})]


class SpcPeImageData(core.Sequence):
    _fields = [("flags", core.BitString), ("file", SpcLink, {"explicit": 0, "optional": True})]


class SpcAttributeTypeAndOptionalValue(core.Sequence):
    _fields = [("type", core.ObjectIdentifier), ("value", SpcPeImageData, {"optional": True})]


class DigestInfo(core.Sequence):
    _fields = [("digest_algorithm", cms.DigestAlgorithm), ("digest", core.OctetString)]


class SpcIndirectDataContent(core.Sequence):
    _fields = [("data", SpcAttributeTypeAndOptionalValue), ("message_digest", DigestInfo)]


def strict_load(schema, raw, what):
    """raw read as schema, which it must be exactly, in DER: read and encoded again, it must give
    the same bytes. asn1crypto raises many kinds of error on bytes it cannot read, and each is
    this one fault."""
    try:
        value = schema.load(raw, strict=True)
        again = value.dump(force=True)
    except Exception as fault:  # noqa: BLE001 - any error of the parser is a fault of the bytes
        why = show(str(fault).encode("utf-8", "replace"), spaces=True, limit=80)
        raise Unfit(f"{what} cannot be read ({type(fault).__name__}: {why})") from None
    if again != raw:
        at = next((i for i, (a, b) in enumerate(zip(again, raw)) if a != b), min(len(again), len(raw)))
        raise Unfit(f"{what} is not in DER, the one encoding a signature has (first "
                    f"difference at its byte {at})")
    return value


# ---- Certificates --------------------------------------------------------------------------


def name_key(name):
    """A name as the check compares it: each attribute's type and value, in order, the value of
    a string type as UTF-8 with its ASCII letters in lower case, each run of white space one
    space and none at either end, any other value as its DER. Its cost is that of the name's
    bytes."""
    rdns = []
    for rdn in name.chosen:
        values = []
        for pair in rdn:
            raw = pair["value"].dump()
            tag, start, end = der.header(raw, 0, len(raw))
            key = (0, raw)
            if tag in STRING_CODECS:
                try:
                    text = raw[start:end].decode(STRING_CODECS[tag]).encode("utf-8")
                except UnicodeError:
                    pass
                else:
                    key = (1, WHITE_SPACE.sub(b" ", text.translate(ASCII_LOWER)).strip(b" "))
            values.append((pair["type"].dotted, key))
        rdns.append(tuple(values))
    return tuple(rdns)


def seconds(moment):
    """A time of asn1crypto's as seconds since 1970; a time before year 1 as the earliest."""
    stamp = getattr(moment, "timestamp", None)
    return int(stamp()) if stamp else -(1 << 62)


def short_name(name):
    """A certificate's name as CN=..., O=..., made harmless to show."""
    parts = []
    try:
        native = name.native
    except Exception:  # noqa: BLE001 - a name asn1crypto cannot render is still shown
        return '"(a name that cannot be shown)"'
    for key, value in native.items():
        for one in value if isinstance(value, list) else [value]:
            parts.append(f"{SHORT_NAMES.get(key, key)}={one}")
    text = ", ".join(parts) if parts else "(an empty name)"
    return '"' + show(text.encode("utf-8", "replace"), spaces=True) + '"'


class Cert:
    """What the check needs of one certificate, and what is wrong with its form."""

    def __init__(self, certificate):
        tbs = certificate["tbs_certificate"]
        self.der = certificate.dump()
        self.sha = hashlib.sha256(self.der).hexdigest()
        self.subject = name_key(tbs["subject"])
        self.issuer = name_key(tbs["issuer"])
        self.public_key = tbs["subject_public_key_info"].dump()
        self.serial = tbs["serial_number"].native
        self.name = short_name(tbs["subject"])
        self.issuer_name = short_name(tbs["issuer"])
        self.self_issued = self.subject == self.issuer
        self.faults = []
        if certificate["signature_algorithm"].dump() != tbs["signature"].dump():
            self.faults.append("names one signature algorithm inside and another outside")
        ids = [extension["extn_id"].dotted for extension in tbs["extensions"]]
        if len(set(ids)) != len(ids):
            self.faults.append("holds an extension twice")
        critical = {ext["extn_id"].native for ext in tbs["extensions"] if ext["critical"].native}
        constraints = certificate.basic_constraints_value
        self.ca = bool(constraints is not None and constraints["ca"].native)
        usage = certificate.key_usage_value
        self.key_usage = None if usage is None else set(usage.native)
        purposes = certificate.extended_key_usage_value
        self.purposes = None if purposes is None else list(purposes.native)
        self.purposes_critical = "extended_key_usage" in critical
        self.key_id = certificate.key_identifier
        self.authority_key_id = certificate.authority_key_identifier
        validity = tbs["validity"]
        self.not_before = seconds(validity["not_before"].native)
        self.not_after = seconds(validity["not_after"].native)
        self.not_after_text = str(validity["not_after"].native)[:25]
        self.not_before_text = str(validity["not_before"].native)[:25]

    def issued(self, child):
        """Whether this certificate is the one that names child's issuer: its subject, and its
        key identifier where both give one."""
        if child.issuer != self.subject:
            return False
        return child.authority_key_id is None or self.key_id is None or (
            child.authority_key_id == self.key_id
        )

    def may_not_sign(self):
        """Why the certificate's key may not sign anything but certificates, or []: a key
        usage without digital signatures, or a CA."""
        why = []
        if self.key_usage is not None and "digital_signature" not in self.key_usage:
            why.append(f"its key usage ({', '.join(sorted(self.key_usage)) or 'none'}) does not "
                       "allow digital signatures")
        if self.ca:
            why.append("it is a CA certificate")
        return why

    def may_not_sign_code(self):
        """Why the certificate may not sign a program, or []."""
        why = []
        if self.purposes is None:
            why.append("it has no extended key usage for code signing")
        elif "code_signing" not in self.purposes:
            why.append(f"its extended key usage ({', '.join(map(str, self.purposes))}) does "
                       "not include code signing")
        return why + self.may_not_sign()

    def may_not_stamp_time(self):
        """Why the certificate may not sign a time stamp, or []. RFC 3161 has the time
        stamping usage alone and critical."""
        why = []
        if self.purposes is None or "time_stamping" not in self.purposes:
            why.append("it has no extended key usage for time stamping")
        elif len(self.purposes) != 1:
            why.append("its extended key usage holds more than time stamping")
        elif not self.purposes_critical:
            why.append("its extended key usage is not marked critical")
        return why + self.may_not_sign()

    def may_not_issue(self):
        """Why the certificate may not issue certificates, or []."""
        why = []
        if not self.ca:
            why.append("it is not a CA certificate")
        if self.key_usage is not None and "key_cert_sign" not in self.key_usage:
            why.append("its key usage does not allow signing certificates")
        return why


def carried_path(signer, certificates):
    """The path from the signer up through the certificates carried with it, as far as they
    go: (the path, the faults). It ends at a root, or at the certificate whose issuer is not
    carried."""
    path, rest, faults = [signer], [c for c in certificates if c is not signer], []
    while not path[-1].self_issued:
        issuers = [c for c in rest if c.issued(path[-1])]
        if not issuers:
            break
        if len(issuers) > 1:
            faults.append(f"it carries {len(issuers)} certificates that could have issued "
                          f"{path[-1].name}")
            break
        if len(path) == MAX_PATH:
            faults.append(f"its certificate path is longer than {MAX_PATH}")
            break
        path.append(issuers[0])
        rest.remove(issuers[0])
    return path, faults


# ---- Signed data, the signature's and the time stamp's -------------------------------------


def plain_parameters(algorithm, what, allowed=(b"", b"\x05\x00")):
    """A fault unless the algorithm identifier has no parameters, or NULL ones."""
    if algorithm["parameters"].dump() not in allowed:
        return [f"{what} gives its algorithm parameters, which it has none of"]
    return []


def present(value):
    return not isinstance(value, core.Void)


class Signed:
    """The parts of a CMS SignedData that the check judges, with what is wrong with it."""

    def __init__(self, info, what, content_type, version):
        self.what = what
        self.faults = []
        if info["content_type"].dotted != OID_SIGNED_DATA:
            raise Unfit(f"{what} is not signed data")
        data = info["content"]
        if data["version"].native != version:
            raise Unfit(f"{what} is signed data of {data['version'].native}, not {version}")
        signers = data["signer_infos"]
        if len(signers) != 1:
            raise Unfit(f"{what} has {len(signers)} signers, not one")
        self.signer_info = signer = signers[0]
        self.digest = signer["digest_algorithm"]["algorithm"].native
        if self.digest not in DIGEST_SIZES:
            raise Unfit(f"{what} is made with the digest {show(str(self.digest))}, not SHA-2")
        self.faults += plain_parameters(signer["digest_algorithm"], f"{what}'s digest")
        listed = data["digest_algorithms"]
        if len(listed) != 1 or listed[0]["algorithm"].native != self.digest:
            self.faults.append(f"{what} lists digest algorithms other than its signer's one")
        else:
            self.faults += plain_parameters(listed[0], f"{what}'s list of digests")
        content = data["encap_content_info"]
        if content["content_type"].dotted != content_type:
            raise Unfit(f"{what} signs content of the type {content['content_type'].dotted}, "
                        f"not {content_type}")
        self.content = content["content"]
        if present(data["crls"]):
            self.faults.append(f"{what} carries revocation lists, which no release needs: "
                               "revocation is never judged from what a ZIP carries")
        self.certificates = []
        if present(data["certificates"]):
            if len(data["certificates"]) > MAX_CERTIFICATES:
                raise Unfit(f"{what} carries {len(data['certificates'])} certificates, more "
                            f"than the {MAX_CERTIFICATES} a path needs")
            if not len(data["certificates"]):
                self.faults.append(f"{what} carries an empty set of certificates")
            for choice in data["certificates"]:
                if choice.name != "certificate":
                    raise Unfit(f"{what} carries a certificate of another kind than X.509")
                try:
                    cert = Cert(choice.chosen)
                except Exception as fault:  # noqa: BLE001 - a fault of the bytes, as above
                    raise Unfit(f"{what} carries a certificate that cannot be read "
                                f"({type(fault).__name__})") from None
                if any(cert.der == other.der for other in self.certificates):
                    continue  # a copy, byte for byte, of one it carries: nothing new
                self.certificates.append(cert)
                self.faults += [f"{what} carries the certificate {cert.name}, which {fault}"
                                for fault in cert.faults]
        self.signer = self.find_signer(signer)
        self.read_signer_info(signer, content_type)

    def find_signer(self, signer):
        sid = signer["sid"]
        if sid.name == "issuer_and_serial_number" and signer["version"].native == "v1":
            issuer = name_key(sid.chosen["issuer"])
            serial = sid.chosen["serial_number"].native
            found = [c for c in self.certificates if c.issuer == issuer and c.serial == serial]
        elif sid.name == "subject_key_identifier" and signer["version"].native == "v3":
            found = [c for c in self.certificates if c.key_id == sid.chosen.native]
        else:
            raise Unfit(f"{self.what}'s signer is named in a way its version does not have")
        if len(found) != 1:
            raise Unfit(f"{self.what} does not carry its signer's certificate")
        return found[0]

    def read_signer_info(self, signer, content_type):
        what = self.what
        algorithm = signer["signature_algorithm"]
        name = algorithm["algorithm"].native
        if name in RSA_SIGNATURES:
            self.faults += plain_parameters(algorithm, f"{what}'s signature algorithm")
        elif name in EC_SIGNATURES:
            self.faults += plain_parameters(algorithm, f"{what}'s signature algorithm", (b"",))
        else:
            raise Unfit(f"{what} is made with the algorithm {show(str(name))}, which a release "
                        "is not signed with")
        self.value = signer["signature"].native
        if not 0 < len(self.value) <= MAX_SIGNATURE_VALUE:
            raise Unfit(f"{what}'s signature value is {len(self.value)} bytes long")
        attributes = signer["signed_attrs"]
        if not present(attributes):
            raise Unfit(f"{what} signs no attributes, as Authenticode and RFC 3161 have it")
        kinds = [attribute["type"].dotted for attribute in attributes]
        if len(set(kinds)) != len(kinds):
            raise Unfit(f"{what} signs an attribute twice")
        self.signing_time = None
        for attribute in attributes:
            kind, values = attribute["type"].native, attribute["values"]
            if kind in ("content_type", "message_digest", "signing_time") and len(values) != 1:
                raise Unfit(f"{what}'s signed {kind} has {len(values)} values, not one")
            if kind == "signing_time":
                self.signing_time = seconds(values[0].native)
            if kind == "content_type" and values[0].dotted != content_type:
                raise Unfit(f"{what}'s signed content type is not its content's")
            if kind == "message_digest" and len(values[0].native) != DIGEST_SIZES[self.digest]:
                raise Unfit(f"{what}'s signed message digest is not one of {self.digest}")
        if "1.2.840.113549.1.9.3" not in kinds or "1.2.840.113549.1.9.4" not in kinds:
            raise Unfit(f"{what} does not sign its content type and message digest")

    def unsigned_attributes(self):
        attributes = self.signer_info["unsigned_attrs"]
        return list(attributes) if present(attributes) else None

    def accounted(self, path, whose):
        """Faults for each carried certificate that is not on the path."""
        return [f"{self.what} carries the certificate {cert.name} (sha256 {cert.sha[:16]}...), "
                f"which is on no path from {whose} to its root"
                for cert in self.certificates if not any(cert is on for on in path)]


# ---- A program's signature -----------------------------------------------------------------


class Signature:
    """A program's signature, read: its DER, its signer and the path above it, and its time
    stamp's, with every fault found. stamp is None for a signature without a time stamp."""

    def __init__(self, signature_der):
        self.der = signature_der
        self.faults = []
        self.signer = self.stamp = self.stamp_time = self.stamp_signer = None
        self.signing_time = self.stamp_signing_time = None
        self.path, self.stamp_path = [], []
        try:
            self.read()
        except Unfit as fault:
            self.faults.append(fault.args[0])
        except READ_FAULTS as fault:
            why = show(str(fault).encode("utf-8", "replace"), spaces=True, limit=80)
            self.faults.append(f"its signature holds a value that cannot be read "
                               f"({type(fault).__name__}: {why})")

    def read(self):
        try:
            der.check(self.der)
        except der.BadDer as fault:
            raise Unfit(f"its signature is not DER: {fault}") from None
        info = strict_load(cms.ContentInfo, self.der, "its signature")
        signed = Signed(info, "its signature", OID_SPC_INDIRECT_DATA, "v1")
        self.faults += signed.faults
        self.read_content(signed)
        self.value, self.signer = signed.value, signed.signer
        self.signing_time = signed.signing_time
        why = self.signer.may_not_sign_code()
        if why:
            self.faults.append(f"its signer {self.signer.name} may not sign code: "
                               + ", and ".join(why))
        self.path, faults = carried_path(self.signer, signed.certificates)
        self.faults += faults + signed.accounted(self.path, "its signer")
        self.faults += issuer_faults(self.path[1:])
        attributes = signed.unsigned_attributes()
        if attributes is not None and not attributes:
            self.faults.append("its signature has an empty set of unsigned attributes")
        for attribute in attributes or []:
            kind = attribute["type"].dotted
            if kind == OID_RFC3161_STAMP and self.stamp is None and len(attribute["values"]) == 1:
                self.read_stamp(attribute["values"][0])
                continue
            what = kind
            if kind == OID_RFC3161_STAMP:
                what += " (a second time stamp, or one with more than one value)"
            elif kind in OTHER_ATTRIBUTES:
                what += f" ({OTHER_ATTRIBUTES[kind]})"
            self.faults.append(f"its signature carries the unauthenticated attribute {what}; "
                               "only an RFC 3161 time stamp may be there")

    def read_content(self, signed):
        """The signed content must be a PE image's digest, of the signer's digest algorithm,
        with no page hashes."""
        raw = signed.content.dump()
        try:
            tag, start, end = der.header(raw, 0, len(raw))
        except der.BadDer:
            tag = start = end = None
        if tag != 0xA0 or end != len(raw):
            raise Unfit("its signature's content is not where Authenticode has it")
        content = strict_load(SpcIndirectDataContent, raw[start:end], "its signed content")
        data = content["data"]
        if data["type"].dotted != OID_SPC_PE_IMAGE_DATA or not present(data["value"]):
            raise Unfit("its signature signs something other than a PE image")
        link = data["value"]["file"]
        if present(link) and link.name == "moniker":
            raise Unfit("its signature signs page hashes, which a release is not signed with")
        digest = content["message_digest"]
        if digest["digest_algorithm"]["algorithm"].native != signed.digest:
            raise Unfit("its signed content's digest is not of its signer's algorithm")
        if len(digest["digest"].native) != DIGEST_SIZES[signed.digest]:
            raise Unfit(f"its signed content's digest is not one of {signed.digest}")
        self.faults += plain_parameters(digest["digest_algorithm"], "its signed content's digest")

    def read_stamp(self, token):
        """The RFC 3161 time stamp: signed data of a TSTInfo, from a signer that may stamp
        time, for this signature's value, with nothing unsigned but the path's certificates."""
        self.stamp = token.dump()
        signed = Signed(token, "its time stamp", OID_TST_INFO, "v3")
        self.faults += signed.faults
        info = strict_load(tsp.TSTInfo, signed.content.contents, "its time stamp's content")
        if info["version"].native != "v1":
            raise Unfit("its time stamp's content is not of version 1")
        imprint = info["message_imprint"]
        kind = imprint["hash_algorithm"]["algorithm"].native
        if kind not in DIGEST_SIZES:
            raise Unfit(f"its time stamp is made with the digest {show(str(kind))}, not SHA-2")
        self.faults += plain_parameters(imprint["hash_algorithm"], "its time stamp's imprint")
        if imprint["hashed_message"].native != hashlib.new(kind, self.value).digest():
            self.faults.append("its time stamp stamps something other than this signature")
        self.stamp_time = seconds(info["gen_time"].native)
        self.stamp_time_text = str(info["gen_time"].native)[:25]
        if signed.unsigned_attributes() is not None:
            self.faults.append("its time stamp carries unauthenticated attributes; a time "
                               "stamp needs none")
        self.stamp_signer = signed.signer
        self.stamp_signing_time = signed.signing_time
        why = self.stamp_signer.may_not_stamp_time()
        if why:
            self.faults.append(f"its time stamp's signer {self.stamp_signer.name} may not "
                               "stamp time: " + ", and ".join(why))
        self.stamp_path, faults = carried_path(self.stamp_signer, signed.certificates)
        self.faults += faults + signed.accounted(self.stamp_path, "the time stamp's signer")
        self.faults += issuer_faults(self.stamp_path[1:])


def issuer_faults(certificates):
    """A fault for each certificate on a path above its signer that may not issue."""
    return [f"its chain passes through {cert.name}, which may not issue certificates: "
            + ", and ".join(cert.may_not_issue())
            for cert in certificates if cert.may_not_issue()]
