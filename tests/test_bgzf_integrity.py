"""Damaged, cut and mismatched BGZF files and block indexes: every one is refused with an error that
names the damage, or read right; never read as other bases."""
import os
import random
import struct
import subprocess
import sys
import zlib

import pytest

from conftest import bump_mtime
from sekva import Faidx, Fasta

EOF_MARKER = bytes.fromhex("1f8b08040000000000ff0600424302001b0003000000000000000000")
BLOCK = 65280  # bytes of text per block, as bgzip cuts them
SHRANK = "IOError: the FASTA file shrank while it was open; bases past its new end cannot be read"


def bgzf_block(data, level=6):
    deflate = zlib.compressobj(level, zlib.DEFLATED, -15)
    body = deflate.compress(data) + deflate.flush()
    head = b"\x1f\x8b\x08\x04\0\0\0\0\0\xff\x06\0BC\x02\0" + struct.pack("<H", 18 + len(body) + 8 - 1)
    return head + body + struct.pack("<II", zlib.crc32(data), len(data))


def bgzf(text, eof=True, block=BLOCK):
    return b"".join(bgzf_block(text[i : i + block]) for i in range(0, len(text), block)) + (EOF_MARKER if eof else b"")


def blocks_of(data):
    """(compressed offset, size) of every block."""
    out, at = [], 0
    while at < len(data):
        size = int.from_bytes(data[at + 16 : at + 18], "little") + 1
        out.append((at, size))
        at += size
    return out


def genome_text(seed=1, length=200_000):
    rng = random.Random(seed)
    seqs = {"chr1": "".join(rng.choices("ACGT", k=length)), "chr2": "".join(rng.choices("acgtN", k=1000))}
    text = "".join(f">{n}\n" + "".join(s[i : i + 60] + "\n" for i in range(0, len(s), 60)) for n, s in seqs.items())
    return text.encode(), seqs


def rewrite(path, data, keep_mtime=True):
    """New content under the old modification time, as bit rot leaves it."""
    st = os.stat(path)
    with open(path, "wb") as f:
        f.write(data)
    if keep_mtime:
        os.utime(path, ns=(st.st_atime_ns, st.st_mtime_ns))


@pytest.fixture
def genome(tmp_path):
    """A BGZF genome of four blocks, opened once so that its .fai and .gzi lie beside it."""
    text, seqs = genome_text()
    path = str(tmp_path / "g.fa.gz")
    with open(path, "wb") as f:
        f.write(bgzf(text))
    Fasta(path)
    assert os.path.exists(path + ".gzi") and os.path.exists(path + ".fai")
    return path, seqs


def raised(call):
    with pytest.raises(Exception) as info:
        call()
    return str(info.value)


def read_all(path, **options):
    fa = Fasta(path, **options)
    return {name: str(fa[name]) for name in fa.keys()}


# ---- A block that claims to hold nothing ----

@pytest.mark.parametrize("indexes", ["none", "kept", "gzi only"])
def test_a_zeroed_footer_is_a_corrupt_block_not_an_empty_one(genome, indexes):
    path, _ = genome
    data = bytearray(open(path, "rb").read())
    at, size = blocks_of(data)[1]
    data[at + size - 8 : at + size] = bytes(8)
    rewrite(path, data)
    if indexes == "none":
        os.unlink(path + ".gzi")
    if indexes != "kept":
        os.unlink(path + ".fai")
    message = raised(lambda: read_all(path, rebuild=False))
    assert message == f"IOError: {path}: corrupt BGZF block at compressed offset {at}: deflate data holds more bytes than ISIZE"
    assert not os.path.exists(path + ".gzi") or indexes != "none"


def test_the_command_line_refuses_a_zeroed_footer(tmp_path):
    text, _ = genome_text()
    data = bytearray(bgzf(text))
    at, size = blocks_of(data)[2]
    data[at + size - 8 : at + size] = bytes(8)
    (tmp_path / "g.fa.gz").write_bytes(data)
    done = subprocess.run([sys.executable, "-m", "sekva_cli", "faidx", "g.fa.gz"], cwd=tmp_path, capture_output=True)
    assert done.returncode == 1
    assert f"corrupt BGZF block at compressed offset {at}" in done.stderr.decode()


@pytest.mark.parametrize("footer", [
    struct.pack("<II", 0x12345678, 0),  # holds nothing, but a CRC of something
    struct.pack("<II", 0, 0),           # the right footer of an empty block around data
])
def test_an_empty_block_must_inflate_to_nothing(tmp_path, footer):
    text, _ = genome_text()
    data = bgzf(text[:1000])
    lying = bgzf_block(b"ACGT\n")[:-8] + footer
    path = tmp_path / "g.fa.gz"
    path.write_bytes(data[:-28] + lying + data[-28:] + EOF_MARKER)
    message = raised(lambda: Faidx(str(path)))
    assert message.startswith(f"IOError: {path}: corrupt BGZF block at compressed offset {len(data) - 28}: ")


def test_real_empty_blocks_between_joined_files_still_read(tmp_path):
    """Files joined with cat keep their end-of-file markers between them; with or without a .gzi,
    the data reads whole and the .gzi written is bgzip's."""
    text, seqs = genome_text(length=150_000)
    cut = text.index(b">chr2")
    path = str(tmp_path / "g.fa.gz")
    with open(path, "wb") as f:
        f.write(bgzf(text[:cut]) + EOF_MARKER + bgzf(text[cut:]))
    assert read_all(path) == seqs
    gzi = open(path + ".gzi", "rb").read()
    gzi_time = os.stat(path + ".gzi").st_mtime_ns
    assert read_all(path) == seqs  # the .gzi is taken as it is
    assert os.stat(path + ".gzi").st_mtime_ns == gzi_time
    os.unlink(path + ".gzi")
    assert read_all(path) == seqs
    assert open(path + ".gzi", "rb").read() == gzi


# ---- A file that is no longer BGZF ----

@pytest.mark.parametrize("damage", ["first byte", "first byte, no gzi", "replaced by text", "header, no gzi"])
def test_an_index_of_compressed_data_is_not_used_on_other_bytes(genome, damage):
    path, _ = genome
    data = bytearray(open(path, "rb").read())
    if damage == "replaced by text":
        data = bytearray(b">chr1\nACGT\n")
    else:
        data[0] ^= 0xFF
    if damage == "header, no gzi":
        data[13] ^= 0xFF  # the BC subfield too: only the index tells what the file was
    rewrite(path, data)
    if "no gzi" in damage:
        os.unlink(path + ".gzi")
    fai = open(path + ".fai", "rb").read()
    for call in (lambda: Fasta(path).get_seq("chr1", 1, 6), lambda: Faidx(path, rebuild=False).fetch("chr1", 1, 6)):
        message = raised(call)
        assert message.startswith("IOError: ") and path in message, message
    assert open(path + ".fai", "rb").read() == fai


# ---- A file cut short ----

def test_a_missing_end_of_file_marker_warns_once(tmp_path, capfd):
    text, seqs = genome_text()
    whole, cut = tmp_path / "whole.fa.gz", tmp_path / "cut.fa.gz"
    whole.write_bytes(bgzf(text))
    cut.write_bytes(bgzf(text, eof=False))
    capfd.readouterr()
    assert read_all(str(whole)) == seqs
    assert capfd.readouterr().err == ""
    assert read_all(str(cut)) == seqs
    assert capfd.readouterr().err == f"WARNING: {cut}: EOF marker is absent; the BGZF file is probably truncated\n"


@pytest.mark.parametrize("rebuild", [True, False])
def test_an_index_past_the_end_of_a_cut_file_is_rebuilt_or_refused(genome, rebuild, capfd):
    path, seqs = genome
    data = open(path, "rb").read()
    at, _ = blocks_of(data)[2]  # two whole blocks left, no end-of-file marker
    rewrite(path, data[:at])
    capfd.readouterr()
    if rebuild:
        text = b"".join(zlib.decompress(data[a : a + s], 31) for a, s in blocks_of(data[:at])).decode()
        assert text.startswith(">chr1\n")
        assert read_all(path) == {"chr1": text[6:].replace("\n", "")}
    else:
        message = raised(lambda: read_all(path, rebuild=False))
        assert message.startswith(f"IOError: {path}.fai does not fit {path}: record 'chr1' lies past the end of "
                                  "its decompressed data (130560 bytes)"), message
    assert capfd.readouterr().err.count("EOF marker is absent") == 1


@pytest.mark.parametrize("size", [4, 11, 12, 15, 17])
def test_a_file_cut_inside_its_first_header_is_a_truncated_bgzf_file(tmp_path, size):
    path = tmp_path / "g.fa.gz"
    path.write_bytes(bgzf(b">a\nACGT\n")[:size])
    assert raised(lambda: Faidx(str(path))) == (f"IOError: {path}: truncated BGZF file: the block at compressed "
                                                "offset 0 ends past the end of the file")


@pytest.mark.parametrize("keep", [
    lambda blocks: blocks[2][0] - 4,    # the footer's last bytes: the page's tail reads as zeros
    lambda blocks: blocks[2][0] - 100,
    lambda blocks: blocks[1][0] + 5000,
    lambda blocks: blocks[1][0],
], ids=["footer", "deflate data", "earlier block", "block boundary"])
@pytest.mark.parametrize("method", ["get_seq", "fetch_many", "fetch_fasta", "fetch_ragged", "fetch_array"])
def test_a_file_that_shrank_after_opening_says_so(genome, keep, method):
    if method in ("fetch_ragged", "fetch_array"):
        pytest.importorskip("numpy")
    path, _ = genome
    fa = Fasta(path)
    os.truncate(path, keep(blocks_of(open(path, "rb").read())))
    region = ("chr1", 120_000, 120_010)  # in the third block of text, never read before
    calls = {
        "get_seq": lambda: fa.get_seq(*region),
        "fetch_many": lambda: fa.fetch_many([region]),
        "fetch_fasta": lambda: fa.fetch_fasta([region], [">r"]),
        "fetch_ragged": lambda: fa.fetch_ragged([region]),
        "fetch_array": lambda: fa.fetch_array([region], width=10),
    }
    assert raised(calls[method]) == SHRANK


# ---- A block table built without a .gzi, and a .gzi that does not fit ----

@pytest.mark.parametrize("fai", [True, False])
@pytest.mark.parametrize("gzi", ["missing", "stale"])
def test_a_damaged_isize_is_found_before_the_table_is_used_or_written(genome, fai, gzi):
    path, seqs = genome
    data = bytearray(open(path, "rb").read())
    at, size = blocks_of(data)[1]
    assert struct.unpack("<I", data[at + size - 4 : at + size])[0] == BLOCK
    data[at + size - 4 : at + size] = struct.pack("<I", BLOCK - 60)
    rewrite(path, data)
    if gzi == "missing":
        os.unlink(path + ".gzi")
    else:
        bump_mtime(path, 10)  # newer than the .gzi, which is rebuilt from the blocks
        bump_mtime(path + ".fai", 20)  # the .fai still newer: nothing else reads the blocks
    if not fai:
        os.unlink(path + ".fai")
    message = raised(lambda: Fasta(path, rebuild=gzi == "stale")["chr1"][190_000:190_030])
    assert message.startswith(f"IOError: {path}: corrupt BGZF block at compressed offset {at}: "), message
    if gzi == "missing":
        assert not os.path.exists(path + ".gzi")


@pytest.mark.parametrize("shift", [-1, 1])
@pytest.mark.parametrize("build_index", [True, False])
def test_a_gzi_with_shifted_offsets_is_rebuilt_or_refused(genome, shift, build_index):
    path, seqs = genome
    right = open(path + ".gzi", "rb").read()
    (count,) = struct.unpack("<Q", right[:8])
    pairs = list(struct.iter_unpack("<QQ", right[8:]))
    shifted = struct.pack("<Q", count) + b"".join(struct.pack("<QQ", c, u + shift) for c, u in pairs)
    rewrite(path + ".gzi", shifted)
    if build_index:
        fa = Fasta(path)
        assert fa["chr1"][190_000:190_030].seq == seqs["chr1"][190_000:190_030]
        assert open(path + ".gzi", "rb").read() == right
    else:
        message = raised(lambda: Fasta(path, build_index=False))
        assert message.startswith(f"IOError: {path}.gzi does not match {path}: the block at compressed offset "), message


def test_a_right_gzi_is_taken_without_a_rebuild(genome):
    path, seqs = genome
    before = open(path + ".gzi", "rb").read(), os.stat(path + ".gzi").st_mtime_ns
    assert read_all(path, build_index=False) == seqs
    assert (open(path + ".gzi", "rb").read(), os.stat(path + ".gzi").st_mtime_ns) == before
