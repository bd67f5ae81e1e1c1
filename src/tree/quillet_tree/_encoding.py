"""Bytes in: decode(data, encoding=None) finds the encoding of a page's bytes
as a careful reader of HTML does, and parse_file(source) reads a file and
parses what that gives. decode_reversibly(data, encoding=None) decodes as
decode does and gives what writes a text back in that same encoding, when
that gives `data` back: the command line writes an edited page with it.

The encoding is the first that applies of:

1. `encoding`, when given: a label of the WHATWG Encoding Standard (LABELS,
   matched ignoring ASCII case and surrounding ASCII whitespace), or else the
   name of a Python codec that decodes bytes to text (not rot13 or base64).
   A byte-order mark of that same encoding is dropped.
2. A byte-order mark: UTF-8, UTF-16LE or UTF-16BE, the mark dropped.
3. UTF-8, when the bytes are valid UTF-8 and hold a byte above 0x7F. Valid
   UTF-8 beyond ASCII is almost never anything else, so this beats a declared
   legacy encoding (pages converted to UTF-8 often keep their old <meta>).
4. The encoding the page declares: HTML's prescan of the first 1024 bytes for
   <meta charset> or <meta http-equiv="Content-Type" content="...charset=">,
   then an XML declaration at the very start. It is used only when it decodes
   every byte; a page saved in windows-1252 that says utf-8 falls through.
   Pure ASCII reaches this step too, so that ISO-2022-JP, which is 7-bit,
   is read as what it says.
5. UTF-8 for pure ASCII, otherwise windows-1252.

Steps 1 and 2 replace bytes that do not decode with U+FFFD, and step 5's
windows-1252 maps every byte, so nothing the bytes hold raises.

Choices:
- Labels of the "replacement" encoding (ISO-2022-KR, ISO-2022-CN, HZ-GB-2312)
  are what browsers refuse to decode: those encodings can hide markup in
  ASCII bytes, and their decoder yields a single U+FFFD for the whole input.
  Declared, such a label is passed over (the bytes are read by step 5).
  Given as `encoding` it raises LookupError rather than silently losing the
  page; Python's own codecs stay reachable by their Python names
  ('iso2022_kr', 'hz'), which are no labels.
- GBK is decoded by Python's gb18030 codec, as the standard's GBK decoder is
  its gb18030 decoder: a page labelled gb2312 or gbk that holds gb18030-only
  sequences still decodes. Byte 0x80 is the euro sign in both, which Python's
  codec lacks, so it is supplied here.
- Shift_JIS is decoded by cp932, not shift_jis: the standard's table is
  Windows' (NEC and IBM extensions, ＼ ～ ∥ － ￠ ￡ ￢ as Windows maps them),
  which Python's shift_jis lacks. EUC-JP (euc_jp) and ISO-2022-JP
  (iso2022_jp_ext, which also reads half-width katakana) keep the JIS
  mappings of those few symbols (〜 for ～); Python has no Windows variant.
- EUC-KR is cp949 (Windows' superset), Big5 is big5hkscs.
- The single-byte encodings decode through tables built from Python's codecs,
  with the standard's differences applied: in the windows-* encodings a byte
  0x80-0x9F that names no character is the C1 control of the same number
  (so windows-1252 never fails), KOI8-U has Ў/ў at 0xBE/0xAE, windows-1255
  has U+05BA at 0xCA. x-user-defined, which Python lacks, is a table too.
- An explicit "utf-16" is UTF-16LE, as the label says; a big-endian mark is
  then not its mark and decodes as U+FFFE.
"""
from __future__ import annotations

import codecs
import functools
import os
from typing import IO, Any, Callable, Dict, List, Optional, Tuple, Union

import quillet

__all__ = ["decode", "parse_file", "LABELS", "CODECS"]

# (encoding, Python codec or None, its labels) in the groups of the Encoding
# Standard. None: decoded by this module's own table (x-user-defined), or
# never (replacement).
_GROUPS: Dict[str, List[Tuple[str, Optional[str], str]]] = {
    "The Encoding": [
        ("utf-8", "utf-8", "unicode-1-1-utf-8 unicode11utf8 unicode20utf8 utf-8 utf8"
         " x-unicode20utf8"),
    ],
    "Legacy single-byte encodings": [
        ("ibm866", "cp866", "866 cp866 csibm866 ibm866"),
        ("iso-8859-2", "iso8859_2", "csisolatin2 iso-8859-2 iso-ir-101 iso8859-2 iso88592"
         " iso_8859-2 iso_8859-2:1987 l2 latin2"),
        ("iso-8859-3", "iso8859_3", "csisolatin3 iso-8859-3 iso-ir-109 iso8859-3 iso88593"
         " iso_8859-3 iso_8859-3:1988 l3 latin3"),
        ("iso-8859-4", "iso8859_4", "csisolatin4 iso-8859-4 iso-ir-110 iso8859-4 iso88594"
         " iso_8859-4 iso_8859-4:1988 l4 latin4"),
        ("iso-8859-5", "iso8859_5", "csisolatincyrillic cyrillic iso-8859-5 iso-ir-144 iso8859-5"
         " iso88595 iso_8859-5 iso_8859-5:1988"),
        ("iso-8859-6", "iso8859_6", "arabic asmo-708 csiso88596e csiso88596i csisolatinarabic"
         " ecma-114 iso-8859-6 iso-8859-6-e iso-8859-6-i iso-ir-127 iso8859-6 iso88596"
         " iso_8859-6 iso_8859-6:1987"),
        ("iso-8859-7", "iso8859_7", "csisolatingreek ecma-118 elot_928 greek greek8 iso-8859-7"
         " iso-ir-126 iso8859-7 iso88597 iso_8859-7 iso_8859-7:1987 sun_eu_greek"),
        ("iso-8859-8", "iso8859_8", "csiso88598e csisolatinhebrew hebrew iso-8859-8 iso-8859-8-e"
         " iso-ir-138 iso8859-8 iso88598 iso_8859-8 iso_8859-8:1988 visual"),
        ("iso-8859-8-i", "iso8859_8", "csiso88598i iso-8859-8-i logical"),
        ("iso-8859-10", "iso8859_10", "csisolatin6 iso-8859-10 iso-ir-157 iso8859-10 iso885910"
         " l6 latin6"),
        ("iso-8859-13", "iso8859_13", "iso-8859-13 iso8859-13 iso885913"),
        ("iso-8859-14", "iso8859_14", "iso-8859-14 iso8859-14 iso885914"),
        ("iso-8859-15", "iso8859_15", "csisolatin9 iso-8859-15 iso8859-15 iso885915 iso_8859-15"
         " l9"),
        ("iso-8859-16", "iso8859_16", "iso-8859-16"),
        ("koi8-r", "koi8_r", "cskoi8r koi koi8 koi8-r koi8_r"),
        ("koi8-u", "koi8_u", "koi8-ru koi8-u"),
        ("macintosh", "mac_roman", "csmacintosh mac macintosh x-mac-roman"),
        ("windows-874", "cp874", "dos-874 iso-8859-11 iso8859-11 iso885911 tis-620 windows-874"),
        ("windows-1250", "cp1250", "cp1250 windows-1250 x-cp1250"),
        ("windows-1251", "cp1251", "cp1251 windows-1251 x-cp1251"),
        ("windows-1252", "cp1252", "ansi_x3.4-1968 ascii cp1252 cp819 csisolatin1 ibm819"
         " iso-8859-1 iso-ir-100 iso8859-1 iso88591 iso_8859-1 iso_8859-1:1987 l1 latin1"
         " us-ascii windows-1252 x-cp1252"),
        ("windows-1253", "cp1253", "cp1253 windows-1253 x-cp1253"),
        ("windows-1254", "cp1254", "cp1254 csisolatin5 iso-8859-9 iso-ir-148 iso8859-9 iso88599"
         " iso_8859-9 iso_8859-9:1989 l5 latin5 windows-1254 x-cp1254"),
        ("windows-1255", "cp1255", "cp1255 windows-1255 x-cp1255"),
        ("windows-1256", "cp1256", "cp1256 windows-1256 x-cp1256"),
        ("windows-1257", "cp1257", "cp1257 windows-1257 x-cp1257"),
        ("windows-1258", "cp1258", "cp1258 windows-1258 x-cp1258"),
        ("x-mac-cyrillic", "mac_cyrillic", "x-mac-cyrillic x-mac-ukrainian"),
    ],
    "Legacy multi-byte Chinese (simplified) encodings": [
        ("gbk", "gb18030", "chinese csgb2312 csiso58gb231280 gb2312 gb_2312 gb_2312-80 gbk"
         " iso-ir-58 x-gbk"),
        ("gb18030", "gb18030", "gb18030"),
    ],
    "Legacy multi-byte Chinese (traditional) encodings": [
        ("big5", "big5hkscs", "big5 big5-hkscs cn-big5 csbig5 x-x-big5"),
    ],
    "Legacy multi-byte Japanese encodings": [
        ("euc-jp", "euc_jp", "cseucpkdfmtjapanese euc-jp x-euc-jp"),
        ("iso-2022-jp", "iso2022_jp_ext", "csiso2022jp iso-2022-jp"),
        ("shift_jis", "cp932", "csshiftjis ms932 ms_kanji shift-jis shift_jis sjis windows-31j"
         " x-sjis"),
    ],
    "Legacy multi-byte Korean encodings": [
        ("euc-kr", "cp949", "cseuckr csksc56011987 euc-kr iso-ir-149 korean ks_c_5601-1987"
         " ks_c_5601-1989 ksc5601 ksc_5601 windows-949"),
    ],
    "Legacy miscellaneous encodings": [
        ("replacement", None, "csiso2022kr hz-gb-2312 iso-2022-cn iso-2022-cn-ext iso-2022-kr"),
        ("utf-16be", "utf-16-be", "unicodefffe utf-16be"),
        ("utf-16le", "utf-16-le", "csunicode iso-10646-ucs-2 ucs-2 unicode unicodefeff utf-16"
         " utf-16le"),
        ("x-user-defined", None, "x-user-defined"),
    ],
}
_ENCODINGS = [encoding for group in _GROUPS.values() for encoding in group]

# Label -> encoding name, for every label of the Encoding Standard.
LABELS: Dict[str, str] = {label: name for name, _, labels in _ENCODINGS
                          for label in labels.split()}
# Encoding name -> the Python codec that decodes it (replacement and
# x-user-defined have none).
CODECS: Dict[str, str] = {name: codec for name, codec, _ in _ENCODINGS if codec}

# The single-byte encodings decode through a 256-character table; the
# standard's differences from Python's codecs are applied to it.
_SINGLE_BYTE = {name for name, _, _ in _GROUPS["Legacy single-byte encodings"]}
_SINGLE_BYTE.add("x-user-defined")
_TABLE_FIXES = {"koi8-u": {0xAE: "\u045e", 0xBE: "\u040e"}, "windows-1255": {0xCA: "\u05ba"}}
_tables: Dict[str, str] = {}
_encoding_maps: Dict[str, Any] = {}

_BOMS = [(b"\xef\xbb\xbf", "utf-8"), (b"\xfe\xff", "utf-16be"), (b"\xff\xfe", "utf-16le")]
# Python's canonical names of the encodings that have a byte-order mark.
_PYTHON_BOM_CODECS = {"utf-8": "utf-8", "utf-16-be": "utf-16be", "utf-16-le": "utf-16le"}
_ASCII_WHITESPACE = "\t\n\f\r "
_WHITESPACE = b"\t\n\f\r "
_PRESCAN_BYTES = 1024

# What writes a text back as bytes in one encoding, byte-order mark included;
# UnicodeEncodeError for a character the encoding has no bytes for.
_Encoder = Callable[[str], bytes]


def _table(name: str) -> str:
    """The characters of bytes 0-255 in a single-byte encoding; U+FFFE
    marks a byte that names no character (codecs.charmap_decode's rule)."""
    table = _tables.get(name)
    if table is None:
        if name == "x-user-defined":
            chars = [chr(b) if b < 0x80 else chr(0xF780 + b - 0x80) for b in range(256)]
        else:
            chars = [bytes([b]).decode(CODECS[name], "replace") for b in range(256)]
            for b, char in enumerate(chars):
                if char == "\ufffd":
                    windows_c1 = name.startswith("windows-") and 0x80 <= b < 0xA0
                    chars[b] = chr(b) if windows_c1 else "\ufffe"
            for b, char in _TABLE_FIXES.get(name, {}).items():
                chars[b] = char
        table = _tables[name] = "".join(chars)
    return table


def _gb_euro(strict: bool) -> Callable[[UnicodeError], Tuple[str, int]]:
    """An error handler for Python's gb18030 codec: byte 0x80 is the euro
    sign, anything else fails (strict) or becomes U+FFFD."""
    def handler(error: UnicodeError) -> Tuple[str, int]:
        assert isinstance(error, UnicodeDecodeError)
        if error.object[error.start] == 0x80:
            return "\u20ac", error.start + 1
        if strict:
            raise error
        return "\ufffd", error.end
    return handler


codecs.register_error("quillet_tree.gb-strict", _gb_euro(True))
codecs.register_error("quillet_tree.gb-replace", _gb_euro(False))


def _decode_as(data: bytes, name: str, strict: bool) -> str:
    """`data` in the encoding `name`; raises UnicodeDecodeError for bytes
    that do not decode when `strict`, else replaces them with U+FFFD."""
    if name in _SINGLE_BYTE:
        return codecs.charmap_decode(data, "strict" if strict else "replace", _table(name))[0]
    codec = CODECS[name]
    if codec == "gb18030":
        return data.decode(codec, "quillet_tree.gb-strict" if strict else "quillet_tree.gb-replace")
    return data.decode(codec, "strict" if strict else "replace")


def _label(label: str) -> Optional[str]:
    """The encoding a label names, or None."""
    label = label.strip(_ASCII_WHITESPACE)
    return LABELS.get(label.lower()) if label.isascii() else None


def _shown(label: str) -> str:
    """A label as a message quotes it: its repr, cut short when long."""
    return repr(label) if len(label) <= 60 else repr(label[:60]) + "..."


def _python_codec(label: str) -> str:
    """The name of the Python codec `label` names; LookupError when it names
    none, or one that does not decode bytes to text."""
    # Codec names are printable ASCII. Python's lookup would drop other
    # characters ("utf\u0130" is "utf"), or fail on them with ValueError
    # (NUL) or UnicodeEncodeError (a lone surrogate).
    info = None
    if label.isascii() and label.isprintable():
        try:
            info = codecs.lookup(label)
        except LookupError:
            pass
    if info is None:
        raise LookupError(f"unknown encoding: {_shown(label)} is neither an encoding label of"
                          " HTML nor a Python codec")
    # rot13, base64, zlib and the like map bytes to bytes or str to str;
    # bytes.decode refuses them, but not for empty bytes.
    text = getattr(info, "_is_text_encoding", True)
    if text:
        try:
            text = isinstance(b"<p>".decode(info.name, "replace"), str)
        except (LookupError, ValueError, TypeError):  # "undefined" raises UnicodeError
            text = False
    if not text:
        raise LookupError(f"{_shown(label)} names Python's codec {info.name!r}, which does not"
                          " decode bytes to text")
    return info.name


def _explicit(data: bytes, encoding: str) -> Tuple[str, _Encoder]:
    name = _label(encoding)
    if name is None:
        codec = _python_codec(encoding)
        name = _PYTHON_BOM_CODECS.get(codec)
        if name is None:
            return data.decode(codec, "replace"), functools.partial(str.encode, encoding=codec)
    if name == "replacement":
        raise LookupError(f"{_shown(encoding)} names an encoding that HTML readers refuse to decode"
                          " (ISO-2022-KR, ISO-2022-CN, HZ-GB-2312); to decode it anyway, name"
                          " Python's codec ('iso2022_kr', 'hz')")
    mark = b""
    for bom, bom_name in _BOMS:
        if name == bom_name and data.startswith(bom):
            data, mark = data[len(bom):], bom
    return _decode_as(data, name, strict=False), _encoder(name, mark)


def decode(data: Union[bytes, bytearray, memoryview], encoding: Optional[str] = None) -> str:
    """The text of a page's bytes, in the encoding a careful reader would pick:
    `encoding` when given, else a byte-order mark, else UTF-8 when the bytes
    are valid UTF-8 beyond ASCII, else the encoding the page declares (a
    <meta> in its first 1024 bytes, or an XML declaration) when it decodes
    every byte, else UTF-8 for ASCII and windows-1252 for the rest. Each
    step is told in full in docs/tree.md ("Bytes and encodings") and in the
    docstring of quillet_tree._encoding, which also holds LABELS.

    `encoding`, when given, wins: an HTML encoding label ("latin1",
    "gb2312", "x-sjis", ...) or else the name of a Python codec that
    decodes bytes to text. Raises TypeError for data that is no bytes-like
    object or an encoding that is no str, LookupError for any str that is
    neither (rot13 and base64 included, and names holding NUL, lone
    surrogates or other characters no name has), whatever the data; never
    for what the bytes hold: bytes that do not decode become U+FFFD.
    """
    if not isinstance(data, (bytes, bytearray, memoryview)):
        raise TypeError(f"decode() takes data as bytes, not {type(data).__name__}")
    if encoding is not None and not isinstance(encoding, str):
        raise TypeError(f"decode() takes encoding as a str or None, not {type(encoding).__name__}")
    # The characters themselves: a subclass's methods play no part.
    return _decode(bytes(data), None if encoding is None else str.__str__(encoding))[0]


def _decode(data: bytes, encoding: Optional[str]) -> Tuple[str, _Encoder]:
    """decode(data, encoding), and the encoder of the encoding it picked."""
    if encoding is not None:
        return _explicit(data, encoding)
    for bom, name in _BOMS:
        if data.startswith(bom):
            return _decode_as(data[len(bom):], name, strict=False), _encoder(name, bom)
    ascii_only = data.isascii()
    if not ascii_only:
        try:
            return data.decode("utf-8"), _encoder("utf-8")
        except UnicodeDecodeError:
            pass
    declared = _prescan(data[:_PRESCAN_BYTES])
    if declared is not None and declared != "replacement":
        try:
            return _decode_as(data, declared, strict=True), _encoder(declared)
        except UnicodeDecodeError:
            pass
    if ascii_only:
        return data.decode("ascii"), _encoder("utf-8")
    return _decode_as(data, "windows-1252", strict=False), _encoder("windows-1252")


def decode_reversibly(data: bytes, encoding: Optional[str] = None) -> Tuple[str, Optional[_Encoder]]:
    """decode(data, encoding), and what writes text back in the encoding the
    bytes were read in: then the text itself gives `data` back byte for byte.
    None instead when it would not (bytes that decoded to U+FFFD, a page
    with two byte sequences for one character)."""
    text, encode = _decode(data, encoding)
    try:
        if encode(text) == data:
            return text, encode
    except UnicodeError:
        pass
    return text, None


def _encoder(name: str, bom: bytes = b"") -> _Encoder:
    """The encoder of encoding `name`, which writes `bom` first. (Made for
    every decode, used by few: the work is left to the call.)"""
    return functools.partial(_encode, name, bom)


def _encode(name: str, bom: bytes, text: str) -> bytes:
    if name in _SINGLE_BYTE:
        encoding_map = _encoding_maps.get(name)
        if encoding_map is None:
            encoding_map = _encoding_maps[name] = codecs.charmap_build(_table(name))
        return bom + codecs.charmap_encode(text, "strict", encoding_map)[0]
    return bom + text.encode(CODECS[name])


def parse_file(source: Union[str, os.PathLike[str], IO[bytes]],
               encoding: Optional[str] = None) -> Optional[List[quillet.Node]]:
    """quillet.parse(decode(data, encoding)), where data is read from
    `source`: a path (str or os.PathLike), read whole as bytes, or a file
    opened in binary mode (anything with .read() that returns bytes).
    Raises TypeError for a text file and for other sources, OSError as
    open() does.
    """
    if isinstance(source, (str, os.PathLike)):
        with open(source, "rb") as f:
            data = f.read()
    elif hasattr(source, "read") and not isinstance(source, (bytes, bytearray, memoryview)):
        data = source.read()
        if isinstance(data, str):
            raise TypeError("parse_file() read str from source: open the file in binary mode"
                            " ('rb'), so that the encoding can be found from its bytes")
        if not isinstance(data, (bytes, bytearray, memoryview)):
            raise TypeError(f"parse_file() read {type(data).__name__} from source, not bytes")
    else:
        hint = "; for bytes in memory use quillet.parse(decode(data))" \
            if isinstance(source, (bytes, bytearray, memoryview)) else ""
        raise TypeError("parse_file() takes source as a path or a binary file, not"
                        f" {type(source).__name__}{hint}")
    return quillet.parse(decode(data, encoding))


# HTML's prescan: the encoding that <meta> declares in the first 1024 bytes,
# else the one an XML declaration at the start names. Works on bytes; only
# ASCII bytes matter, and running out of bytes anywhere ends it with no answer.

class _End(Exception):
    """The prescan ran out of bytes."""


def _prescan(data: bytes) -> Optional[str]:
    """The encoding the bytes declare, or None."""
    if data.startswith(b"<\0?\0x\0"):
        return "utf-16le"
    if data.startswith(b"\0<\0?\0x"):
        return "utf-16be"
    try:
        found = _prescan_meta(data)
    except _End:
        found = None
    return found if found is not None else _xml_encoding(data)


def _prescan_meta(data: bytes) -> Optional[str]:
    lower = data.lower()
    pos = 0
    while pos < len(data):
        if data.startswith(b"<!--", pos):
            end = data.find(b"-->", pos + 2)
            if end < 0:
                raise _End
            pos = end + 2
        elif lower.startswith(b"<meta", pos) and _byte(data, pos + 5) in b"\t\n\f\r /":
            pos, charset = _meta(data, pos + 5)
            if charset is not None:
                return charset
        elif data[pos:pos + 1] == b"<" and _is_tag_start(data, pos + 1):
            pos = _skip_to(data, pos + 1, b"\t\n\f\r >")
            name: Optional[str] = ""
            while name is not None:
                name, _, pos = _attribute(data, pos)
        elif data[pos:pos + 1] == b"<" and _byte(data, pos + 1) in b"!/?":
            pos = _skip_to(data, pos + 1, b">")
        pos += 1
    return None


def _meta(data: bytes, pos: int) -> Tuple[int, Optional[str]]:
    """Reads the attributes of a <meta> from `pos` (just after "<meta"):
    where the reading stopped and the encoding the element declares."""
    seen = set()
    got_pragma = False
    need_pragma: Optional[bool] = None
    charset: Optional[str] = None
    failure = False  # a charset attribute that names no encoding
    while True:
        name, value, pos = _attribute(data, pos)
        if name is None:
            break
        if name in seen:
            continue
        seen.add(name)
        if name == "http-equiv":
            got_pragma = got_pragma or value == "content-type"
        elif name == "content":
            found = _charset_from_content(value)
            if found is not None and charset is None and not failure:
                charset, need_pragma = found, True
        elif name == "charset":
            charset = _label(value)
            failure = charset is None
            need_pragma = False
    if need_pragma is None or (need_pragma and not got_pragma):
        return pos, None
    return pos, _as_declared(charset)


def _attribute(data: bytes, pos: int) -> Tuple[Optional[str], str, int]:
    """HTML's "get an attribute": (name, value, position after it), with
    name None and the position of the ">" when the tag ends first. Names and
    values are lowercased; a byte stands for the code point of its value."""
    while _byte(data, pos) in b"\t\n\f\r /":
        pos += 1
    if _byte(data, pos) == b">":
        return None, "", pos
    name = bytearray()
    while True:
        b = _byte(data, pos)
        if b == b"=" and name:
            pos += 1
            break
        if b in _WHITESPACE:
            while _byte(data, pos) in _WHITESPACE:
                pos += 1
            if _byte(data, pos) != b"=":
                return _latin1(name), "", pos
            pos += 1
            break
        if b in b"/>":
            return _latin1(name), "", pos
        name += b.lower()
        pos += 1
    while _byte(data, pos) in _WHITESPACE:
        pos += 1
    quote = _byte(data, pos)
    if quote in (b'"', b"'"):
        end = data.find(quote, pos + 1)
        if end < 0:
            raise _End
        return _latin1(name), _latin1(data[pos + 1:end].lower()), end + 1
    if quote == b">":
        return _latin1(name), "", pos
    end = pos + 1
    while _byte(data, end) not in b"\t\n\f\r >":
        end += 1
    return _latin1(name), _latin1(data[pos:end].lower()), end


def _charset_from_content(content: str) -> Optional[str]:
    """HTML's "extracting a character encoding from a meta element": the
    encoding after "charset=" in a content attribute (already lowercased)."""
    pos = 0
    while True:
        pos = content.find("charset", pos)
        if pos < 0:
            return None
        pos = _skip_whitespace(content, pos + 7)
        if content[pos:pos + 1] == "=":
            break
    pos = _skip_whitespace(content, pos + 1)
    quote = content[pos:pos + 1]
    if quote in ('"', "'"):
        end = content.find(quote, pos + 1)
        return _label(content[pos + 1:end]) if end >= 0 else None
    if not quote:
        return None
    end = pos
    while end < len(content) and content[end] not in _ASCII_WHITESPACE + ";":
        end += 1
    return _label(content[pos:end])


def _xml_encoding(data: bytes) -> Optional[str]:
    """The encoding an XML declaration at the very start names, or None."""
    if not data.startswith(b"<?xml"):
        return None
    end = data.find(b">")
    pos = data.find(b"encoding", 5, end)
    if end < 0 or pos < 0:
        return None
    pos += 8
    while pos < end and data[pos] <= 0x20:
        pos += 1
    if data[pos:pos + 1] != b"=":
        return None
    pos += 1
    while pos < end and data[pos] <= 0x20:
        pos += 1
    quote = data[pos:pos + 1]
    close = data.find(quote, pos + 1, end) if quote in (b'"', b"'") else -1
    label = data[pos + 1:close]
    if close < 0 or any(b <= 0x20 for b in label):
        return None
    return _as_declared(_label(_latin1(label)))


def _as_declared(name: Optional[str]) -> Optional[str]:
    """A declared encoding as it is read: a page that can declare anything
    is ASCII-compatible, so a declared UTF-16 is UTF-8; x-user-defined, an
    encoding for scripts' binary data, is windows-1252."""
    if name in ("utf-16be", "utf-16le"):
        return "utf-8"
    return "windows-1252" if name == "x-user-defined" else name


def _byte(data: bytes, pos: int) -> bytes:
    """The byte at `pos` as a one-byte bytes; raises _End past the end."""
    if pos >= len(data):
        raise _End
    return data[pos:pos + 1]


def _is_tag_start(data: bytes, pos: int) -> bool:
    """Whether a letter, or "/" and a letter, starts at `pos`."""
    if data[pos:pos + 1] == b"/":
        pos += 1
    return data[pos:pos + 1].isalpha()


def _skip_to(data: bytes, pos: int, stops: bytes) -> int:
    """The position of the first byte of `stops` at or after `pos`."""
    while _byte(data, pos) not in stops:
        pos += 1
    return pos


def _skip_whitespace(text: str, pos: int) -> int:
    while text[pos:pos + 1] and text[pos] in _ASCII_WHITESPACE:
        pos += 1
    return pos


def _latin1(raw: Union[bytes, bytearray]) -> str:
    return raw.decode("latin-1")
