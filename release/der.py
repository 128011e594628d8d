"""A strict, bounded check that bytes are DER, before any parser of ASN.1 sees them.

check() walks every element without recursion, keeping only the stack of the elements it is
inside (at most MAX_DEPTH) and counting them (at most MAX_ELEMENTS), so that no bytes make it
slow or big. It holds each element to DER's rules: one-byte tags, definite lengths in the
fewest bytes, constructed forms only where DER has them (SEQUENCE, SET and context tags), and
the one encoding DER allows for BOOLEAN, INTEGER, NULL, OBJECT IDENTIFIER and BIT STRING.
What the schema decides (the order of a SET OF, times, strings) is left to the re-encoding
that the signature reader makes after it.
"""

MAX_DEPTH = 32
MAX_ELEMENTS = 4096  # a release's signature with a time stamp has about 500

BOOLEAN, INTEGER, BIT_STRING, NULL, OID = 0x01, 0x02, 0x03, 0x05, 0x06
CONSTRUCTED_UNIVERSAL = {0x30, 0x31}  # SEQUENCE and SET


class BadDer(Exception):
    """Bytes that are not DER, or more of it than a signature can be."""


def header(buf, pos, end):
    """(tag, where the content begins, where it ends) of the element at pos, which must end
    by end."""
    if end - pos < 2:
        raise BadDer(f"the element at byte {pos} runs past its end")
    tag, first = buf[pos], buf[pos + 1]
    if tag & 0x1F == 0x1F:
        raise BadDer(f"the element at byte {pos} has a tag of more than one byte")
    start = pos + 2
    if first < 0x80:
        length = first
    else:
        count = first & 0x7F
        if count == 0:
            raise BadDer(f"the element at byte {pos} has no definite length")
        if count > 4 or end - start < count:
            raise BadDer(f"the element at byte {pos} has a length that DER does not allow")
        length = int.from_bytes(buf[start : start + count], "big")
        if buf[start] == 0 or length < 0x80:
            raise BadDer(f"the element at byte {pos} has a length not in the fewest bytes")
        start += count
    if length > end - start:
        raise BadDer(f"the element at byte {pos} runs past its end")
    return tag, start, start + length


def element_end(buf):
    """Where the element that buf begins with ends."""
    return header(buf, 0, len(buf))[2]


def primitive(buf, tag, pos, start, end):
    """Raises BadDer unless the primitive element's content is in its one DER form."""
    content = buf[start:end]
    if tag == BOOLEAN and (len(content) != 1 or content[0] not in (0x00, 0xFF)):
        raise BadDer(f"the BOOLEAN at byte {pos} is not DER")
    if tag == INTEGER and (
        not content or (len(content) > 1 and (content[:2] in (b"\0\0", b"\xff\xff") or
                                              (content[0] == 0 and content[1] < 0x80) or
                                              (content[0] == 0xFF and content[1] >= 0x80)))
    ):
        raise BadDer(f"the INTEGER at byte {pos} is not in the fewest bytes")
    if tag == NULL and content:
        raise BadDer(f"the NULL at byte {pos} has content")
    if tag == OID:
        if not content or content[-1] & 0x80 or len(content) > 64:
            raise BadDer(f"the OBJECT IDENTIFIER at byte {pos} is not one")
        if any(byte == 0x80 and (i == 0 or not content[i - 1] & 0x80)
               for i, byte in enumerate(content)):
            raise BadDer(f"the OBJECT IDENTIFIER at byte {pos} is not in the fewest bytes")
    if tag == BIT_STRING:
        if not content or content[0] > 7 or (len(content) == 1 and content[0]):
            raise BadDer(f"the BIT STRING at byte {pos} is not DER")
        if content[0] and content[-1] & ((1 << content[0]) - 1):
            raise BadDer(f"the BIT STRING at byte {pos} has unused bits that are not zero")


def check(buf):
    """Raises BadDer unless buf is exactly one DER element, no deeper than MAX_DEPTH and of
    no more than MAX_ELEMENTS elements. Returns how many elements it has."""
    if header(buf, 0, len(buf))[2] != len(buf):
        raise BadDer("there are bytes after its one element")
    count, pos = 0, 0
    inside = []  # where each constructed element that the walk is inside ends
    while True:
        tag, start, end = header(buf, pos, inside[-1] if inside else len(buf))
        count += 1
        if count > MAX_ELEMENTS:
            raise BadDer(f"it has more than the {MAX_ELEMENTS} elements that a signature has")
        constructed = bool(tag & 0x20)
        if tag & 0xC0 == 0 and (constructed != (tag in CONSTRUCTED_UNIVERSAL)):
            raise BadDer(f"the element at byte {pos} (tag 0x{tag:02x}) is not in DER's form")
        if not constructed and tag & 0xC0 == 0:
            primitive(buf, tag, pos, start, end)
        if constructed and start < end:
            if len(inside) >= MAX_DEPTH:
                raise BadDer(f"its elements are nested deeper than {MAX_DEPTH}")
            inside.append(end)
            pos = start
        else:
            pos = end
        while inside and pos == inside[-1]:
            inside.pop()
        if not inside:
            return count
