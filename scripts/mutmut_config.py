"""mutmut's hooks for quillet_tree's Python modules, and the report of a run.

scripts/mutate_python.sh puts this folder on mutmut's import path, so that
mutmut finds the hooks: each mutant is checked by the pytest modules that
cover its file (TESTS_BY_FILE), through `scripts/mutate.py --pytest`, which
runs them against the staged modules: the mutated .py files with the built
_native beside them. QUILLET_MUTMUT_SAMPLE (a fraction, default 1) and
QUILLET_MUTMUT_SEED (default 0) draw a reproducible sample: a mutant is kept
by a hash of the seed, its file, the text of its line and its index on the
line, so the same mutants are drawn whatever else changed in the file.

`python scripts/mutmut_config.py` prints the survivors of the last run
(.mutmut-cache) as `file:line: mutation` with the original line, less the
known equivalents of scripts/mutation-equivalent.txt, then a score per file:
killed / (tested - equivalent).
"""
import hashlib
import os
import sqlite3
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "scripts"))

TREE = ["test_tree_helpers.py", "test_tree_differential.py", "test_hostile.py"]
TESTS_BY_FILE = {
    "__init__.py": TREE + ["test_text_visible.py", "test_decode.py", "test_select_differential.py",
                           "test_cli.py", "test_docs.py"],
    "__main__.py": ["test_cli.py"],
    "_cli.py": ["test_cli.py"],
    "_encoding.py": ["test_decode.py", "test_cli.py"],
    "_selectors.py": ["test_select_differential.py", "test_select_conformance.py", "test_hostile.py",
                      "test_cli.py", "test_docs.py"],
    "_text.py": ["test_text_visible.py", "test_source.py", "test_tree_helpers.py", "test_hostile.py",
                 "test_cli.py", "test_docs.py"],
    "_source.py": ["test_source.py", "test_cli.py", "test_docs.py"],
}


def drawn(filename, line, index):
    rate = float(os.environ.get("QUILLET_MUTMUT_SAMPLE", "1"))
    if rate >= 1:
        return True
    key = f"{os.environ.get('QUILLET_MUTMUT_SEED', '0')}:{os.path.relpath(filename, ROOT)}:{line.strip()}:{index}"
    return int.from_bytes(hashlib.sha256(key.encode()).digest()[:8], "big") < rate * 2 ** 64


def pre_mutation(context):
    mutation = context.mutation_id
    if not drawn(context.filename, mutation.line, mutation.index):
        context.skip = True
        return
    modules = TESTS_BY_FILE.get(os.path.basename(context.filename))
    tests = " ".join(f"tests/python/{m}" for m in modules) if modules else "tests/python"
    context.config.test_command = f"{sys.executable} scripts/mutate.py --pytest {tests}"


def report(cache=os.path.join(ROOT, ".mutmut-cache")):
    from mutmut import Context, RelativeMutationID, mutate
    from mutate import read_equivalents

    known = read_equivalents(os.path.join(ROOT, "scripts", "mutation-equivalent.txt"))
    rows = sqlite3.connect(cache).execute(
        "SELECT SourceFile.filename, Line.line, Line.line_number, Mutant.\"index\", Mutant.status "
        "FROM Mutant JOIN Line ON Mutant.line = Line.id JOIN SourceFile ON Line.sourcefile = SourceFile.id "
        "ORDER BY SourceFile.filename, Line.line_number, Mutant.\"index\"").fetchall()
    sources, counts, survivors = {}, {}, []
    for filename, line, number, index, status in rows:
        path = os.path.relpath(os.path.join(ROOT, filename), ROOT)
        if path not in sources:
            with open(os.path.join(ROOT, path), encoding="utf-8") as f:
                sources[path] = f.read()
        count = counts.setdefault(path, {})
        if status == "skipped":
            continue
        if status == "ok_suspicious":
            status = "ok_killed"
        if status == "bad_survived":
            mutated, _ = mutate(Context(source=sources[path], filename=path, mutation_id=RelativeMutationID(
                line=line, index=index, line_number=number)))
            new = mutated.split("\n")[number]
            description = f"-> {new.strip()}"
            if (path, line.strip(), description) in known:
                status = "equivalent"
            else:
                survivors.append(f"{path}:{number + 1}: {description}\n    | {line.strip()}")
        count[status] = count.get(status, 0) + 1
    if survivors:
        print("Survivors:")
        print("\n".join(survivors))
    total = {}
    for count in counts.values():
        for k, v in count.items():
            total[k] = total.get(k, 0) + v
    for path, count in sorted(counts.items()) + [("all", total)]:
        killed = count.get("ok_killed", 0) + count.get("bad_timeout", 0)
        tested = killed + count.get("bad_survived", 0)
        score = f"{100.0 * killed / tested:.1f}%" if tested else "n/a"
        print(f"{path}: score {killed}/{tested} = {score}  (killed {count.get('ok_killed', 0)}, timeouts "
              f"{count.get('bad_timeout', 0)}, survived {count.get('bad_survived', 0)}, equivalent "
              f"{count.get('equivalent', 0)}, not run {count.get('untested', 0)})")


if __name__ == "__main__":
    report()
