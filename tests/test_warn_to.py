"""warn_to: warning lines on descriptor 2 (the default) or issued through Python's warnings module."""
import os
import pickle
import subprocess
import threading
import warnings

import pytest

from sekva import Faidx, Fasta

TEXT = "ACGTACGTACacgtacgtacNNNNNGGGGG"  # 30 bases
OUT = "coordinates {}-{} are out of bounds for sequence 'chr1' of length 30"
ZERO = "coordinates cannot be 0 (1-based indexing)"
INVERTED = "start coordinate {} is greater than end coordinate {}"


@pytest.fixture
def path(write):
    return write(">chr1\n" + "".join(TEXT[i : i + 7] + "\n" for i in range(0, 30, 7)) + ">two\nGG\n")


def run(call, capfd):
    """(result, warning lines issued through Python, descriptor 2's text) of call()."""
    capfd.readouterr()
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        result = call()
    assert all(w.category is UserWarning for w in caught)
    return result, [str(w.message) for w in caught], capfd.readouterr().err


# Each call with the warnings it gives, in order.
CALLS = {
    "Faidx.fetch out of bounds": (Faidx, lambda f: f.fetch("chr1", 25, 40), [OUT.format(25, 40)]),
    "Faidx.fetch past the end": (Faidx, lambda f: f.fetch("chr1", 31, 35), [OUT.format(31, 35)]),
    "Faidx.fetch zero": (Faidx, lambda f: f.fetch("chr1", 0, 10), [ZERO]),
    "Faidx.fetch inverted": (Faidx, lambda f: f.fetch("chr1", 5, 3), [INVERTED.format(5, 3)]),
    "Faidx.fetch two warnings": (Faidx, lambda f: f.fetch("chr1", 0, 31), [OUT.format(0, 31), ZERO]),
    "Fasta.get_seq": (Fasta, lambda f: f.get_seq("chr1", 9, 3), [INVERTED.format(9, 3)]),
    "Fasta.get_seq rc": (Fasta, lambda f: f.get_seq("chr1", 28, 33, rc=True), [OUT.format(28, 33)]),
    "Fasta.get_spliced_seq": (Fasta, lambda f: f.get_spliced_seq("chr1", [(1, 2), (0, 1), (29, 31)]),
                              [ZERO, OUT.format(29, 31)]),
    "Faidx.fetch_many": (Faidx, lambda f: f.fetch_many([("chr1", 4, 2), ("two", 1, 2), ("chr1", 0, 1),
                                                        ("chr1", 30, 32)]),
                         [INVERTED.format(4, 2), ZERO, OUT.format(30, 32)]),
    "Faidx.fetch_many_same_chr": (Faidx, lambda f: f.fetch_many_same_chr("chr1", [(31, 31), (2, 1)]),
                                  [OUT.format(31, 31), INVERTED.format(2, 1)]),
    "Fasta.fetch_many rc": (Fasta, lambda f: f.fetch_many([("chr1", 1, 0), ("chr1", 7, 6)], rc=True),
                            [ZERO, INVERTED.format(7, 6)]),
    "Fasta.fetch_many_same_chr": (Fasta, lambda f: f.fetch_many_same_chr("chr1", [(3, 1), (1, 3), (0, 0)]),
                                  [INVERTED.format(3, 1), ZERO]),
}


def seqs(result):
    return [s.seq for s in result] if isinstance(result, list) else result.seq


@pytest.mark.parametrize("case", list(CALLS))
@pytest.mark.parametrize("mutable", [False, True])
def test_each_warning_goes_where_the_option_says(path, capfd, case, mutable):
    cls, call, texts = CALLS[case]
    lines = [f"WARNING: {t}" for t in texts]
    default, issued, err = run(lambda: call(cls(path, mutable=mutable)), capfd)
    assert (issued, err) == ([], "".join(line + "\n" for line in lines))
    stderr, issued, err = run(lambda: call(cls(path, mutable=mutable, warn_to="stderr")), capfd)
    assert (issued, err) == ([], "".join(line + "\n" for line in lines))
    python, issued, err = run(lambda: call(cls(path, mutable=mutable, warn_to="python")), capfd)
    assert (issued, err) == (lines, "")
    assert seqs(default) == seqs(stderr) == seqs(python)


def test_a_warning_points_at_the_callers_line(path):
    fa = Faidx(path, warn_to="python")
    with pytest.warns(UserWarning, match=r"^WARNING: start coordinate 2 is greater") as caught:
        fa.fetch("chr1", 2, 1)
    assert [os.path.basename(w.filename) for w in caught] == [os.path.basename(__file__)]


def test_calls_that_do_not_warn_issue_nothing(path, capfd):
    fa = Fasta(path, warn_to="python")
    calls = [lambda: fa.get_seq("chr1", 1, 30), lambda: fa["chr1"][5:40], lambda: list(fa["chr1"]),
             lambda: list(reversed(fa["chr1"])), lambda: fa.fetch_many([("chr1", 1, 3)] * 5),
             lambda: fa.get_spliced_seq("chr1", [(1, 3), (5, 9)])]
    for call in calls:
        assert run(call, capfd)[1:] == ([], "")


def cut_bgzf(tmp_path, path):
    """A BGZF copy of `path` without its end-of-file marker (the last 28 bytes bgzip writes)."""
    data = subprocess.run(["bgzip", "-c", path], check=True, capture_output=True).stdout
    cut = tmp_path / "cut.fa.gz"
    cut.write_bytes(data[:-28])
    return str(cut)


@pytest.mark.parametrize("cls", [Faidx, Fasta])
def test_opening_a_bgzf_file_without_its_end_marker(tmp_path, path, capfd, cls):
    cut = cut_bgzf(tmp_path, path)
    line = f"WARNING: {cut}: EOF marker is absent; the BGZF file is probably truncated"
    assert run(lambda: cls(cut), capfd)[1:] == ([], line + "\n")
    assert run(lambda: cls(cut, warn_to="stderr"), capfd)[1:] == ([], line + "\n")
    opened, issued, err = run(lambda: cls(cut, warn_to="python"), capfd)
    assert (issued, err) == ([line], "")
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(UserWarning, match="EOF marker is absent"):
            cls(cut, warn_to="python")
        # The pickle opens the file again, and warns as it was told to.
        with pytest.raises(UserWarning, match="EOF marker is absent"):
            pickle.loads(pickle.dumps(opened))
    fetch = opened.fetch if cls is Faidx else opened.get_seq
    assert fetch("chr1", 1, 4).seq == "ACGT"
    assert capfd.readouterr().err == ""


@pytest.mark.parametrize("cls, fetch", [(Faidx, "fetch"), (Fasta, "get_seq")])
def test_an_error_filter_raises_from_the_call(path, cls, fetch):
    fa = cls(path, warn_to="python")
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(UserWarning, match=r"^WARNING: coordinates 0-3 are out of bounds"):
            getattr(fa, fetch)("two", 0, 3)
        # The first warning of a batch raises; a batch without one is untouched.
        with pytest.raises(UserWarning, match=r"^WARNING: start coordinate 3 is greater"):
            fa.fetch_many([("chr1", 1, 2), ("chr1", 3, 2), ("chr1", 0, 2)])
        assert [s.seq for s in fa.fetch_many([("chr1", 1, 2)])] == ["AC"]
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        assert getattr(fa, fetch)("two", 0, 3).seq == ""


def test_warnings_before_a_failure_are_issued_then_the_failure_raised(path, capfd):
    fa = Faidx(path, warn_to="python")
    regions = [("chr1", 2, 1), ("nope", 1, 2), ("chr1", 0, 0)]

    def call():
        with pytest.raises(KeyError, match="nope"):
            fa.fetch_many(regions)

    assert run(call, capfd)[1:] == ([f"WARNING: {INVERTED.format(2, 1)}"], "")
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(UserWarning):  # as the warning would have, had it come first from Python
            fa.fetch_many(regions)


@pytest.mark.parametrize("value", ["Python", "warnings", "", None, 1, b"python"])
@pytest.mark.parametrize("cls", [Faidx, Fasta])
def test_other_values_are_refused_naming_the_accepted_ones(path, cls, value):
    with pytest.raises(ValueError) as info:
        cls(path, warn_to=value)
    assert str(info.value) == f"argument 'warn_to': expected 'stderr' or 'python', got {value!r}"


@pytest.mark.parametrize("cls", [Faidx, Fasta])
@pytest.mark.parametrize("warn_to", ["stderr", "python"])
def test_pickles_and_positional_arguments_keep_the_option(path, capfd, cls, warn_to):
    fa = cls(path, warn_to=warn_to)
    args = fa.__reduce__()[1]
    assert args[-1] == warn_to and len(args) == 17
    fetch = "fetch" if cls is Faidx else "get_seq"
    for again in (pickle.loads(pickle.dumps(fa, protocol)) for protocol in range(2, pickle.HIGHEST_PROTOCOL + 1)):
        issued, err = run(lambda: getattr(again, fetch)("chr1", 3, 2), capfd)[1:]
        line = f"WARNING: {INVERTED.format(3, 2)}"
        assert (issued, err) == (([line], "") if warn_to == "python" else ([], line + "\n"))
    positional = cls(*args)
    assert positional.__reduce__() == fa.__reduce__()


def test_large_batches_clamp_silently_either_way(path, capfd):
    regions = [("chr1", 0, 5), ("chr1", 28, 40), ("chr1", 9, 3)] * 400
    for warn_to in ("stderr", "python"):
        got, issued, err = run(lambda: Faidx(path, warn_to=warn_to).fetch_many(regions), capfd)
        assert (issued, err) == ([], "")
        assert [s.seq for s in got[:3]] == [TEXT[:5], TEXT[27:], ""]


def test_threads_keep_their_own_warnings(path, capfd):
    # Threads fetch side by side from engines with both options; each warning goes where its own
    # engine's option says, and every one arrives exactly once.
    rounds = 200
    to_python, to_stderr = Faidx(path, warn_to="python"), Faidx(path)
    start = threading.Barrier(4)

    def work(fa, tag):
        start.wait()
        for i in range(rounds):
            fa.fetch_many([("chr1", 1, 2), ("chr1", tag, tag - 1 - i % 2)])

    def call():
        threads = [threading.Thread(target=work, args=(fa, tag))
                   for fa, tag in ((to_python, 5), (to_python, 6), (to_stderr, 7), (to_stderr, 8))]
        for t in threads:
            t.start()
        for t in threads:
            t.join()

    _, issued, err = run(call, capfd)
    expect = lambda tag: [f"WARNING: {INVERTED.format(tag, tag - 1 - i % 2)}" for i in range(rounds)]
    assert sorted(issued) == sorted(expect(5) + expect(6))
    # Each thread's own lines come in its own order.
    assert [w for w in issued if w.startswith("WARNING: start coordinate 5 ")] == expect(5)
    assert sorted(err.splitlines()) == sorted(expect(7) + expect(8))
