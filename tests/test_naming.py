"""How records get their keys: whole header lines, the caller's key and filter functions, which of
several records sharing a key is kept, and header descriptions read back from the file."""
import random
import shutil
import subprocess
import warnings

import pytest

import sekva
from sekva import Faidx, Fasta

ACTIONS = ["stop", "first", "last", "longest", "shortest", "drop"]


def _keys(fa):
    return fa.keys() if isinstance(fa, Fasta) else fa.keys


def _kept(records, action):
    """The model: (key, bases) in file order, reduced to one record per key as `action` says, each
    key at the place it first appears."""
    order, groups = [], {}
    for key, bases in records:
        if key not in groups:
            order.append(key)
        groups.setdefault(key, []).append(bases)
    kept = {}
    for key in order:
        group = groups[key]
        if action == "drop" and len(group) > 1:
            continue
        chosen = {"first": group[0], "longest": max(group, key=len), "shortest": min(group, key=len)}
        kept[key] = chosen.get(action, group[-1])
    return kept


def _fasta_text(records, descriptions=None):
    out = []
    for i, (name, bases) in enumerate(records):
        header = name + (descriptions[i] if descriptions else "")
        out.append(f">{header}\n" + "".join(bases[j : j + 7] + "\n" for j in range(0, len(bases), 7)))
    return "".join(out)


@pytest.mark.parametrize("cls", [Fasta, Faidx])
@pytest.mark.parametrize("action", ACTIONS)
def test_duplicate_action_keeps_the_record_it_names(write, cls, action):
    rng = random.Random(ACTIONS.index(action))
    # Names repeated up to four times with lengths that tie now and then, and some unique ones.
    records = [(rng.choice("abcdefg") + rng.choice(["", "1"]), "".join(rng.choices("ACGT", k=rng.choice([0, 3, 5, 9]))))
               for _ in range(60)]
    path = write(_fasta_text(records))
    fa = cls(path, duplicate_action=action)
    kept = _kept(records, action)
    assert _keys(fa) == list(kept)
    for key, bases in kept.items():
        got = fa[key] if cls is Fasta else fa.fetch(key, 1, max(len(bases), 1))
        assert str(got) == bases
    for key in {k for k, _ in records} - set(kept):
        assert key not in fa
        with pytest.raises(sekva.FetchError):
            fa[key] if cls is Fasta else fa.fetch(key, 1, 1)


def test_the_default_keeps_the_later_record_and_reads_back_as_given(write):
    path = write(">a\nAC\n>a\nGGGG\n")
    for given in [{}, {"duplicate_action": "stop"}, {"duplicate_action": "last"}]:
        fa = Fasta(path, **given)
        assert str(fa["a"]) == "GGGG"
        assert fa.__reduce__()[1][12] == given.get("duplicate_action", "stop")


@pytest.mark.parametrize("value, error", [
    ("Drop", ValueError), ("", ValueError), ("keep", ValueError), (None, TypeError), (1, TypeError),
])
def test_unknown_duplicate_actions_are_refused_naming_the_accepted_ones(write, value, error):
    path = write(">a\nAC\n")
    with pytest.raises(error, match="^argument 'duplicate_action': ") as caught:
        Faidx(path, duplicate_action=value)
    if error is ValueError:
        assert str(caught.value) == ("argument 'duplicate_action': expected one of 'stop', 'first', 'last', "
                                     f"'longest', 'shortest', 'drop', got {value!r}")


@pytest.mark.parametrize("action", ACTIONS)
def test_keys_made_by_key_function_that_collide_follow_duplicate_action(write, action):
    records = [("Chr1", "ACGT"), ("chr1", "GG"), ("CHR2", "T"), ("chrM", "AAAAAA"), ("CHRM", "C")]
    path = write(_fasta_text(records))
    fa = Fasta(path, key_function=str.lower, duplicate_action=action)
    kept = _kept([(n.lower(), b) for n, b in records], action)
    assert fa.keys() == list(kept)
    assert {k: str(fa[k]) for k in fa.keys()} == kept
    assert [r.long_name for r in fa] == list(kept)


def test_filt_function_leaves_records_out_of_every_listing_and_lookup(write):
    path = write(_fasta_text([("chr1", "ACGT"), ("chrUn_1", "GG"), ("chr2", "TTT"), ("chrUn_2", "C")]))
    seen = []

    def keep(key):
        seen.append(key)
        return not key.startswith("chrUn")

    fa = Fasta(path, filt_function=keep)
    assert seen == ["chr1", "chrUn_1", "chr2", "chrUn_2"]  # once per record, at opening
    assert fa.keys() == ["chr1", "chr2"] and len(fa) == 7 and [r.long_name for r in fa] == ["chr1", "chr2"]
    assert "chrUn_1" not in fa and Faidx(path, filt_function=keep).keys == ["chr1", "chr2"]
    with pytest.raises(sekva.FetchError):
        fa.get_seq("chrUn_1", 1, 1)
    with pytest.raises(sekva.FetchError, match="Sequence 'chrUn_2' not found"):
        fa.fetch_many([("chr1", 1, 2), ("chrUn_2", 1, 1)])
    assert [str(s) for s in fa.fetch_many([("chr1", 1, 2), ("chr2", 2, 3)])] == ["AC", "TT"]
    # The filter sees keys, after key_function.
    fa = Fasta(path, key_function=lambda n: n.replace("chr", ""), filt_function=lambda k: "_" not in k)
    assert fa.keys() == ["1", "2"] and str(fa["2"]) == "TTT"
    # The index on disk keeps every record under its own name.
    assert [line.split("\t")[0] for line in open(path + ".fai")] == ["chr1", "chrUn_1", "chr2", "chrUn_2"]


@pytest.mark.parametrize("key_function, filt_function, error, message", [
    (len, None, TypeError, "^key_function must return str, not int$"),
    (5, None, TypeError, "'int' object is not callable"),
    (lambda n: 1 / 0, None, ZeroDivisionError, "division by zero"),
    (None, lambda k: 1 / 0, ZeroDivisionError, "division by zero"),
    (None, lambda k: _NoTruth(), ValueError, "no truth"),
])
def test_errors_of_key_and_filter_functions_reach_the_caller(write, key_function, filt_function, error, message):
    path = write(">a\nAC\n")
    with pytest.raises(error, match=message):
        Fasta(path, key_function=key_function, filt_function=filt_function)
    assert str(Fasta(path)["a"]) == "AC"  # the index was written whole all the same


class _NoTruth:
    def __bool__(self):
        raise ValueError("no truth")


def test_read_long_names_keys_records_by_their_whole_header_line(write):
    path = write(">chr1  first part\tof it \r\nACGT\r\n>  chr2\nGG\n>chr3\n")
    fa = Fasta(path, read_long_names=True)
    assert fa.keys() == ["chr1  first part\tof it", "chr2", "chr3"]
    assert str(fa["chr1  first part\tof it"]) == "ACGT" and str(fa["chr2"]) == "GG" and len(fa["chr3"]) == 0
    assert "chr1" not in fa
    # key_function sees the long names.
    assert Faidx(path, read_long_names=True, key_function=lambda n: n.split()[-1]).keys == ["it", "chr2", "chr3"]


@pytest.mark.parametrize("newline", ["\n", "\r\n"])
def test_description_is_the_header_text_after_the_name(write, newline):
    long = "x" * 5000  # longer than the first look back
    text = (f">a first record{newline}ACGT{newline}>b\t é ü {newline}GG{newline}>c{newline}>d {long}{newline}"
            f"TT{newline}>e last, no bases")
    path = write(text)
    fa = Fasta(path)
    assert {k: fa[k].description for k in fa.keys()} == {
        "a": "first record", "b": "é ü", "c": "", "d": long, "e": "last, no bases"}
    keyed = Fasta(path, read_long_names=True, key_function=lambda n: n[0].upper())
    assert keyed["B"].description == "é ü"


def test_description_from_bgzf_matches_the_plain_file(tmp_path):
    bgzip = shutil.which("bgzip")
    if bgzip is None:
        pytest.skip("bgzip (Debian's tabix) not installed")
    rng = random.Random(7)
    records = [(f"r{i}", "".join(rng.choices("ACGT", k=rng.randint(0, 30_000)))) for i in range(40)]
    descriptions = [" " + " ".join(rng.choice(["alpha", "beta", "γ"]) for _ in range(rng.randint(0, 9)))
                    for _ in records]
    plain = tmp_path / "g.fa"
    plain.write_text(_fasta_text(records, descriptions))
    subprocess.run([bgzip, "-k", "-f", "-@", "1", str(plain)], check=True)
    expected = [d.strip() for d in descriptions]
    for path in (str(plain), str(plain) + ".gz"):
        fa = Fasta(path)
        assert [fa[n].description for n, _ in records] == expected
        assert Fasta(path, read_long_names=True).keys() == [f"{n} {d}".strip() for (n, _), d in zip(records, expected)]


@pytest.mark.parametrize("index", [
    "a\t4\t0\t4\t5\n",           # offset 0: no line before it
    "a\t4\t10\t4\t5\n",          # inside the bases
    "a\t4\t4000\t4\t5\n",        # past the end
])
def test_an_index_of_another_file_gives_a_clear_error_not_a_description(write, index):
    path = write(">a desc\nACGT\n")
    write(index, "x.fa.fai")
    fa = Fasta(path, rebuild=False)
    with pytest.raises(sekva.FaidxIOError, match="^IOError: record 'a': no header line ends at byte "):
        fa["a"].description
    with pytest.raises(sekva.FaidxIOError, match="no header line ends at byte"):
        Fasta(path, rebuild=False, read_long_names=True)


def test_a_header_longer_than_a_mebibyte_is_refused(write):
    path = write(">a " + "d" * (1 << 20) + "\nAC\n")
    with pytest.raises(sekva.FaidxIOError, match="its header line is longer than 1048576 bytes"):
        Fasta(path)["a"].description
    assert str(Fasta(path)["a"]) == "AC"


@pytest.mark.parametrize("options, named", [
    ({"split_char": "|"}, ["split_char"]),
    ({"read_ahead": 0}, ["read_ahead"]),
    ({"split_char": "", "read_ahead": 10}, ["split_char", "read_ahead"]),
    ({"split_char": None, "read_ahead": None}, []),
])
def test_options_that_change_nothing_warn_once_per_opening(write, options, named):
    path = write(">a\nAC\n")
    for cls in (Fasta, Faidx):
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            cls(path, **options)
        assert [w.category for w in caught] == [UserWarning] * len(named)
        assert [str(w.message).split()[0] for w in caught] == named
        assert all(w.filename == __file__ for w in caught)
    if named:
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            with pytest.raises(UserWarning, match=f"^{named[0]} has no effect"):
                Fasta(path, **options)
