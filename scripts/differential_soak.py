"""Compares quillet.parse with the step-by-step engine on many random texts.

    python scripts/differential_soak.py --cases 1000000 --reference build-ci/reference

The reference module (_quillet_reference) is built with the C++ tests. Each
case joins random pieces that exercise the markup rules; trees are compared
with their key order. Exits non-zero at the first difference and prints it.
"""
import argparse
import random
import sys
import time


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--cases", type=int, default=100_000)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--reference", default="build-ci/reference", help="folder of _quillet_reference")
    args = parser.parse_args()
    sys.path.insert(0, args.reference)
    import _quillet_reference as reference

    import quillet
    sys.path.insert(0, "tests/python")
    from markup_inputs import random_text
    from test_differential import ordered

    rng = random.Random(args.seed)
    start = time.time()
    for case in range(1, args.cases + 1):
        text = random_text(rng, rng.randint(0, 40))
        if ordered(quillet.parse(text)) != ordered(reference.parse(text)):
            print(f"difference at case {case}: {text!r}")
            return 1
        if case % 100_000 == 0:
            print(f"{case} cases, no difference ({time.time() - start:.0f} s)", flush=True)
    print(f"{args.cases} cases, no difference ({time.time() - start:.0f} s)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
