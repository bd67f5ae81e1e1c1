"""How long Ctrl-C takes to stop each call on inputs that keep it busy for
seconds: parse on texts that load each stage, and every quillet_tree helper
on a large tree. Each case runs in a child process, which gets SIGINT a
moment into the call and reports when KeyboardInterrupt reached it; the
delay is that moment less the time the signal was sent. Prints the worst
delay of each case over the runs.

Usage: python benchmarks/interrupt_latency.py [--runs N] [--after S]
"""
import argparse
import os
import signal
import subprocess
import sys
import textwrap
import time

SETUP = textwrap.dedent(
    """
    import json, time, quillet, quillet_tree as qt
    UNIT = '<p class="c">text <b>bold</b><br/></p>\\n'
    def big_tree():
        return quillet.parse(UNIT * 600_000)
    """
)

# name -> (setup, call): the setup builds the input before the clock starts.
CASES = {
    "parse: many elements": ("doc = UNIT * (96_000_000 // len(UNIT))", "quillet.parse(doc)"),
    "parse: unclosed <p>": ('doc = "<p>" * 80_000_000', "quillet.parse(doc)"),
    "parse: plain text": ('doc = "x" * 480_000_000', "quillet.parse(doc)"),
    "parse: deep nesting": ('doc = "<a>" * 4_000_000 + "</a>" * 4_000_000', "quillet.parse(doc)"),
    "to_json": ("t = big_tree()", "qt.to_json(t)"),
    "to_json: one long str": ('t = ["\\u00e9" * 100_000_000]', "qt.to_json(t)"),
    "from_json": ("s = qt.to_json(big_tree())", "qt.from_json(s)"),
    "copy": ("t = big_tree()", "qt.copy(t)"),
    "equal": ("t = big_tree(); u = big_tree()", "qt.equal(t, u)"),
    "text": ("t = big_tree()", "qt.text(t)"),
    "to_markup": ("t = big_tree()", "qt.to_markup(t)"),
}

CHILD = SETUP + textwrap.dedent(
    """
    {setup}
    print("ready", flush=True)
    try:
        for _ in range(100):
            {call}
        print("finished")
    except KeyboardInterrupt:
        print("interrupted", time.monotonic(), flush=True)
    """
)


def delay(setup, call, after):
    child = subprocess.Popen([sys.executable, "-c", CHILD.format(setup=setup, call=call)],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        if child.stdout.readline().strip() != "ready":
            raise RuntimeError(child.stderr.read())
        time.sleep(after)
        sent = time.monotonic()
        os.kill(child.pid, signal.SIGINT)
        out, err = child.communicate(timeout=600)
    finally:
        child.kill()
    outcome, *rest = out.split()
    if outcome != "interrupted":
        raise RuntimeError(f"not interrupted: {out} {err}")
    return float(rest[0]) - sent


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--after", type=float, default=0.3, help="seconds into the call to send SIGINT")
    args = ap.parse_args()
    print(f"python {sys.version.split()[0]}; SIGINT {args.after} s into the call; worst of {args.runs} runs")
    worst_all = 0.0
    for name, (setup, call) in CASES.items():
        worst = max(delay(setup, call, args.after) for _ in range(args.runs))
        worst_all = max(worst_all, worst)
        print(f"{name:24} {worst * 1000:8.1f} ms")
    print(f"{'worst':24} {worst_all * 1000:8.1f} ms")


if __name__ == "__main__":
    main()
