"""FASTQ files: the six-column index against samtools fqidx, bases and qualities against a model of the reads."""
import contextlib
import os
import random
import re
import shutil
import subprocess
import sys
import tempfile

import pytest

import sekva

PEERS = os.path.join(os.path.dirname(__file__), "..", "..", "shared", "peers-data")
PEERS = os.environ.get("SEKVA_PEERS_DATA", "/work/shared/peers-data" if not os.path.isdir(PEERS) else PEERS)
needs_samtools = pytest.mark.skipif(shutil.which("samtools") is None, reason="samtools not installed")
needs_bgzip = pytest.mark.skipif(shutil.which("bgzip") is None, reason="bgzip not installed")

BASES = "ACGTNacgtn"
QUALS = "".join(chr(c) for c in range(33, 127))


def make_reads(seed, count=40, longest=300):
    """Seeded (name, bases, qualities) triples; names unique."""
    rng = random.Random(seed)
    reads = []
    for i in range(count):
        n = rng.randint(1, longest)
        reads.append((f"r{seed}_{i}", "".join(rng.choice(BASES) for _ in range(n)),
                      "".join(rng.choice(QUALS) for _ in range(n))))
    return reads


def fastq_text(reads, width=0, eol="\n", blank=False, desc=False, seed=0):
    """FASTQ text of the reads: bases and qualities in lines of `width` (0: one line)."""
    rng = random.Random(seed)
    out = []
    for name, bases, quals in reads:
        head = f"@{name}" + (f" desc {rng.randint(0, 99)}" if desc else "")
        w = width or len(bases)
        out.append(head + eol)
        out += [bases[i:i + w] + eol for i in range(0, len(bases), w)]
        out.append("+" + (name if desc else "") + eol)
        out += [quals[i:i + w] + eol for i in range(0, len(quals), w)]
        if blank:
            out.append(eol)
    return "".join(out)


def samtools_index(path):
    """samtools fqidx's index of a copy of the file, as bytes."""
    theirs = path + ".samtools" + (".gz" if path.endswith(".gz") else ".fq")
    shutil.copyfile(path, theirs)
    subprocess.run(["samtools", "fqidx", theirs], check=True, capture_output=True)
    with open(theirs + ".fai", "rb") as f:
        return f.read()


def bgzip(path):
    subprocess.run(["bgzip", "-f", "-k", path], check=True)
    return path + ".gz"


def read_bytes(path):
    with open(path, "rb") as f:
        return f.read()


LAYOUTS = [dict(), dict(width=60), dict(width=7, blank=True), dict(width=50, eol="\r\n"), dict(desc=True, width=1)]


@needs_samtools
@pytest.mark.parametrize("compressed", [False, pytest.param(True, marks=needs_bgzip)])
@pytest.mark.parametrize("layout", range(len(LAYOUTS)))
def test_index_is_samtools_index(tmp_path, layout, compressed):
    reads = make_reads(layout)
    path = str(tmp_path / "r.fq")
    with open(path, "w", newline="") as f:
        f.write(fastq_text(reads, seed=layout, **LAYOUTS[layout]))
    if compressed:
        path = bgzip(path)
    expected = samtools_index(path)
    sekva.Faidx(path)
    assert read_bytes(path + ".fai") == expected


PEER_FILES = ["htslib/fastqs.fq", "htslib/single.fq", "htslib/multiline.fq", "htslib/longline.fq",
              "htslib/minimal.fq", "pysam/faidx_ex1.fq", "pyfastx/test.fq"]


@needs_samtools
@pytest.mark.parametrize("name", PEER_FILES)
def test_peer_files_index_as_samtools(tmp_path, name, capfd):
    source = os.path.join(PEERS, name)
    if not os.path.exists(source):
        pytest.skip("peer data not present")
    path = str(tmp_path / os.path.basename(name))
    shutil.copyfile(source, path)
    expected = samtools_index(path)
    sekva.Faidx(path)
    assert read_bytes(path + ".fai") == expected
    if name == "htslib/fastqs.fq":
        assert expected == read_bytes(source + ".expected.fai")
    # A repeated name is indexed once, at its first read, and each later read is reported.
    err = capfd.readouterr().err
    if name == "pysam/faidx_ex1.fq":
        assert 'WARNING: Ignoring duplicate sequence "B7_589:1:101:825:28" at byte offset 116' in err


@needs_samtools
@pytest.mark.parametrize("name", PEER_FILES)
def test_peer_files_whole_reads_as_samtools(tmp_path, name):
    source = os.path.join(PEERS, name)
    if not os.path.exists(source):
        pytest.skip("peer data not present")
    path = str(tmp_path / os.path.basename(name))
    shutil.copyfile(source, path)
    fasta = sekva.Fasta(path)
    names = fasta.keys()
    theirs = subprocess.run(["samtools", "fqidx", path] + names, check=True, capture_output=True).stdout
    assert fasta.fetch_fastq(names) == theirs


def test_htslib_expected_regions():
    """htslib's own expected output for four regions (its test program adds ' length: N' to heads)."""
    path = os.path.join(PEERS, "htslib", "fastqs.fq")
    if not os.path.exists(path):
        pytest.skip("peer data not present")
    expected = read_bytes(os.path.join(PEERS, "htslib", "fastqs.1.expected.fq")).decode().split("\n")
    with tempfile.TemporaryDirectory() as tmp:
        copy = os.path.join(tmp, "fastqs.fq")
        shutil.copyfile(path, copy)
        fasta = sekva.Fasta(copy)
        got = []
        for region in ["FAKE0006_1:4-12", "FSRRS4401BE7HA_1:81-120", "FAKE0010_2", "SRR014849.50939_3:71-90"]:
            name, _, span = region.partition(":")
            start, end = map(int, span.split("-")) if span else (1, len(fasta[name]))
            bases = fasta.get_seq(name, start, end).seq
            got += [f"@{region} length: {len(bases)}", bases, "+", fasta.get_quality(name, start, end)]
    lines = [line for line in expected if line]
    # The expected file wraps at 60; compare the joined lines of each record.
    records, current = [], None
    for line in lines:
        if line.startswith("@") and (current is None or current[2] is not None):
            current = [line, "", None, ""]
            records.append(current)
        elif line == "+" and current[2] is None:
            current[2] = "+"
        elif current[2] is None:
            current[1] += line
        else:
            current[3] += line
    assert [x for r in records for x in r] == got


# Text samtools refuses, the read it names and the line.
REFUSED = [
    ("@r1\nAC\n\nGT\n+\nIIII\n", "r1", "line 3"),
    ("@r1\nACGT\n+\nIII\n", "r1", "line 4"),
    ("@r1\nACGT\n+\nIIIII\n", "r1", "line 4"),
    ("@r1\nACG\nACGT\n+\nIIIIIII\n", "r1", "line 3"),
    ("@r1\nACGT\nAC\nIIIIII\n", "r1", "line 4"),
    ("@r1\nACGT\n+\nIIII\n>r2\nACGT\n", "r1", "line 5"),
    ("@r1", "r1", "line 1"),
    ("@r1\n+\n\n", "r1", "line 3"),
    ("@r1\nACGT\nAC\n+\nIII\nIII\n", "r1", "line 5"),
    ("@r1\nACGT\n+\nIIII\nxyz\n", "r1", "line 5"),
    ("@r1\nACGT\n+\nIIII\n\n\r \n", "r1", "line 6"),
    ("@r1\nACGT\n+\nI\nIII\n", "r1", "line 4"),
]


@needs_samtools
@pytest.mark.parametrize("text,read,line", REFUSED)
def test_refused_as_samtools_refuses(write, text, read, line):
    path = write(text, "bad.fq")
    copy = write(text, "copy.fq")
    assert subprocess.run(["samtools", "fqidx", copy], capture_output=True).returncode != 0
    with pytest.raises(Exception) as e:
        sekva.Fasta(path)
    message = str(e.value)
    assert message.startswith("FastaIndexingError: ")
    assert f"read '{read}'" in message and re.search(rf"\b{line}\b", message)
    assert not os.path.exists(path + ".fai")


@pytest.mark.parametrize("text,line", [
    ("@r1\nAC GT\n+\nIIIII\n", "line 2"),          # samtools counts 4 bases on a 6-byte line
    ("@r1\nACGT\n+\nII\tII\n", "line 4"),
    ("@r1\nACGT\r\nACGTA\n+\nIIIII\r\nIIII\n", "line 3"),  # CR LF then LF: one more base per line
])
def test_lines_no_geometry_describes_are_refused(write, text, line):
    path = write(text, "odd.fq")
    with pytest.raises(Exception, match=f"^FastaIndexingError: read 'r1': {line} "):
        sekva.Fasta(path)
    assert not os.path.exists(path + ".fai")


def test_index_of_other_format_is_rebuilt_or_refused(write):
    fq = write("@r1\nACGT\n+\nIIII\n", "a.fq")
    fa = write(">s\nACGT\n", "a.fa")
    with open(fq + ".fai", "w") as f:
        f.write("r1\t4\t4\t4\t5\n")
    with open(fa + ".fai", "w") as f:
        f.write("s\t4\t3\t4\t5\t12\n")
    for path in (fq, fa):
        with pytest.raises(Exception, match="^FastaIndexingError: .* (is a FASTA index|has six columns)"):
            sekva.Fasta(path, rebuild=False)
    assert sekva.Fasta(fq).get_quality("r1", 1, 4) == "IIII"
    assert read_bytes(fq + ".fai") == b"r1\t4\t4\t4\t5\t11\n"
    assert str(sekva.Fasta(fa)["s"]) == "ACGT"
    assert read_bytes(fa + ".fai") == b"s\t4\t3\t4\t5\n"


@pytest.mark.parametrize("text,fastq,expected", [
    ("@r1\nACGT\n+\nIIII\n@r1\nA\n+\nI\n", True, b"r1\t4\t4\t4\t5\t11\n"),
    (">s\nACGT\n>t\nA\n", False, b"s\t4\t3\t4\t5\nt\t1\t11\t1\t2\n"),
])
def test_index_only_build_replaces_whatever_lies_there(write, text, fastq, expected):
    path = write(text, "b.fq")
    with open(path + ".fai", "w") as f:  # newer than the file, and wrong: opening would keep it
        f.write("old\t1\t1\t1\t2\n")
    for index in (None, path + ".other"):
        with pytest.warns(UserWarning, match="duplicate") if fastq else contextlib.nullcontext():
            assert sekva._build_index(path, index) is fastq
        assert read_bytes(index or path + ".fai") == expected


def test_index_only_build_refuses_what_opening_refuses(write):
    path = write("@r1\nACGT\n+\nIII\n", "bad.fq")
    with pytest.raises(sekva.FastaIndexingError, match="read 'r1'"):
        sekva._build_index(path, None)
    with pytest.raises(sekva.FastaNotFoundError):
        sekva._build_index(path + ".missing", None)
    assert not os.path.exists(path + ".fai")


def _large_index(count, damage):
    """The text of a six-column index of `count` reads (one name too long to be held in place),
    with `damage` put on its line count - 3."""
    lines = [f"read{i}{'x' * 50 if i == 7 else ''}\t4\t{7 + 19 * i}\t4\t5\t{14 + 19 * i}\n" for i in range(count)]
    lines[-3] = damage(lines[-3])
    return "".join(lines)


@pytest.mark.parametrize("damage", [
    lambda line: line,
    lambda line: line.replace("\t4\t", "\t4x\t", 1),      # not a number
    lambda line: line.rsplit("\t", 1)[0] + "\n",          # five columns among six
    lambda line: "\udcff" + line,                          # not UTF-8
    lambda line: line + "a\tb\n",                          # a line of other columns, skipped
], ids=["whole", "bad-number", "mixed", "not-utf8", "skipped-line"])
def test_a_table_of_some_names_reads_the_whole_index_as_a_full_one(write, damage):
    # Over 16 MiB of index: read in several pieces, and each parsed on the pool.
    path = write("@read0\nACGT\n+\nIIII\n@read1\nGGCC\n+\nJJJJ\n", "many.fq")
    count = 800_000
    with open(path + ".fai", "wb") as f:
        f.write(_large_index(count, damage).encode("utf-8", "surrogateescape"))
    wanted = ["read1", "read0", "nope", f"read{count - 1}", "read7" + "x" * 50, f"read{count - 3}", "read1"]

    def outcome(open_it):
        try:
            fasta = open_it()
        except Exception as e:
            return f"{type(e).__name__}: {e}"
        return [(k, len(fasta[k])) for k in fasta.keys()]

    full = outcome(lambda: sekva.Fasta(path, rebuild=False))
    some = outcome(lambda: sekva._fasta_of_names(wanted, path, rebuild=False))
    if isinstance(full, str):
        assert some == full
    else:
        assert some == [kv for kv in full if kv[0] in wanted]
        fasta = sekva._fasta_of_names(wanted, path, rebuild=False)
        assert (str(fasta["read1"]), fasta["read0"].quality) == ("GGCC", "IIII")


def test_a_table_of_some_names_knows_the_index_layout(write):
    fq = write("@r1\nACGT\n+\nIIII\n", "l.fq")
    fa = write(">s\nACGT\n", "l.fa")
    sekva.Fasta(fq), sekva.Fasta(fa)
    assert sekva._fasta_of_names([], fq).fetch_fastq([]) == b""  # FASTQ, with no read listed
    with pytest.raises(ValueError):
        sekva._fasta_of_names([], fa).fetch_fastq([])
    os.remove(fq + ".fai")  # built again, then only the names asked for listed
    assert sekva._fasta_of_names(["r1", "r2"], fq).keys() == ["r1"]
    assert read_bytes(fq + ".fai") == b"r1\t4\t4\t4\t5\t11\n"


def test_mixed_index_is_refused(write):
    fq = write("@r1\nACGT\n+\nIIII\n@r2\nA\n+\nI\n", "m.fq")
    with open(fq + ".fai", "w") as f:
        f.write("r1\t4\t4\t4\t5\t11\nr2\t1\t20\t1\t2\n")
    with pytest.raises(Exception, match="^FastaIndexingError: the index mixes"):
        sekva.Fasta(fq, rebuild=False)


def test_leading_blank_lines_and_crlf_reads(write):
    fq = write("\n\r\n@r1 x\r\nACGT\r\nAC\r\n+\r\nIIII\r\nJJ\r\n\r\n@r2\r\nG\r\n+\r\n#\r\n", "c.fq")
    f = sekva.Fasta(fq)
    assert (str(f["r1"]), f["r1"].quality, str(f["r2"]), f["r2"].quality) == ("ACGTAC", "IIIIJJ", "G", "#")


# --- bases and qualities against a model of the reads ---------------------------------------------

@pytest.fixture(params=[(False, 0), (False, 13), pytest.param((True, 9), marks=needs_bgzip)],
                ids=["plain", "multiline", "bgzf"])
def opened(request, tmp_path):
    compressed, width = request.param
    reads = make_reads(7 + width, count=60)
    path = str(tmp_path / "m.fq")
    with open(path, "w") as f:
        f.write(fastq_text(reads, width=width, blank=width == 13))
    if compressed:
        path = bgzip(path)
    return path, {name: (bases, quals) for name, bases, quals in reads}


def test_bases_paths(opened):
    path, model = opened
    fasta, faidx = sekva.Fasta(path), sekva.Faidx(path)
    rng = random.Random(1)
    assert sorted(fasta.keys()) == sorted(model)
    regions = []
    for name, (bases, _) in model.items():
        assert str(fasta[name]) == bases and len(fasta[name]) == len(bases)
        s = rng.randint(1, len(bases))
        e = rng.randint(s, len(bases))
        regions.append((name, s, e))
        assert fasta.get_seq(name, s, e).seq == bases[s - 1:e]
        assert faidx.fetch(name, s, e).seq == bases[s - 1:e]
        assert fasta[name][s - 1:e].seq == bases[s - 1:e]
        if e - s >= 2:
            spliced = fasta.get_spliced_seq(name, [(s, s), (e - 1, e)]).seq
            assert spliced == bases[s - 1] + bases[e - 2:e]
    many = regions * 20  # large enough for the worker pool
    assert [x.seq for x in fasta.fetch_many(many)] == [model[n][0][s - 1:e] for n, s, e in many]
    assert [str(r) for r in fasta] == [model[n][0] for n in fasta.keys()]
    heads = [f">{n}" for n, _, _ in regions]
    expected = "".join(f">{n}\n{model[n][0][s - 1:e]}\n" for n, s, e in regions).encode()
    assert fasta.fetch_fasta(regions, heads) == expected


def test_bases_arrays(opened):
    np = pytest.importorskip("numpy")
    path, model = opened
    fasta = sekva.Fasta(path)
    regions = [(n, 1, len(b)) for n, (b, _) in model.items()]
    data, offsets = fasta.fetch_ragged(regions)
    assert [bytes(data[offsets[i]:offsets[i + 1]]).decode() for i in range(len(regions))] == \
        [model[n][0] for n, _, _ in regions]
    rows = fasta.fetch_array([(n, 1, 1) for n in model])
    assert rows.shape == (len(model), 1)
    assert bytes(rows[:, 0]).decode() == "".join(b[0] for b, _ in model.values())
    assert np.uint8 == data.dtype


def test_qualities(opened, capfd):
    path, model = opened
    fasta, faidx = sekva.Fasta(path), sekva.Faidx(path)
    rng = random.Random(2)
    for name, (bases, quals) in model.items():
        assert fasta[name].quality == quals
        s = rng.randint(1, len(bases))
        e = rng.randint(s, len(bases) + 5)
        # Same clamping as the bases: past the end is cut (with the bases' warning).
        assert fasta.get_quality(name, s, e) == quals[s - 1:e]
        assert faidx.fetch_quality(name, s, e) == quals[s - 1:e]
        assert len(fasta.get_quality(name, s, e)) == len(fasta.get_seq(name, s, e).seq)
    capfd.readouterr()
    with pytest.raises(Exception, match="^FetchError: Sequence 'nope' not found"):
        fasta.get_quality("nope", 1, 2)
    strict = sekva.Faidx(path, strict_bounds=True)
    name, (bases, _) = next(iter(model.items()))
    with pytest.raises(IndexError):
        strict.fetch_quality(name, 1, len(bases) + 1)
    upper = sekva.Fasta(path, sequence_always_upper=True)
    assert all(upper[n].quality == q for n, (_, q) in model.items())


def test_qualities_arrays(opened):
    pytest.importorskip("numpy")
    path, model = opened
    for cls in (sekva.Fasta, sekva.Faidx):
        f = cls(path)
        names = list(model)
        starts = [1 + i % 3 for i in range(len(names))]
        ends = [len(model[n][1]) for n in names]
        for phred in (True, False):
            data, offsets = f.fetch_qualities(names=names, starts=starts, ends=ends, phred=phred)
            for i, n in enumerate(names):
                want = [ord(c) - 33 * phred for c in model[n][1][starts[i] - 1:ends[i]]]
                assert data[offsets[i]:offsets[i + 1]].tolist() == want
        data, offsets = f.fetch_qualities([(names[0], 2, 3)])
        assert data.tolist() == [ord(c) - 33 for c in model[names[0]][1][1:3]]


def fastq_model(model, names, width=60):
    out = []
    for n in names:
        bases, quals = model[n]
        out.append(f"@{n}\n")
        out += [bases[i:i + width] + "\n" for i in range(0, len(bases), width)]
        out.append("+\n")
        out += [quals[i:i + width] + "\n" for i in range(0, len(quals), width)]
    return "".join(out).encode()


def test_fetch_fastq(opened):
    path, model = opened
    names = list(model)[::-1] * 30
    for cls in (sekva.Fasta, sekva.Faidx):
        assert cls(path).fetch_fastq(names) == fastq_model(model, names)
        assert cls(path).fetch_fastq(names[:3], width=0) == fastq_model(model, names[:3], 1 << 30)
    with pytest.raises(KeyError, match="name 1: no read named 'nope'"):
        sekva.Fasta(path).fetch_fastq([names[0], "nope"])


@needs_samtools
def test_fetch_fastq_is_samtools_text(opened, tmp_path):
    path, model = opened
    names = list(model)[:20]
    theirs = subprocess.run(["samtools", "fqidx", path] + names, check=True, capture_output=True).stdout
    assert sekva.Fasta(path).fetch_fastq(names) == theirs


def test_quality_methods_refuse_fasta(write):
    path = write(">s\nACGT\n", "q.fa")
    fasta, faidx = sekva.Fasta(path), sekva.Faidx(path)
    calls = [lambda: fasta.get_quality("s", 1, 2), lambda: faidx.fetch_quality("s", 1, 2),
             lambda: fasta["s"].quality, lambda: fasta.fetch_fastq(["s"]), lambda: faidx.fetch_fastq(["s"]),
             lambda: fasta.fetch_qualities([("s", 1, 2)]), lambda: faidx.fetch_qualities([("s", 1, 2)])]
    for call in calls:
        with pytest.raises(ValueError, match="has no qualities: it is a FASTA file"):
            call()


@needs_samtools
@pytest.mark.parametrize("seed", range(6))
def test_damaged_text_is_refused_or_indexed_as_samtools(tmp_path, seed):
    """Seeded edits (bytes inserted, deleted or replaced with FASTQ's own marks) of multi-line
    reads: sekva refuses exactly what samtools refuses and otherwise writes its index."""
    rng = random.Random(seed)
    clean = fastq_text(make_reads(seed, count=4, longest=12), width=rng.choice([0, 3, 5]), blank=seed % 2 == 1)
    for trial in range(40):
        text = list(clean)
        for _ in range(rng.randint(1, 3)):
            at = rng.randrange(len(text))
            kind = rng.random()
            mark = rng.choice("@+\n>AI")
            if kind < 0.4:
                text.insert(at, mark)
            elif kind < 0.7:
                del text[at]
            else:
                text[at] = mark
        text = "".join(text)
        if not text.lstrip("\n").startswith("@"):
            continue
        ours, theirs = str(tmp_path / f"o{trial}.fq"), str(tmp_path / f"t{trial}.fq")
        for p in (ours, theirs):
            with open(p, "w") as f:
                f.write(text)
        ok = subprocess.run(["samtools", "fqidx", theirs], capture_output=True).returncode == 0
        try:
            sekva.Faidx(ours)
        except Exception as e:
            assert not ok, (text, str(e))
            assert str(e).startswith("FastaIndexingError: ") and not os.path.exists(ours + ".fai")
        else:
            assert ok, text
            assert read_bytes(ours + ".fai") == read_bytes(theirs + ".fai"), text


# --- sekva fqidx against samtools fqidx -----------------------------------------------------------

def run_both(tmp_path, args, stdin=None):
    """(ours, theirs) completed processes of `sekva fqidx` and `samtools fqidx` on the same
    arguments, in two directories holding the same files; output files are read back into
    .stdout when -o names one."""
    results = []
    for who, command in (("ours", [sys.executable, "-m", "sekva_cli", "fqidx"]), ("theirs", ["samtools", "fqidx"])):
        cwd = tmp_path / who
        done = subprocess.run(command + args, cwd=cwd, input=stdin, capture_output=True)
        results.append(done)
    return results


@pytest.fixture
def cli_dir(tmp_path):
    reads = make_reads(11, count=12, longest=150)
    text = fastq_text(reads, width=50)
    text += "@dup extra\nACGT\n+\nIIII\n@dup\nGG\n+\nII\n@r:1\nACGTACGT\n+\nIIIIJJJJ\n"
    for who in ("ours", "theirs"):
        (tmp_path / who).mkdir()
        (tmp_path / who / "r.fq").write_text(text)
        (tmp_path / who / "regions.txt").write_text(f"{reads[0][0]}:5-40\n{reads[1][0]}\n{reads[2][0]}:100-900\n")
        (tmp_path / who / "empty.txt").write_text("")
    return tmp_path, reads


CLI_CASES = [
    [],
    ["{0}", "{1}", "dup"],
    ["{0}:3-20", "{1}:10", "{2}:140-300", "{3}:0-2"],
    ["-n", "7", "{0}", "{1}:5-30"],
    ["-n", "0", "{0}"],
    ["-i", "{0}:2-40", "{1}"],
    ["-i", "--mark-strand", "sign", "{0}"],
    ["--mark-strand", "custom,P,N", "{0}"],
    ["--mark-strand", "no", "-i", "{0}"],
    ["nope", "{0}"],
    ["-c", "nope", "{0}"],
    ["{0}:30-20", "{1}"],
    ["-r", "regions.txt"],
    ["r:1", "{{r:1}}:2-3", "r:1:2-5", "{{r:1}}", "r:1:x", "{{r"],
    ["-r", "regions.txt", "{3}"],
    ["-r", "empty.txt", "{0}"],
    ["-r", "missing.txt"],
    ["-o", "out.fq", "{0}", "{1}"],
    ["-o", "out.fai"],
    ["--fai-idx", "other.fai", "{0}"],
    ["--fai-idx", "other.fai"],
]


@needs_samtools
@pytest.mark.parametrize("case", range(len(CLI_CASES)))
def test_fqidx_as_samtools(cli_dir, case):
    tmp_path, reads = cli_dir
    names = [r[0] for r in reads]
    args = [a.format(*names) for a in CLI_CASES[case]]
    ours, theirs = run_both(tmp_path, ["r.fq"] + args)
    assert (ours.returncode, ours.stdout) == (theirs.returncode, theirs.stdout)
    if theirs.returncode == 0:
        assert ours.stderr == theirs.stderr
    else:
        assert ours.stderr  # samtools' words, or sekva's own for a file it cannot read
    for produced in ("r.fq.fai", "out.fq", "out.fai", "other.fai"):
        mine, their = tmp_path / "ours" / produced, tmp_path / "theirs" / produced
        assert mine.exists() == their.exists(), produced
        if their.exists():
            assert mine.read_bytes() == their.read_bytes(), produced


@needs_samtools
@needs_bgzip
def test_fqidx_bgzf_as_samtools(cli_dir):
    tmp_path, reads = cli_dir
    for who in ("ours", "theirs"):
        subprocess.run(["bgzip", "-f", str(tmp_path / who / "r.fq")], check=True)
    args = ["r.fq.gz", reads[4][0], f"{reads[5][0]}:3-9", "--gzi-idx", "r.fq.gz.gzi"]
    ours, theirs = run_both(tmp_path, args)
    assert (ours.returncode, ours.stdout, ours.stderr) == (theirs.returncode, theirs.stdout, theirs.stderr)
    assert (tmp_path / "ours" / "r.fq.gz.fai").read_bytes() == (tmp_path / "theirs" / "r.fq.gz.fai").read_bytes()


def test_fqidx_refuses_a_fasta_file(tmp_path):
    (tmp_path / "a.fa").write_text(">s\nACGT\n")
    done = subprocess.run([sys.executable, "-m", "sekva_cli", "fqidx", "a.fa", "s"], cwd=tmp_path,
                          capture_output=True)
    assert done.returncode == 1 and b"not FASTQ" in done.stderr and not done.stdout


def test_header_lines_of_reads(write):
    path = write("@r1 lane 1\nACGT\n+r1\nIIII\n@r2\nGG\n+\nII\n", "h.fq")
    fasta = sekva.Fasta(path)
    assert (fasta["r1"].description, fasta["r2"].description) == ("lane 1", "")
    long = sekva.Fasta(path, read_long_names=True)
    assert long.keys() == ["r1 lane 1", "r2"]
    assert long["r1 lane 1"].quality == "IIII"


def test_faidx_sends_fastq_output_to_fqidx(tmp_path):
    (tmp_path / "r.fq").write_text("@r1\nACGT\n+\nIIII\n")
    done = subprocess.run([sys.executable, "-m", "sekva_cli", "faidx", "-f", "r.fq", "r1"], cwd=tmp_path,
                          capture_output=True)
    assert done.returncode == 1 and done.stderr == b"sekva faidx: -f/--fastq: use sekva fqidx to print FASTQ\n"
    done = subprocess.run([sys.executable, "-m", "sekva_cli", "faidx", "r.fq", "r1"], cwd=tmp_path, capture_output=True)
    assert (done.returncode, done.stdout) == (0, b">r1\nACGT\n")
