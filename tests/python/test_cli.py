"""The installed `quillet` command, run in a subprocess: its output against
the library's own functions, its exit statuses, a closed pipe and Ctrl-C."""
import json
import os
import pathlib
import shutil
import signal
import subprocess
import sys
import time

import pytest

import quillet_tree as qt

SAMPLE = pathlib.Path(__file__).resolve().parents[2] / "examples" / "sample.html"
SCRIPT = pathlib.Path(sys.executable).parent / "quillet"
COMMAND = [str(SCRIPT)] if SCRIPT.exists() else [shutil.which("quillet") or "quillet"]


def run(*args, stdin=b"", module=False):
    command = [sys.executable, "-m", "quillet_tree"] if module else COMMAND
    done = subprocess.run([*command, *map(str, args)], input=stdin, capture_output=True,
                          timeout=120)
    return done.returncode, done.stdout.decode("utf-8"), done.stderr.decode("utf-8")


def matches(selector, path=SAMPLE):
    return qt.select(qt.parse_file(path), selector)


def attributes(match):
    # The class attribute is the classes joined; an element without one has [""].
    values = qt.unescape_attributes(match)
    return "\t".join([values.get("href", ""), " ".join(values["classes"]), values.get("title", "")])


@pytest.mark.parametrize("options, line", [
    ((), qt.to_markup),
    (("-t",), lambda match: qt.text(match, visible=True)),
    (("-a", "href", "-a", "class", "-a", "title"), attributes),
])
def test_lines_are_the_librarys_answers(options, line):
    expected = [line(match) for match in matches("li a, a.logo")]
    status, out, err = run(*options, "li a, a.logo", SAMPLE)
    assert (status, err) == (0, "") and out.splitlines() == expected


def test_json_count_first_tree_stdin_and_the_module():
    found = matches("p")
    status, out, _ = run("--json", "p", SAMPLE)
    objects = [json.loads(line) for line in out.splitlines()]
    assert status == 0 and [o["text"] for o in objects] == [qt.text(m, visible=True) for m in found]
    assert {tuple(o) for o in objects} == {("tag", "attributes", "text")}
    assert objects[0]["attributes"] == {"class": "lede"}
    status, out, _ = run("--json", "-1", "p", SAMPLE, "-", stdin=b"<p id=\"x&amp;\">a</p>")
    assert [json.loads(line) for line in out.splitlines()][1] == {
        "file": "<stdin>", "tag": "p", "attributes": {"id": "x&"}, "text": "a"}
    assert run("-c", "p", SAMPLE)[1] == f"{len(found)}\n"
    assert run("-c", "p", SAMPLE, SAMPLE)[1] == f"{SAMPLE}\t{len(found)}\n" * 2
    assert run("-1", "p", SAMPLE)[1] == qt.to_markup(found[0]) + "\n"
    assert qt.equal(json.loads(run("--tree", SAMPLE)[1]), qt.parse_file(SAMPLE))
    assert run("b", stdin="<b>é</b>".encode("cp1252"), module=True)[1] == "<b>é</b>\n"
    assert run("--encoding", "utf-16", "b", stdin="<b>é</b>".encode("utf-16"))[1] == "<b>é</b>\n"


@pytest.mark.parametrize("args, status, message", [
    (("a[",), 2, "quillet: invalid selector: "),
    ((), 2, "a SELECTOR is needed"),
    (("--encoding", "no-such-label", "p"), 2, "no-such-label"),
    (("-t", "-c", "p"), 2, "not allowed with"),
    (("p", "/no/such/file", SAMPLE), 1, "quillet: /no/such/file: No such file or directory"),
    (("p", SAMPLE.parent), 1, f"quillet: {SAMPLE.parent}: Is a directory"),
])
def test_errors(args, status, message):
    got, out, err = run(*args)
    assert got == status and message in err and "Traceback" not in err
    if status == 1:
        # The files that could be read are still processed.
        assert out == "".join(qt.to_markup(m) + "\n" for m in matches("p")) * (len(args) - 2)


def test_a_closed_pipe_ends_quietly(tmp_path):
    big = tmp_path / "big.html"
    big.write_text("<p>line</p>\n" * 200_000)
    child = subprocess.Popen([*COMMAND, "p", str(big)], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE)
    assert child.stdout.readline() == b"<p>line</p>\n"
    child.stdout.close()
    assert child.wait(timeout=120) == 141 and child.stderr.read() == b""


def test_ctrl_c_exits_130_without_a_traceback():
    # Default SIGINT handling in the child whatever this process inherited,
    # so that Python turns the signal into KeyboardInterrupt.
    child = subprocess.Popen([*COMMAND, "p"], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE,
                             preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
    child.stdin.write(b"<p>waiting for the rest</p>")
    child.stdin.flush()
    # Ready once it waits on standard input.
    wchan = pathlib.Path(f"/proc/{child.pid}/wchan")
    deadline = time.monotonic() + 60
    while "pipe" not in (wchan.read_text() if wchan.exists() else "pipe"):
        assert time.monotonic() < deadline
        time.sleep(0.02)
    if not wchan.exists():
        time.sleep(3)
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
def test_processes_share_the_files_and_keep_their_order(big_pages, options):
    names = [big_pages[0], "/no/such/file", *big_pages[1:]]
    alone = run("-j", "1", *options, "p, div", *names)
    shared = run("-j", "3", *options, "p, div", *names)
    assert alone[0] == 1 and alone == shared


def test_ctrl_c_and_a_closed_pipe_stop_every_process(big_pages):
    for stop in ("ctrl-c", "pipe"):
        child = subprocess.Popen([*COMMAND, "-j", "2", "--tree", *big_pages * 8],
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                 preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
        if stop == "pipe":
            child.stdout.read(1)  # the first file is done
        workers = pathlib.Path(f"/proc/{child.pid}/task/{child.pid}/children")
        deadline = time.monotonic() + 60
        while not workers.read_text().split():
            assert time.monotonic() < deadline
            time.sleep(0.01)
        worker = int(workers.read_text().split()[0])
        if stop == "ctrl-c":
            os.kill(child.pid, signal.SIGINT)
        child.stdout.close()
        assert child.wait(timeout=60) == (130 if stop == "ctrl-c" else 141)
        assert b"Traceback" not in child.stderr.read()
        with pytest.raises(ProcessLookupError):
            os.kill(worker, 0)  # killed and reaped


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
