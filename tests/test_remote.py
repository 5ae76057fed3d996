"""Files read by URL from a real nginx on loopback (HTTP and HTTPS), directly and through a proxy that
injects faults: every fetch path equals the local file, indexes come from beside the file or the
cache, and every fault gives the right error or a correct retry."""
import os
import pickle
import random
import shutil
import subprocess
import sys
import warnings
from pathlib import Path

import pytest

import sekva
from remote_servers import NGINX, FaultProxy, Nginx, proxy_server, read_fai, spanned_bytes
from sekva import Faidx, Fasta
from test_compressed import fields, outcome, random_text

pytestmark = [
    pytest.mark.skipif(not sekva.features["remote"], reason="built without libcurl"),
    pytest.mark.skipif(not NGINX or not shutil.which("openssl"), reason="nginx or openssl not installed"),
    pytest.mark.skipif(not shutil.which("samtools") or not shutil.which("bgzip"), reason="samtools or bgzip missing"),
]


@pytest.fixture(scope="module")
def served(tmp_path_factory):
    """The served directory (plain and BGZF files with and without indexes), and nginx over it."""
    root = tmp_path_factory.mktemp("www")
    text = random_text(random.Random(20), 500_000)
    (root / "plain.fa").write_text(text)
    subprocess.run(["samtools", "faidx", str(root / "plain.fa")], check=True)
    (root / "noindex.fa").write_text(text)
    subprocess.run(["bgzip", "-i", "-k", str(root / "plain.fa")], check=True)
    subprocess.run(["samtools", "faidx", str(root / "plain.fa.gz")], check=True)
    shutil.copy(root / "plain.fa.gz", root / "noindex.fa.gz")
    # What the files without an index are compared with: the same text, indexed by sekva on disk.
    local = tmp_path_factory.mktemp("local")
    (local / "noindex.fa").write_text(text)
    Fasta(str(local / "noindex.fa"))
    server = Nginx(str(root), str(tmp_path_factory.mktemp("nginx")))
    yield root, server, local
    server.stop()


@pytest.fixture
def proxy(served):
    p = FaultProxy(served[1].http_port)
    yield p
    p.stop()


@pytest.fixture(autouse=True)
def environment(served, monkeypatch, tmp_path):
    monkeypatch.setenv("SSL_CERT_FILE", served[1].ca)
    monkeypatch.delenv("CURL_CA_BUNDLE", raising=False)
    monkeypatch.setenv("SEKVA_CACHE_DIR", str(tmp_path / "cache"))
    monkeypatch.setenv("SEKVA_HTTP_TIMEOUT", "2")
    monkeypatch.setenv("SEKVA_HTTP_RETRIES", "3")


def url_of(served, name, scheme):
    return served[1].http_url(name) if scheme == "http" else served[1].https_url(name)


def cached_files(tmp_path):
    cache = tmp_path / "cache"
    return sorted(os.listdir(cache)) if cache.exists() else []


def calls_over(names, lengths, rng):
    """Seeded calls over every fetch path, each taking a Fasta."""
    calls = []
    for _ in range(40):
        n = rng.choice(names)
        s = rng.randint(0, lengths[n] + 3)
        e = rng.randint(max(s - 2, 0), lengths[n] + 5)
        calls += [lambda f, n=n, s=s, e=e: f.get_seq(n, s, e),
                  lambda f, n=n, s=s, e=e: f.get_seq(n, s, e, rc=True),
                  lambda f, n=n, s=s, e=e, step=rng.choice([1, 2, -1]): f[n][s:e:step],
                  lambda f, n=n, s=s: f[n][s],
                  lambda f, n=n, s=s, e=e: f.get_region(f"{n}:{s}-{e}")]
    for n in rng.sample(names, 3):
        calls += [lambda f, n=n: str(f[n]), lambda f, n=n: list(f[n]), lambda f, n=n: reversed(f[n]),
                  lambda f, n=n: f.get_spliced_seq(n, [(1, 5), (9, 30), (3, 4)])]
    regions = [(rng.choice(names), rng.randint(0, 5000), rng.randint(0, 9000)) for _ in range(500)]
    kept = [(n, s, e) for n, s, e in regions if s <= e]
    heads = [f">{n}:{s}-{e}" for n, s, e in kept]
    bed = "".join(f"{n}\t{s}\t{e}\tx\t0\t{'+-'[s % 2]}\n" for n, s, e in kept[:100] if s < e).encode()
    calls += [lambda f: f.fetch_many(regions), lambda f: f.fetch_many(regions[:100], rc=True),
              lambda f: f.fetch_many_same_chr(names[0], [(s, e) for _, s, e in regions]),
              lambda f: [str(r) for r in f], lambda f: f.keys(), lambda f: len(f), lambda f: f.lengths,
              lambda f: f.fetch_fasta(kept, heads, width=60), lambda f: f.fetch_bed(bed, stranded=True),
              lambda f: f.get_seq("no such record", 1, 2)]
    return calls


def compare(remote, local, rng):
    names = local.keys()
    calls = calls_over(names, {n: len(local[n]) for n in names}, rng)
    for call in calls:
        with warnings.catch_warnings(record=True) as remote_warned:
            warnings.simplefilter("always")
            got = outcome(lambda: call(remote))
        with warnings.catch_warnings(record=True) as local_warned:
            warnings.simplefilter("always")
            want = outcome(lambda: call(local))
        assert got == want
        assert [str(w.message) for w in remote_warned] == [str(w.message) for w in local_warned]


@pytest.mark.parametrize("scheme", ["http", "https"])
@pytest.mark.parametrize("name", ["plain.fa", "plain.fa.gz", "noindex.fa", "noindex.fa.gz"])
def test_every_fetch_path_equals_the_local_file(served, scheme, name, tmp_path):
    root = served[0]
    url = url_of(served, name, scheme)
    options = {"warn_to": "python"}
    local_path = str(root / "plain.fa") if name.startswith("plain") else str(served[2] / "noindex.fa")
    remote, local = Fasta(url, **options), Fasta(local_path, **options)
    assert repr(remote) == f'Fasta("{url}")'
    compare(remote, local, random.Random(hash((scheme, name)) % 1000))
    # Faidx reads the same bases, and the index that had to be built is samtools'.
    faidx, plain = Faidx(url), Faidx(local_path)
    for record in local.keys()[:4]:
        assert fields(faidx.fetch_entire_sequence(record)) == fields(plain.fetch_entire_sequence(record))
    built = [f for f in cached_files(tmp_path) if f.endswith(".fai")]
    if name.startswith("noindex"):
        assert [(tmp_path / "cache" / f).read_bytes() for f in built] == [Path(local_path + ".fai").read_bytes()]
    else:
        assert built == []


def test_arrays_equal_the_local_file(served):
    np = pytest.importorskip("numpy")
    local = Fasta(str(served[0] / "plain.fa"))
    rng = random.Random(5)
    names = local.keys()
    regions = [(rng.choice(names), s, s + 49) for s in (rng.randint(-30, 9000) for _ in range(500))]
    rc = [rng.random() < 0.5 for _ in regions]
    for name in ("plain.fa", "plain.fa.gz"):
        remote = Fasta(served[1].http_url(name))
        assert np.array_equal(remote.fetch_array(regions, width=64, rc=rc), local.fetch_array(regions, width=64, rc=rc))
        assert np.array_equal(remote.fetch_onehot(regions, rc=rc), local.fetch_onehot(regions, rc=rc))
        kept = [(n, max(s, 0), e) for n, s, e in regions]
        for x, y in zip(remote.fetch_ragged(kept), local.fetch_ragged(kept)):
            assert np.array_equal(x, y)


def test_features_say_remote():
    assert sekva.features["remote"] is True


@pytest.mark.parametrize("name", ["noindex.fa", "noindex.fa.gz"])
def test_a_built_index_is_kept_in_the_cache_and_reused(served, proxy, name, tmp_path):
    first = Fasta(proxy.url(name))
    kept = cached_files(tmp_path)
    assert kept and all(f.endswith((".fai", ".gzi")) for f in kept)
    if name.endswith(".gz"):
        assert sorted(f[-4:] for f in kept) == [".fai", ".gzi"]
    proxy.reset_counts()
    again = Fasta(proxy.url(name))
    # The opening request, the look for an index (and the .gzi and the end-of-file marker of a BGZF
    # file): no pass over the file.
    windows = 2 if name.endswith(".gz") else 1
    assert len(proxy.requests) <= 4 and proxy.body_bytes <= windows * 64 * 1024 + 4096
    assert cached_files(tmp_path) == kept
    assert again.keys() == first.keys() and str(again[0][10:500]) == str(first[0][10:500])


def test_a_changed_file_gets_a_new_cached_index(served, tmp_path):
    root = served[0]
    path = root / "changing.fa"
    path.write_text(">a\nACGT\n>b\nGG\n")
    url = served[1].http_url("changing.fa")
    assert Fasta(url).keys() == ["a", "b"]
    first = cached_files(tmp_path)
    path.write_text(">c\nTTTTTT\n")
    st = os.stat(path)
    os.utime(path, (st.st_atime + 5, st.st_mtime + 5))
    fa = Fasta(url)
    assert fa.keys() == ["c"] and str(fa["c"]) == "TTTTTT"
    assert len(cached_files(tmp_path)) == 2 and first[0] in cached_files(tmp_path)


def test_an_index_named_by_url_or_local_path(served, tmp_path):
    root = served[0]
    shutil.copy(root / "plain.fa.fai", root / "elsewhere.fai")
    fa = Fasta(served[1].http_url("noindex.fa"), indexname=served[1].http_url("elsewhere.fai"))
    assert fa.keys() == Fasta(str(root / "plain.fa")).keys() and cached_files(tmp_path) == []
    local_index = tmp_path / "local.fai"
    fa = Fasta(served[1].http_url("noindex.fa"), indexname=str(local_index))
    assert local_index.read_bytes() == (served[2] / "noindex.fa.fai").read_bytes()
    assert str(fa[3][5:77]) == str(Fasta(str(served[2] / "noindex.fa"))[3][5:77])


@pytest.mark.parametrize("name", ["noindex.fa", "noindex.fa.gz"])
def test_no_index_anywhere_without_build_index(served, name):
    with pytest.raises(sekva.IndexNotFoundError):
        Fasta(served[1].http_url(name), build_index=False)


def test_a_missing_file_is_fasta_not_found(served):
    url = served[1].http_url("nothing.fa")
    with pytest.raises(sekva.FastaNotFoundError, match="nothing.fa"):
        Fasta(url)


@pytest.mark.parametrize("scheme", ["http", "https"])
def test_redirects_within_the_server_are_followed_others_refused(served, scheme):
    local = Fasta(str(served[0] / "plain.fa"))
    moved = Fasta(url_of(served, "moved.fa", scheme))
    assert moved.keys() == local.keys() and str(moved[3][100:300]) == str(local[3][100:300])
    with pytest.raises(sekva.FaidxIOError, match="refused a redirect to http://"):
        Fasta(url_of(served, "away.fa", scheme))


def test_forbidden_fails_at_once_with_the_status(served):
    with pytest.raises(sekva.FaidxIOError, match=r"HTTP 403 \(forbidden\)"):
        Fasta(served[1].http_url("secret.fa"))


def test_the_scheme_in_any_case(served):
    url = served[1].http_url("plain.fa").replace("http://", "HtTp://")
    assert repr(Fasta(url)) == f'Fasta("{url}")'
    assert Fasta(url).keys() == Fasta(str(served[0] / "plain.fa")).keys()


def test_pickles_carry_the_url_and_reopen_remotely(served):
    url = served[1].https_url("plain.fa.gz")
    fa = Fasta(url)
    data = pickle.dumps(fa)
    assert url.encode() in data and str(served[0]).encode() not in data
    again = pickle.loads(data)
    assert repr(again) == repr(fa) and str(again[2][100:400]) == str(fa[2][100:400])
    assert pickle.loads(pickle.dumps(Faidx(url))).fetch(fa.keys()[0], 1, 50).seq == str(fa[0][0:50])


def test_https_fails_without_the_test_ca(served, monkeypatch, tmp_path):
    monkeypatch.setenv("SSL_CERT_FILE", str(tmp_path / "none.pem"))
    monkeypatch.setenv("SSL_CERT_DIR", str(tmp_path))
    with pytest.raises(sekva.FaidxIOError, match="cannot read https://127.0.0.1"):
        Fasta(served[1].https_url("plain.fa"))


def test_a_small_fetch_moves_one_window_and_a_cached_one_nothing(served, proxy):
    fa = Fasta(proxy.url("plain.fa"))
    local = Fasta(str(served[0] / "plain.fa"))
    name = max(local.keys(), key=lambda n: len(local[n]))
    rng = random.Random(9)
    for _ in range(10):
        start = rng.randint(70_000, len(local[name]) - 100)
        proxy.reset_counts()
        assert str(fa[name][start:start + 100]) == str(local[name][start:start + 100])
        assert len(proxy.requests) <= 1 and proxy.body_bytes <= 64 * 1024
        ranges = [r for _, r in proxy.requests]
        assert all(r and r.startswith("bytes=") and not r.endswith("-") for r in ranges)
        proxy.reset_counts()
        assert str(fa[name][start + 10:start + 60]) == str(local[name][start + 10:start + 60])
        assert proxy.requests == []


# ---- Faults ----

def open_far(proxy, name="plain.fa"):
    """An opened file, its longest record, and a start far from the file's start (so not cached)."""
    fa = Fasta(proxy.url(name))
    record = max(fa.keys(), key=lambda n: len(fa[n]))
    return fa, record, len(fa[record]) - 5000


@pytest.mark.parametrize("fault", ["drop", "503", "truncate", "delay"])
@pytest.mark.parametrize("name", ["plain.fa", "plain.fa.gz"])
def test_transient_faults_are_retried(served, proxy, fault, name):
    local = Fasta(str(served[0] / "plain.fa"))
    fa, record, at = open_far(proxy, name)
    proxy.set(faults=[fault])
    proxy.reset_counts()
    assert str(fa[record][at:at + 300]) == str(local[record][at:at + 300])
    assert len(proxy.requests) == 2


@pytest.mark.parametrize("fault", ["drop", "503", "truncate"])
def test_a_fault_that_persists_fails_after_the_retries(served, proxy, monkeypatch, fault):
    monkeypatch.setenv("SEKVA_HTTP_RETRIES", "1")
    fa, record, at = open_far(proxy)
    proxy.set(always=fault)
    proxy.reset_counts()
    with pytest.raises(sekva.FaidxIOError, match=r"cannot read http://127\.0\.0\.1.*plain\.fa.*after 2 attempts"):
        fa.get_seq(record, at, at + 100)
    # libcurl itself tries a fresh connection once when a reused one closes before answering.
    assert 2 <= len(proxy.requests) <= 4


@pytest.mark.parametrize("fault, message", [
    ("ignore_range", "ignored the byte range"),
    ("wrong_range", "answered a range that was not asked for"),
    ("short", "bytes for a range of"),
    ("etag", "the remote file changed while it was open"),
])
@pytest.mark.parametrize("name", ["plain.fa", "plain.fa.gz"])
def test_wrong_answers_are_errors_never_bases(served, proxy, fault, message, name):
    fa, record, at = open_far(proxy, name)
    proxy.set(always=fault)
    with pytest.raises(sekva.FaidxIOError, match=message) as raised:
        fa.get_seq(record, at, at + 100)
    assert proxy.url(name) in str(raised.value)
    with pytest.raises(sekva.FaidxIOError, match=message):
        fa.fetch_many([(record, at, at + 100)])


def test_a_file_replaced_while_open_is_an_error(served, proxy):
    root = served[0]
    shutil.copy(root / "plain.fa", root / "replaced.fa")
    shutil.copy(root / "plain.fa.fai", root / "replaced.fa.fai")
    fa, record, at = open_far(proxy, "replaced.fa")
    text = (root / "replaced.fa").read_bytes()
    (root / "replaced.fa").write_bytes(text.lower())
    st = os.stat(root / "replaced.fa")
    os.utime(root / "replaced.fa", (st.st_atime + 5, st.st_mtime + 5))
    with pytest.raises(sekva.FaidxIOError, match="the remote file changed while it was open: " + proxy.url("replaced.fa")):
        fa.get_seq(record, at, at + 100)


def test_opening_through_faults(served, proxy):
    proxy.set(faults=["503", "drop"])
    assert Fasta(proxy.url("plain.fa")).keys() == Fasta(str(served[0] / "plain.fa")).keys()
    proxy.set(always="ignore_range")
    with pytest.raises(sekva.FaidxIOError, match="ignored the byte range"):
        Fasta(proxy.url("plain.fa"))


def test_other_threads_run_while_a_fetch_waits(served, monkeypatch):
    # The server is a thread of this interpreter: a fetch that kept the interpreter lock while it
    # waited for the answer would starve it until the time-out.
    import threading
    monkeypatch.setenv("SEKVA_HTTP_RETRIES", "0")
    server = proxy_server(served[1].http_port)
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    try:
        local = Fasta(str(served[0] / "plain.fa"))
        url = f"http://127.0.0.1:{server.server_address[1]}/plain.fa.gz"
        fa, faidx = Fasta(url), Faidx(url)
        name = max(local.keys(), key=lambda n: len(local[n]))
        for start in random.Random(6).sample(range(len(local[name]) - 100), 20):
            assert str(fa[name][start:start + 100]) == str(local[name][start:start + 100])
            assert faidx.fetch(name, start + 1, start + 100).seq == str(local[name][start:start + 100])
        assert [str(s) for s in fa.fetch_many([(name, 1, 50), (name, 9000, 9100)])] == \
            [str(local[name][0:50]), str(local[name][8999:9100])]
    finally:
        server.shutdown()
        server.server_close()


INHERITED = {}


def fetch_in_child(args):
    name, start = args
    return str(INHERITED["fasta"][name][start:start + 200])


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
def test_forked_workers_use_connections_of_their_own(served):
    # The parent's kept-alive connections are inherited by a fork; a child that used them would read
    # answers meant for the parent. Both sides read at once, and each gets its own bases.
    import multiprocessing
    rng = random.Random(4)
    big = served[0] / "big.fa"
    if not big.exists():  # larger than the piece cache, so that most fetches make a request
        line = "".join(rng.choices("ACGT", k=4096))
        big.write_text(">big\n" + "".join(line[i:] + line[:i] + "\n" for i in range(2048)))
    local = Fasta(str(big))
    fa = Fasta(served[1].http_url("big.fa"), indexname=str(big) + ".fai")
    name = "big"
    starts = rng.sample(range(len(local[name]) - 200), 400)
    fa[name][0:10]
    INHERITED["fasta"] = fa  # not pickled: the children use the parent's object, connections and all
    with multiprocessing.get_context("fork").Pool(2) as pool:
        pending = pool.map_async(fetch_in_child, [(name, s) for s in starts])
        mine = [str(fa[name][s:s + 200]) for s in starts]
        assert pending.get(60) == mine == [str(local[name][s:s + 200]) for s in starts]


def test_a_remote_index_that_does_not_fit_is_built_again_in_the_cache(served, tmp_path):
    # A BGZF file cut at a block boundary beside the index of the whole file: records lie past the
    # end of its data, so the index is built again (into the cache, not over the URL).
    root = served[0]
    text = (root / "plain.fa").read_text()
    cut = root / "cut.fa"
    cut.write_text(text[: len(text) // 2])
    subprocess.run(["bgzip", "-i", "-f", str(cut)], check=True)
    shutil.copy(root / "plain.fa.gz.fai", root / "cut.fa.gz.fai")
    local = tmp_path / "cut.fa"
    local.write_text(text[: len(text) // 2])
    fa, want = Fasta(served[1].http_url("cut.fa.gz")), Fasta(str(local))
    assert fa.keys() == want.keys() and [str(r) for r in fa] == [str(r) for r in want]
    assert [f[-4:] for f in cached_files(tmp_path)] == [".fai"]


# ---- Batches: their ranges planned first, read in few requests ----

def sparse_regions(local, seed, count, length):
    rng = random.Random(seed)
    names = [n for n in local.keys() if len(local[n]) >= 10 * length]
    regions = []
    for _ in range(count):
        name = rng.choice(names)
        start = rng.randint(1, max(len(local[name]) - length, 1))
        regions.append((name, start, start + length - 1))
    return regions


@pytest.mark.parametrize("calls", ["fetch_many", "fetch_ragged", "fetch_fasta"])
def test_a_batch_moves_little_more_than_its_regions_bytes(served, proxy, calls):
    local = Fasta(str(served[0] / "plain.fa"))
    fa = Fasta(proxy.url("plain.fa"))
    regions = sparse_regions(local, 31, 120, 150)
    proxy.reset_counts()
    if calls == "fetch_many":
        got, want = [str(s) for s in fa.fetch_many(regions)], [str(s) for s in local.fetch_many(regions)]
    elif calls == "fetch_ragged":
        pytest.importorskip("numpy")
        got, want = fa.fetch_ragged(regions), local.fetch_ragged(regions)
        got, want = [a.tolist() for a in got], [a.tolist() for a in want]
    else:
        heads = [f">{n}" for n, _, _ in regions]
        got, want = fa.fetch_fasta(regions, heads), local.fetch_fasta(regions, heads)
    assert got == want
    spanned = spanned_bytes(read_fai(served[0] / "plain.fa.fai"), regions, slack=True)
    assert proxy.body_bytes <= 1.5 * spanned
    # At most one request a region, never open-ended: the bytes bound keeps regions this sparse apart.
    requests = proxy.requests
    assert len(requests) <= len(regions)
    assert all(r and r.startswith("bytes=") and not r.endswith("-") for _, r in requests)


@pytest.mark.parametrize("name", ["plain.fa", "plain.fa.gz"])
def test_a_dense_batch_is_read_in_a_few_long_requests(served, proxy, name):
    local = Fasta(str(served[0] / "plain.fa"))
    fa = Fasta(proxy.url(name))
    regions = sparse_regions(local, 32, 3000, 400)
    proxy.reset_counts()
    assert [str(s) for s in fa.fetch_many(regions)] == [str(s) for s in local.fetch_many(regions)]
    assert len(proxy.requests) <= 4
    assert proxy.body_bytes <= os.path.getsize(served[0] / name)


def test_a_batch_over_bgzf_moves_only_the_blocks_it_needs(served, proxy):
    local = Fasta(str(served[0] / "plain.fa"))
    fa = Fasta(proxy.url("plain.fa.gz"))
    record = max(local.keys(), key=lambda n: len(local[n]))
    regions = [(record, s, s + 99) for s in range(1000, 1000 + 20 * 50, 50)]
    proxy.reset_counts()
    assert [str(s) for s in fa.fetch_many(regions)] == [str(s) for s in local.fetch_many(regions)]
    # The regions lie in one or two blocks of at most 64 KiB each.
    assert len(proxy.requests) == 1 and proxy.body_bytes <= 2 * 65536


@pytest.mark.parametrize("fault", ["503", "drop", "truncate"])
@pytest.mark.parametrize("name", ["plain.fa", "plain.fa.gz"])
def test_a_batch_retries_a_failed_request(served, proxy, fault, name):
    local = Fasta(str(served[0] / "plain.fa"))
    fa = Fasta(proxy.url(name))
    regions = sparse_regions(local, 33, 200, 300)
    proxy.set(faults=[fault])
    assert [str(s) for s in fa.fetch_many(regions)] == [str(s) for s in local.fetch_many(regions)]


@pytest.mark.parametrize("fault, message", [
    ("ignore_range", "ignored the byte range"),
    ("short", "bytes for a range of"),
    ("etag", "the remote file changed while it was open"),
])
@pytest.mark.parametrize("name", ["plain.fa", "plain.fa.gz"])
def test_a_batch_with_wrong_answers_fails_naming_the_url(served, proxy, fault, message, name):
    local = Fasta(str(served[0] / "plain.fa"))
    fa = Fasta(proxy.url(name))
    regions = sparse_regions(local, 34, 200, 300)
    proxy.set(always=fault)
    with pytest.raises(sekva.FaidxIOError, match=message) as raised:
        fa.fetch_many(regions)
    assert proxy.url(name) in str(raised.value)
    proxy.set(always=None)
    # Nothing of the failed batch stays behind: the same batch then reads right.
    assert [str(s) for s in fa.fetch_many(regions)] == [str(s) for s in local.fetch_many(regions)]


def test_a_long_record_is_read_in_bounded_requests(served, proxy):
    local = Fasta(str(served[0] / "plain.fa"))
    fa = Fasta(proxy.url("plain.fa"))
    record = max(local.keys(), key=lambda n: len(local[n]))
    proxy.reset_counts()
    assert str(fa[record]) == str(local[record])
    assert all(r and not r.endswith("-") for _, r in proxy.requests)
    assert proxy.body_bytes <= 1.1 * len(str(local[record])) + 65536


@pytest.mark.parametrize("command", [
    ["faidx", "{url}", "r3:100-250", "r10:5-40"],
    ["faidx", "{url}", "-i", "r3:1000-1100"],
    ["getfasta", "-fi", "{url}", "-bed", "{bed}", "-s"],
])
@pytest.mark.parametrize("name", ["plain.fa", "plain.fa.gz"])
def test_the_command_line_reads_urls(served, tmp_path, command, name):
    root = served[0]
    bed = tmp_path / "regions.bed"
    bed.write_text("r3\t10\t90\ta\t0\t-\nr10\t0\t30\tb\t0\t+\n")
    outputs = []
    for where in (served[1].http_url(name), str(root / name)):
        args = [a.format(url=where, bed=bed) for a in command]
        done = subprocess.run([sys.executable, "-m", "sekva_cli", *args], cwd=tmp_path, capture_output=True)
        outputs.append((done.returncode, done.stdout, done.stderr.replace(where.encode(), b"FILE")))
    assert outputs[0] == outputs[1] and outputs[0][0] == 0 and outputs[0][1]


@pytest.mark.skipif(sys.implementation.name == "pypy", reason="PyPy's C API layer does not run signal handlers from C code")
@pytest.mark.parametrize("call", ["single", "batch", "back-off"])
def test_ctrl_c_interrupts_a_remote_wait(served, proxy, monkeypatch, call):
    import signal
    import threading
    import time
    monkeypatch.setenv("SEKVA_HTTP_TIMEOUT", "60")
    monkeypatch.setenv("SEKVA_HTTP_RETRIES", "20")
    fa, record, at = open_far(proxy)
    regions = [(record, s, s + 50) for s in range(at - 4000, at, 200)]
    # A dropped connection is retried after a growing wait; a delayed answer is waited for.
    proxy.set(always="drop") if call == "back-off" else proxy.set(always="delay", delay=30)
    timer = threading.Timer(0.5, lambda: os.kill(os.getpid(), signal.SIGINT))
    began = time.monotonic()
    timer.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            if call == "batch":
                fa.fetch_many(regions)
            else:
                fa.get_seq(record, at, at + 100)
    finally:
        timer.cancel()
        proxy.set(always=None)
    assert time.monotonic() - began < 10
    # The file reads on afterwards.
    local = Fasta(str(served[0] / "plain.fa"))
    assert fa.get_seq(record, at, at + 100) == local.get_seq(record, at, at + 100)


def test_the_dask_example_reads_a_url_in_workers_without_the_file(served, tmp_path):
    pytest.importorskip("distributed")
    root = served[0]
    local = Fasta(str(root / "plain.fa"))
    regions = sparse_regions(local, 35, 600, 120)
    bed = tmp_path / "regions.bed"
    bed.write_text("".join(f"{n}\t{s - 1}\t{e}\tx\t0\t{'+-'[s % 2]}\n" for n, s, e in regions))
    example = Path(__file__).parent.parent / "examples" / "dask_regions.py"
    work = tmp_path / "elsewhere"
    work.mkdir()
    done = subprocess.run([sys.executable, str(example), served[1].https_url("plain.fa"), str(bed), "--chunk", "150",
                           "--workers", "3", "--rc"], cwd=work, capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    want = [(-s if s.start % 2 else s).seq for s in local.fetch_many(regions)]
    assert done.stdout.splitlines() == want
    assert os.listdir(work) == []  # the workers kept no copy of the genome


@pytest.mark.parametrize("name", ["long.fa", "long.fa.gz"])
def test_a_record_of_many_megabases_is_read_in_a_few_long_requests(served, proxy, name):
    root = served[0]
    if not (root / "long.fa.gz").exists():
        rng = random.Random(37)
        bases = "".join(rng.choices("ACGTacgtN", k=9_500_000))
        (root / "long.fa").write_text(">long\n" + "".join(bases[i:i + 70] + "\n" for i in range(0, len(bases), 70)))
        subprocess.run(["samtools", "faidx", str(root / "long.fa")], check=True)
        subprocess.run(["bgzip", "-i", "-k", str(root / "long.fa")], check=True)
        subprocess.run(["samtools", "faidx", str(root / "long.fa.gz")], check=True)
    local = Fasta(str(root / "long.fa"))
    fa = Fasta(proxy.url(name))
    proxy.reset_counts()
    assert str(fa["long"]) == str(local["long"])
    # A few requests of up to 8 MiB, made at once; never one per block.
    assert len(proxy.requests) <= 4
    assert proxy.body_bytes <= os.path.getsize(root / name) + 65536
