"""fetch_variants: reference and alternate windows around variants, held to a plain Python model
(indels at record ends, windows past them, reverse complements, one-hot), and its refusals."""
import random
import re
import shutil
import subprocess

import pytest

import sekva
from sekva import Faidx, Fasta

np = pytest.importorskip("numpy")

COMPLEMENT = str.maketrans("ACGTURYSWKMBDHVNacgturyswkmbdhvn", "TGCAAYRSWMKVHDBNtgcaayrswmkvhdbn")


def revcomp(s):
    return s.translate(COMPLEMENT)[::-1]


def model(seq, pos, ref, alt, width, rc, pad="N"):
    """The two windows as text: the variant's first base at column width // 2."""
    centre = width // 2

    def bases(first, count):
        return "".join(seq[p - 1] if 1 <= p <= len(seq) else pad for p in range(first, first + count))

    ref_window = bases(pos - centre, width)
    alt_window = (ref_window[:centre] + alt)[:width]
    alt_window += bases(pos + len(ref), width - len(alt_window))
    return (revcomp(ref_window), revcomp(alt_window)) if rc else (ref_window, alt_window)


def onehot(text, alphabet="ACGT"):
    out = np.zeros((len(text), len(alphabet)), dtype=np.uint8)
    for j, c in enumerate(text.upper()):
        if c in alphabet:
            out[j, alphabet.index(c)] = 1
    return out


@pytest.fixture(scope="module")
def genome(tmp_path_factory):
    rng = random.Random(21)
    records = {f"chr{i}": "".join(rng.choices("ACGTacgtN", weights=[9, 9, 9, 9, 2, 2, 2, 2, 1], k=length))
               for i, length in enumerate([1, 47, 300, 2_000])}
    path = tmp_path_factory.mktemp("variants") / "g.fa"
    path.write_text("".join(f">{n}\n" + "".join(s[j : j + 31] + "\n" for j in range(0, len(s), 31))
                            for n, s in records.items()))
    return str(path), records


def random_variants(rng, records, count):
    names, positions, refs, alts = [], [], [], []
    for _ in range(count):
        name = rng.choice(list(records))
        seq = records[name]
        pos = rng.choice([1, len(seq), max(1, len(seq) - 2), rng.randint(1, len(seq))])
        ref_len = min(rng.choice([1, 1, 1, 2, 5, 20]), len(seq) - pos + 1)
        alt = "".join(rng.choices("ACGTacgtN", k=rng.choice([1, 1, 2, 7, 30])))
        names.append(name)
        positions.append(pos)
        refs.append(seq[pos - 1 : pos - 1 + ref_len].swapcase() if rng.random() < 0.3 else seq[pos - 1 : pos - 1 + ref_len])
        alts.append(alt)
    return names, positions, refs, alts


@pytest.mark.parametrize("cls", [Faidx, Fasta])
@pytest.mark.parametrize("width", [1, 2, 11, 64])
def test_windows_match_the_model(genome, cls, width):
    path, records = genome
    rng = random.Random(width)
    names, positions, refs, alts = random_variants(rng, records, 400)
    rc = [rng.random() < 0.4 for _ in names]
    fa = cls(path)
    ref, alt = fa.fetch_variants(names, positions, refs, alts, width=width, rc=rc)
    assert ref.shape == alt.shape == (400, width) and ref.dtype == alt.dtype == np.uint8
    hot_ref, hot_alt = fa.fetch_variants(names=names, positions=np.array(positions), refs=np.array(refs),
                                         alts=alts, width=width, rc=rc, onehot=True, dtype="float32")
    assert hot_ref.shape == (400, width, 4) and hot_ref.dtype == np.float32
    for i in range(400):
        want = model(records[names[i]], positions[i], refs[i], alts[i], width, rc[i])
        got = (ref[i].tobytes().decode(), alt[i].tobytes().decode())
        assert got == want, (i, names[i], positions[i], refs[i], alts[i], rc[i])
        # Padding is all zeros in one-hot rows, whatever letter pads the codes.
        assert (hot_ref[i] == onehot(want[0])).all() and (hot_alt[i] == onehot(want[1])).all(), i


def test_bgzf_gives_the_plain_files_windows(genome, tmp_path):
    bgzip = shutil.which("bgzip")
    if bgzip is None:
        pytest.skip("bgzip (Debian's tabix) not installed")
    path, records = genome
    compressed = tmp_path / "g.fa"
    shutil.copy(path, compressed)
    subprocess.run([bgzip, "-f", str(compressed)], check=True)
    names, positions, refs, alts = random_variants(random.Random(3), records, 300)
    plain = Faidx(path).fetch_variants(names, positions, refs, alts, width=33, rc=True, pad="x")
    packed = Faidx(str(compressed) + ".gz").fetch_variants(names, positions, refs, alts, width=33, rc=True, pad="x")
    assert all((a == b).all() for a, b in zip(plain, packed))


def test_the_allele_lands_at_the_centre_column(genome):
    path, records = genome
    seq = records["chr3"]
    fa = Faidx(path)
    # An SNV, a deletion that pulls bases in from the right and an insertion that pushes them out.
    ref, alt = fa.fetch_variants(["chr3"] * 3, [100, 100, 100], [seq[99], seq[99:104], seq[99]],
                                 ["A", seq[99], seq[99] + "GGG"], width=10)
    rows = [(r.tobytes().decode(), a.tobytes().decode()) for r, a in zip(ref, alt)]
    assert all(r == seq[94:104] for r, _ in rows)
    assert rows[0][1] == seq[94:99] + "A" + seq[100:104]
    assert rows[1][1] == seq[94:100] + seq[104:108]
    assert rows[2][1] == seq[94:100] + "GGG" + seq[100]


def test_out_pairs_are_filled_and_returned(genome):
    path, records = genome
    fa = Faidx(path)
    ref_out, alt_out = np.full((2, 9), 7, np.uint8), np.full((2, 9), 7, np.uint8)
    got = fa.fetch_variants(["chr2", "chr2"], [5, 6], [records["chr2"][4], records["chr2"][5]], ["A", "C"], width=9,
                            out=(ref_out, alt_out))
    assert got[0] is ref_out and got[1] is alt_out and (ref_out != 7).all()
    with pytest.raises(ValueError, match=r"^argument 'out': expected a writable C-contiguous array of shape \(2, 9\)"):
        fa.fetch_variants(["chr2", "chr2"], [5, 6], ["A", "C"], ["A", "C"], width=9, check_ref=False,
                          out=(ref_out, np.zeros((2, 8), np.uint8)))
    with pytest.raises(ValueError, match="must not share memory"):
        fa.fetch_variants(["chr2", "chr2"], [5, 6], ["A", "C"], ["A", "C"], width=9, check_ref=False,
                          out=(ref_out, ref_out))
    with pytest.raises(TypeError, match="expected a pair"):
        fa.fetch_variants(["chr2"], [5], ["A"], ["C"], width=9, check_ref=False, out=ref_out)


def test_a_ref_that_does_not_match_is_refused_before_anything_is_written(genome):
    path, records = genome
    fa = Faidx(path)
    seq = records["chr3"]
    wrong = "T" if seq[9].upper() != "T" else "G"
    ref_out, alt_out = np.full((3, 5), 7, np.uint8), np.full((3, 5), 7, np.uint8)
    with pytest.raises(ValueError, match=rf"^variant 1: REF '{wrong}' does not match the genome's '{seq[9]}' at chr3:10$"):
        fa.fetch_variants(["chr3"] * 3, [1, 10, 20], [seq[0], wrong, seq[19]], ["A", "A", "A"], width=5,
                          out=(ref_out, alt_out))
    assert (ref_out == 7).all() and (alt_out == 7).all()
    with pytest.raises(ValueError, match=r"^variant 0: REF 'ACGT' reaches past the end of its record \(47 bases\)"):
        fa.fetch_variants(["chr1"], [45], ["ACGT"], ["A"], width=5)
    # Without the check the windows are built all the same.
    ref, alt = fa.fetch_variants(["chr3"], [10], [wrong], ["A"], width=5, check_ref=False)
    assert ref[0].tobytes().decode() == seq[7:12] and alt[0].tobytes().decode() == seq[7:9] + "A" + seq[10:12]


@pytest.mark.parametrize("field, value", [
    ("alts", "<DEL>"), ("alts", "*"), ("alts", "."), ("alts", ""), ("alts", "A,C"), ("refs", "N-"), ("refs", ""),
])
def test_symbolic_alleles_are_refused_naming_the_row(genome, field, value):
    path, records = genome
    columns = {"names": ["chr3", "chr3"], "positions": [1, 2], "refs": [records["chr3"][0], records["chr3"][1]],
               "alts": ["A", "C"]}
    columns[field][1] = value
    with pytest.raises(ValueError, match=f"^variant 1: {field[:-1].upper()} '{re.escape(value)}' is not a sequence of IUPAC"):
        Faidx(path).fetch_variants(**columns, width=4)


@pytest.mark.parametrize("change, error, message", [
    ({"names": ["chr3", "nope"]}, sekva.FetchError, "variant 1: Sequence 'nope' not found"),
    ({"positions": [1, 0]}, ValueError, "^variant 1: position 0 is not a VCF POS"),
    ({"positions": [1]}, ValueError, "different lengths"),
    ({"alts": ["A", 5]}, TypeError, r"^alts\[1\]: expected str or bytes, got int$"),
    ({"width": 0}, ValueError, "argument 'width'"),
    ({"dtype": "float32"}, ValueError, "rows of ASCII codes are uint8"),
    ({"rc": [True]}, ValueError, "rc has 1 items for 2 variants"),
    ({"pad": "NN"}, ValueError, "argument 'pad'"),
])
def test_bad_columns_are_refused_clearly(genome, change, error, message):
    path, records = genome
    call = {"names": ["chr3", "chr3"], "positions": [1, 2], "refs": [records["chr3"][0], records["chr3"][1]],
            "alts": ["A", b"C"], "width": 4, **change}
    with pytest.raises(error, match=message):
        Faidx(path).fetch_variants(**call)


def test_width_is_required_and_keyword_only(genome):
    fa = Faidx(genome[0])
    with pytest.raises(TypeError, match="width"):
        fa.fetch_variants([], [], [], [])
    with pytest.raises(TypeError):
        fa.fetch_variants([], [], [], [], 5)
    ref, alt = fa.fetch_variants([], [], [], [], width=5)
    assert ref.shape == alt.shape == (0, 5)


# --- haplotypes -------------------------------------------------------------------------------


def haplotype_model(seq, start, end, variants, width, rc, pad="N"):
    """Region [start, end] with `variants` ((pos, ref, alt), sorted) applied; with width, cut or
    carried on with the genome after the region."""

    def base(p):
        return seq[p - 1] if 1 <= p <= len(seq) else pad

    out, at = [], start
    for pos, ref, alt in variants:
        out.extend(base(p) for p in range(at, pos))
        out.append(alt)
        at = pos + len(ref)
    text = "".join(out)
    if width is None:
        text += "".join(base(p) for p in range(at, end + 1))
    else:
        p = at
        while len(text) < width:
            text += base(p)
            p += 1
        text = text[:width]
    return revcomp(text) if rc else text


def random_haplotypes(rng, records, rows):
    regions, offsets, positions, refs, alts = [], [0], [], [], []
    for _ in range(rows):
        name = rng.choice(list(records))
        seq = records[name]
        start = rng.randint(1, len(seq))
        end = min(len(seq), start + rng.choice([0, 3, 40, 200]))
        at = start
        while at <= end and rng.random() < 0.7:
            pos = rng.randint(at, min(end, at + 20))
            ref = seq[pos - 1 : pos - 1 + rng.choice([1, 1, 2, 6])]
            positions.append(pos)
            refs.append(ref)
            alts.append("".join(rng.choices("ACGT", k=rng.choice([1, 1, 3, 12]))))
            at = pos + len(ref)
        regions.append((name, start, end))
        offsets.append(len(positions))
    return regions, offsets, positions, refs, alts


@pytest.mark.parametrize("width", [None, 1, 16, 300])
def test_haplotypes_match_the_model(genome, width):
    path, records = genome
    rng = random.Random(100 + (width or 0))
    regions, offsets, positions, refs, alts = random_haplotypes(rng, records, 300)
    rc = [rng.random() < 0.3 for _ in regions]
    fa = Fasta(path)
    got = fa.fetch_haplotypes(regions, variant_offsets=np.array(offsets), positions=positions, refs=refs, alts=alts,
                              width=width, rc=rc)
    if width is None:
        data, bounds = got
        rows = [data[bounds[i] : bounds[i + 1]].tobytes().decode() for i in range(len(regions))]
    else:
        assert got.shape == (300, width)
        rows = [r.tobytes().decode() for r in got]
        hot = fa.fetch_haplotypes(regions, variant_offsets=offsets, positions=positions, refs=refs, alts=alts,
                                  width=width, rc=rc, onehot=True, dtype="bool")
        assert hot.shape == (300, width, 4) and hot.dtype == np.bool_
        assert all((hot[i] == onehot(rows[i]).astype(bool)).all() for i in range(300))
    for i, (name, start, end) in enumerate(regions):
        row = [(positions[k], refs[k], alts[k]) for k in range(offsets[i], offsets[i + 1])]
        assert rows[i] == haplotype_model(records[name], start, end, row, width, rc[i]), (i, regions[i], row)


def test_haplotypes_without_variants_are_the_regions(genome):
    path, records = genome
    fa = Faidx(path)
    regions = [("chr1", 1, 47), ("chr3", 10, 19)]
    data, bounds = fa.fetch_haplotypes(regions, variant_offsets=[0, 0, 0], positions=[], refs=[], alts=[])
    assert bounds.tolist() == [0, 47, 57] and data.tobytes().decode() == records["chr1"] + records["chr3"][9:19]
    fixed = fa.fetch_haplotypes(names=["chr1"], starts=[45], ends=[47], variant_offsets=[0, 0], positions=[], refs=[],
                                alts=[], width=6, pad="-")
    assert fixed[0].tobytes().decode() == records["chr1"][44:] + "---"


@pytest.mark.parametrize("offsets, positions, message", [
    ([0, 2], [12, 11], "^region 0: variant 1 at 11 overlaps the one before it, or the variants are not sorted"),
    ([0, 2], [12, 12], "^region 0: variant 1 at 12 overlaps"),
    ([0, 1], [9], "^region 0: variant 0 at 9 lies outside the region 10-20"),
    ([0, 1], [21], "^region 0: variant 0 at 21 lies outside the region 10-20"),
])
def test_bad_variant_rows_are_refused_naming_the_row(genome, offsets, positions, message):
    path, records = genome
    seq = records["chr3"]
    with pytest.raises(ValueError, match=message):
        Faidx(path).fetch_haplotypes([("chr3", 10, 20)], variant_offsets=offsets, positions=positions,
                                     refs=[seq[p - 1] for p in positions], alts=["A"] * len(positions))


@pytest.mark.parametrize("offsets, message", [
    ([0], "variant_offsets has 1 items for 1 rows; expected 2"),
    ([1, 1], r"variant_offsets\[0\] is 1: offsets start at 0"),
    ([0, 2], r"variant_offsets\[1\] is 2: .* end at the number of variants \(1\)"),
])
def test_bad_offsets_are_refused(genome, offsets, message):
    path, records = genome
    with pytest.raises(ValueError, match=message):
        Faidx(path).fetch_haplotypes([("chr3", 10, 20)], variant_offsets=offsets, positions=[11],
                                     refs=[records["chr3"][10]], alts=["A"])


def test_haplotype_refs_are_checked_and_onehot_needs_a_width(genome):
    path, records = genome
    fa = Faidx(path)
    seq = records["chr3"]
    wrong = "T" if seq[14].upper() != "T" else "G"
    with pytest.raises(ValueError, match=f"^variant 1: REF '{wrong}' does not match the genome's '{seq[14]}' at chr3:15$"):
        fa.fetch_haplotypes([("chr2", 1, 5), ("chr3", 10, 20)], variant_offsets=[0, 1, 2], positions=[2, 15],
                            refs=[records["chr2"][1], wrong], alts=["A", "A"])
    with pytest.raises(ValueError, match="onehot=True needs width="):
        fa.fetch_haplotypes([("chr3", 10, 20)], variant_offsets=[0, 0], positions=[], refs=[], alts=[], onehot=True)
    with pytest.raises(TypeError, match="variant_offsets"):
        fa.fetch_haplotypes([("chr3", 10, 20)], positions=[], refs=[], alts=[])


@pytest.mark.parametrize("width", [0, 300])
def test_the_cyvcf2_example_gives_the_models_haplotypes(tmp_path, width):
    pytest.importorskip("cyvcf2")
    import os
    import sys
    examples = os.path.join(os.path.dirname(__file__), "..", "examples")
    for name in ("genome.fa", "samples.vcf", "peaks.bed"):
        shutil.copy(os.path.join(examples, name), tmp_path / name)
    done = subprocess.run([sys.executable, os.path.join(examples, "haplotypes.py"), "genome.fa", "samples.vcf",
                           "peaks.bed", "--width", str(width)], cwd=tmp_path, capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    # The model: the VCF read line by line, each haplotype's ALT alleles applied in order.
    fa = Fasta(str(tmp_path / "genome.fa"))
    seqs = {n: str(fa[n]) for n in fa.keys()}
    samples, calls = [], {}
    for line in open(tmp_path / "samples.vcf"):
        if line.startswith("#CHROM"):
            samples = line.split()[9:]
        elif not line.startswith("#"):
            f = line.split()
            gts = [tuple(int(a) for a in g.split("|")) for g in f[9:]]
            calls.setdefault(f[0], []).append((int(f[1]), f[3], f[4].split(","), gts))
    want = []
    for line in open(tmp_path / "peaks.bed"):
        record, s, e, name = line.split()[:4]
        start, end = int(s) + 1, int(e)
        for k, sample in enumerate(samples):
            for hap in (0, 1):
                applied, reach = [], 0
                for pos, ref, alts, gts in calls.get(record, []):
                    if start <= pos <= end and gts[k][hap] > 0 and pos > reach:
                        applied.append((pos, ref, alts[gts[k][hap] - 1]))
                        reach = pos + len(ref) - 1
                text = haplotype_model(seqs[record], start, end, applied, width or None, False)
                want.append(f"{name}\t{sample}\t{hap}\t{text}")
    assert done.stdout.splitlines() == want
