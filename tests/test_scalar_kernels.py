"""The scalar fallbacks of the byte kernels against the vector kernels: the same index, bases and
reverse complements from a process started with SEKVA_FORCE_SCALAR=1 and one started without it,
over seeded random files whose lines end around 16-byte block boundaries."""
import json
import os
import random
import shutil
import subprocess
import sys

import pytest

# Runs in each child: every file's index (or the error building it), then the regions through
# every path that copies or reverse-complements bases, as JSON on standard output.
CHILD = r"""
import json, random, sys
from sekva import Fasta

try:
    import numpy
except ImportError:
    numpy = None


def outcome(make):
    try:
        return ["ok", make()]
    except Exception as e:
        return ["error", f"{type(e).__name__}: {e}"]


def regions_of(fa, rng):
    out = []
    for name in fa.keys():
        n = len(fa[name])
        if n:
            out.append((name, 1, n))
            for _ in range(3):
                a, b = rng.randint(1, n), rng.randint(1, n)
                out.append((name, min(a, b), max(a, b)))
    return out


def run(case):
    path, options = case["path"], case["options"]
    result = {}

    def index():
        fa = Fasta(path, **options)
        with open(path + ".fai") as f:
            return f.read()

    result["index"] = outcome(index)
    if result["index"][0] != "ok":
        return result
    fa = Fasta(path, **options)
    regions = [tuple(r) for r in case["regions"]] if case["regions"] is not None else regions_of(fa, random.Random(0))
    result["regions"] = regions
    result["fetch"] = outcome(lambda: [fa.get_seq(*r).seq for r in regions])
    result["rc"] = outcome(lambda: [fa.get_seq(*r, rc=True).seq for r in regions])
    result["negated"] = outcome(lambda: [(-fa.get_seq(*r)).seq for r in regions])
    result["many_rc"] = outcome(lambda: [s.seq for s in fa.fetch_many(regions, rc=True)])
    result["whole"] = outcome(lambda: [str(record) for record in fa.values()])
    if numpy is not None and regions:
        strands = [i % 2 == 1 for i in range(len(regions))]
        result["array"] = outcome(lambda: fa.fetch_array(regions, width=37, rc=strands).tobytes().decode("latin-1"))
    return result


manifest = json.load(open(sys.argv[1]))
json.dump({name: run(case) for name, case in manifest.items()}, sys.stdout)
"""


def run_child(directory, files, force_scalar):
    """Writes `files` ({name: (bytes, options, regions)}) into `directory` and returns what the child
    saw, keyed by name. A bgzip-compressed copy is made of names ending in ".gz"."""
    directory.mkdir()
    manifest = {}
    for name, (data, options, regions) in files.items():
        path = directory / name
        if name.endswith(".gz"):
            plain = directory / name[:-3]
            plain.write_bytes(data)
            with path.open("wb") as out:
                subprocess.run([shutil.which("bgzip"), "-c", str(plain)], stdout=out, check=True)
            plain.unlink()
        else:
            path.write_bytes(data)
        manifest[name] = {"path": str(path), "options": options, "regions": regions}
    (directory / "manifest.json").write_text(json.dumps(manifest))
    env = {k: v for k, v in os.environ.items() if k != "SEKVA_FORCE_SCALAR"}
    if force_scalar:
        env["SEKVA_FORCE_SCALAR"] = "1"
    out = subprocess.run(
        [sys.executable, "-c", CHILD, str(directory / "manifest.json")],
        env=env, capture_output=True, text=True, timeout=300,
    )
    assert out.returncode == 0, out.stderr
    return json.loads(out.stdout)


def both_ways(tmp_path, files):
    vector = run_child(tmp_path / "vector", files, force_scalar=False)
    scalar = run_child(tmp_path / "scalar", files, force_scalar=True)
    for name in files:
        assert scalar[name] == vector[name], f"{name}: {files[name][0][:300]!r}"
    return vector


PAIRS = "ATTACGGCBVVBDHHDKMMKRYYRSSWWNNXX"
COMPLEMENT = {i: "N" for i in range(128)}
for a, b in zip(PAIRS[::2], PAIRS[1::2]):
    COMPLEMENT[ord(a)] = b
    COMPLEMENT[ord(a) + 32] = chr(ord(b) + 32)


def reverse_complement(s):
    return s.translate(COMPLEMENT)[::-1]


# Upper and lower case, IUPAC codes, and bytes that are no base: punctuation below 0x40 and the
# non-letters among 0x40-0x7F, where the vector complement takes its table.
ALPHABETS = ["ACGT", "acgtnACGTN", "ACGTRYKMSWBDHVNX", "ACGTacgtn*-.0>@[\\]^_`{|}~\x7f"]


def random_file(rng):
    """A valid FASTA file, its .fai text by the line rules, and regions with their bases."""
    text, fai, regions, expected = [], [], [], {}
    pos = 0
    count = rng.randint(1, 6)
    for i in range(count):
        name = f"r{i}"
        width = rng.choice([1, 2, 3, rng.randint(1, 70), rng.randint(14, 18), rng.randint(30, 34), 5000])
        length = rng.choice([0, rng.randint(0, 70), 16 * rng.randint(1, 8) + rng.randint(-1, 1), rng.randint(1000, 12000)])
        eol = rng.choice(["\n", "\r\n"])
        seq = list(rng.choices(rng.choice(ALPHABETS), k=length))
        for at in range(0, length, width):
            if seq[at] == ">":  # a line starting with ">" is a header
                seq[at] = "N"
        seq = "".join(seq)
        header = f">{name} record {i}{eol}"
        lines = [seq[at : at + width] for at in range(0, length, width)]
        body = "".join(line + eol for line in lines)
        if length:
            body += eol * rng.choice([0, 0, 1, 2])  # empty lines may end a record
        if i == count - 1 and len(lines) >= 2 and rng.random() < 0.5:
            body = body.rstrip("\r\n")  # no line break at the end of the file
        pos += len(header)
        lenc = len(lines[0]) if lines else 0
        fai.append(f"{name}\t{length}\t{pos}\t{lenc}\t{lenc + len(eol) if lines else 0}\n")
        pos += len(body)
        text.append(header + body)
        expected[name] = seq
        if length:
            regions.append((name, 1, length))
            for _ in range(6):
                start = rng.choice([rng.randint(1, length), 16 * rng.randint(0, length // 16) + 1])
                start = min(start, length)
                end = min(length, start + rng.choice([0, 1, 14, 15, 16, 17, 31, 32, 33, 63, 64, 65, rng.randint(0, length)]))
                regions.append((name, start, end))
    return "".join(text).encode(), "".join(fai), regions, expected


@pytest.mark.parametrize("seed", range(4))
def test_fallbacks_give_the_kernels_results_on_random_files(tmp_path, seed):
    rng = random.Random(seed)
    files, models = {}, {}
    for k in range(10):
        data, fai, regions, expected = random_file(rng)
        # Through the map, through the descriptor (mutable) and, where bgzip exists, through BGZF.
        name = f"f{k}.fa"
        options = {"mutable": True} if k % 3 == 1 else {}
        if k % 3 == 2 and shutil.which("bgzip"):
            name += ".gz"
        files[name] = (data, options, regions)
        models[name] = (fai, regions, expected)
    results = both_ways(tmp_path, files)
    for name, (fai, regions, expected) in models.items():
        got = results[name]
        assert got["index"] == ["ok", fai], name
        bases = [expected[n][s - 1 : e] for n, s, e in regions]
        assert got["fetch"] == ["ok", bases], name
        assert got["rc"] == got["negated"] == got["many_rc"] == ["ok", [reverse_complement(b) for b in bases]], name
        assert got["whole"] == ["ok", list(expected.values())], name


HOSTILE = {
    "odd line": b">a\nACGTACGTACGTACGTA\nACG\nACGTACGTACGTACGTA\n",
    "long line": b">a\nACGT\nACGTACGTACGTACGTACGTACGT\n",
    "empty line inside": b">a\n" + b"ACGTACGTACGTACGTACGT\n" * 5 + b"\n" + b"ACGT\n",
    "mixed line ends": b">a\n" + b"ACGTACGTACGTACGTACGT\r\n" * 3 + b"ACGTACGTACGTACGTACGT\n" * 3,
    "CR without LF": b">a\n" + b"ACGTACGTACGTACGTACGT\r" * 40 + b"\n",
    "lines of CRs": b">a\n" + b"ACGTACGT\r\r\r\r\r\r\r\r\r\r\r\r\r\r\r\r\r\n" * 4 + b">b\nAC\n",
    "> after CR": b">a\n" + b"ACGTACGTACGTACG\r>CGT\n" * 20,
    "> inside lines": b">a\n" + b"ACGTACGTACGTACG>ACGTACGTACGTACGT>\n" * 40,
    "unnamed record": b">\n" + b"ACGT\n" * 300 + b">b\nACGT\n",
    "NUL bytes": b">a\n" + b"ACGTACGTACGTAC\0GTACGTACGT\n" * 20,
    "valid UTF-8 in bases": b">a\n" + "ACGTACGTACGTACéGTACGTACGT\n".encode() * 20,
    "invalid UTF-8 early": b">a\nAC\xffGT\n",
    "invalid UTF-8 on a block edge": b">a\n" + b"A" * 60 + b"\n" + b"A" * 60 + b"\x80\n",
    "invalid UTF-8 deep": b">a\n" + b"ACGTACGTACGTACGTACGTACGTACGTACGTACGTACGTACGTACGTACGTACGTACGT\n" * 300 + b"\xc3\n",
    "UTF-8 cut at the end": b">a\nACGT\n>b\nACGTACGTACGTACGTACGTACGT\xe2\x82",
}


def mutated(rng):
    """A random valid file with a few bytes put in or overwritten: line breaks, ">", NUL, bytes
    that are no UTF-8 and a cut character. Most are refused, at a line the scan counted to."""
    data = bytearray(random_file(rng)[0])
    for _ in range(rng.randint(1, 3)):
        at = rng.randint(0, len(data))
        byte = rng.choice([b"\n", b"\r", b">", b"\0", b"\x80", b"\xc3", b"\xc3\xa9", b"\n>x\n"])
        data[at : at + rng.choice([0, 1])] = byte
    return bytes(data)


def test_fallbacks_give_the_kernels_results_on_hostile_files(tmp_path):
    rng = random.Random(18)
    files = {f"{label}.fa".replace(" ", "-"): (data, {}, None) for label, data in HOSTILE.items()}
    files.update({f"mutated{k}.fa": (mutated(rng), {"mutable": k % 2 == 1}, None) for k in range(40)})
    results = both_ways(tmp_path, files)
    # Not a vacuous comparison: some files are refused, and of the others some give bases and
    # some fail on the way.
    fetched = [results[name].get("fetch", ["none"])[0] for name in files]
    assert fetched.count("none") >= 10 and fetched.count("ok") >= 10 and fetched.count("error") >= 2
