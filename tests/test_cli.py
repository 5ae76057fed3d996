"""The sekva command beside samtools faidx and bedtools getfasta: the same bytes out and the same
exit status for the same files, and one line on standard error when something is wrong."""
import gzip
import random
import shlex
import shutil
import signal
import subprocess
import sys

import pytest
from conftest import random_region_texts

SAMTOOLS = shutil.which("samtools")
BEDTOOLS = shutil.which("bedtools")
needs_samtools = pytest.mark.skipif(SAMTOOLS is None, reason="samtools is not installed")
needs_bedtools = pytest.mark.skipif(BEDTOOLS is None, reason="bedtools is not installed")

LETTERS = "ACGTACGTACGTNNacgtnRYKMSWBDHVUXE*-"


def run(args, cwd, stdin=None):
    return subprocess.run(args, cwd=cwd, input=stdin, capture_output=True)


def sekva(*args, cwd, stdin=None):
    return run([sys.executable, "-m", "sekva_cli", *args], cwd, stdin)


def random_genome(rng, crlf=False, final_newline=True, empty_record=True, repeats=0):
    """FASTA bytes with names that need braces, one record without bases, odd letters, and
    `repeats` records whose name an earlier record has."""
    names = ["chr1", "chr2", "chr:3", "chr", "chr:1-5", "x"] + [f"s{i}" for i in range(rng.randint(0, 4))]
    rng.shuffle(names)
    for _ in range(repeats):
        names.insert(rng.randint(1, len(names)), rng.choice(names))
    if empty_record:
        # Never last: samtools refuses to index a file whose last record has no bases.
        names.insert(rng.randint(1, len(names) - 1), "nobases")
    eol = "\r\n" if crlf else "\n"
    out = []
    for name in names:
        out.append(f">{name} {rng.choice(['', 'some description'])}".rstrip() + eol)
        if name == "nobases":
            continue
        length, width = rng.randint(1, 300), rng.randint(1, 80)
        bases = "".join(rng.choice(LETTERS) for _ in range(length))
        out.extend(bases[i : i + width] + eol for i in range(0, length, width))
    text = "".join(out)
    return (text if final_newline else text[: -len(eol)]).encode()


def random_regions(rng, count):
    names = ["chr1", "chr2", "chr:3", "chr", "chr:1-5", "x", "chrZ", "nobases", "", "{chr:3}", "{chr}", "{x"]
    return random_region_texts(rng, names, count)


def twin_dirs(tmp_path, files):
    """The same files in two directories, so that each tool builds and reads its own index."""
    dirs = []
    for side in ("ours", "theirs"):
        d = tmp_path / side
        d.mkdir()
        for name, data in files.items():
            (d / name).write_bytes(data)
        dirs.append(d)
    return dirs


def assert_same(ours, theirs, stderr=False):
    """Same output and exit status; with `stderr`, the same diagnostics too, line for line."""
    assert ours.stdout == theirs.stdout
    assert ours.returncode == theirs.returncode, ours.stderr
    assert b"Traceback" not in ours.stderr
    if stderr:
        assert ours.stderr.split(b"\n") == theirs.stderr.split(b"\n")


@needs_samtools
@pytest.mark.parametrize("seed", range(24))
def test_faidx_regions_match_samtools(tmp_path, seed):
    rng = random.Random(seed)
    genome = random_genome(rng, crlf=seed % 4 == 3, final_newline=seed % 3 != 2, repeats=seed % 3)
    regions = random_regions(rng, rng.randint(1, 40))
    options = rng.choice([[], ["-c"]]) + rng.choice([[], ["-i"]])
    options += rng.choice([[], ["-n", "7"], ["-n", "1"], ["--length=80"], ["-n", "0"], ["-n", "x"]])
    options += rng.choice([[], ["--mark-strand", "sign"], ["--mark-strand=no"], ["--mark-strand", "custom,+,-,x"]])
    ours, theirs = twin_dirs(tmp_path, {"g.fa": genome, "r.txt": "\n".join(regions).encode() + b"\n"})
    by_file = ["g.fa", "-r", "r.txt", *options]
    by_args = [*options, "g.fa", *regions]
    for args in (by_file, by_args):
        assert_same(sekva("faidx", *args, cwd=ours), run([SAMTOOLS, "faidx", *args], theirs), stderr=True)


@needs_samtools
@pytest.mark.parametrize("options", [[], ["-i"], ["-i", "-c", "-n", "13"]])
def test_faidx_batches_on_the_worker_pool_match_samtools(tmp_path, options):
    # Thousands of regions go to the engine in batches large enough for its worker pool.
    rng = random.Random(len(options))
    regions = random_regions(rng, 3000)
    ours, theirs = twin_dirs(tmp_path, {"g.fa": random_genome(rng), "r.txt": "\n".join(regions).encode() + b"\n"})
    args = ["g.fa", "-r", "r.txt", *options]
    assert_same(sekva("faidx", *args, cwd=ours), run([SAMTOOLS, "faidx", *args], theirs), stderr=True)


@needs_samtools
@pytest.mark.parametrize("region_file", [
    b"chr1:1-10\r\nchr2:5\r\n",         # CRLF lines lose their CR
    b"chr1:1-10\nchr2:5\r",             # a last line without a break keeps it
    b"chr1:1-10\n\nchr2:5\n",           # a blank line is a region that cannot be found
    b"",
    b"chr1:2-3",
])
def test_faidx_region_file_lines(tmp_path, region_file):
    genome = b">chr1\nACGTACGTAC\nGT\n>chr2\nTTTTGGGG\n"
    ours, theirs = twin_dirs(tmp_path, {"g.fa": genome, "r.txt": region_file})
    for extra in ([], ["-c"]):
        args = ["g.fa", "-r", "r.txt", *extra]
        assert_same(sekva("faidx", *args, cwd=ours), run([SAMTOOLS, "faidx", *args], theirs), stderr=region_file != b"")


@needs_samtools
@pytest.mark.parametrize("args", [
    ["-in3", "g.fa", "chr1:2-9"],                     # clustered short options, value attached
    ["g.fa", "chr1:2-9", "--len", "4", "--mark=sign"],  # abbreviated long options after operands
    ["g.fa", "--reverse-complement", "--", "chr1:3"],
    ["g.fa", "chr1", "-r"],                           # a missing option value
    ["g.fa", "chr1", "--length=2", "--continue", "chr9", "chr1:5"],
])
def test_faidx_option_forms(tmp_path, args):
    ours, theirs = twin_dirs(tmp_path, {"g.fa": b">chr1\nACGTACGTAC\nGG\n"})
    assert_same(sekva("faidx", *args, cwd=ours), run([SAMTOOLS, "faidx", *args], theirs), stderr=args[-1] != "-r")


@needs_samtools
@pytest.mark.parametrize("seed", range(4))
def test_faidx_writes_the_samtools_index(tmp_path, seed):
    rng = random.Random(seed)
    # samtools leaves a record without bases out of its index; sekva lists it with length 0.
    genome = random_genome(rng, crlf=seed == 3, empty_record=False)
    ours, theirs = twin_dirs(tmp_path, {"g.fa": genome})
    for args, index in ((["g.fa"], "g.fa.fai"), (["g.fa", "-o", "out.fai"], "out.fai"),
                        (["--fai-idx", "idx.fai", "g.fa"], "idx.fai")):
        assert_same(sekva("faidx", *args, cwd=ours), run([SAMTOOLS, "faidx", *args], theirs))
        assert (ours / index).read_bytes() == (theirs / index).read_bytes()


@needs_samtools
@pytest.mark.parametrize("args", [
    ["g.fa", "chr1", "-z"],                      # unknown option
    ["g.fa", "chr1", "--mark-strand", "both"],
    ["missing.fa", "chr1"],
    ["g.fa", "-r", "missing.txt", "chr1"],
    ["g.fa", "chr1", "-o", "g.fa"],
    ["g.fa", "chr1", "-o", "no/such/dir/out.fa"],
])
def test_faidx_errors_are_one_line(tmp_path, args):
    ours, theirs = twin_dirs(tmp_path, {"g.fa": b">chr1\nACGT\n"})
    mine = sekva("faidx", *args, cwd=ours)
    assert_same(mine, run([SAMTOOLS, "faidx", *args], theirs))
    assert mine.returncode != 0
    assert mine.stderr.count(b"\n") == 1 and mine.stderr.startswith(b"sekva faidx: ")


PIPED = [
    ["faidx", "g.fa", "chr1"],
    ["faidx", "g.fa", "-r", "regions.txt"],
    ["faidx", "-i", "g.fa", "-r", "regions.txt"],
    ["getfasta", "-fi", "g.fa", "-bed", "r.bed"],
    # A zero-length interval sends the BED file down the line-by-line path.
    ["getfasta", "-fi", "g.fa", "-bed", "odd.bed", "-s", "-name"],
]


@pytest.fixture
def big_outputs(tmp_path):
    """Inputs whose output (16 MB) is far more than a pipe holds, so that the reader's going
    away breaks the pipe while the command is still writing."""
    (tmp_path / "g.fa").write_bytes(b">chr1\n" + b"ACGTTGCA\n" * 500_000)
    (tmp_path / "regions.txt").write_bytes(b"chr1:1-4000000\n" * 4)
    (tmp_path / "r.bed").write_bytes(b"chr1\t0\t4000000\n" * 4)
    (tmp_path / "odd.bed").write_bytes(b"chr1\t5\t5\tx\t0\t+\n" + b"chr1\t0\t4000000\tn\t0\t-\n" * 4)
    assert sekva("faidx", "g.fa", cwd=tmp_path).returncode == 0
    return tmp_path


def pipe_into_head(command, cwd):
    """(exit status of the command, its standard error) for `command | head -n1` in a shell."""
    script = f'{command} 2> err.txt | head -n1 > /dev/null; echo "${{PIPESTATUS[0]}}"'
    done = subprocess.run(["bash", "-c", script], cwd=cwd, capture_output=True, text=True, check=True)
    return int(done.stdout), (cwd / "err.txt").read_bytes()


def unpiped_stderr(command, cwd):
    """What the command says on standard error when its whole output is read: bedtools' warnings."""
    done = subprocess.run([sys.executable, "-m", "sekva_cli", *command], cwd=cwd, stdout=subprocess.DEVNULL,
                          stderr=subprocess.PIPE, check=True)
    return done.stderr


@pytest.mark.parametrize("command", PIPED, ids=" ".join)
def test_piped_into_head_ends_quietly(big_outputs, command):
    line = " ".join([shlex.quote(sys.executable), "-m", "sekva_cli", *command])
    status, err = pipe_into_head(line, big_outputs)
    assert err == unpiped_stderr(command, big_outputs)
    # Killed by SIGPIPE as samtools is (a shell reports 141), or done before the reader left.
    assert status in (0, 141)


@needs_samtools
def test_piped_into_head_ends_as_samtools(big_outputs):
    ours = pipe_into_head(f"{shlex.quote(sys.executable)} -m sekva_cli faidx g.fa chr1", big_outputs)
    theirs = pipe_into_head(f"{shlex.quote(SAMTOOLS)} faidx g.fa chr1", big_outputs)
    assert ours == theirs == (141, b"")


@pytest.mark.parametrize("command", PIPED, ids=" ".join)
def test_a_reader_gone_before_the_first_write(big_outputs, command):
    proc = subprocess.Popen([sys.executable, "-m", "sekva_cli", *command], cwd=big_outputs,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    proc.stdout.close()
    err = proc.stderr.read()
    assert proc.wait() == -signal.SIGPIPE
    assert err == unpiped_stderr(command, big_outputs)


def random_bed(rng, names, columns, crlf, plain):
    """BED bytes; a plain one has no comments, blank lines or zero-length intervals."""
    lines = [] if plain else [rng.choice(["", "# comment", "track name=x", "browser position chr1"])]
    for _ in range(rng.randint(1, 30)):
        roll = 1.0 if plain else rng.random()
        if roll < 0.05:
            lines.append(rng.choice(["", "#inside", "track y"]))
            continue
        start = rng.randint(0, 310)
        end = start if roll < 0.1 else start + rng.randint(1, 60)
        fields = [rng.choice(names), str(start), str(end), f"n{rng.randint(0, 99)}", str(rng.randint(0, 1000)),
                  rng.choice("+-.-")] + [f"extra{k}" for k in range(columns - 6)]
        lines.append("\t".join(fields[:columns]))
    eol = "\r\n" if crlf else "\n"
    return "".join(line + eol for line in lines if line or rng.random() < 0.5).encode()


@needs_bedtools
@pytest.mark.parametrize("seed", range(24))
def test_getfasta_matches_bedtools(tmp_path, seed):
    rng = random.Random(1000 + seed)
    genome = random_genome(rng, repeats=seed % 3)
    columns = rng.choice([3, 4, 5, 6, 6, 8])
    bed = random_bed(rng, ["chr1", "chr2", "chr:3", "x", "chrZ", "nobases"], columns, crlf=seed % 5 == 4,
                     plain=seed % 3 == 0)
    options = rng.sample(["-s", "-name", "-tab", "-bedOut", "-nameOnly", "-name+", "-rna"], rng.randint(0, 3))
    files = {"g.fa": genome, "r.bed": bed}
    if seed % 6 == 5:
        files["r.bed"] = gzip.compress(bed)
    ours, theirs = twin_dirs(tmp_path, files)
    args = ["-fi", "g.fa", "-bed", "r.bed", *options]
    if seed % 4 == 1:
        args += ["-fo", "out.fa"]
    mine = sekva("getfasta", *args, cwd=ours)
    assert_same(mine, run([BEDTOOLS, "getfasta", *args], theirs), stderr=True)
    if "-fo" in args:
        assert (ours / "out.fa").read_bytes() == (theirs / "out.fa").read_bytes()


@needs_bedtools
@pytest.mark.parametrize("options", [["-s"], ["-s", "-rna", "-name"], ["-s", "-bedOut"]])
def test_getfasta_batches_on_the_worker_pool_match_bedtools(tmp_path, options):
    rng = random.Random(len(options))
    lines = []
    for i in range(4000):
        chrom = rng.choice(["chr1", "chr2", "chr:3", "x"])
        start = rng.randint(0, 200)
        lines.append(f"{chrom}\t{start}\t{start + rng.randint(1, 100)}\tr{i}\t0\t{rng.choice('+-')}\n")
    ours, theirs = twin_dirs(tmp_path, {"g.fa": random_genome(rng), "r.bed": "".join(lines).encode()})
    args = ["-fi", "g.fa", "-bed", "r.bed", *options]
    assert_same(sekva("getfasta", *args, cwd=ours), run([BEDTOOLS, "getfasta", *args], theirs), stderr=True)


@needs_bedtools
@pytest.mark.parametrize("bad_line", [
    b"chr1\t9\t5",          # start after end
    b"chr1\t-1\t5",
    b"chr1\t1\t5\tname",    # more fields than the first interval
    b"chr1\t5",
    b"chr1 1 5",
])
def test_getfasta_stops_where_bedtools_stops(tmp_path, bad_line):
    bed = b"chr1\t0\t4\nchr1\t2\t6\n" + bad_line + b"\nchr1\t1\t3\n"
    ours, theirs = twin_dirs(tmp_path, {"g.fa": b">chr1\nACGTACGTAC\n", "r.bed": bed})
    args = ["-fi", "g.fa", "-bed", "r.bed"]
    mine, bedtools = sekva("getfasta", *args, cwd=ours), run([BEDTOOLS, "getfasta", *args], theirs)
    assert_same(mine, bedtools)
    # bedtools' note that it builds the index, then the error (in sekva's words) on one line.
    assert mine.returncode == 1
    assert mine.stderr.splitlines()[:-1] == bedtools.stderr.splitlines()[:-1]
    assert mine.stderr.splitlines()[-1].startswith(b"sekva getfasta: ")


@needs_bedtools
def test_getfasta_reads_standard_input(tmp_path):
    ours, theirs = twin_dirs(tmp_path, {"g.fa": b">chr1\nACGTACGTAC\n"})
    bed = b"chr1\t0\t4\ta\t0\t-\n"
    for name in ("-", "stdin"):
        args = ["-fi", "g.fa", "-bed", name, "-s"]
        assert_same(sekva("getfasta", *args, cwd=ours, stdin=bed), run([BEDTOOLS, "getfasta", *args], theirs, bed),
                    stderr=True)


@pytest.mark.parametrize("args", [
    ["getfasta", "-fi", "g.fa"],
    ["getfasta", "-fi", "g.fa", "-bed", "r.bed", "-what"],
    ["getfasta", "-fi", "missing.fa", "-bed", "r.bed"],
    ["getfasta", "-fi", "g.fa", "-bed", "missing.bed"],
    ["getfasta", "-fi", "g.fa", "-bed", "r.bed", "-Split"],  # options are matched whole, case included
    ["faidx", "g.fa", "chr1", "--length"],
    ["nosuchcommand"],
])
def test_usage_errors_are_one_line(tmp_path, args):
    (tmp_path / "g.fa").write_bytes(b">chr1\nACGT\n")
    (tmp_path / "g.fa.fai").write_bytes(b"chr1\t4\t6\t4\t5\n")
    (tmp_path / "r.bed").write_bytes(b"chr1\t0\t2\n")
    result = sekva(*args, cwd=tmp_path)
    assert result.returncode == 1 and result.stdout == b""
    assert result.stderr.count(b"\n") == 1 and b"Traceback" not in result.stderr


def test_the_installed_script_and_version(tmp_path):
    import importlib.metadata

    import sekva as module

    script = shutil.which("sekva", path=str(__import__("pathlib").Path(sys.executable).parent))
    if script is None:
        pytest.skip("the sekva script is not installed beside this interpreter")
    (tmp_path / "g.fa").write_bytes(b">chr1\nACGTACGT\n")
    assert run([script, "faidx", "g.fa", "chr1:2-3"], tmp_path).stdout == b">chr1:2-3\nCG\n"
    assert run([script, "--version"], tmp_path).stdout.decode().split() == ["sekva", module.__version__]
    assert module.__version__ == importlib.metadata.version("sekva")
    assert "__version__" not in module.__all__


BGZIP = shutil.which("bgzip")


@needs_samtools
@pytest.mark.skipif(BGZIP is None, reason="bgzip is not installed")
@pytest.mark.parametrize("seed", range(6))
def test_faidx_reads_bgzf_genomes_as_samtools_does(tmp_path, seed):
    rng = random.Random(100 + seed)
    genome = random_genome(rng, crlf=seed % 3 == 2)
    regions = random_regions(rng, rng.randint(1, 40))
    ours, theirs = twin_dirs(tmp_path, {"g.fa": genome, "r.txt": "\n".join(regions).encode() + b"\n"})
    for d in (ours, theirs):
        subprocess.run([BGZIP, "g.fa"], cwd=d, check=True)
    options = rng.choice([[], ["-i"], ["-c", "-n", "9"]])
    assert_same(sekva("faidx", "g.fa.gz", "-r", "r.txt", *options, cwd=ours),
                run([SAMTOOLS, "faidx", "g.fa.gz", "-r", "r.txt", *options], theirs), stderr=True)
    assert (ours / "g.fa.gz.gzi").read_bytes() == (theirs / "g.fa.gz.gzi").read_bytes()


@pytest.mark.skipif(BGZIP is None, reason="bgzip is not installed")
def test_getfasta_reads_bgzf_genomes(tmp_path):
    rng = random.Random(7)
    genome = random_genome(rng, empty_record=False)
    names = [line[1:].split()[0] for line in genome.decode().splitlines() if line.startswith(">")]
    bed = random_bed(rng, names, 6, False, True)
    plain, packed = twin_dirs(tmp_path, {"g.fa": genome, "r.bed": bed})
    subprocess.run([BGZIP, "g.fa"], cwd=packed, check=True)
    for options in ([], ["-s", "-name"], ["-tab"]):
        a = sekva("getfasta", "-fi", "g.fa.gz", "-bed", "r.bed", *options, cwd=packed)
        b = sekva("getfasta", "-fi", "g.fa", "-bed", "r.bed", *options, cwd=plain)
        assert a.returncode == b.returncode == 0 and a.stdout == b.stdout


REPEATED = b">x\nAAAA\n>x\nCCCC\n>y desc\nGG\n>x\nTT\n"


@needs_samtools
@pytest.mark.parametrize("compress", [False, True])
@pytest.mark.parametrize("args", [["x"], ["x:2-3", "y", "x"], ["-i", "x:1-2"], []])
def test_faidx_repeated_names_read_the_first_record_as_samtools_does(tmp_path, compress, args):
    # samtools keeps the first record of a name and warns about each later one while it builds
    # its index; the library (and the .fai it writes) keeps every record.
    if compress and BGZIP is None:
        pytest.skip("bgzip is not installed")
    ours, theirs = twin_dirs(tmp_path, {"d.fa": REPEATED})
    name = "d.fa"
    if compress:
        for d in (ours, theirs):
            subprocess.run([BGZIP, "d.fa"], cwd=d, check=True)
        name = "d.fa.gz"
    for _ in range(2):  # building the index, then reading it
        mine = sekva("faidx", name, *args, cwd=ours)
        assert_same(mine, run([SAMTOOLS, "faidx", name, *args], theirs), stderr=True)
    first = sekva("faidx", name, "x", cwd=ours)
    assert first.stdout == b">x\nAAAA\n"
    assert sekva("faidx", name, cwd=ours).stderr == (
        b'[W::fai_insert_index] Ignoring duplicate sequence "x" at byte offset 11\n'
        b'[W::fai_insert_index] Ignoring duplicate sequence "x" at byte offset 30\n')
    assert [line.split(b"\t")[0] for line in (ours / f"{name}.fai").read_bytes().splitlines()] == [b"x", b"x", b"y", b"x"]


@needs_bedtools
@pytest.mark.parametrize("options", [[], ["-name"], ["-s", "-tab"]])
def test_getfasta_repeated_names_read_the_first_record_as_bedtools_does(tmp_path, options):
    ours, theirs = twin_dirs(tmp_path, {"d.fa": REPEATED, "r.bed": b"x\t0\t4\ta\t0\t+\nx\t1\t3\tb\t0\t+\ny\t0\t2\tc\t0\t+\n"})
    args = ["-fi", "d.fa", "-bed", "r.bed", *options]
    for _ in range(2):
        mine = sekva("getfasta", *args, cwd=ours)
        assert_same(mine, run([BEDTOOLS, "getfasta", *args], theirs), stderr=True)
    assert b"AA" in mine.stdout and b"TT" not in mine.stdout and b"CC" not in mine.stdout


@needs_samtools
@pytest.mark.parametrize("args", [
    ["1:10-12", "1:3-9"],                          # zero length, then truncated, in that order
    ["1:5", "1:0-", "1:4-4", "1:-2", "1:2-"],
    ["2:1-2,000", "2:3-2147483646", "2:3-3000000000", "1:1-3,5"],  # an end from 2^31 - 1 on is "to the end"
    ["-c", "9", "1:10-12", "1:2x", "{1:3", "3:1", "1:-5-6", "1:3-2", "{1}x", "1:2-9"],
    ["1:1-3", "9", "1:2"],                          # stops at the missing one
    ["-n", "x", "1:1-3"],
    ["-n", "-5", "1:1-3"],
])
def test_faidx_warns_as_samtools_does(tmp_path, args):
    genome = b">1\nACGT\n>2\nGGGGCCCC\n>3:1\nAA\n>3\nTT\n>e\n>z\nA\n"
    ours, theirs = twin_dirs(tmp_path, {"a.fa": genome})
    mine = sekva("faidx", "a.fa", *args, cwd=ours)
    assert_same(mine, run([SAMTOOLS, "faidx", "a.fa", *args], theirs), stderr=True)
    assert b"sekva" not in mine.stderr


@needs_bedtools
def test_getfasta_warns_as_bedtools_does(tmp_path):
    # bedtools' own tests compare these lines exactly: no prefix, the same spacing.
    bed = b"1\t2\t2\n1\t0\t9\n9\t0\t1\ne\t0\t1\n2\t1\t3\n1\t5\t6\n1\t4\t4\n"
    ours, theirs = twin_dirs(tmp_path, {"a.fa": b">1\nACGT\n>2\nGGGGCCCC\n>e\n>z\nA\n", "r.bed": bed})
    args = ["-fi", "a.fa", "-bed", "r.bed"]
    for _ in range(2):  # the note that the index is being built, then none
        mine = sekva("getfasta", *args, cwd=ours)
        assert_same(mine, run([BEDTOOLS, "getfasta", *args], theirs), stderr=True)
    assert mine.stderr.count(b"\n") == 6 and b"sekva" not in mine.stderr
