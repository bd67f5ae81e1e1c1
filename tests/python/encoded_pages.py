"""Pages as bytes, in the encodings pages are found in, each with the text it
holds. Shared by test_decode.py and benchmarks/bytes_cases.py."""
from typing import NamedTuple


class Page(NamedTuple):
    name: str
    data: bytes
    text: str    # the whole page, decoded
    phrase: str  # the body's text, which only the right encoding gives


CHINESE = "北京新闻：今天天气晴朗，欢迎访问我们的中文网站。"
FRENCH = "Un café – “quotes” à la française, s’il vous plaît…"


def page(meta, title, body):
    return (f'<!DOCTYPE html>\n<html><head>{meta}<title>{title}</title></head>\n'
            f'<body><h1>{title}</h1><p>{body}</p></body></html>\n')


def _case(name, meta, title, body, codec, bom=""):
    text = page(meta, title, body)
    return Page(name, (bom + text).encode(codec), text, body)


CASES = [
    _case("GBK declaring gb2312", '<meta charset="gb2312">', "新闻", CHINESE, "gbk"),
    _case("windows-1252 declaring iso-8859-1",
          '<meta http-equiv="Content-Type" content="text/html; charset=iso-8859-1">',
          "Café", FRENCH, "cp1252"),
    _case("UTF-8 without declaration", "", "新闻 café", CHINESE + " " + FRENCH, "utf-8"),
    _case("UTF-8 declaring gb2312", '<meta charset="gb2312">', "新闻", CHINESE, "utf-8"),
    _case("UTF-16 with a BOM", '<meta charset="utf-16">', "新闻 café", CHINESE + " " + FRENCH,
          "utf-16-le", bom="\ufeff"),
    _case("windows-1252 declaring utf-8", '<meta charset="utf-8">', "Café", FRENCH, "cp1252"),
]
