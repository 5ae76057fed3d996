"""BGZF-compressed FASTA files: every operation gives what it gives on the plain file; indexes match
samtools and bgzip; other compressions and damaged blocks are refused clearly."""
import bz2
import gzip
import lzma
import os
import random
import shutil
import subprocess

import pytest

from conftest import bump_mtime
from sekva import Faidx, Fasta

BGZIP = shutil.which("bgzip")
SAMTOOLS = shutil.which("samtools")
needs_bgzip = pytest.mark.skipif(BGZIP is None, reason="bgzip (Debian's tabix) not installed")


def random_text(rng, size, newline="\n"):
    """Records of random widths over several 64 KiB blocks: records and lines span blocks; some
    records are empty, some end without a newline of their own before the next header."""
    out, total = [], 0
    while total < size:
        name = f"r{len(out)}"
        width = rng.choice([7, 60, 61, 80, 997])
        length = rng.choice([0, 1, width, rng.randint(0, 90_000)])
        bases = "".join(rng.choices("ACGTNacgtRY", k=length))
        text = f">{name} some words{newline}" + "".join(bases[i : i + width] + newline for i in range(0, length, width))
        out.append(text)
        total += len(text)
    return "".join(out)


def bgzip(path, *args):
    subprocess.run([BGZIP, "-k", "-f", *args, path], check=True)
    return path + ".gz"


@pytest.fixture(params=[("\n", ()), ("\r\n", ()), ("\n", ("-l", "9")), ("\n", ("-l", "0"))], ids=["lf", "crlf", "l9", "l0"])
def pair(tmp_path, request):
    if BGZIP is None:
        pytest.skip("bgzip (Debian's tabix) not installed")
    newline, args = request.param
    rng = random.Random(hash(request.param) % 1000)
    plain = tmp_path / "g.fa"
    plain.write_text(random_text(rng, 400_000, newline))
    compressed = bgzip(str(plain), *args)
    return str(plain), compressed


def fields(s):
    return (s.name, s.seq, s.start, s.end, s.comp)


def outcome(call):
    try:
        value = call()
    except Exception as e:  # noqa: BLE001: the same exception is the point
        return ("raised", type(e).__name__, str(e))
    if isinstance(value, list):
        return [fields(v) if hasattr(v, "seq") else v for v in value]
    return fields(value) if hasattr(value, "seq") else value


def test_every_fetch_agrees_with_the_plain_file(pair, capfd):
    plain, compressed = pair
    rng = random.Random(7)
    for options in ({}, {"sequence_always_upper": True, "default_seq": "N"}, {"strict_bounds": True},
                    {"one_based_attributes": False, "as_raw": True}):
        a, b = Fasta(compressed, **options), Fasta(plain, **options)
        names = a.keys()
        assert names == b.keys()
        lengths = {n: len(b[n]) for n in names}
        calls = []
        for _ in range(60):
            n = rng.choice(names)
            s = rng.randint(0, lengths[n] + 3)
            e = rng.randint(max(s - 2, 0), lengths[n] + 5)
            calls.append(lambda f, n=n, s=s, e=e: f.get_seq(n, s, e))
            calls.append(lambda f, n=n, s=s, e=e: f.get_seq(n, s, e, rc=True))
            calls.append(lambda f, n=n, s=s, e=e, step=rng.choice([1, 1, 2, -1, -3]): f[n][s:e:step])
            calls.append(lambda f, n=n, s=s: f[n][s])
        for n in rng.sample(names, 4):
            calls += [lambda f, n=n: str(f[n]), lambda f, n=n: list(f[n]), lambda f, n=n: reversed(f[n]),
                      lambda f, n=n: f[n].unpadded_len, lambda f, n=n: f.get_spliced_seq(n, [(1, 5), (9, 30), (3, 4)])]
        regions = [(rng.choice(names), rng.randint(0, 5000), rng.randint(0, 9000)) for _ in range(1500)]
        calls += [lambda f: f.fetch_many(regions), lambda f: f.fetch_many(regions[:200], rc=True),
                  lambda f: f.fetch_many_same_chr(names[0], [(s, e) for _, s, e in regions])]
        for call in calls:
            got, want = outcome(lambda: call(a)), outcome(lambda: call(b))
            assert got == want
        # the warnings too
        capfd.readouterr()
        for call in calls[:80]:
            outcome(lambda: call(a))
        warned_compressed = capfd.readouterr().err
        for call in calls[:80]:
            outcome(lambda: call(b))
        assert warned_compressed == capfd.readouterr().err


def test_whole_records_and_faidx(pair):
    plain, compressed = pair
    a, b = Faidx(compressed), Faidx(plain)
    for name in a.keys:
        assert fields(a.fetch_entire_sequence(name)) == fields(b.fetch_entire_sequence(name))
    assert open(compressed + ".fai", "rb").read() == open(plain + ".fai", "rb").read()


def test_array_methods_agree(pair):
    np = pytest.importorskip("numpy")
    plain, compressed = pair
    a, b = Fasta(compressed), Fasta(plain)
    rng = random.Random(3)
    names = a.keys()
    regions = [(rng.choice(names), s, s + 49) for s in (rng.randint(-30, 9000) for _ in range(3000))]
    rc = [rng.random() < 0.5 for _ in regions]
    assert np.array_equal(a.fetch_array(regions, width=64, rc=rc), b.fetch_array(regions, width=64, rc=rc))
    assert np.array_equal(a.fetch_onehot(regions, rc=rc), b.fetch_onehot(regions, rc=rc))
    kept = [(n, max(s, 0), e) for n, s, e in regions]
    for x, y in zip(a.fetch_ragged(kept, rc=rc), b.fetch_ragged(kept, rc=rc)):
        assert np.array_equal(x, y)
    heads = [f">{n}:{s}-{e}" for n, s, e in kept]
    assert a.fetch_fasta(kept, heads, width=60, rc=rc) == b.fetch_fasta(kept, heads, width=60, rc=rc)


@needs_bgzip
def test_indexes_are_those_samtools_and_bgzip_write(tmp_path):
    if SAMTOOLS is None:
        pytest.skip("samtools not installed")
    rng = random.Random(11)
    for i, size in enumerate([0, 100, 65_280, 65_281, 300_000]):
        plain = tmp_path / f"s{i}.fa"
        text = random_text(rng, size) if size else ""
        plain.write_text(text[:size] if size == 65_280 or size == 65_281 else text)
        ours = bgzip(str(plain))
        theirs = str(tmp_path / f"t{i}.fa.gz")
        shutil.copy(ours, theirs)
        Faidx(ours)
        Faidx(str(plain))
        subprocess.run([BGZIP, "-r", "-I", theirs + ".bgzip.gzi", theirs], check=True)
        assert open(ours + ".gzi", "rb").read() == open(theirs + ".bgzip.gzi", "rb").read()
        # The .fai holds uncompressed offsets: the plain file's index, byte for byte.
        assert open(ours + ".fai", "rb").read() == open(str(plain) + ".fai", "rb").read()
        if size:  # samtools refuses a file without records
            subprocess.run([SAMTOOLS, "faidx", theirs], check=True, capture_output=True)
            assert open(ours + ".gzi", "rb").read() == open(theirs + ".gzi", "rb").read()
            # samtools leaves records without bases out; every other line is the same
            ours_lines = [line for line in open(ours + ".fai") if line.split("\t")[1] != "0"]
            assert ours_lines == open(theirs + ".fai").readlines()


@needs_bgzip
def test_indexes_samtools_wrote_are_used(tmp_path):
    if SAMTOOLS is None:
        pytest.skip("samtools not installed")
    plain = tmp_path / "g.fa"
    plain.write_text(random_text(random.Random(5), 200_000))
    compressed = bgzip(str(plain))
    subprocess.run([SAMTOOLS, "faidx", compressed], check=True)
    before = (os.stat(compressed + ".fai").st_mtime_ns, os.stat(compressed + ".gzi").st_mtime_ns)
    a, b = Fasta(compressed), Fasta(str(plain))
    assert (os.stat(compressed + ".fai").st_mtime_ns, os.stat(compressed + ".gzi").st_mtime_ns) == before
    for name in a.keys():
        assert str(a[name]) == str(b[name])


@needs_bgzip
def test_missing_and_stale_gzi_are_built(tmp_path):
    plain = tmp_path / "g.fa"
    plain.write_text(random_text(random.Random(6), 150_000))
    compressed = bgzip(str(plain))
    Faidx(compressed)
    gzi = open(compressed + ".gzi", "rb").read()
    os.unlink(compressed + ".gzi")
    Faidx(compressed)
    assert open(compressed + ".gzi", "rb").read() == gzi
    with open(compressed + ".gzi", "wb") as f:
        f.write(gzi[:8] + b"\x00" * (len(gzi) - 8))  # a .gzi of nothing like this file
    bump_mtime(compressed, 10)
    assert Faidx(compressed).keys == Faidx(str(plain)).keys
    assert open(compressed + ".gzi", "rb").read() == gzi


@pytest.mark.parametrize("name, compress", [
    ("gzip", lambda data: gzip.compress(data)),
    ("xz", lambda data: lzma.compress(data)),
    ("bzip2", lambda data: bz2.compress(data)),
    ("zstd", lambda data: b"\x28\xb5\x2f\xfd" + data),
])
def test_compression_without_random_access_is_refused(tmp_path, name, compress):
    path = tmp_path / "g.fa.gz"
    path.write_bytes(compress(b">a\nACGT\n" * 100))
    with pytest.raises(Exception) as info:
        Faidx(str(path))
    assert str(info.value) == (f"IOError: {path} is compressed with {name}, which allows no random access; "
                               "recompress it with bgzip")
    assert sorted(os.listdir(tmp_path)) == ["g.fa.gz"]


@needs_bgzip
@pytest.mark.parametrize("damage", ["deflate", "crc", "isize", "cut"])
def test_damaged_blocks_are_errors_naming_the_block(tmp_path, damage):
    plain = tmp_path / "g.fa"
    plain.write_text(random_text(random.Random(9), 300_000))
    compressed = bgzip(str(plain))
    fa = Fasta(compressed)  # indexed while whole
    data = bytearray(open(compressed, "rb").read())
    second = int.from_bytes(data[16:18], "little") + 1  # where the second block starts
    size = int.from_bytes(data[second + 16 : second + 18], "little") + 1
    if damage == "deflate":
        data[second + 40] ^= 0xFF
    elif damage == "crc":
        data[second + size - 8] ^= 1
    elif damage == "isize":
        data[second + size - 4] ^= 1
    else:
        del data[second + size // 2 :]
    with open(compressed, "r+b") as f:  # in place: the open Fasta keeps its map of this file
        f.write(data)
        f.truncate(len(data))
    with pytest.raises(Exception) as info:  # a cut file fails as soon as its last block is looked at
        fa = Fasta(compressed, rebuild=False)
        for name in fa.keys():
            str(fa[name])
    message = str(info.value)
    assert message.startswith(f"IOError: {compressed}: ") and "BGZF" in message
    assert str(second) in message or damage == "cut"
