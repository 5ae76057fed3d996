"""Transcripts of an annotation: `sekva transcripts -w/-x/-y` against gffread byte for byte on
seeded GTF and GFF3 files, gzipped input, and Sequence.translate against the genetic code."""
import gzip
import itertools
import random
import shutil

import pytest

import sekva

from test_cli import run, sekva as sekva_cli, twin_dirs

GFFREAD = shutil.which("gffread")
needs_gffread = pytest.mark.skipif(GFFREAD is None, reason="gffread is not installed")

STANDARD = "FFLLSSSSYY**CC*WLLLLPPPPHHQQRRRRIIIMTTTTNNKKSSRRVVVVAAAADDEEGGGG"
CODONS = ["".join(c) for c in itertools.product("TCAG", repeat=3)]
FLAG_SETS = [["-w"], ["-x"], ["-y"], ["-w", "-x", "-y"], ["-w", "-x", "-y", "-W"], ["-y", "-S"],
             ["-x", "-y", "-W", "-S"]]


def genome(rng, names=("chr1", "chr2", "chr3")):
    letters = "ACGT" * 12 + "acgtNRYn"
    out = []
    for name in names:
        length, width = rng.randint(1500, 4000), rng.choice([60, 70, 80])
        bases = "".join(rng.choice(letters) for _ in range(length))
        # Stop codons often enough that proteins hold them inside and at their end.
        bases = "".join(b if rng.random() > 0.02 else "TAA" for b in bases)[:length]
        out.append(f">{name} a description\n")
        out.extend(bases[i : i + width] + "\n" for i in range(0, length, width))
    return "".join(out).encode()


def random_transcripts(rng, count, records=("chr1", "chr2", "chr3"), missing=None):
    """(id, chrom, strand, exons, cds, phase): exons ascending, the CDS a stretch of them."""
    out = []
    for k in range(count):
        chrom = rng.choice(records) if missing is None or k != count // 2 else missing
        strand = rng.choice("+-")
        pos = rng.randint(1, 1000)
        exons = []
        for _ in range(rng.choice([1, 1, 2, 3, 5])):
            length = rng.choice([rng.randint(5, 14), rng.randint(15, 200)])
            exons.append((pos, pos + length - 1))
            pos += length + rng.randint(1, 80)
        cds, phase = [], 0
        total = sum(e - s + 1 for s, e in exons)
        if rng.random() < 0.75:
            a = rng.randint(0, total - 1)
            b = rng.randint(a, total - 1)
            # Positions a..b of the spliced transcript, read 5' to 3', as genomic parts.
            ordered = exons if strand == "+" else exons[::-1]
            offset = 0
            for s, e in ordered:
                length = e - s + 1
                lo, hi = max(a, offset), min(b, offset + length - 1)
                if lo <= hi:
                    if strand == "+":
                        cds.append((s + lo - offset, s + hi - offset))
                    else:
                        cds.append((e - (hi - offset), e - (lo - offset)))
                offset += length
            cds.sort()
            phase = rng.choice([0, 1, 2])
            if len(cds) == 1 and cds[0][1] - cds[0][0] < phase:
                phase = 0  # gffread writes bases past such a CDS (see the README)
        out.append((f"T{k}", chrom, strand, exons, cds, phase))
    return out


def gtf(transcripts, rng):
    lines = []
    for tid, chrom, strand, exons, cds, phase in transcripts:
        attrs = f'gene_id "G{tid}"; transcript_id "{tid}";'
        rows = []
        if rng.random() < 0.5:
            rows.append(f"{chrom}\tt\ttranscript\t{exons[0][0]}\t{exons[-1][1]}\t.\t{strand}\t.\t{attrs}")
        rows += [f"{chrom}\tt\texon\t{s}\t{e}\t.\t{strand}\t.\t{attrs}" for s, e in exons]
        first = (cds[0] if strand == "+" else cds[-1]) if cds else None
        rows += [f"{chrom}\tt\tCDS\t{s}\t{e}\t.\t{strand}\t{phase if (s, e) == first else rng.choice('012')}\t{attrs}"
                 for s, e in cds]
        lines += rows
    return ("\n".join(lines) + "\n").encode()


def gff3(transcripts, rng):
    lines = ["##gff-version 3"]
    for tid, chrom, strand, exons, cds, phase in transcripts:
        kind = rng.choice(["mRNA", "transcript", "lnc_RNA"])
        lines.append(f"{chrom}\tt\tgene\t{exons[0][0]}\t{exons[-1][1]}\t.\t{strand}\t.\tID=G{tid};Name=g{tid}")
        lines.append(f"{chrom}\tt\t{kind}\t{exons[0][0]}\t{exons[-1][1]}\t.\t{strand}\t.\tID={tid};Parent=G{tid}")
        lines += [f"{chrom}\tt\texon\t{s}\t{e}\t.\t{strand}\t.\tParent={tid}" for s, e in exons]
        first = (cds[0] if strand == "+" else cds[-1]) if cds else None
        lines += [f"{chrom}\tt\tCDS\t{s}\t{e}\t.\t{strand}\t{phase if (s, e) == first else 0}\tID=c{tid};Parent={tid}"
                  for s, e in cds]
    return ("\n".join(lines) + "\n").encode()


def gffread_stderr(result):
    # gffread says so when it writes the genome's index; sekva writes it silently.
    return [line for line in result.stderr.split(b"\n") if not line.startswith(b"FASTA index file")]


def compare(tmp_path, files, annotation, flags):
    ours, theirs = twin_dirs(tmp_path, files)
    outputs = {"-w": "w.fa", "-x": "x.fa", "-y": "y.fa"}
    args = []
    for flag in flags:
        args += [flag, outputs[flag]] if flag in outputs else [flag]
    mine = sekva_cli("transcripts", "-g", "g.fa", *args, annotation, cwd=ours)
    peer = run([GFFREAD, "-g", "g.fa", *args, annotation], theirs)
    assert b"Traceback" not in mine.stderr
    assert mine.returncode == peer.returncode, (mine.stderr, peer.stderr)
    assert mine.stderr.split(b"\n") == gffread_stderr(peer)
    for flag in flags:
        if flag in outputs:
            assert (ours / outputs[flag]).read_bytes() == (theirs / outputs[flag]).read_bytes(), flag
    return ours


@needs_gffread
@pytest.mark.parametrize("flags", FLAG_SETS, ids=" ".join)
@pytest.mark.parametrize("kind", ["gtf", "gff3"])
@pytest.mark.parametrize("seed", range(4))
def test_transcripts_match_gffread(tmp_path, seed, kind, flags):
    rng = random.Random(seed)
    annotation = (gtf if kind == "gtf" else gff3)(random_transcripts(rng, 60), rng)
    compare(tmp_path, {"g.fa": genome(rng), f"a.{kind}": annotation}, f"a.{kind}", flags)


@needs_gffread
@pytest.mark.parametrize("kind", ["gtf", "gff3"])
@pytest.mark.parametrize("seed", range(3))
def test_missing_record_stops_as_gffread_does(tmp_path, seed, kind):
    rng = random.Random(100 + seed)
    transcripts = random_transcripts(rng, 40, missing=rng.choice(["chrX", "chr2"]))
    records = ("chr1", "chr3") if any(t[1] == "chr2" for t in transcripts) else ("chr1", "chr2", "chr3")
    annotation = (gtf if kind == "gtf" else gff3)(transcripts, rng)
    compare(tmp_path, {"g.fa": genome(rng, records), f"a.{kind}": annotation}, f"a.{kind}", ["-w", "-x", "-y"])


@needs_gffread
@pytest.mark.parametrize("case", [
    # One exon shorter than 11 bases: gffread leaves a GTF transcript of it out, unless a
    # transcript line comes first.
    ['exon\t101\t110\t.\t+\t.'],
    ['exon\t201\t211\t.\t-\t.'],
    ['exon\t101\t103\t.\t+\t.', 'exon\t104\t110\t.\t+\t.'],
    ['transcript\t101\t110\t.\t+\t.', 'exon\t101\t110\t.\t+\t.', 'CDS\t101\t106\t.\t+\t0'],
    ['exon\t101\t110\t.\t+\t.', 'transcript\t101\t110\t.\t+\t.'],
    # The CDS without exons makes the exon; the stop codon joins the CDS.
    ['CDS\t31\t60\t.\t+\t0', 'stop_codon\t61\t63\t.\t+\t0', 'UTR\t64\t90\t.\t+\t.'],
    ['CDS\t31\t60\t.\t-\t2', 'stop_codon\t28\t30\t.\t-\t0', 'UTR\t10\t27\t.\t-\t.'],
    # Touching and overlapping exons are one; CDS of three bases and less are warned about.
    ['exon\t11\t40\t.\t+\t.', 'exon\t41\t60\t.\t+\t.', 'CDS\t45\t47\t.\t+\t0'],
    ['exon\t11\t40\t.\t+\t.', 'exon\t30\t60\t.\t+\t.', 'CDS\t45\t48\t.\t+\t2'],
    # A transcript line alone is one exon.
    ['transcript\t101\t105\t.\t+\t.'],
    # Past the end of the record: gffread stops there with status 1.
    ['exon\t1\t30\t.\t+\t.', 'exon\t200\t230\t.\t+\t.'],
    # A trailing stop is left out of the protein, an inner one kept.
    ['exon\t1\t60\t.\t+\t.', 'CDS\t1\t24\t.\t+\t0'],
])
def test_crafted_gtf_matches_gffread(tmp_path, case):
    g = b">s desc\nATGAAACCCGGGTTTTAATAGTGA" + b"ACGTTGCAAC" * 20 + b"\n"
    # Two transcripts of the same lines, put in order by their IDs.
    lines = "".join(f's\tt\t{row}\tgene_id "g{k}"; transcript_id "t{k}";\n' for k in range(2) for row in case)
    compare(tmp_path, {"g.fa": g, "a.gtf": lines.encode()}, "a.gtf", ["-w", "-x", "-y", "-W"])


@needs_gffread
def test_gzipped_annotation_gives_the_plain_ones_output(tmp_path):
    rng = random.Random(7)
    files = {"g.fa": genome(rng), "a.gtf": gtf(random_transcripts(rng, 50), rng)}
    ours = compare(tmp_path, files, "a.gtf", ["-w", "-x", "-y"])
    plain = {name: (ours / name).read_bytes() for name in ("w.fa", "x.fa", "y.fa")}
    (ours / "a.gtf.gz").write_bytes(gzip.compress(files["a.gtf"]))
    for name in plain:
        (ours / name).unlink()
    done = sekva_cli("transcripts", "-g", "g.fa", "-w", "w.fa", "-x", "x.fa", "-y", "y.fa", "a.gtf.gz", cwd=ours)
    assert done.returncode == 0, done.stderr
    assert {name: (ours / name).read_bytes() for name in plain} == plain


@pytest.mark.parametrize("args, message", [
    ([], b"-g <genome.fa> is required"),
    (["-g", "g.fa"], b"an annotation file"),
    (["-g", "g.fa", "-q", "a.gtf"], b"unrecognized option: -q"),
    (["-g", "g.fa", "nothere.gtf"], b"could not be read"),
    (["-g", "g.fa", "-w", "a.gtf", "a.gtf"], b"is the annotation"),
])
def test_bad_calls_are_one_line(tmp_path, args, message):
    (tmp_path / "g.fa").write_bytes(b">s\nACGT\n")
    (tmp_path / "a.gtf").write_bytes(b's\tt\texon\t1\t4\t.\t+\t.\ttranscript_id "t";\n')
    done = sekva_cli("transcripts", *args, cwd=tmp_path)
    assert done.returncode == 1
    assert message in done.stderr and b"Traceback" not in done.stderr
    assert (tmp_path / "a.gtf").read_bytes().startswith(b"s\tt")


def test_translate_follows_the_standard_code():
    for codon, amino_acid in zip(CODONS, STANDARD):
        for text in (codon, codon.lower()):
            assert sekva.Sequence("s", text).translate().seq == amino_acid
    assert sekva.Sequence("s", "".join(CODONS) + "AT").translate(stop=".").seq == STANDARD.replace("*", ".")


@pytest.mark.parametrize("codon, amino_acid", [
    ("GCN", "A"), ("YTR", "L"), ("MGR", "R"), ("TAR", "*"), ("TRA", "*"), ("RAY", "B"), ("SAR", "Z"),
    ("RAC", "X"), ("NNN", "X"), ("AUG", "X"), ("A-G", "X"), ("TTN", "X"), ("ATH", "I"),
])
def test_translate_reads_ambiguity_codes(codon, amino_acid):
    assert sekva.Sequence("s", codon).translate().seq == amino_acid


def test_translate_tables_and_bad_arguments():
    s = sekva.Sequence("x", "ATGTGAAGAATA", 5, 16)
    assert s.translate(table=2).seq == "MW*M" and s.translate(table=11).seq == "M*RI"
    protein = s.translate()
    assert (protein.name, protein.start, protein.end, protein.comp) == ("x", None, None, False)
    with pytest.raises(ValueError, match="no genetic code numbered 7"):
        s.translate(table=7)
    with pytest.raises(ValueError, match="one ASCII character"):
        s.translate(stop="**")
    with pytest.raises(TypeError):
        s.translate(tabel=1)


@pytest.mark.parametrize("kind", ["gtf", "gff3"])
def test_transcript_sequences_match_spliced_fetches(tmp_path, kind):
    sekva_ml = pytest.importorskip("sekva_ml")
    rng = random.Random(21)
    transcripts = random_transcripts(rng, 80)
    (tmp_path / "g.fa").write_bytes(genome(rng))
    (tmp_path / f"a.{kind}").write_bytes((gtf if kind == "gtf" else gff3)(transcripts, rng))
    fasta = sekva.Fasta(str(tmp_path / "g.fa"))
    read = sekva_ml.read_transcripts(tmp_path / f"a.{kind}")
    exons = sekva_ml.transcript_sequences(fasta, read)
    assert [s.name for s in exons] == [t.id for t in read]
    for t, s in zip(read, exons):
        assert s.seq == fasta.get_spliced_seq(t.chrom, t.exons, rc=t.strand == "-").seq
    coding = [t for t in read if t.coding_parts()]
    cds = sekva_ml.transcript_sequences(str(tmp_path / "g.fa"), tmp_path / f"a.{kind}", kind="cds")
    proteins = sekva_ml.transcript_sequences(fasta, read, kind="protein", stop=".")
    assert [s.name for s in cds] == [s.name for s in proteins] == [t.id for t in coding]
    for t, c, p in zip(coding, cds, proteins):
        assert c.seq == fasta.get_spliced_seq(t.chrom, t.coding_parts(), rc=t.strand == "-").seq
        assert p.seq == c.translate(stop=".").seq and len(p) == len(c) // 3


def test_transcript_sequences_refuse_what_the_genome_lacks(tmp_path):
    sekva_ml = pytest.importorskip("sekva_ml")
    (tmp_path / "g.fa").write_bytes(b">s\n" + b"ACGT" * 10 + b"\n")
    for line, error in [('chrZ\tt\texon\t1\t20\t.\t+\t.\ttranscript_id "t";\n', sekva.FetchError),
                        ('s\tt\texon\t21\t41\t.\t+\t.\ttranscript_id "t";\n', sekva.RegionError)]:
        (tmp_path / "a.gtf").write_text(line)
        with pytest.raises(error, match="transcript t"):
            sekva_ml.transcript_sequences(str(tmp_path / "g.fa"), tmp_path / "a.gtf")
    with pytest.raises(ValueError, match="kind must be one of"):
        sekva_ml.transcript_sequences(str(tmp_path / "g.fa"), [], kind="introns")


# Pieces of hostile annotations: line breaks str.splitlines knows (and bytes it does not), spaces
# around numbers and attributes (Unicode ones included), signs, underscores and leading zeros,
# attribute spellings the transcript_id and Parent/ID rules must tell apart, bytes that are not UTF-8.
BREAKS = [b"\n", b"\r\n", b"\r", b"\x0b", b"\x0c", b"\x1c", b"\xc2\x85", b"\xe2\x80\xa8", b"\n\n", b"\n#c\n"]
NOT_BREAKS = [b"\xc2", b"\x85", b"\xe2\x80", b"\x1f", b"\xc3\xa9"]
SPACES = [b"", b" ", b"  ", b"\xc2\xa0", b"\xe3\x80\x80", b"\xe2\x80\x83", b"\x1f"]
KINDS = [b"exon", b"Exon", b"EXON", b"CDS", b"cds", b"start_codon", b"Stop_Codon", b"UTR", b"five_prime_UTR", b"3UTR",
         b"transcript", b"mRNA", b"lnc_RNA", b"gene", b"intron", b"\xc3\x89xon"]
IDS = [b"t1", b"t2", b"T\xff", b"t\xc3\xa9", b"", b"t 3", b"t1;", b"t2,t1"]


def number_text(rng, n):
    """n as int() reads it, sometimes spelled unusually."""
    if rng.random() < 0.9:
        return str(n).encode()
    text = rng.choice([f"+{n}", f"0{n}", f"{n // 10}_{n % 10}" if n >= 10 else str(n), str(n)]).encode()
    return rng.choice(SPACES[:-1]) + text + rng.choice(SPACES[:-1])


def bad_line(rng, gff3):
    """A line one of the readers refuses, or skips where it reads GFF3."""
    start, end = rng.choice([("1.5", "9"), ("", "9"), ("1__0", "9"), ("_1", "9"), ("\x1f5", "9"), ("x", "y"),
                             ("0", "9"), ("-2", "9"), ("9", "8"), ("\xe3\x80\x805", "9"), ("5", "\xff")])
    fields = b"\t".join([b"chr1", b"s", b"exon", start.encode("latin-1"), end.encode("latin-1"), b".", b"+", b".",
                         b'transcript_id "t1";' if not gff3 else b"Parent=t1"])
    return rng.choice([fields, b"too\tfew", b"a\tb\tc"])


def hostile_attributes(rng, gff3):
    tid = rng.choice(IDS)
    if gff3:
        items = [rng.choice([b"ID=", b"Parent=", b" Parent=", b"ID =", b"Name="]) + tid,
                 rng.choice([b"Parent=", b"ID=", b"x"]) + rng.choice(IDS)]
        return b";".join(items[: rng.randint(1, 2)]) + rng.choice([b"", b";", b"; "])
    quote = rng.choice([b'"', b"", b'"'])
    key = rng.choice([b"transcript_id ", b"transcript_id  ", b"transcript_id\xc2\xa0", b"transcript_id\t", b"xtranscript_id ",
                      b"transcript_id"])
    lead = rng.choice([b"", b"gene_id \"g\"; ", b"gene_id \"g\";", b";", b" ; ", b"a transcript_id \"q\"; "])
    return lead + key + quote + tid + quote + rng.choice([b";", b"", b"; x", b'"'])


def hostile_annotation(rng, gff3):
    lines = [rng.choice([b"##gff-version 3", b"#x", b""])] if gff3 else []
    records = [b"chr1", b"chr2", b"c\xff"]
    for _ in range(rng.randint(1, 60)):
        if rng.random() < 0.03:
            lines.append(rng.choice([b"   ", b"\xe3\x80\x80", b"#\tcomment", b"\x1f"]))
            continue
        first = rng.randint(1, 300)
        last = first + rng.randint(0, 40)
        fields = [rng.choice(records), b"src", rng.choice(KINDS), number_text(rng, first), number_text(rng, last), b".",
                  rng.choice([b"+", b"-", b"+", b".", b""]), rng.choice([b"0", b"1", b"2", b".", b"3", b" 1", b""]),
                  hostile_attributes(rng, gff3)]
        line = b"\t".join(fields)
        if rng.random() < 0.05:
            line += rng.choice(NOT_BREAKS) + b"\tmore"
        lines.append(line)
    if rng.random() < 0.25:
        lines.insert(rng.randint(0, len(lines)), bad_line(rng, gff3))
    out = b""
    for line in lines:
        out += line + (rng.choice(BREAKS) if rng.random() < 0.1 else b"\n")
    return out[:-1] if rng.random() < 0.1 else out


@pytest.mark.parametrize("gff3", [False, True], ids=["gtf", "gff3"])
@pytest.mark.parametrize("seed", range(40))
def test_engine_reader_agrees_with_the_python_reader(tmp_path, seed, gff3):
    from annotation_model import AnnotationError, read_transcripts

    rng = random.Random(seed)
    for k in range(10):
        text = hostile_annotation(rng, gff3)
        path = tmp_path / f"{k}.gff"
        path.write_bytes(text)
        try:
            expected = [(t.id, t.chrom, t.strand, t.exons, t.cds, t.phase) for t in read_transcripts(path)]
        except AnnotationError as e:
            with pytest.raises(ValueError) as raised:
                sekva._read_annotation(text)
            assert str(raised.value) == str(e), text
            continue
        assert sekva._annotation_transcripts(sekva._read_annotation(text)) == expected, text


@needs_gffread
def test_transcripts_of_many_chunks_match_gffread(tmp_path):
    # More transcripts than one engine chunk holds, the last record missing from the genome.
    rng = random.Random(5)
    transcripts = random_transcripts(rng, 9000) + [("Tz", "chrX", "+", [(1, 40)], [], 0)]
    compare(tmp_path, {"g.fa": genome(rng), "a.gtf": gtf(transcripts, rng)}, "a.gtf", ["-w", "-x", "-y", "-W"])


@pytest.mark.parametrize("line, message", [
    (b"s\tt\texon\t1\n", b"a.gtf: line 2: 4 tab-separated fields where GTF has 9"),
    (b's\tt\texon\tx\t9\t.\t+\t.\ttranscript_id "t";\n', b"a.gtf: line 2: start 'x' or end '9' is not a number"),
    (b's\tt\texon\t1.5\t\xff\t.\t+\t.\ttranscript_id "t";\n',
     b"a.gtf: line 2: start '1.5' or end '\\udcff' is not a number"),
    (b's\tt\texon\t9\t8\t.\t+\t.\ttranscript_id "t";\n', b"a.gtf: line 2: 9-8 is not a range of 1-based positions"),
    (b's\tt\texon\t-0_1\t8\t.\t+\t.\ttranscript_id "t";\n', b"a.gtf: line 2: -1-8 is not a range of 1-based positions"),
    (b'\r\n\x0bs\tt\texon\t0\t8\t.\t+\t.\ttranscript_id "t";\n', b"a.gtf: line 4: 0-8 is not a range of 1-based positions"),
])
def test_unreadable_annotation_lines_are_named(tmp_path, line, message):
    (tmp_path / "g.fa").write_bytes(b">s\nACGT\n")
    (tmp_path / "a.gtf").write_bytes(b's\tt\texon\t1\t4\t.\t+\t.\ttranscript_id "t";\n' + line)
    done = sekva_cli("transcripts", "-g", "g.fa", "-w", "w.fa", "a.gtf", cwd=tmp_path)
    assert (done.returncode, done.stderr) == (1, b"sekva transcripts: " + message + b"\n")
    assert not (tmp_path / "w.fa").exists()


def test_write_transcripts_takes_streams_and_refuses_bad_arguments(tmp_path):
    import io

    g = "ATGAAATAGCCC" * 10
    (tmp_path / "g.fa").write_text(f">s\n{g}\n")
    fasta = sekva.Fasta(str(tmp_path / "g.fa"))
    annotation = sekva._read_annotation(b's\tt\texon\t1\t60\t.\t-\t.\ttranscript_id "t";\n'
                                        b's\tt\tCDS\t4\t12\t.\t-\t0\ttranscript_id "t";\n'
                                        b's\tt\texon\t61\t75\t.\t+\t.\ttranscript_id "u";\n'
                                        b's\tt\tCDS\t61\t63\t.\t+\t1\ttranscript_id "u";\n')
    exons, cds, proteins, said = io.BytesIO(), io.BytesIO(), io.BytesIO(), []
    assert sekva._write_transcripts(fasta, annotation, exons=exons, cds=cds, proteins=proteins, warn=said.append) is None
    minus = g[:60][::-1].translate(str.maketrans("ACGT", "TGCA"))
    assert exons.getvalue().decode() == f">t CDS=49-57\n{minus}\n>u CDS=2-3\n{g[60:75]}\n"
    assert cds.getvalue() == b">t\nGGGCTATTT\n>u\nTG\n"
    assert proteins.getvalue() == b">t\nGLF\n"
    assert said == [b"Warning: CDS 62-63 too short for u, check your data."]
    stopped = sekva._write_transcripts(fasta, sekva._read_annotation(b's\tt\texon\t100\t121\t.\t+\t.\ttranscript_id "v";\n'))
    assert stopped == ("s", 120, "v", 100, 121)
    with pytest.raises(TypeError, match="argument 'text'"):
        sekva._read_annotation("text")
    with pytest.raises(TypeError, match="argument 'annotation'"):
        sekva._annotation_transcripts(b"")
    with pytest.raises(TypeError, match="argument 'fasta'"):
        sekva._write_transcripts(str(tmp_path / "g.fa"), annotation)
    with pytest.raises(ValueError, match="one ASCII character"):
        sekva._write_transcripts(fasta, annotation, stop="**")
    with pytest.raises(TypeError, match="argument 'warn'"):
        sekva._write_transcripts(fasta, annotation, cds=io.BytesIO(), warn=1)
    with pytest.raises(TypeError, match="argument 'proteins'"):
        sekva._write_transcripts(fasta, annotation, proteins=io.StringIO())
