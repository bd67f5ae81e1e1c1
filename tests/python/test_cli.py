"""The installed `quillet` command, run in a subprocess: its output against
the library's own functions and the tree's own values, its exit statuses and
messages, a closed pipe, and signals to each of its processes."""
import html
import json
import os
import pathlib
import re
import resource
import shutil
import signal
import subprocess
import sys
import time

import pytest

import quillet
import quillet_tree as qt
from encoded_pages import CASES as ENCODED_PAGES
from tree_checks import ref_walk

SAMPLE = pathlib.Path(__file__).resolve().parents[2] / "examples" / "sample.html"
SCRIPT = pathlib.Path(sys.executable).parent / "quillet"
COMMAND = [str(SCRIPT)] if SCRIPT.exists() else [shutil.which("quillet") or "quillet"]
STOPS = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)


def default_signals():
    """In the child before it runs the command: the stop signals handled by
    default, whatever this process inherited (an ignored SIGINT, say)."""
    for signum in STOPS:
        signal.signal(signum, signal.SIG_DFL)


def run(*args, stdin=b"", stdout=None, module=False, memory=None, cwd=None, raw=False):
    """(status, stdout, stderr) of the command. `stdin`: bytes to feed, a
    path to read from, or None for a closed descriptor; `stdout`: None to
    capture, "closed", or a path to write to; `memory`: a cap on the address
    space, in bytes; `cwd`: the folder it runs in; `raw`: stdout as bytes."""
    command = [sys.executable, "-m", "quillet_tree"] if module else COMMAND
    closed = [0] * (stdin is None) + [1] * (stdout == "closed")

    def setup():
        default_signals()
        for fd in closed:
            os.close(fd)
        if memory is not None:
            resource.setrlimit(resource.RLIMIT_AS, (memory, memory))

    with open(stdin if isinstance(stdin, (str, pathlib.Path)) else os.devnull, "rb") as source, \
            open(stdout if stdout not in (None, "closed") else os.devnull, "wb") as sink:
        child = subprocess.Popen([*command, *map(str, args)], preexec_fn=setup,
                                 stdin=subprocess.PIPE if isinstance(stdin, bytes) else source,
                                 stdout=subprocess.PIPE if stdout is None else sink,
                                 stderr=subprocess.PIPE, cwd=cwd)
        out, err = child.communicate(stdin if isinstance(stdin, bytes) else None, timeout=120)
    out = out or b""
    return child.returncode, out if raw else out.decode("utf-8"), err.decode("utf-8")


def matches(selector, path=SAMPLE):
    return qt.select(qt.parse_file(path), selector)


def attributes(match):
    # The class attribute is the classes joined; an element without one has [""].
    values = qt.unescape_attributes(match)
    return "\t".join([values.get("href", ""), " ".join(values["classes"]), values.get("title", "")])


# Every way -a can meet a value: id, class (one entry empty, one replaced by
# an attribute named classes) and style, each with a reference; attributes
# with a reference, a tab and a line break; missing ones; the tree's other
# own keys, which an attribute of that name replaces.
ATTRIBUTE_PAGE = ('<div id="d&amp;1" class=" a  b&lt;" style="color:&#x72;ed" title="t&#9;i\nx">'
                  '<a href="/x?a=1&amp;b=2&copy" class="c">x</a><p classes="q" tag="z">y</p>'
                  '<i is_self_closing="yes" data-n="">z</i></div>')


def attribute_line(element, names):
    """What -a prints for an element, from the tree dict: the values,
    references decoded by html.unescape, tabs and line breaks as spaces."""
    values = []
    for name in names:
        value = element.get(name)
        if name == "class":
            classes = element["classes"]
            value = " ".join(classes) if isinstance(classes, list) else ""
        elif name in ("tag", "classes", "is_self_closing", "children"):
            value = ""
        value = html.unescape(value) if isinstance(value, str) else ""
        values.append(re.sub(r"[\t\n\r\f\v]+", " ", value))
    return "\t".join(values)


@pytest.mark.parametrize("names", [
    ("id",), ("class",), ("style",), ("href",), ("title",), ("data-n",), ("missing",), ("tag",),
    ("classes",), ("is_self_closing",), ("children",), ("id", "class", "missing", "href"),
])
def test_each_attribute_is_the_trees_value(names):
    elements = [node for _, node in ref_walk(quillet.parse(ATTRIBUTE_PAGE)) if type(node) is dict]
    options = [part for name in names for part in ("-a", name)]
    status, out, err = run(*options, "*", stdin=ATTRIBUTE_PAGE.encode())
    assert (status, err) == (0, "")
    assert out.split("\n") == [attribute_line(element, names) for element in elements] + [""]


@pytest.mark.parametrize("options, line", [
    ((), qt.to_markup),
    (("-t",), lambda match: qt.text(match, visible=True)),
    (("-a", "href", "-a", "class", "-a", "title"), attributes),
])
def test_lines_are_the_librarys_answers(options, line):
    expected = [line(match) for match in matches("li a, a.logo")]
    status, out, err = run(*options, "li a, a.logo", SAMPLE)
    assert (status, err) == (0, "") and out.splitlines() == expected


# Each set of arguments against the same in the usual order: options may
# stand anywhere, and after "--" every argument is the SELECTOR or a FILE.
@pytest.mark.parametrize("args, usual", [
    (("li a", "-a", "href", SAMPLE), ("-a", "href", "li a", SAMPLE)),
    (("li a", SAMPLE, "--attribute", "href", "-1"), ("-1", "-a", "href", "li a", SAMPLE)),
    ((SAMPLE, "--tree"), ("--tree", SAMPLE)),
    (("p", "--", "-t"), ("p", "./-t")),
    (("--", "p", "-t", "--"), ("p", "./-t", "./--")),
    (("--tree", "--", "-t"), ("--tree", "./-t")),
])
def test_options_stand_anywhere(tmp_path, args, usual):
    for name in ("-t", "--"):
        shutil.copy(SAMPLE, tmp_path / name)
    got, expected = run(*args, cwd=tmp_path), run(*usual, cwd=tmp_path)
    assert got == expected and expected[0] == 0 and expected[1]


# (options, what a line holds for a match, whether it begins with its file's name)
@pytest.mark.parametrize("options, line, named", [
    (("-t",), lambda match: qt.text(match, visible=True), True),
    (("-a", "href", "-a", "class", "-a", "title"), attributes, True),
    ((), qt.to_markup, False),
])
@pytest.mark.parametrize("no_filename", [(), ("--no-filename",)])
def test_several_files_name_theirs(options, line, named, no_filename):
    status, out, err = run(*options, *no_filename, "li a, a.logo", SAMPLE, "-",
                           stdin=SAMPLE.read_bytes())
    heads = [f"{name}\t" if named and not no_filename else "" for name in (SAMPLE, "<stdin>")]
    assert (status, err) == (0, "")
    assert out.splitlines() == [head + line(match) for head in heads
                                for match in matches("li a, a.logo")]


def test_no_filename_drops_the_name_of_counts_objects_and_trees():
    for options in (("-c", "p"), ("--json", "p"), ("--tree",)):
        alone = run(*options, SAMPLE)[1]
        assert run("--no-filename", *options, SAMPLE, SAMPLE)[1] == alone * 2


@pytest.mark.parametrize("page, lines", [
    ("\n<p>a</p>\r\n<p>b<p>c</p>\n</p><p>d</p>", [2, 3, 3, 4]),
    ("\r\r<p>a</p>\r\n\n<p>b</p>", [3, 5]),
    ("<p>é\u2028\x85</p>\f<p>\n</p>", [1, 1]),  # only LF, CR LF and CR end a line
])
def test_json_line_is_the_start_tags(page, lines):
    status, out, _ = run("--json", "p", stdin=page.encode())
    assert status == 0 and [json.loads(o)["line"] for o in out.split("\n")[:-1]] == lines


def test_attributes_with_json_are_those_named():
    names = ["title", "class", "missing", "id", "data-n", "tag"]
    full, some = (run("--json", *options, "*", stdin=ATTRIBUTE_PAGE.encode())[1].splitlines()
                  for options in ((), [part for name in names for part in ("-a", name)]))
    assert len(full) == len(some) == 4
    for whole, part in zip(map(json.loads, full), map(json.loads, some)):
        chosen = {name: whole["attributes"].get(name) for name in names}
        assert part == {**whole, "attributes": chosen} and list(part["attributes"]) == names


def test_fields_are_what_select_one_finds_at_or_under_each_match():
    feed = ('<rss><item><title>One &amp; two</title><link>/1</link></item>\n'
            '<item><link href="/2" rel="x"/><b><title>Deep</title></b></item></rss>')
    status, out, _ = run("item", "-f", "title=title", "-f", "url=link", "-f", "href=link@href",
                         "-f", "rel=link[rel]@rel", "-f", "none=p", stdin=feed.encode())
    tree = quillet.parse(feed)
    want = []
    for item in qt.select(tree, "item"):
        title, link = qt.select_one(item, "title"), qt.select_one(item, "link")
        want.append({"title": qt.text(title, visible=True), "url": qt.text(link, visible=True),
                     "href": link.get("href"), "rel": link.get("rel"), "none": None})
    assert status == 0 and [json.loads(line) for line in out.splitlines()] == want
    assert list(json.loads(out.splitlines()[0])) == ["title", "url", "href", "rel", "none"]


@pytest.mark.parametrize("page", ENCODED_PAGES, ids=[page.name for page in ENCODED_PAGES])
def test_an_edit_is_written_in_the_pages_encoding(tmp_path, page):
    path = tmp_path / "page.html"
    path.write_bytes(page.data)
    assert run("--remove", "nav", path, raw=True) == (0, page.data, "")
    codec = "utf-16-le" if page.data.startswith(b"\xff\xfe") else "ascii"
    before, rest = page.data.split("<h1>".encode(codec))
    after = rest.split("</h1>".encode(codec))[1]
    assert run("--remove", "h1", path, raw=True) == (0, before + after, "")


@pytest.mark.parametrize("options, data, out, message", [
    (("--strip-comments",), b"<p>a<!-- x --></p>\n<!--y-->b<!--", b"<p>a</p>\nb", ""),
    (("--strip-comments", "--remove", "i"), b"<i>x</i><p><!--i-->a</p>", b"<p>a</p>", ""),
    # Bytes that decode to U+FFFD do not come back: the page is written in UTF-8.
    (("--remove", "i"), b"\xef\xbb\xbf<p>\xff</p><i>\xff</i>", "<p>\ufffd</p>".encode(),
     "quillet: standard input: written as UTF-8"),
    (("--remove", "i", "--encoding", "cp437"), "<p>\u2591</p><i/>".encode("cp437"),
     "<p>\u2591</p>".encode("cp437"), ""),
])
def test_edits(options, data, out, message):
    status, got, err = run(*options, stdin=data, raw=True)
    assert (status, got) == (0, out) and message in err and bool(message) == bool(err)


def test_explain_rows():
    page = "<p>ok</p>\n  <b class=x>no</b>\r\n<i>\n<br>"
    rows = [f"<stdin>:{row.line}:{row.column}: {row.markup} stayed text: {row.reason}"
            for row in qt.Source(page).explain()]
    assert run("--explain", "-", "-", stdin=page.encode()) == (0, "\n".join(rows * 2) + "\n", "")
    assert rows[0].startswith("<stdin>:2:3: <b class=x> stayed text: ")
    assert run("--explain", "--no-filename", stdin=page.encode())[1].startswith("2:3: <b")


def test_json_count_first_tree_stdin_and_the_module():
    found = matches("p")
    status, out, _ = run("--json", "p", SAMPLE)
    objects = [json.loads(line) for line in out.splitlines()]
    assert status == 0 and [o["text"] for o in objects] == [qt.text(m, visible=True) for m in found]
    assert {tuple(o) for o in objects} == {("tag", "line", "attributes", "text")}
    assert objects[0]["attributes"] == {"class": "lede"}
    status, out, _ = run("--json", "-1", "p", SAMPLE, "-", stdin=b"\n<p id=\"x&amp;\">a</p>")
    assert [json.loads(line) for line in out.splitlines()][1] == {
        "file": "<stdin>", "tag": "p", "line": 2, "attributes": {"id": "x&"}, "text": "a"}
    assert run("-c", "p", SAMPLE)[1] == f"{len(found)}\n"
    assert run("-c", "p", SAMPLE, SAMPLE)[1] == f"{SAMPLE}\t{len(found)}\n" * 2
    assert run("-1", "p", SAMPLE)[1] == qt.to_markup(found[0]) + "\n"
    assert qt.equal(json.loads(run("--tree", SAMPLE)[1]), qt.parse_file(SAMPLE))
    assert run("b", stdin="<b>é</b>".encode("cp1252"), module=True)[1] == "<b>é</b>\n"
    assert run("--encoding", "utf-16", "b", stdin="<b>é</b>".encode("utf-16"))[1] == "<b>é</b>\n"


@pytest.fixture(scope="module")
def odd_files(tmp_path_factory):
    """Files the command refuses to read whole: {sparse} is 2 GiB that take
    no disk (read whole, it would take over 4 GiB of memory), {big} 3 KiB."""
    folder = tmp_path_factory.mktemp("odd")
    with open(folder / "sparse.html", "wb") as f:
        f.truncate(2 << 30)
    (folder / "big.html").write_bytes(b"<p>x</p>" * 384)
    return {"sparse": folder / "sparse.html", "big": folder / "big.html"}


TOO_LONG = "1" * 5000  # past what int() reads from a str (4,300 digits by default)


# (arguments, exit status, what standard error holds, how the command is run)
@pytest.mark.parametrize("args, status, message, setup", [
    (("a[",), 2, "quillet: invalid selector: ", {}),
    ((), 2, "a SELECTOR is needed", {}),
    (("--encoding", "no-such-label", "p"), 2, "no-such-label", {}),
    (("-t", "-c", "p"), 2, "not allowed with", {}),
    (("p", "-a", "href", "-c"), 2, "argument -c/--count: not allowed with argument -a/", {}),
    (("--explain", "-1"), 2, "argument -1/--first: not allowed with argument --explain", {}),
    (("--remove", "p", "-t"), 2, "argument --remove: not allowed with argument -t/--text", {}),
    (("--remove", "p", SAMPLE, SAMPLE), 2, "edit one page: give one FILE", {}),
    (("-f", "title", "p"), 2, "'title' is no field: NAME=SELECTOR", {}),
    (("-f", "t=a@", "p"), 2, "is no field", {}),
    (("-f", "t=a[", "p"), 2, "argument -f/--field: 't=a[': ", {}),
    (("-f", "t=a", "-t", "p"), 2, "not allowed with", {}),
    (("--remove", "a[", SAMPLE), 2, "quillet: invalid selector: ", {}),
    (("p", "/no/such/file", SAMPLE), 1, "quillet: /no/such/file: No such file or directory", {}),
    (("p", SAMPLE.parent), 1, f"quillet: {SAMPLE.parent}: Is a directory", {}),
    ((f"li:nth-child({TOO_LONG})", SAMPLE), 2, "invalid selector: An+B takes numbers of at most", {}),
    ((f"li:nth-last-of-type(2n + {TOO_LONG})", SAMPLE), 2, "at most 100 digits at position 25", {}),
    (("--encoding", os.fsdecode(b"latin\xff"), "p", SAMPLE), 2, "unknown encoding", {}),
    (("--encoding", "rot13", "p", SAMPLE), 2, "'rot-13', which does not decode bytes to text", {}),
    (("--encoding", "undefined", "p", SAMPLE), 2, "undefined", {}),
    (("--max-size", "10Q", "p", SAMPLE), 2, "argument --max-size: ", {}),
    (("--max-size", TOO_LONG, "p", SAMPLE), 2, "argument --max-size: ", {}),
    (("p", "/dev/zero", SAMPLE), 1, "quillet: /dev/zero: not a regular file or a pipe", {}),
    (("p", "{sparse}", SAMPLE), 1, "sparse.html: larger than 256 MiB (--max-size)", {}),
    (("--max-size", "2k", "p", "{big}", SAMPLE), 1, "big.html: larger than 2 KiB (--max-size)", {}),
    (("--max-size", "2000", "p"), 1, "quillet: standard input: larger than 2000 bytes",
     {"stdin": SAMPLE.read_bytes() * 2}),
    (("--max-size", "1M", "p"), 1, "quillet: standard input: larger than 1 MiB", {"stdin": "/dev/zero"}),
    (("p",), 0, "", {"stdin": "/dev/null"}),
    (("p",), 1, "quillet: standard input: Bad file descriptor", {"stdin": None}),
    (("p", SAMPLE), 1, "quillet: standard output: Bad file descriptor", {"stdout": "closed"}),
    (("p", SAMPLE), 1, "quillet: standard output: No space left on device", {"stdout": "/dev/full"}),
    (("--version",), 1, "quillet: standard output: No space left on device", {"stdout": "/dev/full"}),
    (("--help",), 1, "quillet: standard output: No space left on device", {"stdout": "/dev/full"}),
])
def test_errors(odd_files, args, status, message, setup):
    args = [arg.format(**odd_files) if isinstance(arg, str) else arg for arg in args]
    # Capped, so that a command that reads a file whole fails quickly.
    got, out, err = run(*args, **setup, memory=1 << 30)
    assert got == status and message in err and "Traceback" not in err, err
    if status == 1 and "stdout" not in setup:
        # The files that could be read are still processed.
        assert out == "".join(qt.to_markup(m) + "\n" for m in matches("p")) * args.count(SAMPLE)


def test_a_closed_pipe_ends_quietly(tmp_path):
    big = tmp_path / "big.html"
    big.write_text("<p>line</p>\n" * 200_000)
    child = subprocess.Popen([*COMMAND, "p", str(big)], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE)
    assert child.stdout.readline() == b"<p>line</p>\n"
    child.stdout.close()
    assert child.wait(timeout=120) == 141 and child.stderr.read() == b""


def wait_until_blocked(pid, *places):
    """Returns once process `pid` sleeps in a kernel function whose name
    holds one of `places` (/proc/PID/wchan), or after 3 s where the kernel
    does not say."""
    wchan = pathlib.Path(f"/proc/{pid}/wchan")
    deadline = time.monotonic() + 60
    while True:
        try:
            where = wchan.read_text()
        except OSError:
            where = ""
        if where in ("", "0"):
            time.sleep(3)
            return
        if any(place in where for place in places):
            return
        assert time.monotonic() < deadline, where
        time.sleep(0.02)


def test_a_keyboard_interrupt_raised_inside_is_130_without_a_traceback(monkeypatch, capfd):
    # As when the command runs in-process under code that raises it itself.
    from quillet_tree import _cli

    def interrupted(text):
        raise KeyboardInterrupt

    monkeypatch.setattr(quillet, "parse", interrupted)
    assert _cli.main(["-j", "1", "-c", "p", str(SAMPLE)]) == 130
    assert "Traceback" not in capfd.readouterr().err


def test_ctrl_c_exits_130_without_a_traceback():
    # Default SIGINT handling in the child whatever this process inherited,
    # so that Python turns the signal into KeyboardInterrupt.
    child = subprocess.Popen([*COMMAND, "p"], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, preexec_fn=default_signals)
    child.stdin.write(b"<p>waiting for the rest</p>")
    child.stdin.flush()
    # Ready once it waits on standard input.
    wait_until_blocked(child.pid, "pipe")
    os.kill(child.pid, signal.SIGINT)
    _, err = child.communicate(timeout=60)
    assert child.returncode == 130 and b"Traceback" not in err


@pytest.fixture(scope="module")
def big_pages(tmp_path_factory):
    """Four pages of 0.4 MB, enough for the command to share them among processes."""
    folder = tmp_path_factory.mktemp("pages")
    paths = []
    for i in range(4):
        path = folder / f"page{i}.html"
        path.write_bytes(f'<div id="p{i}"><p class="n">caf&eacute; {i}</p>'.encode()
                         + SAMPLE.read_bytes() * 150 + b"</div>")
        paths.append(path)
    return paths


@pytest.mark.parametrize("options", [(), ("-c",), ("--json", "-1"), ("-a", "class", "-a", "id")])
def test_processes_share_the_files_and_keep_their_order(big_pages, options, tmp_path):
    # One name is no UTF-8, last, so that a worker reads it: where the output
    # names a file, it is written as Python writes such a name to UTF-8 with
    # errors="replace".
    odd = os.fsdecode(os.path.join(os.fsencode(tmp_path), b"page\xff.html"))
    os.symlink(big_pages[1], odd)
    names = [big_pages[0], "/no/such/file", *big_pages[1:], odd]
    alone = run("-j", "1", *options, "p, div", *names)
    shared = run("-j", "3", *options, "p, div", *names)
    assert alone[0] == 1 and alone == shared
    if options == ("-c",):
        assert odd.encode("utf-8", "replace").decode() + "\t" in alone[1]


def first_worker(pid):
    """The pid of the first worker process the command `pid` starts."""
    children = pathlib.Path(f"/proc/{pid}/task/{pid}/children")
    deadline = time.monotonic() + 60
    while not children.read_text().split():
        assert time.monotonic() < deadline
        time.sleep(0.01)
    return int(children.read_text().split()[0])


def test_ctrl_c_and_a_closed_pipe_stop_every_process(big_pages):
    for stop in ("ctrl-c", "pipe"):
        child = subprocess.Popen([*COMMAND, "-j", "2", "--tree", *big_pages * 8],
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                 preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
        if stop == "pipe":
            child.stdout.read(1)  # the first file is done
        worker = first_worker(child.pid)
        if stop == "ctrl-c":
            os.kill(child.pid, signal.SIGINT)
        child.stdout.close()
        assert child.wait(timeout=60) == (130 if stop == "ctrl-c" else 141)
        assert b"Traceback" not in child.stderr.read()
        with pytest.raises(ProcessLookupError):
            os.kill(worker, 0)  # killed and reaped


def processes_in_group(pgid):
    """The processes of process group `pgid`, zombies included."""
    found = []
    for entry in pathlib.Path("/proc").iterdir():
        try:
            # The fields after the command's name, which is in parentheses.
            fields = (entry / "stat").read_text().rsplit(")", 1)[1].split()
        except (OSError, IndexError):
            continue
        if entry.name.isdigit() and int(fields[2]) == pgid:
            found.append((int(entry.name), fields[0]))
    return found


@pytest.mark.parametrize("target", ["parent", "worker", "group"])
@pytest.mark.parametrize("signum", STOPS, ids=[s.name for s in STOPS])
def test_a_signal_stops_every_process(big_pages, tmp_path, signum, target):
    # A FIFO that nobody writes to ends the worker's share: the worker waits
    # at it for good, and the command waits for the worker.
    fifo = tmp_path / "never-written"
    os.mkfifo(fifo)
    child = subprocess.Popen([*COMMAND, "-j", "2", "p", *big_pages, fifo],
                             stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                             start_new_session=True, preexec_fn=default_signals)
    try:
        worker = first_worker(child.pid)
        wait_until_blocked(worker, "partner", "fifo")
        wait_until_blocked(child.pid, "wait")
        if target == "parent":
            os.kill(child.pid, signum)
        elif target == "worker":
            os.kill(worker, signum)
        else:  # as a terminal signals its foreground job
            os.killpg(child.pid, signum)
        status = child.wait(timeout=60)
        # Every worker killed and reaped before the command ended.
        left = processes_in_group(child.pid)
    finally:
        try:
            os.killpg(child.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        child.wait(timeout=60)
        # Read once no process is left to hold the pipe open.
        err = child.stderr.read()
        child.stderr.close()
    assert (status, left) == (128 + signum, []) and b"Traceback" not in err


def test_the_readme_session_is_what_the_command_prints():
    root = SAMPLE.parents[1]
    readme = (root / "README.md").read_text(encoding="utf-8")
    session = readme.split("## Command line", 1)[1].split("```console\n", 1)[1].split("```", 1)[0]
    commands = session.split("$ ")[1:]
    assert len(commands) >= 5
    for block in commands:
        command, expected = block.split("\n", 1)
        # The command as a shell runs it, with this installation's quillet.
        shell = command.replace("quillet ", f"{COMMAND[0]} ", 1)
        done = subprocess.run(["bash", "-c", shell], cwd=root, capture_output=True, timeout=120)
        assert done.stdout.decode("utf-8") == expected, command
