"""Hostile and malformed input: every case gets a clear error or the right answer, never a crash,
a hang, a wrong base or a lost file."""
import copy
import os
import pickle
import platform
import random
import stat
import subprocess
import sys
import tempfile
import textwrap

import pytest

import sekva
from conftest import bump_mtime
from sekva import Faidx, Fasta, Sequence

PYPY = platform.python_implementation() == "PyPy"


def run_python(code, timeout=60, **kwargs):
    """Runs code in a fresh interpreter, so that a crash or a hang cannot take the test run down."""
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          timeout=timeout, **kwargs)


@pytest.fixture
def fasta(write):
    return Fasta(write(">chr1\nACGTACGTAC\nACG\n>chr2\nGGGG\n"))


# --- bad calls ------------------------------------------------------------------------------

def _objects(fa):
    record = fa["chr1"]
    return [fa, Faidx(repr(fa)[7:-2]), Sequence("n", "ACGT", 1, 4), record, iter(fa), iter(record)]


def test_unknown_keywords_are_refused_by_every_method(fasta):
    for obj in _objects(fasta):
        for name, attr in vars(type(obj)).items():
            if not callable(attr) or name in ("__new__",):
                continue
            method = getattr(obj, name)
            with pytest.raises(TypeError):
                method(sekva_bogus=1)


@pytest.mark.parametrize("call", ["keys", "values", "items", "close", "__enter__"])
def test_methods_without_parameters_name_themselves(fasta, call):
    with pytest.raises(TypeError, match=f"Fasta.{call}\\(\\) got an unexpected keyword argument 'x'"):
        getattr(fasta, call)(x=1)
    with pytest.raises(TypeError, match="FastaRecord.__reversed__"):
        fasta["chr1"].__reversed__(x=1)


# --- slices with any step ----------------------------------------------------------------------

STEPS = [1, 2, 3, 7, -1, -2, -3, sys.maxsize, -sys.maxsize, 2**63, -(2**63), 2**70, -(2**70), None]


def _random_slices(rng, n, count):
    bound = lambda: rng.choice([None, 0, n, -n, n + 1, -n - 1, 2**63, -(2**63), 2**70, rng.randint(-2 * n, 2 * n)])  # noqa: E731
    for _ in range(count):
        yield slice(bound(), bound(), rng.choice(STEPS + [rng.randint(-50, 50) or 1]))


def _python_agrees(key, n):
    # One documented departure: a negative-step slice whose start lies before the beginning starts
    # at the last base instead of selecting nothing.
    start = key.start
    return not (key.step is not None and key.step < 0 and start is not None and start < -n)


@pytest.mark.parametrize("seed", range(4))
def test_sequence_slices_equal_python_slices(seed):
    rng = random.Random(seed)
    for n in (0, 1, 2, 5, 64):
        text = "".join(rng.choice("ACGTN") for _ in range(n))
        s = Sequence("x", text, 1, max(n, 1))
        for key in _random_slices(rng, n, 200):
            if _python_agrees(key, n):
                assert s[key].seq == text[key], key


@pytest.mark.parametrize("seed", range(3))
def test_record_slices_equal_python_slices(write, capfd, seed):
    rng = random.Random(seed)
    text = "".join(rng.choice("ACGTNacgt") for _ in range(157))
    record = Fasta(write(">r\n" + "".join(text[i : i + 50] + "\n" for i in range(0, 157, 50))))["r"]
    for key in _random_slices(rng, len(text), 300):
        if _python_agrees(key, len(text)):
            assert record[key].seq == text[key], key
    capfd.readouterr()


def test_huge_steps_take_the_first_base(fasta):
    assert Sequence("x", "AC")[:: sys.maxsize].seq == "A"
    assert Sequence("x", "ACGT")[1 :: 2**70].seq == "C"
    assert fasta["chr1"][0:2:sys.maxsize].seq == "A"
    assert fasta["chr1"][:: sys.maxsize].seq == "A"
    assert fasta["chr1"][:: 2**70].seq == "A"
    assert fasta["chr1"][:: -(2**70)].seq == "G"


def test_coordinates_at_the_top_of_the_range():
    top = 2**64 - 1
    s = Sequence(seq="ACGT", start=top, end=top)[0:1]
    assert (s.start, s.end) == (top, top)
    assert Sequence(seq="ACGT", start=top - 3, end=top)[0:4].end == top
    assert Sequence(seq="ACGT", start=top - 2, end=top)[0:4].end is None  # past 2^64 - 1


# --- an index that promises more than memory can hold --------------------------------------------

@pytest.fixture
def huge(write):
    path = write(">a\nACGTACGTAC\n")
    write(f"a\t{2**62}\t3\t10\t11\n", "x.fa.fai")
    bump_mtime(path + ".fai", 5)
    return Fasta(path)["a"]


@pytest.mark.parametrize("operation", [
    lambda r: r[::2], lambda r: r[::-1], lambda r: r[:: -3], lambda r: reversed(r), lambda r: r.__reversed__(),
])
def test_selections_no_memory_can_hold_are_memory_errors(huge, operation):
    with pytest.raises(MemoryError):
        operation(huge)


def test_small_selections_of_a_huge_record_still_work(huge):
    assert huge[0:10:2].seq == "AGAGA"
    assert huge[9::-3].seq == "CGTA"


# --- objects that sekva did not build -------------------------------------------------------

def _unbuilt_objects(cls):
    """Every way a host may let an object of `cls` exist without its constructor."""
    try:
        return [object.__new__(cls)]
    except TypeError:
        return []  # this host refuses it outright


@pytest.mark.parametrize("cls", [Sequence, Fasta, Faidx, sekva.FastaRecord, sekva.FastaIterator,
                                 sekva.SequenceIterator])
def test_unbuilt_objects_refuse_every_use(cls):
    uses = [repr, str, len, next, lambda o: o[0], lambda o: o[1:2], lambda o: "a" in o, lambda o: -o,
            lambda o: o == o, lambda o: o.keys(), lambda o: o.keys, lambda o: o.seq, lambda o: o.fetch("a", 1, 2),
            lambda o: reversed(o), lambda o: o.long_name, lambda o: o.get_seq("a", 1, 2), lambda o: list(o),
            lambda o: copy.copy(o), lambda o: pickle.dumps(o)]
    for obj in _unbuilt_objects(cls):
        with pytest.raises(TypeError, match="was not made by sekva"):
            repr(obj) if cls is not sekva.SequenceIterator and cls is not sekva.FastaIterator else next(obj)
        for use in uses:
            try:
                use(obj)
            except (TypeError, AttributeError, pickle.PicklingError):
                pass


@pytest.mark.parametrize("cls, args", [(Fasta, ()), (Faidx, ()), (Sequence, ("n", "AC"))])
def test_new_refuses_other_classes(write, cls, args):
    path = write(">a\nAC\n")
    for other in (Sequence, Fasta, Faidx, sekva.FastaRecord, int):
        if other is cls:
            continue
        with pytest.raises(TypeError):
            cls.__new__(other, *(args or (path,)))


def test_subclasses_through_a_mixin_cannot_be_made(write):
    path = write(">a\nAC\n")

    class Mixin:
        def __init_subclass__(cls, **kwargs):
            pass  # does not chain to the base class's refusal

    for base in (Fasta, Faidx, Sequence):
        try:
            sub = type("Sub", (Mixin, base), {})
        except TypeError:
            continue  # the host refused the class itself
        with pytest.raises(TypeError):
            sub(path) if base is not Sequence else sub("n", "AC")
        for obj in _unbuilt_objects(sub):
            with pytest.raises(TypeError):
                repr(obj) if base is not Sequence else obj.seq


# --- copies and pickles of values ---------------------------------------------------------------

@pytest.mark.parametrize("value", [Sequence(), Sequence("chr1", "ACGTN", 5, 9, True), Sequence("x", "AC", None, 3)])
def test_sequence_copies_and_pickles_keep_every_field(value):
    fields = lambda s: (s.name, s.seq, s.start, s.end, s.comp)  # noqa: E731
    copies = [copy.copy(value), copy.deepcopy(value)]
    copies += [pickle.loads(pickle.dumps(value, protocol)) for protocol in range(2, pickle.HIGHEST_PROTOCOL + 1)]
    for c in copies:
        assert type(c) is Sequence and fields(c) == fields(value) and c is not value


# --- paths holding NUL ----------------------------------------------------------------------------

def test_nul_in_the_fasta_path(write):
    path = write(">a\nAC\n")
    for given in (path + "\0junk", path + "\0"):
        with pytest.raises(Exception) as info:
            Faidx(given)
        assert str(info.value) == "FastaNotFoundError: " + given
    assert not os.path.exists(path + ".fai")


def test_nul_in_the_index_path_touches_no_file(write, tmp_path):
    victim = write(">b\nGG\n", "b.fa")
    before = open(victim, "rb").read()
    path = write(">a\nAC\n")
    bump_mtime(path, 100)  # newer than the victim, so the index "b.fa" would be rebuilt
    with pytest.raises(Exception, match="^IOError: "):
        Faidx(path, indexname=victim + "\0.fai")
    with pytest.raises(Exception) as info:
        Faidx(path, indexname=victim + "\0.fai", build_index=False)
    assert str(info.value) == "IndexNotFoundError: " + victim + "\0.fai"
    assert open(victim, "rb").read() == before
    assert sorted(os.listdir(tmp_path)) == ["b.fa", "x.fa"]


# --- bases that are not in the file --------------------------------------------------------------

def _truncate_after_opening(write):
    # 300 bases in lines of 60; the index is written, then the file loses its last 200 bytes but
    # stays on the same memory page, whose rest reads as zeros.
    text = ">a\n" + "".join("ACGTACGTAC" * 6 + "\n" for _ in range(5))
    path = write(text)
    fa = Faidx(path)
    os.truncate(path, len(text) - 200)
    return fa


@pytest.mark.parametrize("call", [
    lambda fa: fa.fetch("a", 250, 260), lambda fa: fa.fetch("a", 1, 300), lambda fa: fa.fetch_entire_sequence("a"),
])
def test_bases_past_the_new_end_of_a_shrunk_file(write, call):
    fa = _truncate_after_opening(write)
    with pytest.raises(Exception, match="^IOError: the FASTA file shrank while it was open"):
        call(fa)
    assert fa.fetch("a", 1, 10).seq == "ACGTACGTAC"


def test_batches_over_a_shrunk_file_fail(write):
    fa = _truncate_after_opening(write)
    regions = [("a", 1, 10)] * 1500 + [("a", 250, 260)]
    with pytest.raises(RuntimeError, match="^Error fetching region 1500: IO error: the FASTA file shrank"):
        fa.fetch_many(regions)


def test_scan_of_a_file_rewritten_meanwhile_never_crashes(tmp_path):
    path = tmp_path / "g.fa"
    body = "".join(f">r{i}\n" + ("ACGT" * 15 + "\n") * 400 for i in range(200))
    path.write_text(body)
    rewriter = subprocess.Popen([sys.executable, "-c", textwrap.dedent(f"""
        import os, time
        body = open({str(path)!r}).read()
        end = time.time() + 4
        while time.time() < end:
            with open({str(path)!r}, "r+") as f:
                f.truncate(len(body) // 3)
                f.seek(0, 2)
                f.write(body[len(body) // 3:])
        """)])
    try:
        out = run_python(f"""
            import os, sekva
            seen = set()
            for i in range(200):
                try:
                    os.unlink({str(path)!r} + ".fai")
                except FileNotFoundError:
                    pass
                try:
                    seen.add(len(sekva.Faidx({str(path)!r}).keys))
                except Exception as e:
                    assert str(e).startswith("IOError: the FASTA file"), e
            print(sorted(seen))
            """)
    finally:
        rewriter.wait()
    assert out.returncode == 0, out.stderr


# --- hangs ------------------------------------------------------------------------------------

def test_empty_padding_over_a_huge_record_pads_nothing(write):
    path = write(">a\nACGTACGTAC\n")
    write(f"a\t{2**62}\t3\t10\t11\n", "x.fa.fai")
    bump_mtime(path + ".fai", 5)
    out = run_python(f"""
        from sekva import Faidx
        fa = Faidx({path!r}, default_seq="")
        assert fa.fetch("a", 1, 2**62).seq == "ACGTACGTAC"
        assert {{s.seq for s in fa.fetch_many([("a", 1, 2**62)] * 1000)}} == {{"ACGTACGTAC"}}
        """, timeout=60)
    assert out.returncode == 0, out.stderr


def test_a_fifo_as_index_never_blocks(write, tmp_path):
    path = write(">a\nAC\n")
    fifo = str(tmp_path / "index.fifo")
    os.mkfifo(fifo)
    code = f"""
        from sekva import Faidx
        try:
            print(Faidx({path!r}, indexname={fifo!r}).keys)
        except Exception as e:
            print(e)
        """
    assert run_python(code, timeout=30).stdout.strip() == "[]"  # read: nobody writes to it
    bump_mtime(path, 100)
    out = run_python(code, timeout=30)  # written: nobody reads it
    assert out.stdout.strip() == "IOError: No such device or address (os error 6)", out.stderr


def test_a_slow_writer_is_waited_for(tmp_path):
    fifo = str(tmp_path / "stream.fa")
    os.mkfifo(fifo)
    # The writer holds the pipe open before the reader comes, as a shell's <(zcat ...) does.
    writer = subprocess.Popen([sys.executable, "-c", textwrap.dedent(f"""
        import os, sys, time
        fd = os.open({fifo!r}, os.O_RDWR)
        print("ready", flush=True)
        time.sleep(0.5)
        os.write(fd, b">a\\nACGT\\n")
        time.sleep(0.5)
        os.write(fd, b">b\\nGG\\n")
        os.close(fd)
        """)], stdout=subprocess.PIPE, text=True)
    try:
        assert writer.stdout.readline().strip() == "ready"
        out = run_python(f"""
            from sekva import Faidx
            print(sorted(Faidx({fifo!r}, indexname={str(tmp_path / "stream.fai")!r}).keys))
            """, timeout=30)
    finally:
        writer.wait()
    assert out.returncode == 0 and out.stdout.strip() == "['a', 'b']", out.stderr


def test_an_endless_device_stops_at_its_first_line_that_is_not_text(tmp_path):
    out = run_python(f"""
        from sekva import Faidx
        try:
            Faidx("/dev/urandom", indexname={str(tmp_path / "u.fai")!r})
        except Exception as e:
            print(e)
        """, timeout=60)
    assert out.stdout.strip() == "IOError: stream did not contain valid UTF-8", out.stderr


# --- mutable files with offsets no file has ------------------------------------------------------

def test_mutable_offsets_past_the_largest_file_offset(write):
    path = write(">a\nACGTACGTAC\n")
    write(f"a\t100\t{2**63}\t10\t11\n", "x.fa.fai")
    bump_mtime(path + ".fai", 5)
    fa = Faidx(path, mutable=True)
    for call in (lambda: fa.fetch("a", 1, 5), lambda: fa.fetch_entire_sequence("a")):
        with pytest.raises(Exception, match=r"^IOError: Invalid argument \(os error 22\)$"):
            call()
    with pytest.raises(RuntimeError, match=r"^Error fetching region 0: IO error: Invalid argument \(os error 22\)$"):
        fa.fetch_many([("a", 1, 5)] * 1000)


# --- text that can never be valid ---------------------------------------------------------------

@pytest.mark.parametrize("cls", [Faidx, Fasta])
def test_non_ascii_padding_is_refused_when_opening(write, cls):
    path = write(">a\nAC\n")
    with pytest.raises(ValueError, match="^argument 'default_seq': padding text must be ASCII"):
        cls(path, default_seq="\u00e9")


def test_names_with_lone_surrogates_are_refused():
    with pytest.raises(UnicodeEncodeError):
        Sequence("\ud800", "AC")
    s = Sequence("ok", "AC")
    with pytest.raises(UnicodeEncodeError):
        s.name = "\udcff"
    assert s.name == "ok"


def test_keys_with_lone_surrogates_name_no_record(fasta, write):
    with pytest.raises(KeyError):
        fasta["\udcff"]
    assert "\udcff" not in fasta
    assert "\udcff" not in Faidx(write(">a\nAC\n"))


# --- the index file: permissions, links, locks ---------------------------------------------------

def test_a_rebuilt_index_keeps_its_mode(write):
    path = write(">a\nAC\n")
    Faidx(path)
    os.chmod(path + ".fai", 0o600)
    bump_mtime(path, 10)
    with open(path, "a") as f:
        f.write(">b\nG\n")
    bump_mtime(path, 20)
    assert sorted(Faidx(path).keys) == ["a", "b"]
    assert stat.S_IMODE(os.stat(path + ".fai").st_mode) == 0o600


def test_a_dangling_symlink_is_written_through(write, tmp_path):
    path = write(">a\nAC\n")
    target = tmp_path / "sub" / "real.fai"
    (tmp_path / "sub").mkdir()
    os.symlink("sub/real.fai", path + ".fai")  # relative, dangling
    Faidx(path)
    assert os.path.islink(path + ".fai") and target.read_text() == "a\t2\t3\t2\t3\n"


def _as_unprivileged(function, *args):
    """Runs function(*args) in a child process that file permissions apply to."""
    pid = os.fork()
    if pid == 0:
        code = 1
        try:
            if os.geteuid() == 0:
                os.setgid(65534)
                os.setuid(65534)
            function(*args)
            code = 0
        except BaseException as e:  # noqa: BLE001
            print(repr(e), file=sys.stderr)
        finally:
            os._exit(code)
    _, status = os.waitpid(pid, 0)
    return os.waitstatus_to_exitcode(status)


@pytest.fixture
def public_dir():
    d = tempfile.mkdtemp(prefix="sekva-")
    os.chmod(d, 0o755)
    yield d
    subprocess.run(["rm", "-rf", d])


def _refuses_read_only_index(path):
    try:
        Faidx(path)
    except OSError as e:
        assert str(e) == (f"IOError: cannot write the index {path}.fai: Permission denied (os error 13); "
                          "pass indexname= to put the index elsewhere"), e
        assert e.errno == 13
    else:
        raise AssertionError("a read-only index was replaced")


def _index_elsewhere_after_refusal(path, elsewhere):
    try:
        Faidx(path)
    except OSError as e:
        assert str(e).startswith(f"IOError: cannot write the index {path}.fai: Permission denied"), e
        assert "pass indexname= to put the index elsewhere" in str(e)
    else:
        raise AssertionError("an index was written into a read-only directory")
    assert Faidx(path, indexname=elsewhere).fetch("a", 1, 2).seq == "AC"


def test_a_read_only_directory_names_the_index_and_the_way_out(public_dir, tmp_path):
    path = os.path.join(public_dir, "x.fa")
    with open(path, "w") as f:
        f.write(">a\nAC\n")
    os.chmod(path, 0o644)
    writable = tempfile.mkdtemp(prefix="sekva-")
    os.chmod(writable, 0o777)
    try:
        assert _as_unprivileged(_index_elsewhere_after_refusal, path, os.path.join(writable, "x.fai")) == 0
    finally:
        subprocess.run(["rm", "-rf", writable])


def test_a_read_only_index_is_not_replaced(public_dir):
    path = os.path.join(public_dir, "x.fa")
    with open(path, "w") as f:
        f.write(">a\nAC\n")
    with open(path + ".fai", "w") as f:
        f.write("old\t1\t3\t1\t2\n")
    os.chmod(path + ".fai", 0o444)
    os.chmod(path, 0o666)
    if os.geteuid() == 0:
        os.chown(public_dir, 65534, 65534)
    bump_mtime(path, 10)
    assert _as_unprivileged(_refuses_read_only_index, path) == 0
    assert open(path + ".fai").read() == "old\t1\t3\t1\t2\n"


def _rebuild_and_read(path, records, rounds):
    for i in range(rounds):
        os.utime(path, ns=(0, (2_000_000_000 + i) * 10**9 + os.getpid()))
        assert len(Faidx(path).keys) == records
        assert len(Faidx(path, rebuild=False).keys) == records


def test_rebuilding_in_place_is_never_seen_half_written(public_dir):
    records = 20000
    path = os.path.join(public_dir, "x.fa")
    with open(path, "w") as f:
        f.write("".join(f">r{i}\nACGT\n" for i in range(records)))
    Faidx(path)
    os.chmod(path + ".fai", 0o666)
    os.chmod(path, 0o666)
    if os.geteuid() == 0:
        os.chown(path, 65534, 65534)  # the workers may touch it, not the directory it is in
    else:
        os.chmod(public_dir, 0o555)
    pids = []
    for _ in range(12):
        pid = os.fork()
        if pid == 0:
            os._exit(_as_unprivileged(_rebuild_and_read, path, records, 8))
        pids.append(pid)
    codes = [os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]) for pid in pids]
    os.chmod(public_dir, 0o755)
    assert codes == [0] * 12
    assert [p for p in os.listdir(public_dir) if ".tmp." in p] == []


@pytest.mark.skipif(PYPY, reason="PyPy's C API layer does not run signal handlers from C code")
def test_an_endless_stream_can_be_interrupted(tmp_path):
    out = run_python(f"""
        import os, signal, threading, time
        import sekva
        threading.Timer(0.5, lambda: os.kill(os.getpid(), signal.SIGINT)).start()
        try:
            sekva.Faidx("/dev/zero", indexname={str(tmp_path / "z.fai")!r})
        except KeyboardInterrupt:
            print("interrupted")
        """, timeout=60)
    assert out.stdout.strip() == "interrupted", out.stderr


def test_an_index_reached_through_proc_is_written_where_it_is(write, tmp_path):
    path = write(">a\nACGT\n")
    index = tmp_path / "gone.fai"
    fd = os.open(index, os.O_RDWR | os.O_CREAT)
    try:
        os.unlink(index)  # its /proc link now points at "... (deleted)", a name nothing has
        bump_mtime(path, 10)
        before = set(os.listdir(tmp_path))
        assert Faidx(path, indexname=f"/proc/self/fd/{fd}").keys == ["a"]
        assert os.pread(fd, 100, 0) == b"a\t4\t3\t4\t5\n"
        assert set(os.listdir(tmp_path)) == before and not os.path.exists(str(index) + " (deleted)")
    finally:
        os.close(fd)
