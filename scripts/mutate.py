#!/usr/bin/env python3
"""Mutation check of the C++ code: plants one small fault at a time in the
sources, rebuilds incrementally, runs the tests that cover the folder and
reports the faults no test noticed.

    python scripts/mutate.py src/select               # every mutant of a folder
    python scripts/mutate.py --base main              # the lines changed since main
    python scripts/mutate.py src/tree --sample 40 --seed 1
    python scripts/mutate.py src/lib/py_module.cpp --list

The mutations, one per mutant: a relational or equality operator swapped
(< and <=, > and >=, == and !=), && and || swapped, a bound moved by one
(a < n becomes a < (n) + 1 or a < (n) - 1), an if or while condition
negated, an if whose body leaves (return, throw, goto, break, continue)
made never to fire, a one-line statement deleted, an integer constant moved
by one and true and false swapped.

Each mutant is written into the source file, built in its own build folder
(build-mutate/: Release, tests and modules on) and, if it builds, checked by
ctest and then by pytest (-m "not slow") against the modules just built,
which a staging folder put first on PYTHONPATH carries. Either stops at its
first failure, under a time limit and a cap on address space; a failure or
a time-out kills the mutant. The file is restored after every mutant, on
Ctrl-C too, and the unmutated code is rebuilt at the end.

Mutants listed in the equivalents file (scripts/mutation-equivalent.txt:
`file:line: description  # reason`, matched by file, the text of the line
and the description, so that edits above it do not unmatch it) count in
neither part of the score. The survivors print as `file:line: description`
with the original line, then a score per folder: killed / (built -
equivalent). The report also goes to the build folder as
mutation-report.json and mutation-report.txt.
"""
import argparse
import json
import os
import random
import re
import resource
import shutil
import signal
import subprocess
import sys
import sysconfig
import time
from dataclasses import dataclass, field

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SOURCE_SUFFIXES = (".cpp", ".hpp", ".h", ".cc")

# What each source folder's mutants are checked by: a ctest -R pattern (None:
# no C++ test covers the folder) and the pytest modules. --all-tests runs
# ctest and tests/python whole instead; folders not listed run everything.
# Cheapest and most telling first: each run stops at its first failure.
PARSE_TESTS = ["test_tree.py", "test_module.py", "test_differential.py", "test_threads.py",
               "test_properties.py", "test_source.py"]
MODULE_TESTS = PARSE_TESTS[:3] + ["test_failures.py"] + PARSE_TESTS[3:] + ["test_interrupt.py"]
TREE_TESTS = ["test_tree_helpers.py", "test_text_visible.py", "test_decode.py", "test_tree_differential.py",
              "test_cli.py", "test_hostile.py", "test_docs.py", "test_source.py", "test_interrupt.py"]
SELECT_TESTS = ["test_select_conformance.py", "test_select_differential.py", "test_cli.py",
                "test_hostile.py", "test_docs.py"]
# ctest -R patterns name GoogleTest suites: the binary of tests/cpp/<folder>,
# and the embedded-interpreter tests of tests/cpp/py for the modules' code.
PARSE_CTEST = "^(ExplainTest|CheckedGrowth|StructuralTest|ShapesAndSizes|Counts|Shapes/LongTagTest|DifferentialTest|PyFastParseTest|PyConvertTest)"
MODULE_CTEST = "^(PyFastParseTest|PyConvertTest|PyFailureTest|CollectorOnOrOff/GcPauseTest)"
TESTS_BY_FOLDER = {
    "src/fast_parse": (PARSE_CTEST, PARSE_TESTS),
    "src/lib": (MODULE_CTEST, MODULE_TESTS),
    "src/python": (MODULE_CTEST, MODULE_TESTS[:4] + TREE_TESTS[:2] + SELECT_TESTS[:2] + MODULE_TESTS[4:-1]
                   + TREE_TESTS[2:]),
    "src/tree": (None, TREE_TESTS + SELECT_TESTS[:2]),
    "src/select": ("^(TextTest|Rfc4647)", SELECT_TESTS),
}


# ---------------------------------------------------------------- the lexer

@dataclass
class Token:
    line: int      # 1-based
    start: int     # column in that line, 0-based
    end: int       # column past the token (on its first line)
    kind: str      # ident number string char punct pp comment
    text: str


PUNCTUATORS = sorted(["<<=", ">>=", "<=>", "->*", "...", "->", "++", "--", "<<", ">>", "<=", ">=",
                      "==", "!=", "&&", "||", "+=", "-=", "*=", "/=", "%=", "&=", "|=", "^=", "::",
                      ".*"], key=len, reverse=True)
STRING_PREFIXES = {"u8", "u", "U", "L", "R", "u8R", "uR", "UR", "LR"}


def lex(text):
    """The tokens of a C++ source: comments, string and character literals
    (raw strings too) and preprocessor lines (with their continuations) are
    tokens of their own, so nothing inside them looks like code."""
    tokens = []
    i, n = 0, len(text)
    line, line_start = 1, 0
    at_line_start = True

    def advance_to(j):
        nonlocal i, line, line_start
        newlines = text.count("\n", i, j)
        if newlines:
            line += newlines
            line_start = text.rfind("\n", i, j) + 1
        i = j

    while i < n:
        c = text[i]
        if c == "\n":
            advance_to(i + 1)
            at_line_start = True
            continue
        if c in " \t\r\f\v":
            i += 1
            continue
        start_line, col = line, i - line_start
        if c == "#" and at_line_start:
            j = i
            while True:
                k = text.find("\n", j)
                k = n if k < 0 else k
                if k > 0 and text[k - 1] == "\\" and k < n:
                    j = k + 1
                    continue
                break
            tokens.append(Token(start_line, col, col + 1, "pp", text[i:k]))
            advance_to(k)
            continue
        at_line_start = False
        if text.startswith("//", i):
            k = text.find("\n", i)
            k = n if k < 0 else k
            tokens.append(Token(start_line, col, k - line_start, "comment", text[i:k]))
            advance_to(k)
            continue
        if text.startswith("/*", i):
            k = text.find("*/", i + 2)
            k = n if k < 0 else k + 2
            tokens.append(Token(start_line, col, col + 2, "comment", text[i:k]))
            advance_to(k)
            continue
        if c.isalpha() or c == "_":
            j = i + 1
            while j < n and (text[j].isalnum() or text[j] == "_"):
                j += 1
            word = text[i:j]
            if j < n and text[j] in "\"'" and word in STRING_PREFIXES:
                if text[j] == '"' and word.endswith("R"):
                    k = text.find("(", j)
                    delimiter = text[j + 1:k]
                    close = text.find(")" + delimiter + '"', k)
                    k = n if close < 0 else close + len(delimiter) + 2
                else:
                    k = skip_quoted(text, j)
                tokens.append(Token(start_line, col, col + len(text[i:k].split("\n")[0]), "string",
                                    text[i:k]))
                advance_to(k)
                continue
            tokens.append(Token(start_line, col, j - line_start, "ident", word))
            i = j
            continue
        if c.isdigit() or (c == "." and i + 1 < n and text[i + 1].isdigit()):
            j = i + 1
            while j < n and (text[j].isalnum() or text[j] in "_.'" or
                             (text[j] in "+-" and text[j - 1] in "eEpP" and not text[i:i + 2].lower() == "0x")):
                j += 1
            tokens.append(Token(start_line, col, j - line_start, "number", text[i:j]))
            i = j
            continue
        if c in "\"'":
            k = skip_quoted(text, i)
            tokens.append(Token(start_line, col, col + k - i, "string" if c == '"' else "char", text[i:k]))
            advance_to(k)
            continue
        for p in PUNCTUATORS:
            if text.startswith(p, i):
                break
        else:
            p = c
        tokens.append(Token(start_line, col, col + len(p), "punct", p))
        i += len(p)
    return tokens


def skip_quoted(text, i):
    quote = text[i]
    j = i + 1
    while j < len(text) and text[j] != quote and text[j] != "\n":
        j += 2 if text[j] == "\\" else 1
    return j + 1


# ------------------------------------------------------------ the mutations

@dataclass
class Mutant:
    path: str           # relative to the repository
    line: int
    original: str       # the line as it is
    mutated: str        # the line with the fault
    description: str
    status: str = ""    # killed timeout survived not-built equivalent
    detail: str = ""
    seconds: float = 0.0
    reason: str = ""    # why it is equivalent

    @property
    def folder(self):
        return os.path.dirname(self.path)

    def label(self):
        return f"{self.path}:{self.line}: {self.description}"


RELATIONAL = {"<": "<=", "<=": "<", ">": ">=", ">=": ">"}
EQUALITY = {"==": "!=", "!=": "=="}
LOGICAL = {"&&": "||", "||": "&&"}
# Tokens that end the right operand of a relational operator (lower or equal
# precedence), when met outside brackets.
OPERAND_END = {")", "]", "}", ";", ",", "&&", "||", "?", ":", "==", "!=", "&", "|", "^", "=", "+=",
               "-=", "*=", "/=", "%=", "&=", "|=", "^=", "<<=", ">>=", "<=>"}
LEAVING = {"return", "throw", "goto", "break", "continue"}
NOT_DELETED = {"return", "co_return", "case", "default", "using", "typedef", "namespace",
               "static_assert", "goto", "throw", "template", "public", "private", "protected",
               "else", "do", "if", "for", "while", "switch", "struct", "class", "enum", "union",
               "extern", "friend"}
# Lines with these are left alone: declarations of operators and templates,
# compile-time checks and asserts (compiled out in Release).
SKIPPED_WORDS = {"operator", "template", "static_assert", "assert", "requires", "concept"}
INTEGER = re.compile(r"^(0[xX][0-9a-fA-F']+|[0-9][0-9']*)([uUlLzZ]*)$")


def compiled_here(condition):
    """Whether an #if condition holds for this interpreter: PY_VERSION_HEX
    compared with a number is decided, anything else counts as true."""
    m = re.fullmatch(r"\s*PY_VERSION_HEX\s*(<|<=|>|>=|==|!=)\s*(0[xX][0-9a-fA-F]+|\d+)\s*(//.*|/\*.*)?",
                     condition)
    if not m:
        return True
    op, value = m.group(1), int(m.group(2), 0)
    return {"<": sys.hexversion < value, "<=": sys.hexversion <= value, ">": sys.hexversion > value,
            ">=": sys.hexversion >= value, "==": sys.hexversion == value, "!=": sys.hexversion != value}[op]


def ordinal(k):
    return {1: "1st", 2: "2nd", 3: "3rd"}.get(k, f"{k}th")


def spaced(line_text, token):
    return (token.start > 0 and line_text[token.start - 1] in " \t" and
            token.end < len(line_text) and line_text[token.end] in " \t")


def matching(code, i):
    """The index of the bracket that closes code[i] on the same line, or None."""
    opening, closing = code[i].text, {"(": ")", "[": "]", "{": "}"}[code[i].text]
    depth = 0
    for j in range(i, len(code)):
        if code[j].text == opening:
            depth += 1
        elif code[j].text == closing:
            depth -= 1
            if depth == 0:
                return j
    return None


def operand_end(code, line_text, i):
    """The index past the right operand of the relational operator code[i],
    or None when the operand runs on past the line."""
    depth = 0
    for j in range(i + 1, len(code)):
        t = code[j].text
        if t in ("(", "[", "{"):
            depth += 1
        elif t in (")", "]", "}") and depth:
            depth -= 1
        elif depth == 0 and (t in OPERAND_END or (t in RELATIONAL and spaced(line_text, code[j]))):
            return j if j > i + 1 else None
    return None


def is_declaration(code):
    """Whether a one-line statement looks like a declaration: a type-like run
    of tokens, then a name, then =, (, {, [ or ;."""
    if code[0].kind != "ident":
        return False
    angles = 0
    for j, t in enumerate(code):
        if t.text == "<" and code[j - 1].kind == "ident" and code[j - 1].end == t.start:
            angles += 1  # a template's argument list
        elif t.text in (">", ">>") and angles:
            angles = max(0, angles - len(t.text))
        elif angles:
            continue
        elif t.text in ("=", "(", "{", "[", ";", ",", ":") or (t.text.endswith("=") and t.text in OPERAND_END):
            if j >= 2 and code[j - 1].kind == "ident" and (
                    code[j - 2].kind == "ident" or code[j - 2].text in (">", "*", "&", "&&", ">>")):
                return True
            return False
    return False


class FileMutations:
    def __init__(self, path):
        self.path = path
        with open(os.path.join(ROOT, path), encoding="utf-8") as f:
            self.text = f.read()
        self.lines = self.text.split("\n")
        self.by_line = {}
        self.skip_lines = set()
        # Branches of #if PY_VERSION_HEX tests that this interpreter does not
        # compile: (is this branch on, has an earlier one been) per level.
        branches = []
        off_from = None
        for t in lex(self.text):
            if t.kind == "pp":
                self.skip_lines.update(range(t.line, t.line + t.text.count("\n") + 1))
                was_off = any(not on for on, _ in branches)
                directive = re.match(r"#\s*(\w+)\s*(.*)", t.text)
                word, rest = directive.groups() if directive else ("", "")
                if word in ("if", "ifdef", "ifndef"):
                    on = compiled_here(rest) if word == "if" else True
                    branches.append((on, on))
                elif word == "elif" and branches:
                    taken = branches[-1][1]
                    on = not taken and compiled_here(rest)
                    branches[-1] = (on, taken or on)
                elif word == "else" and branches:
                    branches[-1] = (not branches[-1][1], True)
                elif word == "endif" and branches:
                    branches.pop()
                is_off = any(not on for on, _ in branches)
                if is_off and not was_off:
                    off_from = t.line
                elif was_off and not is_off:
                    self.skip_lines.update(range(off_from, t.line))
            elif t.kind != "comment":
                self.by_line.setdefault(t.line, []).append(t)
                if "\n" in t.text:
                    self.skip_lines.update(range(t.line, t.line + t.text.count("\n") + 1))
        # Code after a static_assert( or similar, up to the line closing it.
        inside = False
        for number in sorted(self.by_line):
            words = {t.text for t in self.by_line[number]}
            if words & SKIPPED_WORDS:
                self.skip_lines.add(number)
                inside = self.by_line[number][-1].text != ";"
            elif inside:
                self.skip_lines.add(number)
                inside = self.by_line[number][-1].text != ";"

    def previous_code_token(self, number):
        for k in range(number - 1, 0, -1):
            if k in self.by_line:
                return self.by_line[k][-1]
            if k in self.skip_lines and self.lines[k - 1].lstrip().startswith("#"):
                continue
        return None

    def next_code_line(self, number):
        for k in range(number + 1, len(self.lines) + 1):
            if k in self.by_line:
                return self.by_line[k]
        return None

    def mutants(self, wanted=None):
        out = []
        for number, code in sorted(self.by_line.items()):
            if number in self.skip_lines or (wanted is not None and number not in wanted):
                continue
            out.extend(self.line_mutants(number, code))
        return out

    def line_mutants(self, number, code):
        text = self.lines[number - 1]
        found = []
        counts = {}

        def add(description, pieces):
            mutated = text
            for start, end, new in sorted(pieces, reverse=True):
                mutated = mutated[:start] + new + mutated[end:]
            # A mutant equal to the line, or to one already made, is left out.
            if mutated != text and mutated not in (m for _, m in found):
                found.append((description, mutated))

        def occurrence(key, where):
            # Which occurrence on the line, when there are several.
            same = [t for t in code if t.text == key]
            if len(same) < 2:
                return ""
            return f" ({ordinal(same.index(where) + 1)})"

        for i, t in enumerate(code):
            if t.kind == "punct":
                if t.text in RELATIONAL and spaced(text, t):
                    where = occurrence(t.text, t)
                    add(f"'{t.text}' -> '{RELATIONAL[t.text]}'{where}",
                        [(t.start, t.end, RELATIONAL[t.text])])
                    end = operand_end(code, text, i)
                    if end is not None:
                        first, last = code[i + 1], code[end - 1]
                        operand = text[first.start:last.end]
                        # The other direction is the swap above: a < n + 1 is a <= n.
                        delta = "- 1" if t.text in ("<", ">=") else "+ 1"
                        add(f"bound '{operand}' -> '({operand}) {delta}' after '{t.text}'{where}",
                            [(first.start, last.end, f"({operand}) {delta}")])
                elif t.text in EQUALITY:
                    add(f"'{t.text}' -> '{EQUALITY[t.text]}'{occurrence(t.text, t)}",
                        [(t.start, t.end, EQUALITY[t.text])])
                elif t.text in LOGICAL and spaced(text, t):
                    add(f"'{t.text}' -> '{LOGICAL[t.text]}'{occurrence(t.text, t)}",
                        [(t.start, t.end, LOGICAL[t.text])])
            elif t.kind == "number":
                m = INTEGER.match(t.text)
                if m:
                    digits, suffix = m.group(1).replace("'", ""), m.group(2)
                    value = int(digits, 16) if digits[:2].lower() == "0x" else int(digits, 10)
                    if digits != "0" and digits.startswith("0") and digits[:2].lower() != "0x":
                        continue  # octal
                    where = occurrence(t.text, t)
                    # return -1 made -2 is the same failure to every caller
                    # that tests < 0: only the step towards 0 is made.
                    negated_return = i >= 2 and code[i - 1].text == "-" and code[i - 2].text == "return"
                    for new in (value + 1, value - 1):
                        if new < 0 or (negated_return and new > value):
                            continue
                        spelled = (hex(new) if digits[:2].lower() == "0x" else str(new)) + suffix
                        add(f"constant {t.text} -> {spelled}{where}", [(t.start, t.end, spelled)])
            elif t.kind == "ident" and t.text in ("true", "false"):
                other = "false" if t.text == "true" else "true"
                add(f"{t.text} -> {other}{occurrence(t.text, t)}", [(t.start, t.end, other)])
            elif t.kind == "ident" and t.text in ("if", "while"):
                if i + 1 >= len(code) or code[i + 1].text != "(":
                    continue  # if constexpr, if consteval
                close = matching(code, i + 1)
                if close is None or close == i + 2:
                    continue
                inner = code[i + 2:close]
                if any(x.text == ";" for x in inner):
                    continue  # an init-statement
                where = occurrence(t.text, t)
                lo, hi = code[i + 2].start, code[close - 1].end
                add(f"{t.text} condition negated{where}", [(lo, lo, "!("), (hi, hi, ")")])
                if t.text == "if":
                    after = code[close + 1:]
                    if after and after[0].text == "{":
                        after = after[1:]
                    if not after:
                        following = self.next_code_line(number)
                        after = following or []
                    if after and after[0].text in LEAVING:
                        add(f"check removed: if condition -> false{where}", [(lo, hi, "false")])
        # A whole one-line statement deleted; not a member declared `= delete`
        # or `= default`, which only the compiler reads.
        defaulted = len(code) >= 3 and code[-3].text == "=" and code[-2].text in ("delete", "default")
        if code[-1].text == ";" and code[0].text not in NOT_DELETED and not is_declaration(code) and \
                not defaulted:
            previous = self.previous_code_token(number)
            balanced = all(sum(x.text == o for x in code) == sum(x.text == c for x in code)
                           for o, c in ("()", "[]", "{}"))
            if balanced and (previous is None or previous.text in (";", "{", "}", ":")) and \
                    not (previous is not None and previous.text == ":" and self.ternary_before(number)):
                indent = text[:len(text) - len(text.lstrip())]
                found.append(("statement deleted", indent + "/* deleted */"))
        return [Mutant(self.path, number, text, mutated, description) for description, mutated in found]

    def ternary_before(self, number):
        previous = self.previous_code_token(number)
        code = self.by_line.get(previous.line, []) if previous else []
        return any(t.text == "?" for t in code)


# ------------------------------------------------------------ choosing lines

def git(*args):
    return subprocess.run(["git", *args], cwd=ROOT, capture_output=True, text=True, check=True).stdout


def source_files(paths):
    files = []
    for p in paths:
        full = os.path.join(ROOT, p) if not os.path.isabs(p) else p
        if os.path.isdir(full):
            for dirpath, _, names in os.walk(full):
                files += [os.path.join(dirpath, n) for n in names if n.endswith(SOURCE_SUFFIXES)]
        elif os.path.isfile(full):
            files.append(full)
        else:
            sys.exit(f"mutate: no such file or folder: {p}")
    return sorted({os.path.relpath(f, ROOT) for f in files if f.endswith(SOURCE_SUFFIXES)})


def changed_lines(base, paths):
    """{file: set of line numbers} that `git diff base` adds or changes."""
    out = git("diff", "-U0", "--no-color", "--no-ext-diff", base, "--", *(paths or ["src"]))
    changed, current = {}, None
    for row in out.splitlines():
        if row.startswith("+++ "):
            name = row[4:]
            current = name[2:] if name.startswith("b/") else None
            if current and not current.endswith(SOURCE_SUFFIXES):
                current = None
        elif row.startswith("@@") and current:
            m = re.match(r"@@ -\S+ \+(\d+)(?:,(\d+))? @@", row)
            start, count = int(m.group(1)), int(m.group(2) or 1)
            changed.setdefault(current, set()).update(range(start, start + count))
    return changed


def read_equivalents(path):
    """{(file, stripped line text, description): reason} from the equivalents file."""
    known = {}
    if not path or not os.path.exists(path):
        return known
    with open(path, encoding="utf-8") as f:
        rows = f.read().splitlines()
    for k, row in enumerate(rows):
        # The reason follows the last "  #": a description may hold a comment.
        m = re.match(r"^(\S+?):(\d+): (.*)\s\s#\s*(.*)$", row)
        if not m or row.lstrip().startswith("#"):
            continue
        # The line's text follows on the next row, indented, as the survivors print it.
        text = rows[k + 1].strip() if k + 1 < len(rows) and rows[k + 1].startswith("    | ") else None
        if text is not None:
            text = rows[k + 1][len("    | "):].strip()
        known[(m.group(1), text, m.group(3).strip())] = m.group(4).strip()
    return known


def equivalent_reason(mutant, known):
    return known.get((mutant.path, mutant.original.strip(), mutant.description))


# ---------------------------------------------------------------- running

class Runner:
    def __init__(self, args):
        self.args = args
        self.build = os.path.join(ROOT, args.build_dir)
        self.stage = os.path.join(self.build, "mutate-stage")
        self.active = os.path.join(self.build, "mutate-active.json")
        self.child = None

    def limits(self):
        # The soft limit only: tests that cap memory themselves raise theirs
        # back to the hard one afterwards.
        cap = self.args.memory_gib << 30
        resource.setrlimit(resource.RLIMIT_AS, (cap, resource.getrlimit(resource.RLIMIT_AS)[1]))

    def run(self, command, timeout, env=None, cwd=ROOT, capped=True):
        """(status, seconds, tail of output): status is 0, the exit code, or
        'timeout' when the process group was killed at the deadline."""
        started = time.monotonic()
        self.child = subprocess.Popen(command, cwd=cwd, env=env, stdout=subprocess.PIPE,
                                      stderr=subprocess.STDOUT, start_new_session=True,
                                      preexec_fn=self.limits if capped else None)
        try:
            output, _ = self.child.communicate(timeout=timeout)
            status = self.child.returncode
        except subprocess.TimeoutExpired:
            self.kill()
            output, _ = self.child.communicate()
            status = "timeout"
        finally:
            if self.child.poll() is None:
                self.kill()
            self.child = None
        tail = output.decode("utf-8", "replace").strip().splitlines()[-15:]
        return status, time.monotonic() - started, "\n".join(tail)

    def kill(self):
        if self.child is not None and self.child.poll() is None:
            try:
                os.killpg(self.child.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            self.child.wait()

    def configure(self):
        if os.path.exists(os.path.join(self.build, "build.ninja")):
            return
        command = ["cmake", "-S", ROOT, "-B", self.build, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release",
                   "-DQUILLET_BUILD_TESTS=ON", "-DQUILLET_BUILD_MODULE=ON",
                   f"-DPython_EXECUTABLE={sys.executable}"]
        print("mutate: configuring", self.build, flush=True)
        status, _, tail = self.run(command, 600, capped=False)
        if status != 0:
            sys.exit(f"mutate: cmake failed:\n{tail}")

    def compile(self):
        return self.run(["cmake", "--build", self.build, f"-j{self.args.jobs}"], self.args.build_timeout,
                        capped=False)

    def stage_modules(self):
        """The staging folder: the quillet module and a quillet_tree package of
        the Python sources and the built _native, all as symlinks, so that
        each rebuild shows through."""
        suffix = sysconfig.get_config_var("EXT_SUFFIX")
        package = os.path.join(self.stage, "quillet_tree")
        shutil.rmtree(self.stage, ignore_errors=True)
        os.makedirs(package)
        os.symlink(os.path.join(self.build, "quillet" + suffix), os.path.join(self.stage, "quillet" + suffix))
        os.symlink(os.path.join(self.build, "_native" + suffix), os.path.join(package, "_native" + suffix))
        source = os.path.join(ROOT, "src", "tree", "quillet_tree")
        for name in os.listdir(source):
            if name.endswith((".py", ".pyi")) or name == "py.typed":
                os.symlink(os.path.join(source, name), os.path.join(package, name))
        # Hypothesis without its example database: a mutant's failing example
        # must not be replayed against the next one.
        with open(os.path.join(self.stage, "quillet_mutation_profile.py"), "w") as f:
            f.write("from hypothesis import settings\n"
                    "settings.register_profile('mutation', database=None)\n"
                    "settings.load_profile('mutation')\n")

    def environment(self):
        env = dict(os.environ)
        env["PYTHONPATH"] = self.stage + (os.pathsep + env["PYTHONPATH"] if env.get("PYTHONPATH") else "")
        env["QUILLET_REFERENCE_DIR"] = os.path.join(self.build, "reference")
        env["QUILLET_SKIP_BIGMEM"] = "1"
        env["PYTHONDONTWRITEBYTECODE"] = "1"
        return env

    def check_staging(self):
        probe = ("import quillet, quillet_tree, quillet_tree._native as n; "
                 "print(quillet.__file__); print(quillet_tree.__file__); print(n.__file__)")
        status, _, out = self.run([sys.executable, "-c", probe], 60, env=self.environment())
        paths = out.splitlines()
        if status != 0 or len(paths) != 3 or not all(p.startswith(self.stage) for p in paths):
            sys.exit(f"mutate: the staged modules are not the ones imported:\n{out}")

    def tests_for(self, folder):
        if self.args.all_tests or folder not in TESTS_BY_FOLDER:
            return "", ["tests/python"]
        pattern, modules = TESTS_BY_FOLDER[folder]
        return pattern, [os.path.join("tests", "python", m) for m in dict.fromkeys(modules)]

    def pytest(self, modules):
        command = [sys.executable, "-m", "pytest", "-x", "-q", "-p", "no:cacheprovider",
                   "-p", "quillet_mutation_profile", "--hypothesis-seed=0", "-m", "not slow",
                   *modules]
        return self.run(command, self.args.timeout, env=self.environment())

    def test(self, folder):
        """None when every test passed, else (status, which suite, detail)."""
        pattern, modules = self.tests_for(folder)
        if pattern is not None:
            command = ["ctest", "--test-dir", self.build, "--stop-on-failure", f"-j{self.args.jobs}",
                       "--timeout", str(self.args.timeout)]
            if pattern:
                command += ["-R", pattern]
            status, _, tail = self.run(command, self.args.timeout)
            if status != 0:
                return status, "ctest", tail
        status, _, tail = self.pytest(modules)
        if status != 0:
            return status, "pytest", tail
        return None

    def remember(self, mutant):
        with open(self.active, "w", encoding="utf-8") as f:
            json.dump({"path": mutant.path, "line": mutant.line, "original": mutant.original}, f)

    def restore_interrupted(self):
        """Puts back a line a killed earlier run left mutated."""
        if not os.path.exists(self.active):
            return
        with open(self.active, encoding="utf-8") as f:
            state = json.load(f)
        full = os.path.join(ROOT, state["path"])
        with open(full, encoding="utf-8") as f:
            lines = f.read().split("\n")
        lines[state["line"] - 1] = state["original"]
        with open(full, "w", encoding="utf-8") as f:
            f.write("\n".join(lines))
        os.unlink(self.active)
        print(f"mutate: restored {state['path']}:{state['line']} from an interrupted run", flush=True)

    def plant(self, mutant, original_text):
        lines = original_text.split("\n")
        assert lines[mutant.line - 1] == mutant.original
        lines[mutant.line - 1] = mutant.mutated
        self.remember(mutant)
        with open(os.path.join(ROOT, mutant.path), "w", encoding="utf-8") as f:
            f.write("\n".join(lines))

    def unplant(self, mutant, original_text):
        with open(os.path.join(ROOT, mutant.path), "w", encoding="utf-8") as f:
            f.write(original_text)
        if os.path.exists(self.active):
            os.unlink(self.active)

    def one(self, mutant, originals):
        started = time.monotonic()
        try:
            self.plant(mutant, originals[mutant.path])
            status, _, tail = self.compile()
            if status != 0:
                mutant.status, mutant.detail = "not-built", "timeout" if status == "timeout" else tail[-300:]
                return
            verdict = self.test(mutant.folder)
            if verdict is None:
                mutant.status = "survived"
            else:
                status, suite, tail = verdict
                mutant.status = "timeout" if status == "timeout" else "killed"
                # The first failing test if the output names one, else its last line.
                failed = [row for row in tail.splitlines()
                          if (row.startswith(("FAILED", "ERROR")) and "::" in row) or
                          re.search(r"\d+ - \S+ \(", row)]
                last = tail.splitlines()[-1] if tail else str(status)
                mutant.detail = f"{suite}: " + (failed[0].strip() if failed else last)
        finally:
            self.unplant(mutant, originals[mutant.path])
            mutant.seconds = time.monotonic() - started


def interrupt(signum, frame):
    raise KeyboardInterrupt


def summary(mutants):
    lines = []
    survivors = [m for m in mutants if m.status == "survived"]
    if survivors:
        lines.append("Survivors:")
        for m in survivors:
            lines.append(m.label())
            lines.append("    | " + m.original.strip())
    folders = sorted({m.folder for m in mutants})
    for folder in folders + (["all"] if len(folders) > 1 else []):
        group = [m for m in mutants if folder == "all" or m.folder == folder]
        count = {s: sum(m.status == s for m in group) for s in
                 ("killed", "timeout", "survived", "not-built", "equivalent", "")}
        built = count["killed"] + count["timeout"] + count["survived"]
        killed = count["killed"] + count["timeout"]
        score = f"{100.0 * killed / built:.1f}%" if built else "n/a"
        seconds = sum(m.seconds for m in group)
        lines.append(f"{folder}: score {killed}/{built} = {score}  (drawn {len(group)}, killed "
                     f"{count['killed']}, timeouts {count['timeout']}, survived {count['survived']}, "
                     f"not built {count['not-built']}, equivalent {count['equivalent']}"
                     + (f", not run {count['']}" if count[""] else "") + f"; {seconds / 60:.1f} min)")
    return "\n".join(lines)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0],
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("paths", nargs="*", help="files or folders to mutate (with --base: to limit it)")
    parser.add_argument("--base", help="mutate only the lines `git diff BASE` adds or changes")
    parser.add_argument("--list", action="store_true", help="print the mutants, run nothing")
    parser.add_argument("--sample", type=int, help="draw this many mutants at random")
    parser.add_argument("--seed", type=int, default=0, help="the seed of --sample (default 0)")
    parser.add_argument("--match", action="append",
                        help="only mutants whose `file:line: description` holds this text (repeat it"
                             " for any of several)")
    parser.add_argument("--equivalent", default=os.path.join(ROOT, "scripts", "mutation-equivalent.txt"),
                        help="the known equivalent mutants (default scripts/mutation-equivalent.txt)")
    parser.add_argument("--build-dir", default="build-mutate", help="the build folder (default build-mutate)")
    parser.add_argument("--all-tests", action="store_true",
                        help="run all of ctest and tests/python for every mutant, not the folder's tests")
    parser.add_argument("--timeout", type=int, default=600, help="seconds for ctest, and for pytest (600)")
    parser.add_argument("--build-timeout", type=int, default=900, help="seconds for a rebuild (900)")
    parser.add_argument("--memory-gib", type=int, default=8, help="address space cap of the tests (8 GiB)")
    parser.add_argument("--jobs", type=int, default=2, help="parallel build and ctest jobs (2)")
    parser.add_argument("--no-baseline", action="store_true",
                        help="skip the run of the tests on the unmutated code")
    parser.add_argument("--stage", action="store_true",
                        help="build the unmutated code and stage its modules, then stop")
    parser.add_argument("--pytest", nargs="*", metavar="MODULE",
                        help="run these pytest modules (default tests/python) as for a mutant, against "
                             "the staged modules, and exit 1 on any failure or time-out: mutmut's runner")
    args = parser.parse_args()

    if args.stage or args.pytest is not None:
        runner = Runner(args)
        if args.stage:
            runner.configure()
            status, seconds, tail = runner.compile()
            if status != 0:
                sys.exit(f"mutate: the code does not build:\n{tail}")
            runner.stage_modules()
        runner.check_staging()
        if args.stage:
            print(f"mutate: modules staged in {runner.stage}")
            return 0
        status, seconds, tail = runner.pytest(args.pytest or ["tests/python"])
        print(tail)
        print(f"mutate: pytest {'passed' if status == 0 else 'failed: ' + str(status)} in {seconds:.0f} s")
        return 0 if status == 0 else 1

    if args.base:
        changed = changed_lines(args.base, args.paths)
        files = sorted(changed)
    else:
        if not args.paths:
            parser.error("name files or folders, or --base REV")
        files, changed = source_files(args.paths), None
    mutants = []
    for path in files:
        mutants += FileMutations(path).mutants(changed[path] if changed is not None else None)
    known = read_equivalents(args.equivalent)
    for m in mutants:
        reason = equivalent_reason(m, known)
        if reason:
            m.status, m.reason = "equivalent", reason
    total = len(mutants)
    if args.match:
        mutants = [m for m in mutants if any(text in m.label() for text in args.match)]
    if args.sample is not None and args.sample < len(mutants):
        # In the order drawn, so that a run stopped early is still a fair sample.
        mutants = random.Random(args.seed).sample(mutants, args.sample)
    if args.list:
        for m in mutants:
            print(m.label() + (f"  # equivalent: {m.reason}" if m.status == "equivalent" else ""))
            print("    - " + m.original.strip())
            print("    + " + m.mutated.strip())
        print(f"{len(mutants)} mutants of {total} in {len(files)} files")
        return 0
    if not mutants:
        print("mutate: no mutants")
        return 0

    paths = sorted({m.path for m in mutants})
    runner = Runner(args)
    os.makedirs(runner.build, exist_ok=True)
    runner.restore_interrupted()
    dirty = git("status", "--porcelain", "--", *paths).strip()
    if dirty:
        sys.exit(f"mutate: commit or stash these first, they are mutated in place:\n{dirty}")
    signal.signal(signal.SIGTERM, interrupt)
    signal.signal(signal.SIGHUP, interrupt)
    originals = {}
    for p in paths:
        with open(os.path.join(ROOT, p), encoding="utf-8") as f:
            originals[p] = f.read()

    runner.configure()
    started = time.monotonic()
    status, seconds, tail = runner.compile()
    if status != 0:
        sys.exit(f"mutate: the unmutated code does not build:\n{tail}")
    runner.stage_modules()
    runner.check_staging()
    if not args.no_baseline:
        for folder in sorted({m.folder for m in mutants}):
            t0 = time.monotonic()
            verdict = runner.test(folder)
            if verdict is not None:
                sys.exit(f"mutate: the tests of {folder} fail on the unmutated code:\n{verdict[2]}")
            print(f"mutate: tests of {folder} pass unmutated in {time.monotonic() - t0:.0f} s", flush=True)
    todo = [m for m in mutants if m.status != "equivalent"]
    print(f"mutate: {len(todo)} mutants to run ({total} in {len(files)} files)", flush=True)
    try:
        for k, m in enumerate(todo, 1):
            runner.one(m, originals)
            print(f"[{k}/{len(todo)}] {m.status:9} {m.seconds:5.0f}s {m.label()}"
                  + (f"  ({m.detail.splitlines()[-1][:100]})" if m.detail and m.status != "not-built" else ""),
                  flush=True)
    except KeyboardInterrupt:
        runner.kill()
        print("mutate: interrupted", flush=True)
    finally:
        for p in paths:
            with open(os.path.join(ROOT, p), encoding="utf-8") as f:
                if f.read() != originals[p]:
                    with open(os.path.join(ROOT, p), "w", encoding="utf-8") as out:
                        out.write(originals[p])
        if os.path.exists(runner.active):
            os.unlink(runner.active)
        print("mutate: rebuilding the unmutated code", flush=True)
        runner.compile()

    text = summary(mutants)
    print(text)
    print(f"mutate: {(time.monotonic() - started) / 60:.1f} min")
    with open(os.path.join(runner.build, "mutation-report.txt"), "w", encoding="utf-8") as f:
        f.write(text + "\n")
    with open(os.path.join(runner.build, "mutation-report.json"), "w", encoding="utf-8") as f:
        json.dump([{"file": m.path, "line": m.line, "description": m.description, "original": m.original,
                    "mutated": m.mutated, "status": m.status, "detail": m.detail, "reason": m.reason,
                    "seconds": round(m.seconds, 1)} for m in mutants], f, indent=1)
    return 0


if __name__ == "__main__":
    sys.exit(main())
