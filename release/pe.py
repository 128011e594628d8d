"""The part of a Windows program (a PE image) that holds its Authenticode signature.

The signature sits in the certificate table at the end of the file, which the optional
header's fifth data directory entry points at, as one WIN_CERTIFICATE: its length, revision
2.0, type PKCS#7, the DER of the signature, and zero bytes up to a multiple of eight. The
PE checksum covers the whole file, table included. signed() puts a signature on a program the
way osslsigncode does, so that the release check can attach a signature without a tool that
would also verify it online; the comparison of the whole ZIP holds it to that.
"""

import struct

import der

WIN_CERT_REVISION_2 = 0x0200
WIN_CERT_TYPE_PKCS_SIGNED_DATA = 0x0002
MAX_SIGNATURE = 64 << 10  # a release's signature, time stamp and chains are a few KB


class BadTable(Exception):
    """A certificate table that holds no signature as a release's program has it."""


def layout(data):
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


def signature(data):
    """The DER of the signature in a PE image's certificate table, or None for an image
    without one or data that is no PE image. The table must hold that one signature and
    nothing else: no second entry, and no byte after it but the zeros that pad it."""
    where = layout(data)
    if where is None:
        return None
    offset, size = struct.unpack_from("<II", data, where[1])
    if offset == 0 and size == 0:
        return None
    if size < 8 or offset > len(data) or size > len(data) - offset:
        raise BadTable("its certificate table lies outside the file")
    if offset + size != len(data):
        raise BadTable(f"it has {len(data) - offset - size} bytes after its certificate table")
    length, revision, kind = struct.unpack_from("<IHH", data, offset)
    if revision != WIN_CERT_REVISION_2 or kind != WIN_CERT_TYPE_PKCS_SIGNED_DATA:
        raise BadTable("its certificate table holds no Authenticode signature")
    if length != size:
        raise BadTable("its certificate table holds more than one entry")
    if size - 8 > MAX_SIGNATURE + 7:
        raise BadTable(f"its signature is over the {MAX_SIGNATURE >> 10} KiB that a "
                       "signature, its time stamp and their chains take")
    body = data[offset + 8 : offset + size]
    try:
        end = der.element_end(body)
    except der.BadDer as fault:
        raise BadTable(f"its signature is not DER: {fault}") from None
    padding = body[end:]
    if len(padding) != -end % 8 or padding.strip(b"\0"):
        raise BadTable(f"its certificate table holds {len(padding)} bytes after the signature "
                       "that are not the zeros that pad it")
    return body[:end]


def checksum(data, field):
    """The PE checksum of data, whose checksum field is at field: the 16-bit sum of the
    file with the carry folded in, the field itself counted as zero, plus the file's length."""
    total = 0
    padded = data + b"\0" * (len(data) % 2)
    for (word,) in struct.iter_unpack("<H", padded):
        total += word
    total -= struct.unpack_from("<H", data, field)[0] + struct.unpack_from("<H", data, field + 2)[0]
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return (total + len(data)) & 0xFFFFFFFF


def signed(program, signature_der):
    """The unsigned program with the signature in its certificate table, laid out as
    osslsigncode lays it out: the table appended at the end (the program padded with zeros
    to a multiple of eight first), the DER padded to a multiple of eight, the directory entry
    pointing at it and the checksum made again. None when the program is no PE image or is
    signed already."""
    where = layout(program)
    if where is None or struct.unpack_from("<II", program, where[1]) != (0, 0):
        return None
    body = program + b"\0" * (-len(program) % 8)
    table = signature_der + b"\0" * (-len(signature_der) % 8)
    out = bytearray(body)
    out += struct.pack("<IHH", 8 + len(table), WIN_CERT_REVISION_2, WIN_CERT_TYPE_PKCS_SIGNED_DATA)
    out += table
    struct.pack_into("<II", out, where[1], len(body), 8 + len(table))
    struct.pack_into("<I", out, where[0], checksum(bytes(out), where[0]))
    return bytes(out)


def without_signature(data):
    """The program with its certificate table taken off and its directory entry cleared
    (the checksum made again), or None when it is no signed PE image."""
    where = layout(data)
    if where is None:
        return None
    offset, size = struct.unpack_from("<II", data, where[1])
    if (offset, size) == (0, 0) or offset + size != len(data):
        return None
    out = bytearray(data[:offset])
    struct.pack_into("<II", out, where[1], 0, 0)
    struct.pack_into("<I", out, where[0], checksum(bytes(out), where[0]))
    return bytes(out)
