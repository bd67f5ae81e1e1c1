#!/usr/bin/env python3
"""Which libraries read a page's bytes in the right encoding: a table of
"right" or "wrong" per page and library, not a timing.

    python benchmarks/bytes_cases.py

The pages are those of tests/python/encoded_pages.py: GBK, windows-1252,
UTF-8 and UTF-16, with true, false or no declarations. Each library is given
the bytes and asked for the text; "right" means the page's body text comes
out whole.
  quillet_tree   quillet_tree._encoding.decode(data)
  BeautifulSoup  BeautifulSoup(data, "html.parser").get_text()
  lxml.html      lxml.html.fromstring(data).text_content()
  selectolax     selectolax.lexbor.LexborHTMLParser(data).text()
A library that is not installed shows as "-".
"""
import os
import sys
import warnings

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "python"))

from encoded_pages import CASES  # noqa: E402


def quillet_text(data):
    from quillet_tree._encoding import decode
    return decode(data)


def bs4_text(data):
    from bs4 import BeautifulSoup
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return BeautifulSoup(data, "html.parser").get_text()


def lxml_text(data):
    import lxml.html
    return lxml.html.fromstring(data).text_content()


def selectolax_text(data):
    from selectolax.lexbor import LexborHTMLParser
    return LexborHTMLParser(data).text()


READERS = {"quillet_tree.decode": quillet_text, "BeautifulSoup": bs4_text,
           "lxml.html": lxml_text, "selectolax": selectolax_text}


def verdict(reader, case):
    try:
        text = reader(case.data)
    except ImportError:
        return "-"
    except Exception as error:  # a library that fails on the bytes is wrong
        return f"wrong ({type(error).__name__})"
    return "right" if case.phrase in text else "wrong"


def main():
    print("| page | " + " | ".join(READERS) + " |")
    print("|---" * (len(READERS) + 1) + "|")
    for case in CASES:
        cells = [verdict(reader, case) for reader in READERS.values()]
        print(f"| {case.name} | " + " | ".join(cells) + " |")


if __name__ == "__main__":
    main()
