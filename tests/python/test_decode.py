"""quillet_tree's bytes in: decode picks a page's encoding, parse_file reads
and parses. Expected text comes from Python's own codecs and the pages of
encoded_pages.py."""
import codecs
import io
import pathlib

import pytest
from hypothesis import given
from hypothesis import strategies as st

import quillet
from encoded_pages import CASES
from quillet_tree._encoding import CODECS, LABELS, decode, parse_file

RUSSIAN = "Привет, мир"
BOM8, BOM_LE, BOM_BE = codecs.BOM_UTF8, codecs.BOM_UTF16_LE, codecs.BOM_UTF16_BE


@pytest.mark.parametrize("case", CASES, ids=[c.name for c in CASES])
def test_pages(case):
    assert decode(case.data) == case.text


@pytest.mark.parametrize("data, encoding, expected", [
    # An explicit encoding wins over a BOM, over UTF-8 and over <meta>.
    (BOM8 + "é".encode(), "koi8-r", (BOM8 + "é".encode()).decode("koi8_r")),
    ("中文".encode(), "gb2312", "中文".encode().decode("gb18030")),
    # Labels: ASCII case and surrounding whitespace do not matter.
    ("café – “x”".encode("cp1252"), " \tLaTiN1\n", "café – “x”"),
    ("中文".encode("gbk"), "GB2312", "中文"),
    ("日本～".encode("cp932"), "x-sjis", "日本～"),
    ("한국어".encode("cp949"), "ks_c_5601-1987", "한국어"),
    # A Python codec name that is no label.
    (b"\xe9", "latin_1", "é"),
    ("€".encode("cp858"), "cp858", "€"),
    # Bytes that do not decode become U+FFFD.
    (b"a\xffb", "utf-8", "a\ufffdb"),
    (b"\x81x", "windows-1253", "\x81x"),
    (b"\xaax", "windows-1253", "\ufffdx"),
    # The BOM of the same encoding is dropped, another one kept.
    (BOM8 + b"x", "utf-8", "x"),
    (BOM8 + b"x", "utf_8", "x"),
    (BOM_LE + "x".encode("utf-16-le"), "utf-16", "x"),
    (BOM_BE + "x".encode("utf-16-le"), "utf-16le", "\ufffex"),
    # 0x80 is the euro sign in GBK and gb18030; other bytes that do not
    # decode become U+FFFD, as Python's own handler makes them.
    (b"\x80" + "中".encode("gbk"), "gbk", "€中"),
    (b"a\xffb\x80", "gbk", b"a\xffb".decode("gb18030", "replace") + "€"),
    # x-user-defined, which Python lacks: the high bytes go to U+F780-U+F7FF.
    (b"a\x80\xff", "x-user-defined", "a\uf780\uf7ff"),
])
def test_explicit_encoding(data, encoding, expected):
    assert decode(data, encoding) == expected


@pytest.mark.parametrize("data, expected", [
    (BOM_BE + "中 é".encode("utf-16-be"), "中 é"),
    (BOM8 + "<meta charset=koi8-r>é".encode(), "<meta charset=koi8-r>é"),
    (b"<meta charset=gbk>\x80" + "中".encode("gbk"), "<meta charset=gbk>€中"),
    ('<meta charset="iso-2022-jp">日本語'.encode("iso2022_jp"), '<meta charset="iso-2022-jp">日本語'),
    ('<?xml version="1.0"?><p>é</p>'.encode("utf-16-le"), '<?xml version="1.0"?><p>é</p>'),
    (b"<meta charset=x-user-defined>\x9d", "<meta charset=x-user-defined>\x9d"),
    (b"plain ascii", "plain ascii"),
    (b"\x81\x8d\x8f\x90\x9d\x80", "\x81\x8d\x8f\x90\x9d€"),
])
def test_clues(data, expected):
    assert decode(data) == expected


# A declaration before Russian text in KOI8-R: found or not.
@pytest.mark.parametrize("head, found", [
    ('<meta charset="koi8-r">', True),
    ("<META CHARSET=KOI8-R>", True),
    ("<meta charset='koi8-r'/>", True),
    ("<meta\ncharset = koi8-r>", True),
    ('<meta http-equiv="Content-Type" content="text/html; charset=koi8-r">', True),
    ("<meta content='text/html;charset=\"KOI8-R\"' http-equiv=content-type>", True),
    ("<meta content='charset koi8-u; charset=koi8-r' http-equiv=content-type>", True),
    ('<meta content="text/html; charset=koi8-r">', False),  # no http-equiv
    ('<meta http-equiv="refresh" content="0; charset=koi8-r">', False),
    ('<meta charset="bogus" content="charset=koi8-r" http-equiv="content-type">', False),
    ('<meta charset="bogus"><meta charset="koi8-r">', True),
    ('<meta charset="koi8-r" charset="utf-8">', True),  # the first of a name counts
    ('<!-- <meta charset="koi8-r"> -->', False),
    ('<!--><meta charset="koi8-r">', True),
    ('<div title="<meta charset=koi8-r>"></div>', False),
    ('<p title="<meta charset=koi8-r>"></p>', False),
    ('<!x <meta charset="koi8-r">', False),  # <!, </ and <? run to the next >
    ('</x <meta charset="koi8-r">', False),
    ('<?x <meta charset="koi8-r">', False),
    ("<metal charset=koi8-r>", False),
    ('<meta charset="iso-2022-kr"><meta charset="koi8-r">', False),  # replacement: passed over
    (" " * 1010 + '<meta charset="koi8-r">', False),  # beyond the first 1024 bytes
    (" " * 990 + '<meta charset="koi8-r">', True),
    ('<?xml version="1.0" encoding="koi8-r"?>', True),
    ("<?xml version='1.0' encoding = 'KOI8-R' ?>", True),
    (' <?xml version="1.0" encoding="koi8-r"?>', False),
    ('<?xml version="1.0" encoding="koi8 r"?>', False),
    # a quote closed within the first 1,024 bytes, or not
    ("<?xml" + " " * 1000 + 'encoding="koi8-r"?>', True),
    ("<?xml" + " " * 1002 + 'encoding="koi8-r>', False),
])
def test_prescan(head, found):
    text = head + RUSSIAN
    assert (decode(text.encode("koi8_r")) == text) is found


def test_every_label():
    # Each names its encoding's Python codec, and the encoding's own name is
    # one of its labels.
    assert len(LABELS) > 200
    for label, name in LABELS.items():
        assert label == label.lower().strip() and LABELS.get(name, "replacement") == name
        if name in CODECS:
            codecs.lookup(CODECS[name])
            decode(bytes(range(256)) * 2, label)  # never raises
        elif name == "replacement":
            with pytest.raises(LookupError, match="refuse"):
                decode(b"", label)


# Where the Encoding Standard's single-byte tables differ from Python's codecs
# (besides a windows-* byte 0x80-0x9F that Python leaves undefined: there the
# C1 control of the same number).
TABLE_DIFFERENCES = {"koi8-u": {0xAE: "ў", 0xBE: "Ў"}, "windows-1255": {0xCA: "\u05ba"}}


SINGLE_BYTE = ["ibm866", *(f"iso-8859-{n}" for n in [2, 3, 4, 5, 6, 7, 8, 10, 13, 14, 15, 16]),
               "iso-8859-8-i", "koi8-r", "koi8-u", "macintosh", "windows-874",
               *(f"windows-125{n}" for n in range(9)), "x-mac-cyrillic"]


@pytest.mark.parametrize("name", SINGLE_BYTE)
def test_single_byte_against_python(name):
    expected = [bytes([b]).decode(CODECS[name], "replace") for b in range(256)]
    for b in range(0x80, 0xA0):
        if name.startswith("windows-") and expected[b] == "\ufffd":
            expected[b] = chr(b)
    for b, char in TABLE_DIFFERENCES.get(name, {}).items():
        expected[b] = char
    assert decode(bytes(range(256)), name) == "".join(expected)


@given(st.binary(max_size=300), st.sampled_from(["", "<meta charset=shift_jis>",
                                                  "<meta charset=utf-8>", "<?xml encoding='big5'?>"]))
def test_never_raises(data, head):
    assert isinstance(decode(head.encode() + data), str)


@pytest.mark.parametrize("call, message", [
    (lambda: decode("<p>"), "takes data as bytes, not str"),
    (lambda: decode(b"", b"utf-8"), "takes encoding as a str"),
    (lambda: parse_file(3), "source as a path or a binary file, not int"),
    (lambda: parse_file(b"<p>"), "quillet.parse"),
    (lambda: parse_file(io.StringIO("<p>")), "binary mode"),
])
def test_type_errors(call, message):
    with pytest.raises(TypeError, match=message):
        call()


def test_unknown_encoding():
    with pytest.raises(LookupError, match="'no-such'"):
        decode(b"", "no-such")
    with pytest.raises(LookupError):
        decode(b"x", "rot13")  # a Python codec, but not of text


class Odd(str):
    """A str whose methods lie: decode must read the characters themselves."""

    def strip(self, *chars):
        return "utf-8"

    def lower(self):
        return "utf-8"

    def __hash__(self):
        return 0

    def __eq__(self, other):
        return True


# Labels that name no encoding, however odd: LookupError, for no data and
# for some, with a message of reasonable length.
@pytest.mark.parametrize("label", [
    "utf-8\0", "\0", "latin1\0x", "\ud800", "utf-8\udcff", "\udcff\udcfe", "x" * 100_000,
    "utf-8" + " " * 100_000 + "x", "", " ", "rot13", "base64", "hex", "zlib", "bz2", "uu",
    "quopri", "undefined", "utf\u0130", Odd("no-such"), Odd("base64"),
], ids=lambda label: repr(label)[:20])
def test_labels_that_name_no_encoding(label):
    for data in (b"", b"<p>caf\xc3\xa9</p>"):
        with pytest.raises(LookupError) as info:
            decode(data, label)
        assert len(str(info.value)) < 400


@pytest.mark.parametrize("label, codec", [
    (Odd("latin1"), "cp1252"), (Odd("koi8_u"), "koi8_u"), (Odd("utf-16"), "utf-16-le"),
    ("\tUTF-8 ", "utf-8"), ("UTF_8", "utf-8"), ("utf-32", "utf-32"),
])
def test_labels_read_as_their_characters(label, codec):
    data = (RUSSIAN if codec == "koi8_u" else "café – “x”").encode(codec)
    assert decode(data, label) == data.decode(codec)


@pytest.mark.parametrize("encoding", [8, 1.5, ["utf-8"], bytearray(b"utf-8"), memoryview(b"x")])
def test_an_encoding_that_is_no_str(encoding):
    with pytest.raises(TypeError, match="takes encoding as a str"):
        decode(b"x", encoding)


def test_bytes_like():
    data = CASES[0].data
    assert decode(bytearray(data)) == decode(memoryview(data)) == CASES[0].text


def test_parse_file(tmp_path):
    case = CASES[0]
    path = tmp_path / "page.html"
    path.write_bytes(case.data)
    expected = quillet.parse(case.text)
    assert parse_file(str(path)) == parse_file(pathlib.Path(path)) == expected
    assert parse_file(io.BytesIO(case.data)) == expected
    with open(path, "rb") as f:
        assert parse_file(f, "utf-8") == quillet.parse(case.data.decode("utf-8", "replace"))
    assert parse_file(io.BytesIO(b"")) is None
