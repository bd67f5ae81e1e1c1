"""Counts the link targets of many pages with a Dask bag and prints the most
common ones with their counts.

Usage: python dask_links.py [FILE ...]   (default: the bundled sample.html, 4 times)
Runs on Dask's local process scheduler; with a dask.distributed Client the same
bag runs on a cluster.
"""
import pathlib
import sys

import dask
import dask.bag as db

import quillet
import quillet_tree


def hrefs(text):
    """The href of every <a> element that has one."""
    return [a["href"] for a in quillet_tree.elements(quillet.parse(text), "a", href=True)]


def main() -> None:
    paths = sys.argv[1:] or [str(pathlib.Path(__file__).with_name("sample.html"))] * 4
    pages = db.from_sequence(paths, npartitions=min(len(paths), 8))
    counts = (pages.map(lambda p: pathlib.Path(p).read_text(encoding="utf-8"))
                   .map(hrefs).flatten().frequencies().topk(10, key=lambda pair: pair[1]))
    # quillet holds the GIL while it parses: processes, not threads, run in parallel.
    with dask.config.set(scheduler="processes", num_workers=2):
        for href, count in counts.compute():
            print(f"{count}\t{href}")


if __name__ == "__main__":
    main()
