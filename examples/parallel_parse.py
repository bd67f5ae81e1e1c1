"""Parses many pages in worker processes and prints, for each page, how many
elements and links it has.

Usage: python parallel_parse.py [FILE ...]   (default: the bundled sample.html, 8 times)
"""
import concurrent.futures
import pathlib
import sys

import quillet
from quillet_tree import elements


def summarise(path):
    """Runs in a worker: reads and parses one page and returns a small summary.

    Send file names in and small results out: pickling a whole tree across
    processes costs more than parsing it."""
    tree = quillet.parse(pathlib.Path(path).read_text(encoding="utf-8"))
    count = links = 0
    for element in elements(tree):
        count += 1
        links += element["tag"] == "a"
    return path, count, links


def main() -> None:
    paths = sys.argv[1:] or [str(pathlib.Path(__file__).with_name("sample.html"))] * 8
    with concurrent.futures.ProcessPoolExecutor() as pool:
        for path, count, links in pool.map(summarise, paths, chunksize=4):
            print(f"{path}\t{count} elements\t{links} links")


if __name__ == "__main__":
    main()
