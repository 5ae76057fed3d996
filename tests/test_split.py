"""Spliced BED12 intervals: `sekva getfasta -split` against bedtools byte for byte, the engine's
fetch_bed(split=True) against a model, and -fullHeader."""
import random
import shutil

import pytest

from sekva import Faidx
from test_cli import BEDTOOLS, assert_same, needs_bedtools, random_genome, run, sekva, twin_dirs

COMPLEMENT = str.maketrans("ACGTURYKMSWBDHVNacgturykmswbdhvn", "TGCAAYRMKSWVHDBNtgcaayrmkswvhdbn")


def bed12(rng, names, count, extra=0):
    """BED12 lines with 1 to 5 blocks in order or not, trailing commas or none, both strands."""
    lines = []
    for i in range(count):
        start = rng.randint(0, 150)
        blocks = []
        for _ in range(rng.randint(1, 5)):
            blocks.append((rng.randint(0, 120), rng.randint(1, 30)))
        if rng.random() < 0.7:
            blocks.sort()
        end = start + max(o + s for o, s in blocks)
        comma = "," if rng.random() < 0.5 else ""
        fields = [rng.choice(names), str(start), str(end), f"t{i}", "0", rng.choice("+-.-"), str(start), str(end), "0",
                  str(len(blocks)), ",".join(str(s) for _, s in blocks) + comma,
                  ",".join(str(o) for o, _ in blocks) + comma] + [f"x{k}" for k in range(extra)]
        lines.append("\t".join(fields) + "\n")
    return "".join(lines).encode()


@needs_bedtools
@pytest.mark.parametrize("seed", range(12))
def test_split_matches_bedtools(tmp_path, seed):
    rng = random.Random(500 + seed)
    bed = bed12(rng, ["chr1", "chr2", "chr:3", "x", "chrZ", "nobases"], rng.randint(1, 40))
    options = rng.sample(["-s", "-name", "-tab", "-bedOut", "-nameOnly", "-rna"], rng.randint(0, 3))
    ours, theirs = twin_dirs(tmp_path, {"g.fa": random_genome(rng, repeats=seed % 2), "r.bed": bed})
    args = ["-fi", "g.fa", "-bed", "r.bed", "-split", *options]
    if seed % 4 == 1:
        args += ["-fo", "out.fa"]
    assert_same(sekva("getfasta", *args, cwd=ours), run([BEDTOOLS, "getfasta", *args], theirs), stderr=True)
    if "-fo" in args:
        assert (ours / "out.fa").read_bytes() == (theirs / "out.fa").read_bytes()


@needs_bedtools
def test_split_of_many_lines_takes_the_engine_path(tmp_path):
    rng = random.Random(9)
    genome = b">chr1\n" + "".join(rng.choices("ACGTacgtN", k=5000)).encode() + b"\n"
    lines = []
    for i in range(3000):
        start = rng.randint(0, 4000)
        sizes = [rng.randint(1, 50) for _ in range(3)]
        offsets = [0, 100, 300]
        lines.append(f"chr1\t{start}\t{start + 300 + sizes[2]}\tt{i}\t0\t{rng.choice('+-')}\t0\t0\t0\t3\t"
                     f"{','.join(map(str, sizes))},\t{','.join(map(str, offsets))},\n")
    ours, theirs = twin_dirs(tmp_path, {"g.fa": genome, "r.bed": "".join(lines).encode()})
    for options in (["-s"], ["-s", "-name", "-tab"]):
        args = ["-fi", "g.fa", "-bed", "r.bed", "-split", *options]
        assert_same(sekva("getfasta", *args, cwd=ours), run([BEDTOOLS, "getfasta", *args], theirs), stderr=True)


@needs_bedtools
@pytest.mark.parametrize("line", [
    "chr1\t10\t100\tx\t0\t+\t10\t100\t0\t3\t10,20\t0,30",       # fewer sizes than blocks
    "chr1\t10\t100\tx\t0\t+\t10\t100\t0\t2\t10,20,5\t0,30,85",  # more
    "chr1\t10\t100\tx\t0\t+\t10\t100\t0\t-1\t10,20\t0,30",      # no blocks
    "chr1\t10\t100\tx\t0\t+\t10\t100\t0\t2\t0,20\t0,30",        # an empty block
    "chr1\t10\t100\tx\t0\t+\t10\t100\t0\t2\t10,20\t-15,30",     # a block before the record
    "chr1\t10\t100\tx\t0\t-\t10\t100\t0\t2\t10,20\t30,0",       # blocks out of order: joined as listed
    "chr1\t10\t100\tx\t0\t+\t10\t100\t0\t2\t 10,20\t0,30",      # a blank before a number
    "chr1\t10\t100\tx\t0\t.\t10\t100\t0\t1\t10\t0",             # '.' strand
    "chrZ\t10\t100\tx\t0\t-\t10\t100\t0\t1\t10\t0",             # an unknown record: skipped
    "chr1\t10\t10\tx\t0\t-\t10\t100\t0\t1\t10\t0",              # an empty interval: skipped
    "chr1\t10\t100\tx",                                         # fewer than twelve fields: whole
])
def test_split_stops_and_warns_where_bedtools_does(tmp_path, line):
    bed = f"chr1\t0\t5\ta\t0\t-\t0\t5\t0\t1\t5\t0\n{line}\nchr1\t1\t9\tb\t0\t-\t1\t9\t0\t2\t2,2\t0,6\n".encode()
    if line.count("\t") < 11:
        bed = f"chr1\t0\t5\ta\n{line}\nchr1\t1\t9\tb\n".encode()
    genome = b">chr1\n" + b"ACGTTGCAAC" * 20 + b"\n"
    ours, theirs = twin_dirs(tmp_path, {"g.fa": genome, "r.bed": bed})
    args = ["-fi", "g.fa", "-bed", "r.bed", "-split", "-s"]
    assert_same(sekva("getfasta", *args, cwd=ours), run([BEDTOOLS, "getfasta", *args], theirs), stderr=True)


def test_a_block_past_the_record_is_an_error_not_other_memory(tmp_path):
    # bedtools prints whatever follows the record in its memory here.
    (tmp_path / "g.fa").write_bytes(b">chr1\n" + b"ACGT" * 10 + b"\n")
    (tmp_path / "r.bed").write_bytes(b"chr1\t0\t5\ta\t0\t+\t0\t5\t0\t1\t5\t0\n"
                                     b"chr1\t30\t40\tb\t0\t+\t30\t40\t0\t1\t20\t0\n")
    got = sekva("getfasta", "-fi", "g.fa", "-bed", "r.bed", "-split", cwd=tmp_path)
    assert got.returncode == 1 and got.stdout == b">chr1:0-5\nACGTA\n"
    assert got.stderr.endswith(b"sekva getfasta: line 2: block 1 (30-50) reaches past the end of chr1 (40 bp)\n")


def test_lines_beyond_twelve_fields_are_split_too(tmp_path):
    (tmp_path / "g.fa").write_bytes(b">chr1\nAACCGGTTAACCGGTT\n")
    (tmp_path / "r.bed").write_bytes(b"chr1\t0\t16\tt\t0\t-\t0\t16\t0\t2\t2,2\t0,4\tmore\n")
    got = sekva("getfasta", "-fi", "g.fa", "-bed", "r.bed", "-split", "-s", cwd=tmp_path)
    assert got.returncode == 0 and got.stdout == b">chr1:0-16(-)\nCCTT\n"


@needs_bedtools
def test_full_header_keys_records_by_their_whole_header_line(tmp_path):
    genome = b">chr1 first record\nACGTACGTAC\n>chr2\nGGGGCCCCAA\n"
    bed = b"chr1 first record\t0\t4\nchr2\t2\t6\nchr1\t0\t2\n"
    ours, theirs = twin_dirs(tmp_path, {"g.fa": genome, "r.bed": bed})
    args = ["-fi", "g.fa", "-bed", "r.bed", "-fullHeader"]
    assert_same(sekva("getfasta", *args, cwd=ours), run([BEDTOOLS, "getfasta", *args], theirs), stderr=True)
    # bedtools writes an index of whole header lines for it; ours keeps the index as it is.
    assert (ours / "g.fa.fai").read_bytes().startswith(b"chr1\t")


def spliced_model(seq, start, sizes, offsets, reverse):
    text = "".join(seq[start + o : start + o + s] for s, o in zip(sizes, offsets))
    return text.translate(COMPLEMENT)[::-1] if reverse else text


@pytest.mark.parametrize("width", [0, 7])
def test_fetch_bed_split_joins_blocks_as_the_model_does(tmp_path, width):
    rng = random.Random(width)
    seqs = {n: "".join(rng.choices("ACGTacgtNRY", k=rng.randint(400, 600))) for n in ("a", "b")}
    (tmp_path / "g.fa").write_text("".join(f">{n}\n" + "".join(s[i : i + 50] + "\n" for i in range(0, len(s), 50))
                                           for n, s in seqs.items()))
    bed = bed12(rng, ["a", "b"], 2000)
    fa = Faidx(str(tmp_path / "g.fa"))
    got = fa.fetch_bed(bed, head=">{name}", stranded=True, split=True, width=width).decode()
    want = []
    for line in bed.decode().splitlines():
        f = line.split("\t")
        sizes = [int(x) for x in f[10].rstrip(",").split(",")]
        offsets = [int(x) for x in f[11].rstrip(",").split(",")]
        text = spliced_model(seqs[f[0]], int(f[1]), sizes, offsets, f[5] == "-")
        lines = [text[i : i + width] for i in range(0, len(text), width)] if width else [text]
        want.append(f">{f[3]}\n" + "".join(piece + "\n" for piece in lines))
    assert got == "".join(want)
    # Without split the same lines are read whole.
    whole = fa.fetch_bed(bed, head=">{name}", split=False).decode().splitlines()
    first = bed.decode().splitlines()[0].split("\t")
    assert whole[1] == seqs[first[0]][int(first[1]) : int(first[2])]


@pytest.mark.parametrize("line, problem", [
    ("a\t0\t50\tt\t0\t+\t0\t50\t0\t2\t10\t0,20", "blockSizes '10' and blockStarts '0,20' are not 2 plain numbers each"),
    ("a\t0\t50\tt\t0\t+\t0\t50\t0\t0\t\t", "an empty field"),
    ("a\t0\t50\tt\t0\t+\t0\t50\t0\tx\t10\t0", "blockCount 'x' is not a number of blocks"),
    ("a\t0\t50\tt\t0\t+\t0\t50\t0\t1\t0\t0", "block 1 (0-0) is empty or past the end of its record"),
    ("a\t190\t200\tt\t0\t+\t0\t50\t0\t1\t20\t0", "block 1 (190-210) is empty or past the end of its record (200 bases)"),
])
def test_fetch_bed_split_refuses_irregular_blocks_naming_the_line(tmp_path, line, problem):
    (tmp_path / "g.fa").write_text(">a\n" + "ACGT" * 50 + "\n")
    fa = Faidx(str(tmp_path / "g.fa"))
    with pytest.raises(ValueError, match="^line 2: " + problem.replace("(", r"\(").replace(")", r"\)")):
        fa.fetch_bed(f"a\t0\t4\tt\t0\t+\t0\t4\t0\t1\t4\t0\n{line}\n".encode(), split=True)
