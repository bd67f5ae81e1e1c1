"""Counts the link targets of many pages with a Dask bag and prints the most
common ones with their counts.

Usage: python dask_links.py [--scheduler ADDRESS] [FILE ...]
       (default: the bundled sample.html, 4 times)
Runs on Dask's local process scheduler, or with --scheduler on the workers of
the dask.distributed cluster whose scheduler listens at ADDRESS
(tcp://HOST:PORT). The workers read the files themselves: they must see them
under the same absolute paths.
"""
import argparse
import pathlib

import dask
import dask.bag as db

import quillet
import quillet_tree


def hrefs(text):
    """The target of every <a> element that has one, character references decoded."""
    return [quillet_tree.unescape_attributes(a)["href"]
            for a in quillet_tree.elements(quillet.parse(text), "a", href=True)]


def main() -> None:
    parser = argparse.ArgumentParser(description="Counts the link targets of many pages.")
    parser.add_argument("--scheduler", metavar="ADDRESS",
                        help="a dask.distributed scheduler, such as tcp://127.0.0.1:8786")
    parser.add_argument("files", nargs="*", metavar="FILE")
    args = parser.parse_args()
    paths = ([str(pathlib.Path(f).resolve()) for f in args.files]
             or [str(pathlib.Path(__file__).with_name("sample.html"))] * 4)
    pages = db.from_sequence(paths, npartitions=min(len(paths), 8))
    counts = (pages.map(lambda p: pathlib.Path(p).read_text(encoding="utf-8"))
                   .map(hrefs).flatten().frequencies().topk(10, key=lambda pair: pair[1]))
    if args.scheduler:
        # Imported only here: the local scheduler needs no dask.distributed.
        from dask.distributed import Client
        with Client(args.scheduler):
            top = counts.compute()
    else:
        # With the GIL, threads overlap only while parse indexes: processes run whole parses
        # in parallel.
        with dask.config.set(scheduler="processes", num_workers=2):
            top = counts.compute()
    for href, count in top:
        print(f"{count}\t{href}")


if __name__ == "__main__":
    main()
