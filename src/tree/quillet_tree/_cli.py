"""quillet: query markup files with CSS selectors from the command line.

    quillet SELECTOR [FILE ...]      each match as markup, one per line
    quillet -t SELECTOR [FILE ...]   each match's visible text
    quillet 'a[href]' page.html -a href
    quillet --remove script --strip-comments page.html   the page, cut
    quillet --explain page.html      the tag-like texts that stayed text, and why

Options go anywhere among the SELECTOR and the FILEs; after `--`, every
argument is the SELECTOR or a FILE. Files are read as bytes and decoded as
quillet_tree.decode does; no FILE, or `-`, reads standard input. Output is
UTF-8, but for an edited page, which is written in the encoding it was read
in when that gives its bytes back (see _Run.write_edit). A FILE must be a
regular file or a pipe of at most --max-size bytes (256 MiB by default);
others are refused with a message, and the next file is read. Every failure
is a message and an exit status, never a traceback.
"""
from __future__ import annotations

import argparse
import errno
import gc
import os
import re
import shutil
import signal
import stat
import sys
import tempfile
from types import FrameType
from typing import IO, TYPE_CHECKING, Any, Callable, Dict, List, NoReturn, Optional, Sequence, Tuple

import quillet
import quillet_tree
from quillet_tree import _encoding, _native, _text

if TYPE_CHECKING:
    from quillet import Element

_TAG, _ID, _CLASSES, _STYLE, _IS_SELF_CLOSING, _CHILDREN = _native.ELEMENT_KEYS
_FIXED = frozenset(_native.ELEMENT_KEYS)
# Tabs and line breaks inside one value would split its line.
_BREAKS = re.compile(r"[\t\n\r\f\v]+")

EXIT_OK, EXIT_FILE, EXIT_USAGE, EXIT_INTERRUPTED, EXIT_PIPE = 0, 1, 2, 130, 141
# The signals that stop the command, with exit status 128 + the signal's
# number: 129 for SIGHUP, 130 for SIGINT (Ctrl-C), 143 for SIGTERM.
_STOPS = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)
# Files and standard input larger than this are refused, unless --max-size says otherwise.
DEFAULT_MAX_SIZE = 256 << 20
_UNITS = {"": 0, "k": 10, "m": 20, "g": 30, "t": 40}
_SIZE = re.compile(r"([0-9]{1,15})\s*(?:([kmgt])(?:i?b)?|b)?", re.ASCII | re.IGNORECASE)


class _Parser(argparse.ArgumentParser):
    """argparse's parser, but a failure to write the help is an OSError
    (argparse drops it and exits 0). `outputs`: the options that say what is
    printed, by dest, in the order they are declared."""

    outputs: Dict[str, argparse.Action]

    def print_help(self, file: Any = None) -> None:
        _write_out(self.format_help(), file)


class _Version(argparse.Action):
    def __call__(self, parser: argparse.ArgumentParser, namespace: argparse.Namespace,
                 values: Any, option_string: Optional[str] = None) -> None:
        _write_out(f"quillet {quillet_tree.__version__}\n")
        parser.exit()


def _write_out(text: str, file: Any = None) -> None:
    """Writes `text` to `file`, by default standard output, and flushes it;
    OSError when it cannot."""
    file = file or sys.stdout
    if file is None:
        raise OSError(errno.EBADF, os.strerror(errno.EBADF))
    file.write(text)
    file.flush()


def _parser() -> _Parser:
    parser = _Parser(
        prog="quillet", description="Print the elements of markup files that match a CSS selector.",
        epilog="Options may stand anywhere among the SELECTOR and the FILEs; after --, every "
               "argument is the SELECTOR or a FILE. "
               "Exit status: 0 when every file was read, 1 when one could not be (or was refused) "
               "or the output could not be written, 2 for a bad selector or option, 141 when the "
               "output pipe was closed, 130 on Ctrl-C (SIGINT), 143 on SIGTERM, 129 on SIGHUP.")
    parser.add_argument("selector", metavar="SELECTOR", nargs="?",
                        help="a CSS selector (left out with --tree, --remove, --strip-comments "
                             "and --explain)")
    parser.add_argument("files", metavar="FILE", nargs="*",
                        help="files to read; standard input when none is given, or for -")
    outputs = [
        parser.add_argument("-t", "--text", action="store_true",
                            help="print each match's visible text, whitespace collapsed"),
        parser.add_argument("-a", "--attr", "--attribute", metavar="NAME", action="append",
                            help="print the value of attribute NAME (repeatable: values "
                                 "tab-separated); with --json, the attributes it holds"),
        parser.add_argument("--json", action="store_true",
                            help="print each match as a JSON object: tag, line, attributes, "
                                 "text (and file first, when several files are given)"),
        parser.add_argument("-f", "--field", metavar="NAME=SELECTOR[@ATTR]", type=_field,
                            action="append",
                            help="print each match as a JSON object of fields (repeatable, in "
                                 "order): NAME holds the visible text of the first element at "
                                 "or under the match that matches SELECTOR, or its attribute "
                                 "ATTR (null for none)"),
        parser.add_argument("-c", "--count", action="store_true",
                            help="print the number of matches"),
        parser.add_argument("--tree", action="store_true",
                            help="print the whole tree of each file as JSON (no SELECTOR)"),
        parser.add_argument("--remove", metavar="SELECTOR", action="append",
                            help="print the page with the elements that match SELECTOR cut "
                                 "out of its text, all else as it was (repeatable; one FILE)"),
        parser.add_argument("--strip-comments", action="store_true",
                            help="print the page with its comments cut out (with --remove too)"),
        parser.add_argument("--explain", action="store_true",
                            help="print FILE:LINE:COL: and why, for each tag-like text that "
                                 "stayed text (no SELECTOR)"),
        parser.add_argument("-1", "--first", action="store_true",
                            help="only the first match of each file"),
    ]
    parser.outputs = {action.dest: action for action in outputs}
    parser.add_argument("--no-filename", action="store_true",
                        help="leave out the file names: before the lines of -t, -a, -c (several "
                             "files) and --explain, and the \"file\" of --json and --tree")
    parser.add_argument("-j", "--jobs", metavar="N", type=int,
                        help="processes to share the files among (default: one per core; "
                             "standard input is always read by one)")
    parser.add_argument("--encoding", metavar="LABEL",
                        help="decode the files with this encoding instead of detecting it")
    parser.add_argument("--max-size", metavar="SIZE", type=_size, default=DEFAULT_MAX_SIZE,
                        help="refuse files, and standard input, larger than SIZE bytes "
                             "(K, M or G for KiB, MiB or GiB; default 256M)")
    parser.add_argument("--version", action=_Version, nargs=0,
                        help="show the version number and exit")
    return parser


# The output options that may be given together; any other two may not.
_TOGETHER = {frozenset(pair) for pair in (
    ("attr", "json"), ("remove", "strip_comments"), ("field", "json"),
    ("first", "text"), ("first", "attr"), ("first", "json"), ("first", "count"),
    ("first", "field"))}
# What prints a page rather than its matches, and reads no SELECTOR.
_EDITS = ("remove", "strip_comments")
_NO_SELECTOR = ("tree", "explain") + _EDITS


def _parse(parser: _Parser, argv: Optional[Sequence[str]]) -> argparse.Namespace:
    """The options of `argv`, the positionals sorted out: SELECTOR when one
    is read, then FILEs. Options may stand anywhere. Arguments after the
    first `--` are all positionals: they are split off here, since what
    argparse's intermixed parsing makes of `--` differs between Python
    versions."""
    args = list(sys.argv[1:] if argv is None else argv)
    rest: List[str] = []
    if "--" in args:
        cut = args.index("--")
        args, rest = args[:cut], args[cut + 1:]
    options = parser.parse_intermixed_args(args)
    given = [name for name, action in parser.outputs.items() if getattr(options, name)]
    for i, name in enumerate(given):
        for other in given[i + 1:]:
            if frozenset((name, other)) not in _TOGETHER:
                parser.error(f"argument {_shown(parser.outputs[other])}: not allowed with "
                             f"argument {_shown(parser.outputs[name])}")
    if options.field:
        options.json = True
    positionals = [options.selector] * (options.selector is not None) + options.files + rest
    if any(name in _NO_SELECTOR for name in given):
        options.selector, options.files = None, positionals
    elif not positionals:
        parser.error("a SELECTOR is needed (or --tree, --remove, --strip-comments, --explain)")
    else:
        options.selector, options.files = positionals[0], positionals[1:]
    options.edit = any(name in _EDITS for name in given)
    if options.edit and len(options.files) > 1:
        parser.error("--remove and --strip-comments edit one page: give one FILE (run the "
                     "command once for each file)")
    return options


def _shown(action: argparse.Action) -> str:
    return "/".join(action.option_strings)


def _size(text: str) -> int:
    """--max-size: a number of bytes, or of KiB, MiB, GiB or TiB (10M, 512k, 2GiB)."""
    match = _SIZE.fullmatch(text.strip())
    if match is None:
        raise argparse.ArgumentTypeError(f"{text[:40]!r} is no size (a number of bytes, or "
                                         "one followed by K, M or G: 10M)")
    return int(match.group(1)) << _UNITS[(match.group(2) or "").lower()]


def _size_text(size: int) -> str:
    for unit, shift in (("GiB", 30), ("MiB", 20), ("KiB", 10)):
        if size >= 1 << shift and size % (1 << shift) == 0:
            return f"{size >> shift} {unit}"
    return f"{size} bytes" if size != 1 else "1 byte"


def _say(message: str) -> None:
    """Writes "quillet: message" to standard error, when there is one to write to."""
    stream = sys.stderr
    if stream is None:
        return
    try:
        stream.write(f"quillet: {message}\n")
        stream.flush()
    except (OSError, ValueError):
        # What stays buffered would fail again at exit and change the status.
        _silence(2)


def _silence(fd: int) -> None:
    """Points descriptor `fd` at the null device: what is still buffered for
    it is then written without error when the interpreter exits."""
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
    except OSError:
        return
    if devnull != fd:
        try:
            os.dup2(devnull, fd)
        except OSError:
            pass
        os.close(devnull)


def _reason(error: OSError) -> str:
    return error.strerror or str(error)


class _Refused(Exception):
    """A file that is not read: why, as its message says."""


def _read_bounded(file: IO[bytes], limit: int, is_stdin: bool) -> bytes:
    """The bytes of an unbuffered binary file, at most `limit` of them;
    _Refused when there are more, or when a FILE is neither a regular file
    nor a pipe. Standard input may be anything the shell opened (`< /dev/null`
    is a common way to say "nothing"): the limit bounds what is read from it.
    Neither a sparse file nor a device is ever read whole."""
    fd = file.fileno()
    info = os.fstat(fd)
    mode = info.st_mode
    expected = 0
    if stat.S_ISREG(mode):
        expected = info.st_size - (file.tell() if is_stdin else 0)
    elif not (stat.S_ISFIFO(mode) or is_stdin):
        raise _Refused("not a regular file or a pipe")
    too_big = _Refused(f"larger than {_size_text(limit)} (--max-size)")
    if expected > limit:
        raise too_big
    chunks: List[bytes] = []
    total = 0
    # A regular file in one read (and one that finds its end); a pipe in
    # blocks of the size a pipe holds.
    want = expected + 1 if expected else 1 << 16
    while True:
        chunk = file.read(min(want, limit + 1 - total))
        if not chunk:
            break
        chunks.append(chunk)
        total += len(chunk)
        if total > limit:
            raise too_big
        want = 1 << 16
    return chunks[0] if len(chunks) == 1 else b"".join(chunks)


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
        # Whether lines and objects name their file.
        self.named = len(options.files) > 1 and not options.no_filename
        # What standard input gave: its bytes, or why it could not be read.
        self.stdin_data: Optional[bytes] = None
        self.stdin_failure: Optional[str] = None

    def read(self, name: str) -> Optional[bytes]:
        """The bytes of file `name` ("-": standard input), or None when they
        cannot be had, the reason reported."""
        if name == "-":
            if self.stdin_data is None and self.stdin_failure is None:
                self.stdin_data, self.stdin_failure = self.read_file(None)
            failure, shown = self.stdin_failure, "standard input"
            data = self.stdin_data
        else:
            data, failure = self.read_file(name)
            shown = name
        if failure is not None:
            _say(f"{shown}: {failure}")
            self.status = EXIT_FILE
        return data

    def read_file(self, name: Optional[str]) -> Tuple[Optional[bytes], Optional[str]]:
        """(bytes, None) or (None, why not) for file `name`, None for standard input."""
        limit = self.options.max_size
        try:
            if name is None:
                if sys.stdin is None:
                    raise OSError(errno.EBADF, os.strerror(errno.EBADF))
                with open(sys.stdin.fileno(), "rb", buffering=0, closefd=False) as file:
                    return _read_bounded(file, limit, is_stdin=True), None
            with open(name, "rb", buffering=0) as file:
                return _read_bounded(file, limit, is_stdin=False), None
        except _Refused as refusal:
            return None, str(refusal)
        except OSError as error:
            return None, _reason(error)
        except ValueError as error:  # a name holding NUL, a closed sys.stdin
            return None, str(error)
        except MemoryError:
            return None, "out of memory"

    def process(self, name: str) -> None:
        data = self.read(name)
        if data is None:
            return
        try:
            self.write_matches(name, data)
        except MemoryError:
            _say(f"{name if name != '-' else 'standard input'}: out of memory")
            self.status = EXIT_FILE

    def write_matches(self, name: str, data: bytes) -> None:
        options, label = self.options, name if name != "-" else "<stdin>"
        if options.edit:
            self.write_edit(name, data)
            return
        text = quillet_tree.decode(data, options.encoding)
        # Line numbers and the texts that stayed text come from a Source,
        # which costs more than parse alone.
        source = quillet_tree.Source(text) if options.json or options.explain else None
        tree = quillet.parse(text) if source is None else source.tree
        if options.tree:
            json = quillet_tree.to_json(tree, ensure_ascii=False)
            if self.named:
                json = f'{{"file": {quillet_tree.to_json(label, ensure_ascii=False)}, "tree": {json}}}'
            self.out.write(json + "\n")
            return
        if options.explain:
            assert source is not None
            head = "" if options.no_filename else f"{label}:"
            self.out.writelines(f"{head}{row.line}:{row.column}: {_one_line(row.markup)} stayed "
                                f"text: {row.reason}\n" for row in source.explain())
            return
        assert self.selector is not None
        if options.first:
            first = self.selector.select_one(tree)
            matches = [] if first is None else [first]
        else:
            matches = self.selector.select(tree)
        if options.count:
            count = str(len(matches))
            self.out.write(f"{label}\t{count}\n" if self.named else count + "\n")
            return
        if matches:
            self.out.write("\n".join(map(self.formatter(label, source), matches)))
            self.out.write("\n")

    def write_edit(self, name: str, data: bytes) -> None:
        """Writes the page with the elements of --remove, and with
        --strip-comments its comments, cut out of its text. It is written in
        the encoding it was read in when that gives the page's bytes back
        (so that an edit that cuts nothing is the file itself), otherwise
        in UTF-8, with a message."""
        options = self.options
        text, encode = _encoding.decode_reversibly(data, options.encoding)
        edited = quillet_tree.Source(text).remove(*options.remove or (),
                                                  comments=options.strip_comments)
        out: Optional[bytes] = None
        if encode is not None:
            try:
                out = encode(edited)
            except UnicodeError:  # not expected: the edit holds only the page's characters
                pass
        if out is None:
            _say(f"{name if name != '-' else 'standard input'}: written as UTF-8: its own "
                 "encoding does not give its bytes back")
            out = edited.encode("utf-8", "replace")
        self.out.flush()
        self.out.buffer.write(out)  # type: ignore[attr-defined]

    def process_all(self, names: Sequence[str]) -> int:
        for name in names:
            self.process(name)
        self.out.flush()
        return self.status

    def formatter(self, label: str, source: Optional[quillet_tree.Source]
                  ) -> Callable[["Element"], str]:
        """What writes a match as its line; `source`, for --json, the page's."""
        options = self.options
        if options.json:
            assert source is not None
            return _json_writer(source, options.attr, {"file": label} if self.named else {},
                                options.field or [])
        if not (options.text or options.attr):
            # Trees that parse made always read back as themselves: no need
            # for the check quillet_tree.to_markup makes. Markup may run over
            # several lines: it is never preceded by its file's name.
            return _native.to_markup
        line = _text_line if options.text else _attribute_line(options.attr)
        if not self.named:
            return line
        head = label + "\t"
        return lambda match: head + line(match)


def _text_line(match: "Element") -> str:
    return quillet_tree.text(match, " ", visible=True)


def _attribute_line(names: List[str]) -> Callable[["Element"], str]:
    """What writes the values of attributes `names`, tab-separated."""
    getters = [_getter(name) for name in names]
    if len(getters) == 1:
        get = getters[0]
        return lambda match: _one_line(get(match))
    return lambda match: "\t".join([_one_line(get(match)) for get in getters])


# A field of --field: its name, the selector of the element it reads, and
# the attribute it reads (None: the element's visible text).
_Field = Tuple[str, "quillet_tree.Selector", Optional[str]]


def _field(text: str) -> _Field:
    """--field: NAME=SELECTOR, or NAME=SELECTOR@ATTR."""
    name, equals, rest = text.partition("=")
    selector, at, attribute = rest.rpartition("@") if "@" in rest else (rest, "", "")
    if not (name and equals and selector.strip()) or (at and not attribute):
        raise argparse.ArgumentTypeError(f"{text[:60]!r} is no field: NAME=SELECTOR or "
                                         "NAME=SELECTOR@ATTR (title=title, link=link@href)")
    try:
        return name, quillet_tree.compile(selector), attribute or None
    except quillet_tree.SelectorError as error:
        raise argparse.ArgumentTypeError(f"{text[:60]!r}: {error}") from None


def _field_value(match: "Element", field: _Field) -> Optional[str]:
    _, selector, attribute = field
    found = selector.select_one(match)
    if found is None:
        return None
    if attribute is None:
        return quillet_tree.text(found, " ", visible=True)
    if attribute in ("class", _ID, _STYLE) or isinstance(found.get(attribute), str):
        return _getter(attribute)(found)
    return None


def _json_writer(source: quillet_tree.Source, names: Optional[List[str]],
                 head: Dict[str, str], fields: List[_Field]) -> Callable[["Element"], str]:
    """What writes a match of `source` as a JSON object: `head`, then its
    tag, the line of its start tag, its attributes (with -a, those named,
    null for one it lacks) and its visible text; with --field, `head` and
    the fields alone."""
    if fields:
        def write_fields(match: "Element") -> str:
            return quillet_tree.to_json(
                {**head, **{field[0]: _field_value(match, field) for field in fields}},
                ensure_ascii=False)
        return write_fields

    def write(match: "Element") -> str:
        found = _attributes(match)
        values: Dict[str, Optional[str]] = {name: found.get(name) for name in names} \
            if names else dict(found)
        line, _ = source.location(match)
        return quillet_tree.to_json(
            {**head, "tag": match.get(_TAG), "line": line, "attributes": values,
             "text": quillet_tree.text(match, " ", visible=True)}, ensure_ascii=False)
    return write


def _main(argv: Optional[Sequence[str]]) -> int:
    parser = _parser()
    options = _parse(parser, argv)
    if options.encoding is not None:
        try:
            quillet_tree.decode(b"", options.encoding)
        except LookupError as error:
            parser.error(str(error))
    selector = None
    try:
        # Each selector read before any file is, so that a bad one is found
        # first.
        for pattern in options.remove or ():
            quillet_tree.compile(pattern)
        if options.selector is not None:
            selector = quillet_tree.compile(options.selector)
    except quillet_tree.SelectorError as error:
        parser.exit(EXIT_USAGE, f"quillet: invalid selector: {error}\n")
    try:
        if sys.stdout is None:  # closed when the command started
            raise OSError(errno.EBADF, os.strerror(errno.EBADF))
        # Line by line to a terminal, in large blocks to a pipe or file.
        out = open(sys.stdout.fileno(), "w", encoding="utf-8", errors="replace", newline="\n",
                   closefd=False, buffering=1 if sys.stdout.isatty() else 1 << 16)
    except (OSError, ValueError) as error:
        _say(f"standard output: {_reason(error) if isinstance(error, OSError) else error}")
        return EXIT_FILE
    run = _Run(options, out)
    run.selector = selector
    # The trees hold no cycles and live one file long: the cyclic collector
    # would only walk them again and again.
    gc.disable()
    workers = _Workers()
    try:
        shares = _shares(options.files or ["-"], options.jobs, options.max_size)
        for share in shares[1:]:
            workers.start(run, share)
        status = run.process_all(shares[0])
        for worker in workers:
            status = max(status, workers.finish(worker, run))
        return status
    except BrokenPipeError:
        # The reader went away (`| head`): stop quietly, and keep the
        # interpreter from failing to flush at exit.
        _silence(out.fileno())
        return EXIT_PIPE
    except OSError as error:
        # Reading reports its own errors: this one is writing's (a full
        # disk, a closed descriptor).
        _silence(out.fileno())
        _say(f"standard output: {_reason(error)}")
        return EXIT_FILE
    finally:
        workers.stop_all()


# Below this many bytes in all, the files are read by one process: starting
# another costs more than it saves.
_PARALLEL_BYTES = 1 << 20


def _shares(names: List[str], jobs: Optional[int], limit: int) -> List[List[str]]:
    """The files cut into runs of about equal size, one per process, in
    order; the first is this process's. One run when the files are few or
    small, when standard input is among them or when processes cannot be
    forked. Files that will be refused weigh nothing."""
    if jobs is None:
        jobs = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else 1
    jobs = min(jobs, len(names))
    if jobs < 2 or "-" in names or not hasattr(os, "fork"):
        return [names]
    sizes = []
    for name in names:
        try:
            info = os.stat(name)
        except (OSError, ValueError):
            sizes.append(0)  # reported when it is read
            continue
        size = info.st_size if stat.S_ISREG(info.st_mode) else 0
        sizes.append(size if size <= limit else 0)
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


# Stopping: SIGINT, SIGTERM and SIGHUP end the command with status 128 + N,
# whichever of its processes gets the signal. In the command's own process
# the signal raises _Stopped, which kills and reaps every worker on its way
# out; a worker passes the signal on to the command's process and exits.

class _Stopped(BaseException):
    """A stop signal came (BaseException: no `except Exception` holds it up)."""

    def __init__(self, signum: int) -> None:
        super().__init__(signum)
        self.signum = signum


def _on_stop(signum: int, frame: Optional[FrameType]) -> None:
    # The first signal wins: the way out, which kills the workers, is not
    # cut short by a second one.
    for other in _STOPS:
        if signal.getsignal(other) is _on_stop:
            signal.signal(other, signal.SIG_IGN)
    raise _Stopped(signum)


def _catch_stops() -> Dict[int, Any]:
    """Installs _on_stop for the stop signals, leaving those that were
    ignored ignored (nohup's SIGHUP, the SIGINT of a job started in the
    background); returns the handlers it replaced."""
    replaced: Dict[int, Any] = {}
    for signum in _STOPS:
        try:
            handler = signal.getsignal(signum)
            if handler != signal.SIG_IGN:
                signal.signal(signum, _on_stop)
                replaced[signum] = handler
        except (ValueError, OSError):  # not the main thread
            break
    return replaced


class _Blocked:
    """Holds the stop signals back (they wait, not lost) for the time of a
    `with`, so that a step that must be whole (fork and record the worker,
    reap and forget it) is not cut in two."""

    def __enter__(self) -> None:
        self.mask = signal.pthread_sigmask(signal.SIG_BLOCK, _STOPS) \
            if hasattr(signal, "pthread_sigmask") else None

    def __exit__(self, *exc: object) -> None:
        if self.mask is not None:
            # A signal that waited is handled here.
            signal.pthread_sigmask(signal.SIG_SETMASK, self.mask)


class _Worker:
    """A share of the files and the process that reads them: pid None once
    it is reaped, or when none could be started (the files are then read by
    the command's own process); spool, the file its output goes to."""

    def __init__(self, names: List[str]) -> None:
        self.names = names
        self.pid: Optional[int] = None
        self.spool: Optional[IO[bytes]] = None


class _Workers(List[_Worker]):
    """The command's workers, in the order of their shares."""

    def start(self, run: _Run, names: List[str]) -> None:
        """Forks a process that writes the output of `names` to a spool file
        (unnamed, in the temporary folder), for this process to copy out in
        turn; its messages go to standard error as they come. When no spool
        file or process can be had, the files are left to this process."""
        worker = _Worker(names)
        try:
            spool = tempfile.TemporaryFile()
        except OSError:
            self.append(worker)
            return
        run.out.flush()
        if sys.stderr is not None:
            sys.stderr.flush()
        parent = os.getpid()
        with _Blocked():
            try:
                pid = os.fork()
            except OSError:
                spool.close()
                self.append(worker)
                return
            if pid == 0:
                _work(run, names, spool, parent)
            worker.pid, worker.spool = pid, spool
            self.append(worker)

    def finish(self, worker: _Worker, run: _Run) -> int:
        """Waits for a worker, copies its output after what is written so far
        and returns its exit status."""
        if worker.spool is None:
            return run.process_all(worker.names)
        pid = worker.pid
        assert pid is not None
        if hasattr(os, "waitid"):
            # Waits without reaping: should a signal end the wait, the worker
            # is still there, on the list, for stop_all to reap.
            os.waitid(os.P_PID, pid, os.WEXITED | os.WNOWAIT)
        with _Blocked():
            _, wait_status = os.waitpid(pid, 0)
            worker.pid = None
        code = os.waitstatus_to_exitcode(wait_status)
        if code - 128 in _STOPS:
            # Stopped by a signal, which it passed on: in case that one is lost.
            raise _Stopped(code - 128)
        run.out.flush()
        with worker.spool as spool:
            spool.seek(0)
            shutil.copyfileobj(spool, run.out.buffer, 1 << 20)  # type: ignore[attr-defined]
        if code < 0:
            _say(f"a worker process was killed by signal {-code}; its output is cut short")
            return EXIT_FILE
        return code

    def stop_all(self) -> None:
        """Kills and reaps every worker still running."""
        with _Blocked():
            for worker in self:
                if worker.pid is not None:
                    try:
                        os.kill(worker.pid, signal.SIGKILL)
                        os.waitpid(worker.pid, 0)
                    except (ProcessLookupError, ChildProcessError):
                        pass
                    worker.pid = None


def _work(run: _Run, names: List[str], spool: IO[bytes], parent: int) -> NoReturn:
    """A worker's life, in the child of fork (the stop signals held back):
    reads `names` with its output to `spool`, and exits."""
    def stop(signum: int, frame: Optional[FrameType]) -> None:
        # The command stops as a whole: its process is told, and kills the
        # other workers. (No pid is signalled once this one is orphaned.)
        if os.getppid() == parent:
            os.kill(parent, signum)
        os._exit(128 + signum)

    for signum in _STOPS:
        if signal.getsignal(signum) is _on_stop:
            signal.signal(signum, stop)
    code = EXIT_FILE
    try:
        signal.pthread_sigmask(signal.SIG_UNBLOCK, _STOPS)
        run.out = open(spool.fileno(), "w", encoding="utf-8", errors="replace", newline="\n",
                       closefd=False, buffering=1 << 16)
        code = run.process_all(names)
    except KeyboardInterrupt:  # SIGINT, when a caller's own handler raises it
        code = EXIT_INTERRUPTED
    except OSError as error:
        _say(f"a temporary file: {_reason(error)}")
    except BaseException:
        import traceback  # only here: it takes milliseconds to import

        traceback.print_exc()
    finally:
        # No clean-up of the parent's: its buffers and exit handlers are
        # not ours. (Nothing but this call here: a signal could raise in
        # any other.)
        os._exit(code)


def main(argv: Optional[Sequence[str]] = None) -> int:
    """The console script: runs the command with `argv` (sys.argv[1:] when
    None) and returns its exit status."""
    replaced = _catch_stops()
    try:
        try:
            status = _main(argv)
        except SystemExit as done:  # argparse: --help, --version, a usage error
            status = done.code if isinstance(done.code, int) else EXIT_USAGE
        except OSError as error:
            # _main reports its own: this is the help's or the version's.
            _silence(1)
            _say(f"standard output: {_reason(error)}")
            status = EXIT_FILE
        for signum, handler in replaced.items():
            signal.signal(signum, handler if handler is not None else signal.SIG_DFL)
    except _Stopped as stop:
        # The stop signals stay ignored: the process is on its way out.
        status = 128 + stop.signum
    except KeyboardInterrupt:
        status = EXIT_INTERRUPTED
    return status


__all__: List[str] = ["main"]
