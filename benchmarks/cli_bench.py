"""The quillet command against the same work done in one process.

For each selector, the time of `quillet [OPTION] SELECTOR FILE...` over every
corpus document (one command, output to /dev/null, interpreter start-up
included) against decode + parse + select of the same files called in this
process; best of --rounds each, the two alternating. Also prints what
starting the interpreter costs, with and without importing the command.
"""
import argparse
import pathlib
import shutil
import subprocess
import sys
import time

import quillet
import quillet_tree

import machine

DEFAULT_CORPUS = pathlib.Path(__file__).resolve().parents[1].parent / "shared" / "corpus"
# (options, selector): the default markup output, text, attributes, counts.
# The last two in one process (-j 1), which a single file or standard input
# always gets.
RUNS = [((), "a[href]"), (("-t",), "title"), ((), "p"), (("-a", "href"), "a"),
        (("-c",), "div li"), (("--json",), "h1, h2"), (("-j", "1"), "a[href]"),
        (("-j", "1", "-c"), "div li")]


def best(call, rounds):
    times = []
    for _ in range(rounds):
        start = time.perf_counter()
        call()
        times.append(time.perf_counter() - start)
    return min(times)


def in_process(paths, selector):
    for path in paths:
        with open(path, "rb") as f:
            data = f.read()
        quillet_tree.select(quillet.parse(quillet_tree.decode(data)), selector)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--corpus", type=pathlib.Path, default=DEFAULT_CORPUS)
    ap.add_argument("--rounds", type=int, default=7)
    args = ap.parse_args()
    paths = sorted(str(p) for p in args.corpus.iterdir() if p.name != "SOURCES.md")
    script = pathlib.Path(sys.executable).parent / "quillet"
    command = [str(script)] if script.exists() else [shutil.which("quillet") or "quillet"]
    print(machine.describe())
    print(f"{len(paths)} documents of the corpus, {sum(pathlib.Path(p).stat().st_size for p in paths) / 1e6:.1f} MB; "
          f"best of {args.rounds} rounds")

    def start(code):
        return best(lambda: subprocess.run([sys.executable, "-c", code], check=True), args.rounds)

    print(f"interpreter start-up: {start('pass') * 1e3:.1f} ms bare, "
          f"{start('import quillet_tree._cli') * 1e3:.1f} ms importing the command")
    print(f"\n{'command':32} {'quillet ms':>10} {'in-process ms':>13} {'ratio':>6}")
    ratios = []
    for options, selector in RUNS:
        cli, inner = [], []
        for _ in range(args.rounds):
            cli.append(best(lambda: subprocess.run([*command, *options, selector, *paths],
                                                   stdout=subprocess.DEVNULL, check=True), 1))
            inner.append(best(lambda: in_process(paths, selector), 1))
        ratio = min(cli) / min(inner)
        ratios.append(ratio)
        label = " ".join(["quillet", *options, repr(selector)])
        print(f"{label:32} {min(cli) * 1e3:10.1f} {min(inner) * 1e3:13.1f} {ratio:6.2f}")
    shared = ratios[:-2]
    print(f"\nratio: {min(shared):.2f} to {max(shared):.2f} with the files shared among processes, "
          f"{min(ratios[-2:]):.2f} to {max(ratios[-2:]):.2f} in one")


if __name__ == "__main__":
    main()
