"""The .fai index: what the scan writes, how an index is read back, when it is rebuilt."""
import multiprocessing
import os
import random
import shutil
import stat
import subprocess
import sys

import pytest

from conftest import bump_mtime
from sekva import Faidx

EDGE_CASES = [
    (">chr1 description here\nACGTACGTAC\nACGTACGTAC\nACG\n", "chr1\t23\t23\t10\t11\n"),
    (">a\nACGT\r\nAC\r\n>b\nGG\n", "a\t6\t3\t4\t6\nb\t2\t16\t2\t3\n"),
    (">a\nACGTA", "a\t5\t3\t5\t5\n"),
    (">empty\n>b\nAC\n", "empty\t0\t7\t0\t0\nb\t2\t10\t2\t3\n"),
    ("junk before\n>a\nAC\n", "a\t2\t15\t2\t3\n"),
    (">\nNNN\n>  \t\nAA\n>b\nC\n", "b\t1\t17\t1\t2\n"),
    (">  spaced\tname desc\nAC\n", "spaced\t2\t20\t2\t3\n"),
    (">a\nAC\n>a\nGGG\n", "a\t2\t3\t2\t3\na\t3\t9\t3\t4\n"),
    (">a\nAC GT\t\nA\n", "a\t7\t3\t6\t7\n"),
    ("", ""),
    (">a\n" + "ACGT>ACGT\n" * 50 + ">b\nAC\n", "a\t450\t3\t9\t10\nb\t2\t506\t2\t3\n"),
    (">a\n" + "ACGTACGTA\r\n" * 40 + "AC\rG\n", "a\t364\t3\t9\t11\n"),
    (">a\n;comment\n >not\n", "a\t13\t3\t8\t9\n"),
    (">a\nAC\r\r\nG\r\n", "a\t3\t3\t2\t5\n"),
    (">a\nACGT\nAC\n\n\n>b\n\n\n", "a\t6\t3\t4\t5\nb\t0\t16\t0\t1\n"),
    (">a\nACGT\nACGT", "a\t8\t3\t4\t5\n"),
    (">a\nACGT\r\nACGT\n", "a\t8\t3\t4\t6\n"),
    ("\ufeff>a\nAC\n>b\nG\n", "b\t1\t12\t1\t2\n"),
    (">a\u00e9 x\nAC\n", "a\u00e9\t2\t7\t2\t3\n"),
]


@pytest.mark.parametrize("fasta, fai", EDGE_CASES)
def test_written_index(write, fasta, fai):
    path = write(fasta)
    Faidx(path)
    with open(path + ".fai", "rb") as f:
        assert f.read() == fai.encode()


def _random_genome(seed):
    import random

    rng = random.Random(seed)
    out = []
    for r in range(20):
        width = rng.choice([50, 60, 61, 70, 80])
        bases = "".join(rng.choice("ACGTNacgtn") for _ in range(rng.randint(1, 2000)))
        out.append(f">rec{r} some description {r}\n")
        out.extend(bases[i : i + width] + "\n" for i in range(0, len(bases), width))
    return "".join(out)


WELL_FORMED = [
    ">chr1 description here\nACGTACGTAC\nACGTACGTAC\nACG\n",
    ">a\nACGT\r\nAC\r\n>b\nGG\r\n",
    ">a\tdesc\nAC\n>b\nGGG\nG\n",
    _random_genome(1),
    _random_genome(2).replace("\n", "\r\n"),
]


@pytest.mark.skipif(shutil.which("samtools") is None, reason="samtools not installed")
@pytest.mark.parametrize("fasta", WELL_FORMED)
def test_index_matches_samtools(write, fasta):
    ours = write(fasta, "ours.fa")
    theirs = write(fasta, "theirs.fa")
    Faidx(ours)
    subprocess.run(["samtools", "faidx", theirs], check=True, capture_output=True)
    assert open(ours + ".fai", "rb").read() == open(theirs + ".fai", "rb").read()


def _large_genome(seed, size=40 << 20):
    """Records of assorted widths and line breaks (some CRLF, some with '>' inside a line) filling
    about `size` bytes: large enough to be indexed in pieces on the pool."""
    rng = random.Random(seed)
    block = "".join(rng.choice("ACGTNacgtn") for i in range(1 << 16))
    out, total, r = [], 0, 0
    while total < size:
        width = rng.choice([1, 7, 60, 61, 70, 80, 1000])
        length = rng.choice([rng.randint(1, 5000), rng.randint(1, 3_000_000)])
        eol = "\r\n" if rng.random() < 0.2 else "\n"
        bases = (block * (length // len(block) + 1))[:length]
        if width > 1 and length > 1:
            bases = bases[:1] + ">" + bases[2:]
        text = f">rec{r} description {r}\n" + "".join(bases[i : i + width] + eol for i in range(0, length, width))
        out.append(text)
        total += len(text)
        r += 1
    return "".join(out)


_BUILD = (
    "import sys, sekva\n"
    "try:\n"
    "    sekva.Faidx(sys.argv[1], indexname=sys.argv[2])\n"
    "except Exception as e:\n"
    "    print(type(e).__name__, e)\n"
)


# The index alone, as sekva fqidx builds it: a large FASTQ file's is written as the reads are scanned.
_BUILD_ONLY = (
    "import sys, warnings, sekva\n"
    "with warnings.catch_warnings(record=True) as said:\n"
    "    warnings.simplefilter('always')\n"
    "    try:\n"
    "        sekva._build_index(sys.argv[1], sys.argv[2])\n"
    "    except Exception as e:\n"
    "        print(type(e).__name__, e)\n"
    "sys.stderr.write(''.join(f'{w.message}\\n' for w in said))\n"
)


def _build_with_threads(path, index, threads, script=_BUILD):
    env = dict(os.environ, RAYON_NUM_THREADS=str(threads))
    out = subprocess.run([sys.executable, "-c", script, path, index], env=env, capture_output=True, text=True,
                         check=True)
    return out.stdout + out.stderr, open(index, "rb").read() if os.path.exists(index) else None


def _longer_line_near_the_end(text):
    at = text.index("\n", len(text) - 1000) + 1
    return text[:at] + "A" * 5000 + "\n" + text[at:]


def _blank_line_in_the_middle(text):
    at = text.index("\n", len(text) // 2) + 1
    return text[:at] + "\n" + text[at:]


def _not_utf8_in_the_middle(text):
    at = text.index("\n", len(text) // 3) + 1
    return text[:at] + "AC\udcff\n" + text[at:]


@pytest.mark.parametrize("change", [None, _longer_line_near_the_end, _blank_line_in_the_middle, _not_utf8_in_the_middle])
def test_large_files_index_in_pieces_as_in_order(tmp_path, change):
    # A build split over threads writes the index, or refuses the file with the message, of the
    # build in order.
    text = _large_genome(3)
    if change is not None:
        text = change(text)
    path = tmp_path / "big.fa"
    path.write_bytes(text.encode("utf-8", "surrogateescape"))
    in_order = _build_with_threads(str(path), str(tmp_path / "one.fai"), 1)
    in_pieces = _build_with_threads(str(path), str(tmp_path / "three.fai"), 3)
    assert in_pieces == in_order
    assert (in_order[1] is None) == (change is not None)
    if change is None and shutil.which("samtools"):
        subprocess.run(["samtools", "faidx", str(path)], check=True, capture_output=True)
        assert in_pieces[1] == open(str(path) + ".fai", "rb").read()


def _short_records(seed, size, record):
    """`record(rng, i, bases, at, n)` for each record i of n bases (1 to 300, from `bases` at `at`)
    until the text holds about `size` bytes."""
    rng = random.Random(seed)
    bases = "".join(rng.choice("ACGTN") for _ in range(1 << 16))
    out, total, i = [], 0, 0
    while total < size:
        n, at = rng.randint(1, 300), rng.randrange(len(bases) - 300)
        out.append(record(rng, i, bases, at, n))
        total += len(out[-1])
        i += 1
    return "".join(out)


def _insert_after(text, fraction, insert, start):
    """`insert` before the first line that begins with `start` from `fraction` of the text on."""
    at = text.index("\n" + start, int(len(text) * fraction)) + 1
    return text[:at] + insert + text[at:]


def _large_records(seed, size=40 << 20, nbsp=True):
    """FASTA text of about `size` bytes of short records (as a transcriptome or reads as FASTA are):
    up to 300 bases on one line or in lines of 60, some names ending at a tab or (with `nbsp`) at
    U+00A0, where samtools, which ends them only at ASCII white space, would not."""
    def record(rng, i, bases, at, n):
        w = rng.choice([n, 60])
        head = f">rec{i}" + ("", " lane 1", "\tx", "\u00a0y" if nbsp else "")[i % 4]
        return head + "\n" + "".join(bases[at + k : at + min(k + w, n)] + "\n" for k in range(0, n, w))
    return _short_records(seed, size, record)


def _record_after(text, fraction, insert):
    return _insert_after(text, fraction, insert, ">rec")


def _later_records_said(index):
    """What is said of each later record of a name in .fai text, in order."""
    seen, said = set(), []
    for line in index.decode().splitlines():
        name, _, offset = line.split("\t")[:3]
        if name in seen:
            said.append(f'WARNING: Ignoring duplicate sequence "{name}" at byte offset {offset}')
        seen.add(name)
    return said


@pytest.mark.parametrize("make", [
    lambda: _large_records(5, nbsp=False),
    lambda: _record_after(_record_after(_large_records(5), 0.9, ">rec2\u00a0z\nAC\n>rec7 again\nA\n"), 0.05,
                          ">rec7 " + "d" * 3000 + "\nACGT\n"),                       # names read back from far
    lambda: _record_after(_large_records(5), 0.5, ">rec3\n") + ">rec3",        # headers without bases
    lambda: _record_after(_large_records(5), 0.4, ">bad\udcff\nAC\n"),            # a header that is not UTF-8
    lambda: _record_after(_large_records(5), 0.6, ">odd\nACG\nACGTA\n"),           # a line longer than the first
    lambda: _record_after(_large_records(5), 0.7, ">gap\nAC\n\nAC\n"),             # a body line after an empty one
], ids=["records", "repeated-names", "repeated-without-bases", "header-not-utf8", "longer-line", "empty-line"])
def test_large_fasta_index_built_alone_is_the_index_in_order(tmp_path, request, make):
    # The index alone (as sekva faidx builds it) is written as the records are scanned, keeping
    # every record; each later record of a name is said as samtools says it.
    path = tmp_path / "big.fa"
    path.write_bytes(make().encode("utf-8", "surrogateescape"))
    in_order = _build_with_threads(str(path), str(tmp_path / "one.fai"), 1)
    assert _build_with_threads(str(path), str(tmp_path / "three.fai"), 3) == in_order
    out, index = _build_with_threads(str(path), str(tmp_path / "streamed.fai"), 3, _BUILD_ONLY)
    assert index == in_order[1]
    assert not [name for name in os.listdir(tmp_path) if ".tmp" in name]
    if index is None:
        assert out == in_order[0]
        return
    said = _later_records_said(index)
    assert out.splitlines() == said and bool(said) == request.node.callspec.id.startswith("repeated")
    if request.node.callspec.id == "records" and shutil.which("samtools"):
        subprocess.run(["samtools", "faidx", str(path)], check=True, capture_output=True)
        assert index == open(str(path) + ".fai", "rb").read()


def _large_reads(seed, size=40 << 20, width=0):
    """FASTQ text of about `size` bytes of reads of up to 300 bases, their qualities often starting
    with '@'; lines of `width` (0: one line), a blank line after some reads."""
    quals = "".join(random.Random(seed + 1).choice("@@@ABCDEFGHI#!+~") for _ in range(1 << 16))

    def record(rng, i, bases, at, n):
        w = width or n
        lines = [f"@read{i}" + (" lane 1" if i % 3 else "")]
        lines += [bases[at + k : at + min(k + w, n)] for k in range(0, n, w)]
        lines += ["+"] + [quals[at + k : at + min(k + w, n)] for k in range(0, n, w)]
        return "\n".join(lines) + ("\n\n" if i % 50 == 7 else "\n")
    return _short_records(seed, size, record)


def _read_after(text, fraction, insert):
    return _insert_after(text, fraction, insert, "@read")


@pytest.mark.parametrize("make", [
    lambda: _large_reads(4),
    lambda: _large_reads(5, width=60),                                          # reads over several lines
    lambda: _read_after(_large_reads(4), 0.5, "@read3\nACGT\n+\nIIII\n"),        # a name seen before
    lambda: _read_after(_read_after(_large_reads(4), 0.9, "@dup\tx\nAC\n+\nII\n@read3\nA\n+\nI\n"), 0.05,
                        "@dup " + "d" * 3000 + "\nA\n+\nI\n"),                     # names read back from far
    lambda: _read_after(_large_reads(4), 0.6, "@x\nACGT\n+\nIIIII\n"),           # more qualities than bases
    lambda: _read_after(_large_reads(4), 0.3, "+\n"),                             # no '@' line
    lambda: _large_reads(4)[:-30],                                             # the last read cut short
], ids=["reads", "wrapped", "repeated-name", "repeated-twice", "too-many-qualities", "no-name-line", "cut-short"])
def test_large_fastq_files_index_in_pieces_as_in_order(tmp_path, make):
    text = make()
    path = tmp_path / "big.fq"
    path.write_text(text)
    in_order = _build_with_threads(str(path), str(tmp_path / "one.fai"), 1)
    in_pieces = _build_with_threads(str(path), str(tmp_path / "three.fai"), 3)
    assert in_pieces == in_order
    assert _build_with_threads(str(path), str(tmp_path / "streamed.fai"), 3, _BUILD_ONLY) == in_order
    assert not [name for name in os.listdir(tmp_path) if ".tmp" in name]
    if in_order[1] is not None and shutil.which("samtools"):
        subprocess.run(["samtools", "fqidx", str(path)], check=True, capture_output=True)
        assert in_pieces[1] == open(str(path) + ".fai", "rb").read()


def test_large_fastq_index_written_as_scanned_replaces_through_links(tmp_path):
    path = tmp_path / "big.fq"
    path.write_text(_read_after(_large_reads(6), 0.5, "@read3\nACGT\n+\nIIII\n"))
    expected = _build_with_threads(str(path), str(tmp_path / "one.fai"), 1)
    (tmp_path / "real.fai").write_text("old\t1\t1\t1\t2\n")
    os.chmod(tmp_path / "real.fai", 0o640)
    os.symlink("real.fai", tmp_path / "link.fai")
    assert _build_with_threads(str(path), str(tmp_path / "link.fai"), 3, _BUILD_ONLY) == expected
    assert os.path.islink(tmp_path / "link.fai") and os.stat(tmp_path / "real.fai").st_mode & 0o777 == 0o640
    assert sorted(os.listdir(tmp_path)) == ["big.fq", "link.fai", "one.fai", "real.fai"]


def test_duplicate_names_resolve_to_the_later_record(write):
    fa = Faidx(write(">a\nAC\n>a\nGGG\n"))
    assert fa.keys == ["a"]
    assert fa.fetch_entire_sequence("a").seq == "GGG"


def test_keys_are_exact(write):
    fa = Faidx(write(">chr1\nAC\n>chr2 x\nG\n"))
    assert sorted(fa.keys) == ["chr1", "chr2"]
    assert fa.keys is not fa.keys and fa.keys == fa.keys
    for absent in ("CHR1", " chr1", "chr1 ", "chr"):
        assert absent not in fa


def test_invalid_utf8_fails_the_build_but_not_a_load(write):
    path = write(b">a\nAC\xff\n")
    with pytest.raises(Exception, match="^IOError: stream did not contain valid UTF-8$"):
        Faidx(path)
    assert not os.path.exists(path + ".fai")
    with open(path + ".fai", "w") as f:
        f.write("a\t3\t3\t3\t4\n")
    bump_mtime(path + ".fai", 5)
    assert Faidx(path).keys == ["a"]


@pytest.mark.parametrize(
    "lines, result",
    [
        ("a\t1\t2\t3\t4\t\n", {"a": (1, 2, 3, 4)}),
        ("a\t1\t2\t3\t4\tx\n", {}),
        ("a\t1\t2\t3\n", {}),
        ("a\t+1\t2\t3\t4   \n", {"a": (1, 2, 3, 4)}),
        ("\n\n", {}),
        ("", {}),
        ("a b\t1\t2\t3\t4\r\n", {"a b": (1, 2, 3, 4)}),
        ("a\t1\t2\t3\t4\na\t5\t6\t7\t8", {"a": (5, 6, 7, 8)}),
        ("\u00a0a\t18446744073709551615\t2\t3\t4\u3000\n", {"a": (2**64 - 1, 2, 3, 4)}),
    ],
)
def test_index_reading(write, lines, result):
    path = write(">a\nACGT\n")
    write(lines, "x.fa.fai")
    bump_mtime(path + ".fai", 5)
    assert sorted(Faidx(path).keys) == sorted(result)


@pytest.mark.parametrize(
    "line, message",
    [
        ("a\t 1\t2\t3\t4", "Invalid rlen"),
        ("a\t1\t-2\t3\t4", "Invalid offset"),
        ("a\t1\t2\t\t4", "Invalid lenc"),
        ("a\t1\t2\t3\t18446744073709551616", "Invalid lenb"),
        ("a\t1\t2\t3\t+", "Invalid lenb"),
        ("a\t1.0\t2\t3\t4", "Invalid rlen"),
        ("a\t1,000\t2\t3\t4", "Invalid rlen"),
    ],
)
def test_bad_index_numbers(write, line, message):
    path = write(">a\nACGT\n")
    write(line + "\n", "x.fa.fai")
    bump_mtime(path + ".fai", 5)
    with pytest.raises(Exception, match=f"^FastaIndexingError: {message}$"):
        Faidx(path)


def test_index_with_invalid_utf8(write):
    path = write(">a\nACGT\n")
    write(b"a\t1\t2\t3\t4\n\xff\n", "x.fa.fai")
    bump_mtime(path + ".fai", 5)
    with pytest.raises(Exception, match="^IOError: stream did not contain valid UTF-8$"):
        Faidx(path)


def test_rebuild_decisions(write):
    path = write(">a\nACGT\n")
    Faidx(path)
    with open(path + ".fai", "w") as f:
        f.write("old\t1\t3\t1\t2\n")
    bump_mtime(path + ".fai", -10)
    assert Faidx(path, rebuild=False).keys == ["old"]
    assert Faidx(path, build_index=False).keys == ["old"]
    assert Faidx(path).keys == ["a"]
    bump_mtime(path + ".fai", 10)  # a newer index is trusted as it is
    with open(path + ".fai", "w") as f:
        f.write("new\t1\t3\t1\t2\n")
    assert Faidx(path).keys == ["new"]


def test_missing_files(write, tmp_path):
    path = write(">a\nAC\n")
    with pytest.raises(Exception, match=f"^IndexNotFoundError: {path}.fai$"):
        Faidx(path, build_index=False)
    os.chdir(tmp_path)
    with pytest.raises(Exception, match="^FastaNotFoundError: missing.fa$"):
        Faidx("missing.fa")
    assert not os.path.exists("missing.fa.fai")
    with pytest.raises(Exception, match=r"^IOError: No such file or directory \(os error 2\)$"):
        Faidx(path, indexname=str(tmp_path / "nodir" / "x.fai"))


def test_explicit_index_name(write, tmp_path):
    path = write(">a\nAC\n")
    index = str(tmp_path / "custom.idx")
    assert Faidx(path, indexname=index).keys == ["a"]
    assert os.path.exists(index) and not os.path.exists(path + ".fai")


@pytest.mark.skipif(os.geteuid() == 0, reason="root ignores file permissions")
def test_unreadable_fasta(write):
    path = write(">a\nAC\n")
    os.chmod(path, 0)
    with pytest.raises(Exception, match=r"^IOError: Permission denied \(os error 13\)$"):
        Faidx(path)


def test_mutable_on_read_only_file(write, tmp_path):
    path = write(">a\nAC\n")
    Faidx(path)
    os.chmod(path, stat.S_IRUSR)
    if os.geteuid() == 0:
        pytest.skip("root may write to any file")
    with pytest.raises(Exception, match=r"^IOError: Permission denied \(os error 13\)$"):
        Faidx(path, mutable=True)


def test_failed_index_write_leaves_no_partial_file(write, tmp_path):
    path = write(">a\nAC\n")
    target = tmp_path / "dir"
    target.mkdir()
    index = str(target / "x.fai")
    os.mkdir(index)  # a directory where the index should go: rename must fail
    with pytest.raises(Exception, match="^IOError: "):
        Faidx(path, indexname=index)
    assert os.listdir(target) == ["x.fai"] and os.listdir(index) == []


def test_index_permissions_follow_the_umask(write):
    old = os.umask(0o027)
    try:
        path = write(">a\nAC\n")
        Faidx(path)
    finally:
        os.umask(old)
    assert stat.S_IMODE(os.stat(path + ".fai").st_mode) == 0o640


def test_index_through_a_symlink_updates_the_target(write, tmp_path):
    path = write(">a\nAC\n")
    real = tmp_path / "real.fai"
    real.write_text("")
    os.symlink(real, path + ".fai")
    bump_mtime(path, 10)
    assert Faidx(path).keys == ["a"]
    assert os.path.islink(path + ".fai") and real.read_text() == "a\t2\t3\t2\t3\n"


def _open_and_count(path):
    return len(Faidx(path).keys)


def test_concurrent_openers_see_a_complete_index(tmp_path):
    records = 3000
    path = tmp_path / "many.fa"
    path.write_text("".join(f">r{i}\nACGTACGT\n" for i in range(records)))
    ctx = multiprocessing.get_context("fork")
    for _ in range(3):
        if os.path.exists(str(path) + ".fai"):
            os.unlink(str(path) + ".fai")
        with ctx.Pool(6) as pool:
            assert pool.map(_open_and_count, [str(path)] * 12) == [records] * 12
    assert not [p for p in os.listdir(tmp_path) if ".tmp." in p]


def test_directory_as_index_path(write, tmp_path):
    path = write(">a\nAC\n")
    d = tmp_path / "adir"
    d.mkdir()
    bump_mtime(str(d), 100)
    with pytest.raises(Exception, match=r"^IOError: Is a directory \(os error 21\)$"):
        Faidx(path, indexname=str(d))


def test_special_fasta_paths(tmp_path):
    d = tmp_path / "dir.fa"
    d.mkdir()
    with pytest.raises(Exception, match=r"^IOError: Is a directory \(os error 21\)$"):
        Faidx(str(d))
    fifo = tmp_path / "pipe.fa"
    os.mkfifo(fifo)
    # A pipe nobody writes to must not hang the open: it reads as an empty file.
    code = f"from sekva import Faidx; print(Faidx({str(fifo)!r}).keys)"
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=30)
    assert out.stdout.strip() == "[]", out.stderr


# --- records whose lines the five columns cannot describe ------------------------------------

def _model_index(data):
    """The five columns of every named record, by the plain line-by-line rules; raises ValueError
    with the message the scan gives for a record whose lines are not all of its first line's
    length (the last may be shorter) or that goes on after an empty line."""
    entries, record, number, pos = [], None, 0, 0

    def close():
        if record and record["name"]:
            lines = record["lines"]
            first, blank, odd = None, None, None
            for bases, size, n in lines:
                if first is None:
                    first = (bases, size)
                    blank = n if bases == 0 else None
                elif bases == 0:
                    blank = blank or n
                elif blank:
                    raise ValueError(f"sequence '{record['name']}': line {blank} is empty, but sequence lines follow it")
                elif odd:
                    raise ValueError(
                        f"sequence '{record['name']}': line {odd} differs in length from the record's first line; "
                        "only the last line may be shorter"
                    )
                elif (bases, size) != first:
                    if bases > first[0]:
                        raise ValueError(f"sequence '{record['name']}': line {n} is longer than the record's first line")
                    odd = n
            lenc, lenb = first or (0, 0)
            entries.append(f"{record['name']}\t{sum(b for b, _, _ in lines)}\t{record['offset']}\t{lenc}\t{lenb}\n")

    while pos < len(data):
        nl = data.find(b"\n", pos)
        end = len(data) if nl < 0 else nl + 1
        line, pos = data[pos:end], end
        number += 1
        if line.startswith(b">"):
            close()
            words = line[1:].decode().strip(" \t\r\n").split()
            record = {"name": words[0] if words else "", "offset": pos, "lines": []}
        elif record:
            record["lines"].append((len(line.rstrip(b"\r\n")), len(line), number))
    close()
    return "".join(entries)


def _random_fasta(rng, size, flaw=None):
    """About `size` bytes of records with random widths, line ends, blank tails and huge single
    lines; with `flaw`, one record gets an odd line ("odd") or an empty line ("blank") inside."""
    out, total, flawed = [], 0, None
    while total < size:
        name = f"r{len(out)}"
        width = rng.choice([1, 7, 60, 61, 80, 999, 250_000])
        length = rng.choice([0, 1, width, width + 1, rng.randint(0, 300_000)])
        newline = "\r\n" if rng.random() < 0.2 else "\n"
        bases = "".join(rng.choices("ACGTNacgt", k=length))
        lines = [bases[i : i + width] for i in range(0, length, width)]
        if flaw and flawed is None and len(lines) >= 3 and rng.random() < 0.5:
            at = rng.randrange(len(lines) - 1)
            lines[at] = lines[at][: rng.randrange(len(lines[at]))] if flaw == "odd" else ""
            flawed = name
        text = f">{name} description {len(out)}\n" + "".join(line + newline for line in lines)
        text += newline * rng.choice([0, 0, 1, 3])
        out.append(text)
        total += len(text)
    if rng.random() < 0.5:
        out[-1] = out[-1].rstrip("\r\n")
    return "".join(out).encode(), flawed


@pytest.mark.parametrize("seed", range(6))
def test_large_random_files_match_the_line_model(write, seed):
    rng = random.Random(seed)
    data, _ = _random_fasta(rng, rng.randint(2_500_000, 4_000_000))  # several read chunks
    path = write(data)
    Faidx(path)
    assert open(path + ".fai").read() == _model_index(data)


@pytest.mark.parametrize("seed", range(8))
@pytest.mark.parametrize("flaw", ["odd", "blank"])
def test_records_with_lines_the_index_cannot_describe_are_refused(write, seed, flaw):
    rng = random.Random(seed)
    data, flawed = _random_fasta(rng, rng.randint(200_000, 2_500_000), flaw)
    path = write(data)
    if flawed is None:
        Faidx(path)
        return
    with pytest.raises(ValueError) as expected:
        _model_index(data)
    with pytest.raises(Exception) as got:
        Faidx(path)
    assert str(got.value) == "FastaIndexingError: " + str(expected.value)
    assert f"'{flawed}'" in str(got.value) and not os.path.exists(path + ".fai")


@pytest.mark.parametrize(
    "fasta, message",
    [
        (">a\nACGT\nAC\nACGT\n", "sequence 'a': line 3 differs in length from the record's first line; only the last line may be shorter"),
        (">a\nACGT\nACGTA\n", "sequence 'a': line 3 is longer than the record's first line"),
        (">a\n\nACGT\n", "sequence 'a': line 2 is empty, but sequence lines follow it"),
        (">a\nACGT\n\nACGT\n", "sequence 'a': line 3 is empty, but sequence lines follow it"),
        (">a\nACGT\r\nACGT\nACGT\r\n", "sequence 'a': line 3 differs in length from the record's first line; only the last line may be shorter"),
        (">a\nAC\r\r\nG\rT\n", "sequence 'a': line 3 is longer than the record's first line"),
        (">a\n;comment\n >not a header\n", "sequence 'a': line 3 is longer than the record's first line"),
    ],
)
def test_irregular_records_name_the_record_and_line(write, fasta, message):
    path = write(fasta)
    with pytest.raises(Exception, match="^FastaIndexingError: ") as info:
        Faidx(path)
    assert str(info.value) == "FastaIndexingError: " + message and not os.path.exists(path + ".fai")


BIOPYTHON_TESTS = "/usr/share/doc/python-biopython-doc/Tests"


@pytest.mark.parametrize("name", ["Blat/CAG33136.1.fasta", "codonalign/nucl1.fa"])
def test_real_files_with_unequal_lines_are_refused(tmp_path, name):
    source = os.path.join(BIOPYTHON_TESTS, name)
    if not os.path.exists(source):
        pytest.skip("Debian's Biopython test data is not installed")
    path = str(tmp_path / "x.fa")
    shutil.copy(source, path)
    with pytest.raises(Exception, match="^FastaIndexingError: sequence '"):
        Faidx(path)
    assert not os.path.exists(path + ".fai")
