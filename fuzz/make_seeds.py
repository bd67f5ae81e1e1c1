"""Writes the seed corpora of the fuzz targets (they are not kept in the repository).

    python3 fuzz/make_seeds.py [--corpus DIR] [--out DIR] [--pieces N]

fuzz/corpus-parse/ gets the documents of the shared corpus cut into pieces of
at most 2 KB (cut before a "<" where one is near, so pieces start with a tag),
plus the hand-picked cases and the input families (at size 3) of
tests/data/markup_inputs.txt, which hit each rule of the element scan. With
--pieces N only N pieces of each document, spread over it, are kept: the
step-by-step engine runs a few 2 KB inputs a second under the sanitizers, so
short runs want few seeds.
fuzz/corpus-compositions/ gets short pieces of the same markup; there the
first bytes choose detectors and the rest is text.
"""
import argparse
import hashlib
import pathlib
import sys

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests" / "python"))
from markup_inputs import CASES, families  # noqa: E402

PIECE = 2048


def pieces(text):
    start = 0
    while start < len(text):
        end = min(len(text), start + PIECE)
        while len(text[start:end].encode("utf-8")) > PIECE:
            end -= 64
        cut = text.rfind("<", start + PIECE // 2, end)
        if end < len(text) and cut > start:
            end = cut
        yield text[start:end]
        start = end


def write(folder, data):
    folder.mkdir(parents=True, exist_ok=True)
    (folder / hashlib.sha1(data).hexdigest()).write_bytes(data)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--corpus", type=pathlib.Path, default=HERE.parents[1] / "shared" / "corpus")
    parser.add_argument("--out", type=pathlib.Path, default=HERE)
    parser.add_argument("--pieces", type=int, default=0, help="pieces per document (0: all)")
    args = parser.parse_args()
    parse_dir, comp_dir = args.out / "corpus-parse", args.out / "corpus-compositions"
    docs = sorted(p for p in args.corpus.glob("*") if p.suffix != ".md") if args.corpus.is_dir() else []
    for text in CASES + families(3):
        write(parse_dir, text.encode("utf-8"))
        write(comp_dir, text.encode("utf-8")[:80])
    for doc in docs:
        text = doc.read_text(encoding="utf-8", errors="replace")
        cut = list(pieces(text))
        if args.pieces:
            cut = cut[:: max(1, len(cut) // args.pieces)][: args.pieces]
        for i, piece in enumerate(cut):
            write(parse_dir, piece.encode("utf-8"))
            if i % 16 == 0 or args.pieces:
                write(comp_dir, piece.encode("utf-8")[:80])
    print(f"{len(docs)} documents: {len(list(parse_dir.iterdir()))} parse seeds, "
          f"{len(list(comp_dir.iterdir()))} composition seeds")


if __name__ == "__main__":
    main()
