"""quillet: query markup files with CSS selectors from the command line.

    quillet SELECTOR [FILE ...]      each match as markup, one per line
    quillet -t SELECTOR [FILE ...]   each match's visible text
    quillet -a href 'a[href]' page.html

Files are read as bytes and decoded as quillet_tree.decode does; no FILE, or
`-`, reads standard input. Output is UTF-8.
"""
from __future__ import annotations

import argparse
import gc
import os
import re
import shutil
import signal
import sys
import tempfile
from typing import IO, TYPE_CHECKING, Callable, Dict, List, Optional, Sequence, Tuple

import quillet
import quillet_tree
from quillet_tree import _native, _text

if TYPE_CHECKING:
    from quillet import Element

_TAG, _ID, _CLASSES, _STYLE, _IS_SELF_CLOSING, _CHILDREN = _native.ELEMENT_KEYS
_FIXED = frozenset(_native.ELEMENT_KEYS)
# Tabs and line breaks inside one value would split its line.
_BREAKS = re.compile(r"[\t\n\r\f\v]+")

EXIT_OK, EXIT_FILE, EXIT_USAGE, EXIT_INTERRUPTED, EXIT_PIPE = 0, 1, 2, 130, 141


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="quillet", description="Print the elements of markup files that match a CSS selector.",
        epilog="Exit status: 0 when every file was read, 1 when one could not be, 2 for a bad "
               "selector or option, 130 on Ctrl-C.")
    parser.add_argument("selector", metavar="SELECTOR", nargs="?",
                        help="a CSS selector (left out with --tree)")
    parser.add_argument("files", metavar="FILE", nargs="*",
                        help="files to read; standard input when none is given, or for -")
    shown = parser.add_mutually_exclusive_group()
    shown.add_argument("-t", "--text", action="store_true",
                       help="print each match's visible text, whitespace collapsed")
    shown.add_argument("-a", "--attr", metavar="NAME", action="append",
                       help="print the value of attribute NAME (repeatable: values tab-separated)")
    shown.add_argument("--json", action="store_true",
                       help="print each match as a JSON object: tag, attributes, text "
                            "(and file, when several files are given)")
    shown.add_argument("-c", "--count", action="store_true", help="print the number of matches")
    shown.add_argument("--tree", action="store_true",
                       help="print the whole tree of each file as JSON (no SELECTOR)")
    parser.add_argument("-1", "--first", action="store_true",
                        help="only the first match of each file")
    parser.add_argument("-j", "--jobs", metavar="N", type=int,
                        help="processes to share the files among (default: one per core; "
                             "standard input is always read by one)")
    parser.add_argument("--encoding", metavar="LABEL",
                        help="decode the files with this encoding instead of detecting it")
    parser.add_argument("--version", action="version", version=f"quillet {quillet_tree.__version__}")
    return parser


def _decoded(value: object) -> str:
    """A value as the markup meant it, character references decoded; "" for
    no value."""
    if not isinstance(value, str):
        return ""
    return _text.unescape(value) if "&" in value else value


def _getter(name: str) -> Callable[["Element"], str]:
    """What reads attribute `name` of an element: class is the classes
    joined, id and style are their own keys, and the tree's other own keys
    are no attributes."""
    if name == "class":
        def classes(element: "Element") -> str:
            found = element.get(_CLASSES)
            return _decoded(" ".join(found)) if isinstance(found, list) else ""
        return classes
    if name in _FIXED and name not in (_ID, _STYLE):
        return lambda element: ""
    return lambda element: _decoded(element.get(name))


def _one_line(value: str) -> str:
    # isprintable() is False for tabs and line breaks (and a few others).
    return value if value.isprintable() else _BREAKS.sub(" ", value)


def _attributes(element: "Element") -> Dict[str, str]:
    """The element's attributes as the markup had them: id, class and style
    when not empty, then the others, values decoded."""
    values = quillet_tree.unescape_attributes(element)
    classes = values.get(_CLASSES)
    fixed = (("id", values.get(_ID)),
             ("class", " ".join(classes) if isinstance(classes, list) else ""),
             ("style", values.get(_STYLE)))
    out = {name: value for name, value in fixed if isinstance(value, str) and value}
    out.update((key, value) for key, value in values.items()
               if key not in _FIXED and isinstance(value, str))
    return out


class _Run:
    """One invocation: the options, where output goes, and the exit status."""

    def __init__(self, options: argparse.Namespace, out: IO[str]) -> None:
        self.options = options
        self.out = out
        self.status = EXIT_OK
        self.selector: Optional[quillet_tree.Selector] = None
        self.several = len(options.files) > 1
        self.stdin_data: Optional[bytes] = None

    def read(self, name: str) -> Optional[bytes]:
        try:
            if name == "-":
                if self.stdin_data is None:
                    self.stdin_data = sys.stdin.buffer.read()
                return self.stdin_data
            with open(name, "rb") as file:
                return file.read()
        except OSError as error:
            reason = error.strerror or str(error)
            print(f"quillet: {name}: {reason}", file=sys.stderr)
            self.status = EXIT_FILE
            return None

    def process(self, name: str) -> None:
        data = self.read(name)
        if data is None:
            return
        tree = quillet.parse(quillet_tree.decode(data, self.options.encoding))
        options, label = self.options, name if name != "-" else "<stdin>"
        if options.tree:
            json = quillet_tree.to_json(tree, ensure_ascii=False)
            if self.several:
                json = f'{{"file": {quillet_tree.to_json(label, ensure_ascii=False)}, "tree": {json}}}'
            self.out.write(json + "\n")
            return
        assert self.selector is not None
        if options.first:
            first = self.selector.select_one(tree)
            matches = [] if first is None else [first]
        else:
            matches = self.selector.select(tree)
        if options.count:
            count = str(len(matches))
            self.out.write(f"{label}\t{count}\n" if self.several else count + "\n")
            return
        if matches:
            self.out.write("\n".join(map(self.formatter(label), matches)))
            self.out.write("\n")

    def process_all(self, names: Sequence[str]) -> int:
        for name in names:
            self.process(name)
        self.out.flush()
        return self.status

    def formatter(self, label: str) -> Callable[["Element"], str]:
        options = self.options
        if options.text:
            return lambda match: quillet_tree.text(match, " ", visible=True)
        if options.attr:
            getters = [_getter(name) for name in options.attr]
            if len(getters) == 1:
                get = getters[0]
                return lambda match: _one_line(get(match))
            return lambda match: "\t".join([_one_line(get(match)) for get in getters])
        if options.json:
            head = {"file": label} if self.several else {}
            return lambda match: quillet_tree.to_json(
                {**head, "tag": match.get(_TAG), "attributes": _attributes(match),
                 "text": quillet_tree.text(match, " ", visible=True)}, ensure_ascii=False)
        # Trees that parse made always read back as themselves: no need for
        # the check quillet_tree.to_markup makes.
        return _native.to_markup


def _main(argv: Optional[Sequence[str]]) -> int:
    parser = _parser()
    options = parser.parse_args(argv)
    if options.tree:
        if options.selector is not None:
            options.files.insert(0, options.selector)
            options.selector = None
        if options.first:
            parser.error("--first does not go with --tree")
    elif options.selector is None:
        parser.error("a SELECTOR is needed (or --tree)")
    if options.encoding is not None:
        try:
            quillet_tree.decode(b"", options.encoding)
        except LookupError as error:
            parser.error(str(error))
    # Line by line to a terminal, in large blocks to a pipe or file.
    out = open(sys.stdout.fileno(), "w", encoding="utf-8", errors="replace", newline="\n",
               closefd=False, buffering=1 if sys.stdout.isatty() else 1 << 16)
    run = _Run(options, out)
    if options.selector is not None:
        try:
            run.selector = quillet_tree.compile(options.selector)
        except quillet_tree.SelectorError as error:
            parser.exit(EXIT_USAGE, f"quillet: invalid selector: {error}\n")
    # The trees hold no cycles and live one file long: the cyclic collector
    # would only walk them again and again.
    gc.disable()
    workers: List[Tuple[List[str], Optional[int], Optional[IO[bytes]]]] = []
    try:
        shares = _shares(options.files or ["-"], options.jobs)
        for share in shares[1:]:
            # One at a time, so that an interrupt meets every worker started.
            workers.append(_start_worker(run, share))
        status = run.process_all(shares[0])
        while workers:
            share, pid, spool = workers.pop(0)
            if pid is None or spool is None:
                # No worker could be started: the files are read here.
                status = max(status, run.process_all(share))
            else:
                status = max(status, _finish_worker(pid, spool, out))
        return status
    except BrokenPipeError:
        # The reader went away (`| head`): stop quietly, and keep the
        # interpreter from failing to flush at exit.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return EXIT_PIPE
    finally:
        for _, pid, _ in workers:
            if pid is not None:
                _stop_worker(pid)


# Below this many bytes in all, the files are read by one process: starting
# another costs more than it saves.
_PARALLEL_BYTES = 1 << 20


def _shares(names: List[str], jobs: Optional[int]) -> List[List[str]]:
    """The files cut into runs of about equal size, one per process, in
    order; the first is this process's. One run when the files are few or
    small, when standard input is among them or when processes cannot be
    forked."""
    if jobs is None:
        jobs = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else 1
    jobs = min(jobs, len(names))
    if jobs < 2 or "-" in names or not hasattr(os, "fork"):
        return [names]
    sizes = []
    for name in names:
        try:
            sizes.append(os.stat(name).st_size)
        except OSError:
            sizes.append(0)  # reported when it is read
    total = sum(sizes)
    if total < _PARALLEL_BYTES:
        return [names]
    shares: List[List[str]] = [[]]
    done = 0
    for name, size in zip(names, sizes):
        # A file goes to the next run when its middle lies past this run's end.
        if done + size / 2 > total * len(shares) / jobs and len(shares) < jobs and shares[-1]:
            shares.append([])
        shares[-1].append(name)
        done += size
    return shares


def _start_worker(run: _Run,
                  names: List[str]) -> Tuple[List[str], Optional[int], Optional[IO[bytes]]]:
    """Forks a process that writes the output of `names` to a spool file
    (unnamed, in the temporary folder), for this process to copy out in
    turn; its messages go to standard error as they come. (names, pid,
    spool), or (names, None, None) when no spool file or process can be
    had."""
    try:
        spool = tempfile.TemporaryFile()
    except OSError:
        return names, None, None
    run.out.flush()
    sys.stderr.flush()
    try:
        pid = os.fork()
    except OSError:
        spool.close()
        return names, None, None
    if pid:
        return names, pid, spool
    code = EXIT_FILE
    try:
        run.out = open(spool.fileno(), "w", encoding="utf-8", errors="replace", newline="\n",
                       closefd=False, buffering=1 << 16)
        code = run.process_all(names)
    except KeyboardInterrupt:
        code = EXIT_INTERRUPTED
    except BaseException:
        import traceback  # only here: it takes milliseconds to import

        traceback.print_exc()
    finally:
        sys.stderr.flush()
        # No clean-up of the parent's: its buffers and exit handlers are not ours.
        os._exit(code)


def _finish_worker(pid: int, spool: IO[bytes], out: IO[str]) -> int:
    """Waits for a worker, copies its output after what is written so far and
    returns its exit status."""
    _, wait_status = os.waitpid(pid, 0)
    code = os.waitstatus_to_exitcode(wait_status)
    if code == EXIT_INTERRUPTED:
        raise KeyboardInterrupt
    out.flush()
    with spool:
        spool.seek(0)
        shutil.copyfileobj(spool, out.buffer, 1 << 20)  # type: ignore[attr-defined]
    if code < 0:
        print(f"quillet: a worker process was killed by signal {-code}; its output is cut short",
              file=sys.stderr)
        return EXIT_FILE
    return code


def _stop_worker(pid: int) -> None:
    try:
        os.kill(pid, signal.SIGKILL)
        os.waitpid(pid, 0)
    except (ProcessLookupError, ChildProcessError):
        pass


def main(argv: Optional[Sequence[str]] = None) -> int:
    """The console script: runs the command with `argv` (sys.argv[1:] when
    None) and returns its exit status."""
    try:
        return _main(argv)
    except KeyboardInterrupt:
        return EXIT_INTERRUPTED


__all__: List[str] = ["main"]
