"""Long records, whose copies are split over the worker pool: the same bases with any number of
threads, with the scalar fallbacks forced, at every line length and starting offset, plain and
BGZF-compressed, and from files that are not laid out as their index says."""
import hashlib
import json
import os
import random
import shutil
import subprocess
import sys

import pytest

from sekva import Faidx, Fasta

# Copies of this many bases or more are split; the records are a little longer.
SPLIT_FROM = 8 << 20
LENGTH = SPLIT_FROM + 1_234_567
BASES = bytes.maketrans(bytes(range(256)), b"ACGTNacgtn" * 25 + b"ACGTAC")


def random_bases(rng, n):
    return rng.randbytes(n).translate(BASES)


def write_record(path, seq, width, eol):
    lines = [seq[i : i + width] for i in range(0, len(seq), width)]
    path.write_bytes(b">r long record\n" + eol.join(lines) + eol)


def bgzip(path):
    """The bgzip-compressed copy of `path` beside it, or None where bgzip is missing."""
    if not shutil.which("bgzip"):
        return None
    subprocess.run(["bgzip", "-k", "-f", str(path)], check=True)
    return str(path) + ".gz"


# Line lengths around the 32-byte blocks of the vector copy (one break per block or more), odd
# ones, and one line for the whole record.
WIDTHS = [1, 7, 31, 32, 33, 60, 61, 64, 1000, LENGTH]


@pytest.fixture(scope="module")
def records(tmp_path_factory):
    """{(width, eol): (path, bases)}, seeded."""
    directory = tmp_path_factory.mktemp("long")
    rng = random.Random(23)
    seq = random_bases(rng, LENGTH)
    out = {}
    for width in WIDTHS:
        for eol in (b"\n", b"\r\n"):
            if width == 1 and eol == b"\r\n":
                continue  # 27 MB for no case the others miss
            path = directory / f"w{width}{len(eol)}.fa"
            write_record(path, seq, width, eol)
            out[(width, eol)] = (str(path), seq.decode())
            if width in COMPRESSED and eol == b"\n":
                out[(width, "bgzf")] = (bgzip(path), seq.decode())
    return out


# Widths whose files are also read BGZF-compressed: a piece of one-base lines would not fit one
# read of the decoder, so those copy in one go.
COMPRESSED = [1, 61, LENGTH]


def region_starts(width):
    """Starts at the first offsets within a line and around its end, then a few farther in. Where
    the pieces of a copy begin depends on where the output lies in memory as well."""
    return sorted({1, 2, 3, 4, max(1, width - 1), width, width + 1, width + 2, width * 3 + 2, 1_000_003})


@pytest.mark.parametrize(
    "width, eol",
    [(w, eol) for w in WIDTHS for eol in (b"\n", b"\r\n") if (w, eol) != (1, b"\r\n")]
    + [(w, "bgzf") for w in COMPRESSED],
)
def test_long_copies_give_every_base_in_place(records, width, eol):
    path, seq = records[(width, eol)]
    if path is None:
        pytest.skip("needs bgzip")
    fa = Faidx(path)
    assert fa.fetch_entire_sequence("r").seq == seq
    record = Fasta(path)["r"]
    assert str(record) == seq
    assert record[:].seq == seq
    for start in region_starts(width):
        end = start + SPLIT_FROM + 3 * width + 17
        assert fa.fetch("r", start, end).seq == seq[start - 1 : end], start


# Runs in each child: digests of whole records and long fetches, as JSON on standard output.
CHILD = r"""
import hashlib, json, sys
from sekva import Faidx, Fasta
out = {}
for path, regions in json.load(open(sys.argv[1])).items():
    fa = Faidx(path)
    got = [fa.fetch_entire_sequence("r").seq, str(Fasta(path)["r"])]
    got += [fa.fetch("r", s, e).seq for s, e in regions]
    out[path] = [hashlib.sha256(s.encode()).hexdigest() for s in got]
json.dump(out, sys.stdout)
"""


def digest(text):
    return hashlib.sha256(text.encode()).hexdigest()


@pytest.mark.parametrize("threads", ["1", "2", "5"])
@pytest.mark.parametrize("scalar", [False, True], ids=["vector", "scalar"])
def test_threads_and_kernels_agree(records, tmp_path, threads, scalar):
    rng = random.Random(int(threads) * 2 + scalar)
    manifest, expected = {}, {}
    for (width, eol), (path, seq) in records.items():
        if width not in (7, 33, 61, LENGTH) or path is None:
            continue
        starts = [rng.randint(1, 200), rng.randint(1, LENGTH - SPLIT_FROM)]
        regions = [(s, min(LENGTH, s + SPLIT_FROM + rng.randint(0, 10_000))) for s in starts]
        manifest[path] = regions
        expected[path] = [digest(seq), digest(seq)] + [digest(seq[s - 1 : e]) for s, e in regions]
    (tmp_path / "manifest.json").write_text(json.dumps(manifest))
    env = {k: v for k, v in os.environ.items() if k not in ("SEKVA_FORCE_SCALAR", "RAYON_RS_NUM_CPUS")}
    env["RAYON_NUM_THREADS"] = threads
    if scalar:
        env["SEKVA_FORCE_SCALAR"] = "1"
    out = subprocess.run([sys.executable, "-c", CHILD, str(tmp_path / "manifest.json")], env=env,
                         capture_output=True, text=True, timeout=300)
    assert out.returncode == 0, out.stderr
    assert json.loads(out.stdout) == expected


def lines_of(seq, widths, eol=b"\n"):
    out, at = [], 0
    for w in widths:
        out.append(seq[at : at + w])
        at += w
    return eol.join(out) + eol


def model(data, offset, n):
    """What one copy from `offset` yields: the next n bytes that are no line break."""
    return data[offset:].replace(b"\n", b"").replace(b"\r", b"")[:n].decode()


# Files whose lines are not where their index puts them, each with a .fai that says every line
# holds 60 bases: the long copy reads what one copy from the record's first byte would read.
@pytest.mark.parametrize("compressed", [False, True], ids=["plain", "bgzf"])
@pytest.mark.parametrize(
    "case",
    ["line one longer", "line one shorter", "longer then shorter", "CR inside a line", "extra blank line",
     "short file"],
)
def test_files_not_laid_out_as_indexed_read_as_one_copy(tmp_path, case, compressed):
    rng = random.Random(7)
    width, n = 60, SPLIT_FROM + 500_000
    seq = random_bases(rng, n + 100)
    widths = [width] * (n // width + 1)
    middle = len(widths) // 2
    if case == "line one longer":
        widths[middle] += 1
    elif case == "line one shorter":
        widths[middle] -= 1
    elif case == "longer then shorter":
        widths[middle] += 1
        widths[middle + 40_000] -= 1
    body = lines_of(seq, widths)
    if case == "CR inside a line":
        at = len(body) // 3
        body = body[:at] + b"\r" + body[at + 1 :]
    elif case == "extra blank line":
        at = body.index(b"\n", len(body) // 2)
        body = body[:at] + b"\n" + body[at:]
    elif case == "short file":
        body = body[: len(body) * 3 // 4]
    header = b">r\n"
    path = tmp_path / "g.fa"
    path.write_bytes(header + body)
    if compressed:
        path = bgzip(path)
        if path is None:
            pytest.skip("needs bgzip")
    with open(f"{path}.fai", "w") as f:
        f.write(f"r\t{n}\t{len(header)}\t{width}\t{width + 1}\n")
    os.utime(f"{path}.fai", (os.stat(path).st_mtime + 10,) * 2)
    fa = Faidx(str(path))
    data = header + body
    start = 12_345
    expected = model(data, len(header) + (start - 1) // width * (width + 1) + (start - 1) % width, n - start + 1)
    assert fa.fetch("r", start, n).seq == expected
