"""Files the sekva command writes: never one of its own inputs under another name, and BGZF where
the output's name says so, with the indexes samtools writes beside it."""
import gzip
import os
import random
import shutil
import subprocess
import sys

import pytest

SAMTOOLS = shutil.which("samtools")
BGZIP = shutil.which("bgzip")
needs_samtools = pytest.mark.skipif(SAMTOOLS is None, reason="samtools is not installed")
needs_bgzip = pytest.mark.skipif(BGZIP is None, reason="bgzip is not installed")

GENOME = b">chr1\nACGTACGTAC\nGGTT\n>chr2\nTTTTGGGGCA\n"


def sekva(*args, cwd, stdin=None):
    return subprocess.run([sys.executable, "-m", "sekva_cli", *args], cwd=cwd, input=stdin, capture_output=True)


def snapshot(directory):
    """Every file below `directory` with its bytes and times, links as links."""
    found = {}
    for root, dirs, files in os.walk(directory):
        for name in files + dirs:
            path = os.path.join(root, name)
            st = os.lstat(path)
            data = os.readlink(path) if os.path.islink(path) else None
            if data is None and os.path.isfile(path):
                with open(path, "rb") as f:
                    data = f.read()
            found[os.path.relpath(path, directory)] = (data, st.st_mtime_ns, st.st_ino)
    return found


@pytest.fixture(params=["plain", "plain, indexed", "bgzf"])
def genome_dir(request, tmp_path):
    """A directory with the genome (g.fa, or g.fa.gz with its indexes), a region file, a BED file,
    a hard link and a symbolic link to each of them, and a link to the index still to be built."""
    name = "g.fa"
    (tmp_path / name).write_bytes(GENOME)
    if request.param == "bgzf":
        if BGZIP is None:
            pytest.skip("bgzip is not installed")
        subprocess.run([BGZIP, "-i", name], cwd=tmp_path, check=True)
        name = "g.fa.gz"
    if request.param != "plain":
        assert sekva("faidx", name, cwd=tmp_path).returncode == 0
    (tmp_path / "r.txt").write_bytes(b"chr1:2-5\nchr2\n")
    (tmp_path / "r.bed").write_bytes(b"chr1\t1\t5\n")
    for target in (name, "r.txt", "r.bed", f"{name}.fai", f"{name}.gzi"):
        if not os.path.exists(tmp_path / target):
            continue
        os.link(tmp_path / target, tmp_path / f"hard-{target}")
        os.symlink(target, tmp_path / f"soft-{target}")
    os.symlink(f"{name}.fai", tmp_path / "soft-index")  # dangling until the index is built
    os.symlink(str(tmp_path), tmp_path / "here")
    return tmp_path, name


def spellings(tmp_path, target):
    return [f"./{target}", str(tmp_path / target), f"here/{target}", f"hard-{target}", f"soft-{target}"]


def assert_refused(result, command):
    assert result.returncode == 1 and result.stdout == b""
    assert result.stderr.count(b"\n") == 1 and result.stderr.startswith(f"sekva {command}: ".encode())
    assert b"nothing was written" in result.stderr


@pytest.mark.parametrize("target", ["genome", "index", "region file", "block index"])
def test_faidx_never_writes_over_its_inputs(genome_dir, target):
    tmp_path, name = genome_dir
    if target == "block index" and not name.endswith(".gz"):
        pytest.skip("a plain genome has no block index")
    path = {"genome": name, "index": f"{name}.fai", "region file": "r.txt", "block index": f"{name}.gzi"}[target]
    outputs = spellings(tmp_path, path) if os.path.exists(tmp_path / path) else [f"./{path}", "soft-index"]
    before = snapshot(tmp_path)
    for output in outputs:
        commands = [[name, "-r", "r.txt", "-o", output]]
        if target != "region file":
            commands.append([name, "chr1:1-3", "-o", output])
        if output.endswith(".fai"):
            commands.append([name, "chr1", "--write-index", "-o", output[:-4]])
        elif target in ("genome", "block index"):
            commands.append([name, "-o", output])  # with no region, -o names the index to build
        for args in commands:
            assert_refused(sekva("faidx", *args, cwd=tmp_path), "faidx")
            assert snapshot(tmp_path) == before, args
    # The same command with an output of its own writes it.
    assert sekva("faidx", name, "chr1:1-3", "-o", "out.fa", cwd=tmp_path).returncode == 0
    assert (tmp_path / "out.fa").read_bytes() == b">chr1:1-3\nACG\n"


def test_faidx_never_builds_an_index_over_its_inputs(genome_dir):
    tmp_path, name = genome_dir
    before = snapshot(tmp_path)
    for path in (name, "r.txt"):
        for spelling in spellings(tmp_path, path):
            # The region file is an input only where it is read.
            for regions in ([["-r", "r.txt"]] if path == "r.txt" else [[], ["-r", "r.txt"], ["chr1"]]):
                assert_refused(sekva("faidx", name, "--fai-idx", spelling, *regions, cwd=tmp_path), "faidx")
                assert snapshot(tmp_path) == before


def test_faidx_reads_standard_input_and_refuses_to_write_its_file(genome_dir):
    # `-r -` with the region file on standard input: the output must not be that file.
    tmp_path, name = genome_dir
    before = snapshot(tmp_path)
    with open(tmp_path / "r.txt", "rb") as regions:
        result = subprocess.run([sys.executable, "-m", "sekva_cli", "faidx", name, "-r", "-", "-o", "hard-r.txt"],
                                cwd=tmp_path, stdin=regions, capture_output=True)
    assert_refused(result, "faidx")
    assert snapshot(tmp_path) == before


@pytest.mark.parametrize("target", ["genome", "index", "BED file", "block index"])
def test_getfasta_never_writes_over_its_inputs(genome_dir, target):
    tmp_path, name = genome_dir
    if target == "block index" and not name.endswith(".gz"):
        pytest.skip("a plain genome has no block index")
    path = {"genome": name, "index": f"{name}.fai", "BED file": "r.bed", "block index": f"{name}.gzi"}[target]
    outputs = spellings(tmp_path, path) if os.path.exists(tmp_path / path) else [f"./{path}", "soft-index"]
    before = snapshot(tmp_path)
    for output in outputs:
        for bed in ("r.bed", "stdin", "-"):
            with open(tmp_path / "r.bed", "rb") as stdin:
                result = subprocess.run([sys.executable, "-m", "sekva_cli", "getfasta", "-fi", name, "-bed", bed,
                                         "-fo", output], cwd=tmp_path, stdin=stdin, capture_output=True)
            if target != "BED file" or bed != "r.bed" or output != "soft-index":
                assert_refused(result, "getfasta")
            assert snapshot(tmp_path) == before
    result = sekva("getfasta", "-fi", name, "-bed", "r.bed", "-fo", "out.fa", cwd=tmp_path)
    assert result.returncode == 0 and (tmp_path / "out.fa").read_bytes() == b">chr1:1-5\nCGTA\n"


def big_genome(seed):
    rng = random.Random(seed)
    out = []
    for k in range(4):
        bases = "".join(rng.choice("ACGTN") for _ in range(rng.randint(30_000, 90_000)))
        out.append(f">chr{k} text\n" + "".join(bases[i : i + 70] + "\n" for i in range(0, len(bases), 70)))
    return "".join(out).encode()


REGIONS = ["chr0", "chr1:1000-60000", "chr2:5-", "chr3:100-99999999", "chr0:999999-1000005", "chr0:1-1", "chr1"]


@needs_bgzip
@pytest.mark.parametrize("suffix", [".gz", ".bgz", ".bgzf"])
@pytest.mark.parametrize("options", [[], ["-i", "-n", "13"], ["--mark-strand", "sign", "-n", "1000000"]])
def test_faidx_writes_bgzf_under_a_compressed_name(tmp_path, suffix, options):
    (tmp_path / "g.fa").write_bytes(big_genome(len(options)))
    plain = sekva("faidx", "g.fa", *REGIONS, *options, cwd=tmp_path)
    out = f"out.fa{suffix}"
    result = sekva("faidx", "g.fa", *REGIONS, *options, "-o", out, cwd=tmp_path)
    assert result.returncode == plain.returncode == 0 and result.stderr == plain.stderr
    assert subprocess.run([BGZIP, "-t", out], cwd=tmp_path).returncode == 0
    data = (tmp_path / out).read_bytes()
    assert gzip.decompress(data) == plain.stdout
    assert data.endswith(bytes.fromhex("1f8b08040000000000ff0600424302001b0003000000000000000000"))
    assert not (tmp_path / f"{out}.fai").exists() and not (tmp_path / f"{out}.gzi").exists()


@needs_samtools
@needs_bgzip
@pytest.mark.parametrize("out", ["out.fa", "out.fa.gz"])
@pytest.mark.parametrize("options", [[], ["-i", "-n", "13"], ["-n", "1000000"]])
def test_faidx_write_index_matches_samtools_and_bgzip(tmp_path, out, options):
    # The indexes of the output are those samtools and bgzip make of it afterwards.
    (tmp_path / "g.fa").write_bytes(big_genome(7))
    result = sekva("faidx", "g.fa", *REGIONS[:4], "chr1:3-8", *options, "--write-index", "-o", out, cwd=tmp_path)
    assert result.returncode == 0
    check = tmp_path / "check"
    check.mkdir()
    shutil.copy(tmp_path / out, check / out)
    subprocess.run([SAMTOOLS, "faidx", out], cwd=check, check=True)
    assert (tmp_path / f"{out}.fai").read_bytes() == (check / f"{out}.fai").read_bytes()
    if out.endswith(".gz"):
        assert (tmp_path / f"{out}.gzi").read_bytes() == (check / f"{out}.gzi").read_bytes()
        os.unlink(check / f"{out}.gzi")
        subprocess.run([BGZIP, "-r", out], cwd=check, check=True)
        assert (tmp_path / f"{out}.gzi").read_bytes() == (check / f"{out}.gzi").read_bytes()
        assert len((check / f"{out}.gzi").read_bytes()) > 8  # more than one block
    # samtools reads the regions back from the output through those indexes.
    mark = "/rc" if "-i" in options else ""
    again = subprocess.run([SAMTOOLS, "faidx", out, f"chr1:1000-60000{mark}", f"{{chr0{mark}}}:5-9"],
                           cwd=tmp_path, capture_output=True)
    assert again.returncode == 0 and again.stderr == b""


def test_faidx_write_index_lists_every_record_written(tmp_path):
    # As samtools writes it: the head's whole text as the name, a record without bases as 0 bases
    # on lines of one byte, a repeated head on every line.
    (tmp_path / "a.fa").write_bytes(b">1\nACGTACGTAGGT\nAC\n>2\nGGGGCCCC\n")
    args = ["a.fa", "1:1-3", "2", "1:20-30", "1:5-30", "2", "-n", "5", "--mark-strand", "custom,+ x,-"]
    for out in ("out.fa", "out.fa.gz"):
        assert sekva("faidx", *args, "--write-index", "-o", out, cwd=tmp_path).returncode == 0
        assert (tmp_path / f"{out}.fai").read_bytes() == (
            b"1:1-3+ x\t3\t10\t3\t4\n2+ x\t8\t20\t5\t6\n1:20-30+ x\t0\t42\t0\t1\n1:5-30+ x\t10\t53\t5\t6\n"
            b"2+ x\t8\t71\t5\t6\n")
    assert gzip.decompress((tmp_path / "out.fa.gz").read_bytes()) == (tmp_path / "out.fa").read_bytes()
    assert (tmp_path / "out.fa.gz.gzi").read_bytes() == bytes(8)  # one block: no entry
    # With -c a missing region gets the line of a record without bases (samtools writes a length
    # of 2^64 - 2 there, and a wrong offset for every later record); without -c samtools stops
    # there and lists only the records before it.
    sekva("faidx", "a.fa", "1:1-3", "chrZ", "2", "-c", "--write-index", "-o", "c.fa", cwd=tmp_path)
    assert (tmp_path / "c.fa.fai").read_bytes() == b"1:1-3\t3\t7\t3\t4\nchrZ\t0\t17\t0\t1\n2\t8\t20\t8\t9\n"
    assert sekva("faidx", "a.fa", "1:1-3", "chrZ", "2", "--write-index", "-o", "s.fa", cwd=tmp_path).returncode == 1
    assert (tmp_path / "s.fa").read_bytes() == b">1:1-3\nACG\n>chrZ\n"
    assert (tmp_path / "s.fa.fai").read_bytes() == b"1:1-3\t3\t7\t3\t4\n"


def test_faidx_write_index_goes_nowhere_without_an_output_file(tmp_path):
    (tmp_path / "a.fa").write_bytes(b">1\nACGT\n")
    result = sekva("faidx", "a.fa", "1:2-3", "--write-index", cwd=tmp_path)
    assert result.returncode == 0 and result.stdout == b">1:2-3\nCG\n"
    assert sorted(os.listdir(tmp_path)) == ["a.fa", "a.fa.fai"]


@pytest.mark.parametrize("out", ["idx.gz", "idx.bgzf"])
def test_faidx_refuses_a_compressed_name_for_the_index(tmp_path, out):
    # Without regions -o names the index, which is plain text.
    (tmp_path / "a.fa").write_bytes(b">1\nACGT\n")
    result = sekva("faidx", "a.fa", "-o", out, cwd=tmp_path)
    assert result.returncode == 1 and result.stderr.count(b"\n") == 1 and out.encode() in result.stderr
    assert sorted(os.listdir(tmp_path)) == ["a.fa"]
    assert sekva("faidx", "a.fa", "-o", "idx.fai", cwd=tmp_path).returncode == 0
    assert (tmp_path / "idx.fai").read_bytes() == b"1\t4\t3\t4\t5\n"


def test_a_device_is_no_input_to_protect(tmp_path):
    # Writing to /dev/null while reading from it loses nothing.
    (tmp_path / "g.fa").write_bytes(GENOME)
    result = sekva("getfasta", "-fi", "g.fa", "-bed", "/dev/null", "-fo", "/dev/null", cwd=tmp_path)
    assert result.returncode == 0 and b"sekva" not in result.stderr


@needs_bgzip
@pytest.mark.parametrize("block_text", [0xFF00, 0x18000])
def test_bgzf_writer_matches_bgzip(tmp_path, monkeypatch, block_text):
    # Text that compresses and text that does not, written in pieces of any size; with more text
    # per block than 64 KiB, every block is split in two.
    from sekva_cli import _bgzf

    monkeypatch.setattr(_bgzf, "BLOCK_TEXT", block_text)
    rng = random.Random(block_text)
    data = b"".join(rng.choice([b"ACGTN" * rng.randint(1, 9000), bytes(rng.getrandbits(8) for _ in range(rng.randint(1, 90_000)))])
                    for _ in range(16))
    with open(tmp_path / "w.gz", "wb") as f:
        writer = _bgzf.Writer(f)
        pos = 0
        while pos < len(data):
            step = rng.choice([0, 1, 100, 65279, 65280, 65281, 200_000])
            writer.write(data[pos : pos + step])
            pos += step
        writer.close()
    packed = (tmp_path / "w.gz").read_bytes()
    assert gzip.decompress(packed) == data
    assert subprocess.run([BGZIP, "-t", "w.gz"], cwd=tmp_path).returncode == 0
    sizes, at = [], 0
    while at < len(packed):
        size = int.from_bytes(packed[at + 16 : at + 18], "little") + 1
        sizes.append(size)
        at += size
    assert at == len(packed) and max(sizes) <= 0x10000
    assert len(sizes) >= len(data) // min(block_text, 0x10000)
    subprocess.run([BGZIP, "-r", "w.gz"], cwd=tmp_path, check=True)
    assert writer.gzi() == (tmp_path / "w.gz.gzi").read_bytes()


@pytest.mark.parametrize("seed", range(3))
def test_region_names_looked_up_cover_every_lookup(seed):
    # sekva fqidx lists only these names when it opens a file of millions of reads: any other name
    # the region rules asked about would be missing by mistake.
    from sekva_cli import _region

    rng = random.Random(seed)
    pieces = ["r", ":", "1", "-", "{", "}", "a:b", ",", "0", "\0", "5k", " "]
    texts = ["".join(rng.choice(pieces) for _ in range(rng.randint(1, 8))) for _ in range(3000)]
    listed = _region.names_looked_up(texts)
    for text in texts:
        for answer in (lambda name: True, lambda name: False, lambda name: rng.random() < 0.5):
            asked = []
            _region.parse(text, lambda name: asked.append(name) or answer(name))
            assert set(asked) <= listed, text
