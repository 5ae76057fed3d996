"""The README's examples as a reader runs them: its code blocks in order, in a copy of examples/,
with the output its comments promise; and the example files that make_examples.py remakes."""
import ast
import importlib.util
import json
import os
import re
import shutil
import subprocess
import sys

import pytest

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
README = os.path.join(ROOT, "README.md")
EXAMPLES = os.path.join(ROOT, "examples")
SHIPPED = ("genome.fa", "peaks.bed", "regions.txt", "samples.vcf")

# A fenced block and the `<!-- test: ... -->` comment right above it, if any. Python blocks run
# unless marked `skip`; shell blocks run only when marked `run`; `needs x y` names modules or
# commands without which the block is skipped (a Python block's own imports are checked anyway).
BLOCK = re.compile(r"(?:<!-- test: (?P<marks>[^>]*?) -->\n)?```(?P<lang>\w*)\n(?P<code>.*?)^```$", re.M | re.S)


def readme_blocks():
    with open(README, encoding="utf-8") as f:
        text = f.read()
    blocks = []
    for m in BLOCK.finditer(text):
        marks = [mark.strip() for mark in (m.group("marks") or "").split(";") if mark.strip()]
        needs = [word for mark in marks if mark.startswith("needs ") for word in mark.split()[1:]]
        lang, code = m.group("lang"), m.group("code")
        runs = "skip" not in marks and (lang == "python" or (lang == "sh" and "run" in marks))
        if lang == "python":
            needs += imported_modules(code)
        line = text.count("\n", 0, m.start("code")) + 1
        blocks.append({"lang": lang, "code": code, "runs": runs, "needs": needs, "line": line})
    return blocks


def imported_modules(code):
    out = []
    for node in ast.walk(ast.parse(code)):
        if isinstance(node, ast.Import):
            out += [alias.name for alias in node.names]
        elif isinstance(node, ast.ImportFrom) and node.level == 0:
            out.append(node.module)
    return out


def missing(need):
    if shutil.which(need, path=bin_path()):
        return False
    try:
        return importlib.util.find_spec(need) is None
    except ImportError:
        return True


def bin_path():
    return os.pathsep.join([os.path.dirname(sys.executable), os.environ.get("PATH", "")])


# Runs the steps given as JSON on standard input in one namespace, in the current directory. A
# top-level `print(...)` with a comment on its line must print that comment (`...` matches any
# text): the README's promised output.
RUNNER = r'''
import contextlib, io, json, re, subprocess, sys, tokenize

def comments(code):
    out = {}
    for tok in tokenize.generate_tokens(io.StringIO(code).readline):
        if tok.type == tokenize.COMMENT:
            out[tok.start[0]] = tok.string[1:].strip()
    return out

def expected_line(stmt, notes):
    call = stmt.value if stmt.__class__.__name__ == "Expr" else None
    if call is None or getattr(getattr(call, "func", None), "id", None) != "print":
        return None
    if stmt.lineno != stmt.end_lineno:
        return None
    return notes.get(stmt.lineno)

import ast
namespace = {"__name__": "__main__"}
for step in json.load(sys.stdin):
    where = f"README.md line {step['line']}"
    if step["lang"] == "sh":
        subprocess.run(["bash", "-e", "-c", step["code"]], check=True)
        continue
    notes = comments(step["code"])
    for stmt in ast.parse(step["code"]).body:
        code = compile(ast.Module([stmt], []), where, "exec")
        want = expected_line(stmt, notes)
        if want is None:
            exec(code, namespace)
            continue
        captured = io.StringIO()
        with contextlib.redirect_stdout(captured):
            exec(code, namespace)
        got = captured.getvalue().rstrip("\n")
        pattern = ".*".join(map(re.escape, want.split("...")))
        if not re.fullmatch(pattern, got, re.S):
            raise SystemExit(f"{where}, line {stmt.lineno} of the block: printed {got!r}, the comment says {want!r}")
'''


def block_id(block):
    return f"line{block['line']}-{block['lang']}"


BLOCKS = readme_blocks()
RUN = [b for b in BLOCKS if b["runs"]]


@pytest.fixture
def examples_copy(tmp_path):
    """The shipped example files in a folder of their own, as a reader finds them."""
    where = tmp_path / "examples"
    where.mkdir()
    for name in shipped_files():
        shutil.copy(os.path.join(EXAMPLES, name), where / name)
    return where


def shipped_files():
    """The files examples/ ships: the data and the scripts, not what running the examples writes."""
    return [n for n in sorted(os.listdir(EXAMPLES)) if n in SHIPPED or n.endswith(".py")]


def test_the_readme_says_where_its_examples_run():
    with open(README, encoding="utf-8") as f:
        text = " ".join(f.read().split())
    assert "run from the `examples/` folder" in text
    assert len(RUN) >= 8, "the README's runnable blocks were not found"


@pytest.mark.parametrize("index", range(len(RUN)), ids=[block_id(b) for b in RUN])
def test_readme_block_runs_as_written(examples_copy, index):
    """Block `index` of the runnable ones, after every runnable block before it."""
    steps = RUN[: index + 1]
    for need in steps[-1]["needs"]:
        if need != "sekva" and missing(need):
            pytest.skip(f"the block needs {need}")
    steps = [s for s in steps[:-1] if not any(missing(n) for n in s["needs"] if n != "sekva")] + steps[-1:]
    done = subprocess.run([sys.executable, "-c", RUNNER], cwd=examples_copy, input=json.dumps(steps),
                          capture_output=True, text=True, env=dict(os.environ, PATH=bin_path()), timeout=300)
    assert done.returncode == 0, done.stderr[-3000:]
    assert "Traceback" not in done.stderr


def test_region_examples_show_bases():
    """Every region the README names on the command line or in Python holds bases, not N, but the
    one that shows the GC measures at the edge of a gap."""
    text = "".join(b["code"] for b in BLOCKS)
    regions = re.findall(r"(chr\w+):([\d,]+)-([\d,]+)", text)
    regions += re.findall(r'get_seq\("(chr\w+)", ([\d_]+), ([\d_]+)', text)
    with open(os.path.join(EXAMPLES, "regions.txt")) as f:
        regions += re.findall(r"(chr\w+):([\d,]+)-([\d,]+)", f.read())
    assert regions
    bases = shipped_records()
    with_n = set()
    for name, start, end in regions:
        # sorted: a reverse complement's name gives its coordinates the other way round
        start, end = sorted(int(x.replace(",", "").replace("_", "")) for x in (start, end))
        assert bases[name][start - 1 : end].strip("N"), f"{name}:{start}-{end} is all N"
        if "N" in bases[name][start - 1 : end]:
            with_n.add((name, start, end))
    assert with_n == {("chr1", 59_991, 60_010)}


def shipped_records():
    records, name = {}, None
    with open(os.path.join(EXAMPLES, "genome.fa")) as f:
        for line in f:
            if line.startswith(">"):
                name = line[1:].split()[0]
                records[name] = []
            else:
                records[name].append(line.strip())
    return {name: "".join(lines) for name, lines in records.items()}


def test_make_examples_remakes_the_shipped_files(tmp_path):
    subprocess.run([sys.executable, os.path.join(EXAMPLES, "make_examples.py"), str(tmp_path)], check=True)
    for name in SHIPPED:
        with open(os.path.join(EXAMPLES, name), "rb") as shipped:
            assert (tmp_path / name).read_bytes() == shipped.read(), name


def test_example_genome_has_what_the_examples_show():
    bases = shipped_records()
    text = "".join(bases.values())
    assert 200_000 <= len(text) <= 400_000
    assert "N" * 100 in text and any(c.islower() for c in text)
    with open(os.path.join(EXAMPLES, "peaks.bed")) as f:
        peaks = [line.split("\t") for line in f]
    assert {p[5].strip() for p in peaks} == {"+", "-"}
    assert all("N" not in bases[p[0]][int(p[1]) : int(p[2])] for p in peaks)


def test_examples_folder_stays_small():
    assert sum(os.path.getsize(os.path.join(EXAMPLES, name)) for name in shipped_files()) < 1_000_000
