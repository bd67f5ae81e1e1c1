"""The documentation tells the truth: every `>>>` example in it gives the output
shown, and every listing headed by a file name is that file."""
import doctest
import pathlib
import re

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
PAGES = ["README.md", "docs/syntax.md", "docs/reference.md", "docs/scale.md", "docs/tree.md",
         "docs/migrating.md"]


@pytest.mark.parametrize("page", PAGES)
def test_examples_in_page(page):
    if not (ROOT / page).exists():
        pytest.skip(f"{page} is not in this copy")
    failed, tried = doctest.testfile(str(ROOT / page), module_relative=False,
                                     optionflags=doctest.NORMALIZE_WHITESPACE)
    assert failed == 0


def test_listings_match_their_files():
    listings = [listing for page in PAGES if (ROOT / page).exists()
                for listing in re.findall(r"<!-- listing: (\S+) -->\n```\w*\n(.*?)```",
                                          (ROOT / page).read_text(), re.S)]
    if not listings:
        pytest.skip("no documentation in this copy")
    for name, body in listings:
        assert body == (ROOT / name).read_text(), name
