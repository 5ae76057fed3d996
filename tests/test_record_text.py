"""fetch_fasta and fetch_bed: record text of many regions in one bytes object or written to a file."""
import os
import random

import pytest

import sekva

COMPLEMENT = bytes.maketrans(b"ACGTNacgtn", b"TGCANtgcan")


def genome(rng, records=4):
    """A FASTA text of a few records with lines of differing widths, and the records' bases."""
    seqs, parts = {}, []
    for k in range(records):
        seq = "".join(rng.choice("ACGTNacgt") for _ in range(rng.randrange(1, 400)))
        width = rng.choice([7, 60, 61, 1000])
        seqs[f"r{k}"] = seq
        parts.append(f">r{k} description {k}\n" + "".join(seq[i : i + width] + "\n" for i in range(0, len(seq), width)))
    return "".join(parts), seqs


def wrapped(bases, width):
    step = width or len(bases) or 1
    return "".join(bases[i : i + step] + "\n" for i in range(0, len(bases), step))


def flipped(bases):
    return bases.encode().translate(COMPLEMENT)[::-1].decode()


@pytest.fixture(params=[sekva.Fasta, sekva.Faidx], ids=["Fasta", "Faidx"])
def opened(request, write):
    rng = random.Random(11)
    text, seqs = genome(rng)
    return request.param(write(text)), seqs, rng


def random_bed(seqs, rng, count=300, columns=6):
    lines, expected = [], []
    for k in range(count):
        name = rng.choice(sorted(seqs))
        start = rng.randrange(len(seqs[name]))
        end = rng.randrange(start + 1, len(seqs[name]) + 1)
        strand = rng.choice("+-.")
        fields = [name, str(start), str(end), f"n{k}", str(k % 1000), strand, "x", "y"][:columns]
        lines.append("\t".join(fields))
        expected.append((fields, seqs[name][start:end]))
    return "\n".join(lines) + "\n", expected


@pytest.mark.parametrize("width", [0, 1, 10, 60])
@pytest.mark.parametrize("stranded", [False, True])
def test_fetch_bed_writes_every_line_as_its_template_says(opened, width, stranded):
    handle, seqs, rng = opened
    bed, expected = random_bed(seqs, rng)
    head = ">{name}::{chrom}:{start}-{end}({strand}) {score} {{{line}}}"
    want = []
    for fields, bases in expected:
        if stranded and fields[5] == "-":
            bases = flipped(bases)
        line = "\t".join(fields)
        want.append(f">{fields[3]}::{fields[0]}:{fields[1]}-{fields[2]}({fields[5]}) {fields[4]} {{{line}}}\n")
        want.append(wrapped(bases, width))
    got = handle.fetch_bed(bed.encode(), head=head, width=width, stranded=stranded)
    assert got == "".join(want).encode()


@pytest.mark.parametrize("form", ["str path", "Path", "binary file", "gzip bytes", "bgzip file"])
def test_fetch_bed_takes_paths_files_and_gzip_text(opened, tmp_path, form):
    import gzip
    import pathlib
    import shutil
    import subprocess

    handle, seqs, rng = opened
    bed, _ = random_bed(seqs, rng, count=50)
    want = handle.fetch_bed(bed.encode(), stranded=True)
    path = tmp_path / "peaks.bed"
    path.write_bytes(bed.encode())
    if form == "str path":
        given = str(path)
    elif form == "Path":
        given = pathlib.Path(path)
    elif form == "binary file":
        given = open(path, "rb")
    elif form == "gzip bytes":
        given = gzip.compress(bed.encode())
    else:
        if not shutil.which("bgzip"):
            pytest.skip("bgzip is not installed")
        subprocess.run(["bgzip", "-k", "-f", str(path)], check=True)
        given = str(path) + ".gz"
    try:
        assert handle.fetch_bed(given, stranded=True) == want
    finally:
        if hasattr(given, "close"):
            given.close()


def test_fetch_bed_refuses_a_file_opened_as_text(opened, tmp_path):
    handle, seqs, rng = opened
    path = tmp_path / "peaks.bed"
    path.write_text(random_bed(seqs, rng, count=3)[0])
    with open(path) as f, pytest.raises(TypeError, match="^argument 'bed': a file opened in binary mode was expected"):
        handle.fetch_bed(f)


def test_fetch_bed_agrees_with_fetch_fasta(opened):
    handle, seqs, rng = opened
    bed, expected = random_bed(seqs, rng, columns=3)
    regions = [(f[0], int(f[1]) + 1, int(f[2])) for f, _ in expected]
    heads = [f"{f[0]}:{f[1]}-{f[2]}" for f, _ in expected]
    by_regions = handle.fetch_fasta(regions, heads, sep="\t", width=7)
    assert handle.fetch_bed(bed.encode(), head="{chrom}:{start}-{end}", sep="\t", width=7) == by_regions
    # Fields a line does not have are empty; the default head is '>chrom:start-end'.
    assert handle.fetch_bed(b"r0\t0\t1\n", head="[{name}|{strand}]", sep="") == f"[|]{seqs['r0'][0]}\n".encode()
    assert handle.fetch_bed(b"r0\t0\t1") == f">r0:0-1\n{seqs['r0'][0]}\n".encode()


def test_fetch_bed_skips_what_bed_files_hold_besides_intervals(opened):
    handle, seqs, _ = opened
    bed = b"track name=x\r\nbrowser position r0\n#comment\n\nr0\t0\t2\r\n\r\n#r0\t0\t1\nr1\t1\t2"
    assert handle.fetch_bed(bed, head="{line}", sep=" ") == f"r0\t0\t2 {seqs['r0'][:2]}\nr1\t1\t2 {seqs['r1'][1]}\n".encode()
    assert handle.fetch_bed(b"") == b"" and handle.fetch_bed(b"#only a comment\n") == b""


def test_fetch_bed_reverse_complements_through_the_table(opened):
    handle, seqs, _ = opened
    rna = bytes(range(256)).translate(bytes.maketrans(b"ACGTacgt", b"UGCAugca"))
    got = handle.fetch_bed(b"r2\t0\t5\t.\t0\t-\n", head="", sep="", stranded=True, table=rna)
    assert got == (seqs["r2"][:5].translate(str.maketrans("ACGTacgt", "UGCAugca"))[::-1] + "\n").encode()


@pytest.mark.parametrize(
    "bed, message",
    [
        (b"r0\t0\t1\nr0\t1\n", "line 2: fewer than 3 tab-separated fields"),
        (b"r0\t0\t1\t\n", "line 1: an empty field"),
        (b"r0\t\t1\n", "line 1: an empty field"),
        (b"r0\t0\t1\tn\nr0\t0\t1\n", "line 2: 3 fields where the first line has 4"),
        (b"r0\t+1\t2\n", "line 1: start '+1' is not a plain number"),
        (b"r0\t01\t2\n", "line 1: start '01' is not a plain number"),
        (b"r0\t1\t2 \n", "line 1: end '2 ' is not a plain number"),
        (b"r0\t1\t1234567890123456789\n", "is not a plain number"),
        (b"nope\t0\t1\n", "line 1: no record named 'nope'"),
        (b"r0\t3\t3\n", "line 1: start 3 is not below end 3"),
        (b"#\nr0\t0\t100000\n", "line 2: end 100000 is past the end of 'r0'"),
    ],
)
def test_fetch_bed_refuses_lines_it_cannot_take_and_writes_nothing(opened, tmp_path, bed, message):
    handle, _, _ = opened
    with pytest.raises(ValueError, match=message.replace("+", r"\+")):
        handle.fetch_bed(bed)
    path = tmp_path / "out.fa"
    with open(path, "wb") as out:
        out.write(b"before\n")
        with pytest.raises(ValueError):
            handle.fetch_bed(b"r0\t0\t1\n" + bed, out=out)
    assert path.read_bytes() == b"before\n"


@pytest.mark.parametrize(
    "kwargs, error, message",
    [
        ({"bed": 3}, TypeError, "argument 'bed': expected bytes"),
        ({"head": "{chrom"}, ValueError, "a '{' without its '}'"),
        ({"head": "chrom}"}, ValueError, "a single '}'"),
        ({"head": "{begin}"}, ValueError, "unknown field {begin}"),
        ({"width": -1}, ValueError, "argument 'width'"),
        ({"table": b"short"}, ValueError, "argument 'table': expected 256 bytes"),
        ({"out": "file.fa"}, TypeError, "argument 'out'"),
        ({"out": -1}, ValueError, "file descriptor cannot be a negative integer"),
    ],
)
def test_fetch_bed_arguments(opened, kwargs, error, message):
    handle, _, _ = opened
    kwargs = {"bed": b"r0\t0\t1\n", **kwargs}
    with pytest.raises(error, match=message):
        handle.fetch_bed(**kwargs)


def test_fetch_bed_writes_to_descriptors_and_files_in_order(opened, tmp_path):
    handle, seqs, rng = opened
    bed, _ = random_bed(seqs, rng, count=20000)
    whole = handle.fetch_bed(bed.encode(), width=60)
    path = tmp_path / "out.fa"
    with open(path, "wb") as out:
        out.write(b"first\n")  # still in the file object's buffer: flushed before the records
        assert handle.fetch_bed(bed.encode(), width=60, out=out) is None
        out.write(b"last\n")
    assert path.read_bytes() == b"first\n" + whole + b"last\n"
    fd = os.open(tmp_path / "raw.fa", os.O_WRONLY | os.O_CREAT)
    try:
        handle.fetch_bed(bed.encode(), width=60, out=fd)
    finally:
        os.close(fd)
    assert (tmp_path / "raw.fa").read_bytes() == whole


def test_fetch_bed_reports_a_failed_write_as_the_system_does(opened):
    handle, _, _ = opened
    read, write = os.pipe()
    os.close(read)
    try:
        with pytest.raises(BrokenPipeError):
            handle.fetch_bed(b"r0\t0\t1\n", out=write)
    finally:
        os.close(write)


def test_fetch_fasta(opened):
    handle, seqs, _ = opened
    regions = [("r0", 1, 5), None, ("r1", 2, 2), ("r0", 3, 10**9)]
    got = handle.fetch_fasta(regions, [">a", ">b", ">c", ">d"], width=3, rc=[False, False, True, False])
    assert got == f">a\n{wrapped(seqs['r0'][:5], 3)}>b\n>c\n{wrapped(flipped(seqs['r1'][1]), 3)}>d\n{wrapped(seqs['r0'][2:], 3)}".encode()
    with pytest.raises(ValueError, match="heads has 1 items for 2 regions"):
        handle.fetch_fasta([("r0", 1, 2)] * 2, [">a"])
    with pytest.raises(TypeError, match="missing required argument 'heads'"):
        handle.fetch_fasta([("r0", 1, 2)])
    with pytest.raises(KeyError):
        handle.fetch_fasta([("nope", 1, 2)], [">a"])
