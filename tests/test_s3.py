"""Files read by s3:// and gs:// URL: from moto's S3 server on loopback, which checks every signed
request's Signature V4 and keys, directly and through the fault proxy, and from nginx over HTTPS
standing in for Google Cloud Storage. Credentials are found where the AWS and Google tools keep
them, and no secret, and no presigned URL's query, ever shows in a message, warning, repr or pickle."""
import os
import pickle
import random
import shutil
import subprocess
import warnings

import pytest

import sekva
from remote_servers import NGINX, FaultProxy, Nginx, S3Server
from sekva import Faidx, Fasta
from test_compressed import fields, random_text
from test_remote import cached_files, compare

pytestmark = [
    pytest.mark.skipif(not sekva.features["remote"], reason="built without libcurl"),
    pytest.mark.skipif(not NGINX or not shutil.which("openssl"), reason="nginx or openssl not installed"),
    pytest.mark.skipif(not shutil.which("samtools") or not shutil.which("bgzip"), reason="samtools or bgzip missing"),
]

# The indexes last: an index older than its file (by Last-Modified) is built again.
NAMES = ["plain.fa", "plain.fa.gz", "noindex.fa", "noindex.fa.gz", "noeof.fa.gz", "plain.fa.fai", "plain.fa.gz.fai",
         "plain.fa.gz.gzi"]


class Store:
    """The local files, nginx serving them under /bucket/ to bearer-token holders, and (once
    `s3_server` has run) the S3 server with a private and a public bucket holding them and its
    users' keys."""


@pytest.fixture(scope="module")
def store(tmp_path_factory):
    s = Store()
    s.local = tmp_path_factory.mktemp("local")
    text = random_text(random.Random(21), 600_000)
    (s.local / "plain.fa").write_text(text)
    subprocess.run(["samtools", "faidx", str(s.local / "plain.fa")], check=True)
    (s.local / "noindex.fa").write_text(text)
    subprocess.run(["bgzip", "-i", "-k", str(s.local / "plain.fa")], check=True)
    subprocess.run(["samtools", "faidx", str(s.local / "plain.fa.gz")], check=True)
    shutil.copy(s.local / "plain.fa.gz", s.local / "noindex.fa.gz")
    # A BGZF file without its end-of-file marker: opening it warns, naming the file.
    (s.local / "noeof.fa.gz").write_bytes((s.local / "plain.fa.gz").read_bytes()[:-28])
    # What the files without an index are compared with: the same files, indexed by sekva on disk.
    s.built = tmp_path_factory.mktemp("built")
    for name in ("noindex.fa", "noindex.fa.gz"):
        shutil.copy(s.local / name, s.built / name)
        Fasta(str(s.built / name))
    www = tmp_path_factory.mktemp("www")
    (www / "bucket").mkdir()
    shutil.copy(s.local / "plain.fa", www / "plain.fa")
    for name in NAMES:
        shutil.copy(s.local / name, www / "bucket" / name)
    s.nginx = Nginx(str(www), str(tmp_path_factory.mktemp("nginx")))
    s.secrets = [Nginx.TOKEN]
    yield s
    s.nginx.stop()


@pytest.fixture(scope="module")
def s3_server(store, tmp_path_factory):
    """moto's S3 server in `store.server`, with its buckets and users (where moto[server] installs)."""
    pytest.importorskip("moto", reason="moto[server] not installed")
    pytest.importorskip("boto3", reason="boto3 not installed")
    s = store
    s.server = S3Server(str(tmp_path_factory.mktemp("moto")))
    try:
        s3, iam = s.server.client(), s.server.client("iam")
        s3.create_bucket(Bucket="private")
        s3.create_bucket(Bucket="public", ACL="public-read")
        for name in NAMES:
            body = (s.local / name).read_bytes()
            s3.put_object(Bucket="private", Key=name, Body=body)
            s3.put_object(Bucket="public", Key=name, Body=body, ACL="public-read")
        # A user who may read nothing, and a role whose temporary keys (with a session token) may read all.
        iam.create_user(UserName="outsider")
        key = iam.create_access_key(UserName="outsider")["AccessKey"]
        s.outsider = (key["AccessKeyId"], key["SecretAccessKey"])
        # A user who may read the FASTA files and nothing beside them.
        iam.create_user(UserName="narrow")
        iam.put_user_policy(UserName="narrow", PolicyName="fasta-only", PolicyDocument=(
            '{"Version":"2012-10-17","Statement":[{"Effect":"Allow","Action":"s3:GetObject",'
            '"Resource":["arn:aws:s3:::private/plain.fa","arn:aws:s3:::private/plain.fa.gz"]}]}'))
        key = iam.create_access_key(UserName="narrow")["AccessKey"]
        s.narrow = (key["AccessKeyId"], key["SecretAccessKey"])
        trust = '{"Version":"2012-10-17","Statement":[{"Effect":"Allow","Principal":{"AWS":"*"},"Action":"sts:AssumeRole"}]}'
        role = iam.create_role(RoleName="reader-role", AssumeRolePolicyDocument=trust)["Role"]
        iam.put_role_policy(RoleName="reader-role", PolicyName="all-s3", PolicyDocument=(
            '{"Version":"2012-10-17","Statement":[{"Effect":"Allow","Action":"s3:*","Resource":"*"}]}'))
        temporary = s.server.client("sts").assume_role(RoleArn=role["Arn"], RoleSessionName="sekva")["Credentials"]
        s.session = (temporary["AccessKeyId"], temporary["SecretAccessKey"], temporary["SessionToken"])
        s.server.authenticate()
    except BaseException:
        s.server.stop()
        raise
    s.secrets += [s.server.secret_key, s.outsider[1], s.narrow[1], s.session[1], s.session[2]]
    yield s.server
    s.server.stop()


@pytest.fixture
def s3(s3_server, monkeypatch):
    """The S3 server as the endpoint (AWS_ENDPOINT_URL)."""
    monkeypatch.setenv("AWS_ENDPOINT_URL", s3_server.url)
    return s3_server


@pytest.fixture(autouse=True)
def environment(store, monkeypatch, tmp_path):
    """No credentials but the test's own: the user's variables and profile files are out of reach."""
    for name in list(os.environ):
        if name.startswith("AWS_") or name.startswith("GOOGLE_") or name.startswith("SEKVA_GCS"):
            monkeypatch.delenv(name)
    monkeypatch.setenv("AWS_SHARED_CREDENTIALS_FILE", str(tmp_path / "no-credentials"))
    monkeypatch.setenv("AWS_CONFIG_FILE", str(tmp_path / "no-config"))
    monkeypatch.setenv("SSL_CERT_FILE", store.nginx.ca)
    monkeypatch.delenv("CURL_CA_BUNDLE", raising=False)
    monkeypatch.setenv("SEKVA_CACHE_DIR", str(tmp_path / "cache"))
    monkeypatch.setenv("SEKVA_HTTP_TIMEOUT", "5")
    monkeypatch.setenv("SEKVA_HTTP_RETRIES", "2")


@pytest.fixture
def keys(store, s3, monkeypatch):
    monkeypatch.setenv("AWS_ACCESS_KEY_ID", store.server.access_key)
    monkeypatch.setenv("AWS_SECRET_ACCESS_KEY", store.server.secret_key)


@pytest.fixture
def unchecked(store, s3):
    """moto checks no request meanwhile: it cannot serve unsigned ones while it checks signatures."""
    store.server.authenticate(on=False)
    yield
    store.server.authenticate(on=True)


@pytest.fixture
def proxy(store, s3, monkeypatch):
    """The fault proxy in front of the S3 server, as the endpoint."""
    p = FaultProxy(store.server.port)
    monkeypatch.setenv("AWS_ENDPOINT_URL", f"http://127.0.0.1:{p.port}")
    yield p
    p.stop()


@pytest.fixture
def shown(store):
    """Every message, warning, repr and pickle a test makes: none may hold a secret."""
    texts = []
    yield texts
    for text in texts:
        for secret in store.secrets:
            assert secret not in text


def raised(shown, exception, call, match=None):
    """The message of what `call` raises (an `exception`), kept among the texts shown."""
    with pytest.raises(exception, match=match) as info:
        call()
    shown.append(str(info.value))
    if info.value.__cause__ is not None:
        shown.append(str(info.value.__cause__))
    return str(info.value)


def middle_of(store, fraction=0.5):
    """A record and a start of 200 bases near `fraction` of the way into the file, where no opening read reaches."""
    size = (store.local / "plain.fa").stat().st_size
    rows = [line.split("\t") for line in (store.local / "plain.fa.fai").read_text().splitlines()]
    name, length, _ = min(((n, int(l), abs(int(o) + int(l) // 2 - int(size * fraction))) for n, l, o, *_ in rows if int(l) > 1000),
                          key=lambda r: r[2])
    return name, length // 2


def local_of(store, name):
    if name.startswith("noindex"):
        return str(store.built / name)
    return str(store.local / ("plain.fa.gz" if name.endswith(".gz") else "plain.fa"))


# ---- Reading ----

@pytest.mark.parametrize("name", ["plain.fa", "plain.fa.gz", "noindex.fa", "noindex.fa.gz"])
def test_a_private_bucket_with_keys_reads_as_the_local_file(store, keys, name, tmp_path, shown):
    url = f"s3://private/{name}"
    remote, local = Fasta(url, warn_to="python"), Fasta(local_of(store, name), warn_to="python")
    assert repr(remote) == f'Fasta("{url}")'
    shown += [repr(remote), repr(Faidx(url))]
    compare(remote, local, random.Random(hash(name) % 1000))
    faidx, plain = Faidx(url), Faidx(local_of(store, name))
    for record in local.keys()[:3]:
        assert fields(faidx.fetch_entire_sequence(record)) == fields(plain.fetch_entire_sequence(record))
    built = [f for f in cached_files(tmp_path) if f.endswith(".fai")]
    if name.startswith("noindex"):
        assert [(tmp_path / "cache" / f).read_bytes() for f in built] == [(store.built / (name + ".fai")).read_bytes()]
    else:
        assert built == []
    data = pickle.dumps(remote)
    shown.append(data.decode("latin-1"))
    assert url.encode() in data and str(pickle.loads(data)[1][5:90]) == str(local[1][5:90])


def test_arrays_from_s3_equal_the_local_file(store, keys):
    np = pytest.importorskip("numpy")
    local = Fasta(local_of(store, "plain.fa"))
    rng = random.Random(8)
    regions = [(rng.choice(local.keys()), s, s + 40) for s in (rng.randint(0, 5000) for _ in range(200))]
    for name in ("plain.fa", "plain.fa.gz"):
        remote = Fasta(f"s3://private/{name}")
        assert np.array_equal(remote.fetch_array(regions, width=48), local.fetch_array(regions, width=48))


@pytest.mark.parametrize("name", ["plain.fa", "noindex.fa.gz"])
def test_a_public_bucket_reads_without_credentials(store, unchecked, name):
    local = Fasta(local_of(store, name))
    remote = Fasta(f"s3://public/{name}")
    assert remote.keys() == local.keys()
    assert [str(r[100:400]) for r in remote] == [str(r[100:400]) for r in local]


@pytest.mark.parametrize("no_sign", ["true", "TRUE", "1"])
def test_no_sign_request_sends_no_credentials(store, keys, unchecked, proxy, monkeypatch, no_sign):
    monkeypatch.setenv("AWS_NO_SIGN_REQUEST", no_sign)
    assert Fasta("s3://public/plain.fa").keys() == Fasta(local_of(store, "plain.fa")).keys()
    assert proxy.authorization and set(proxy.authorization) == {None}


def test_every_request_is_signed_with_the_keys_and_region(store, keys, proxy, monkeypatch):
    monkeypatch.setenv("AWS_REGION", "eu-west-2")
    fa = Fasta("s3://private/plain.fa.gz")
    assert str(fa[2][1000:1200]) == str(Fasta(local_of(store, "plain.fa.gz"))[2][1000:1200])
    signed = proxy.authorization
    assert signed and all(a.startswith(f"AWS4-HMAC-SHA256 Credential={store.server.access_key}/") and
                          "/eu-west-2/s3/aws4_request" in a for a in signed)
    # Only the requests of this test went through; moto checked each signature (a bad one fails).
    assert len(proxy.requests) == len(signed)


def test_a_key_with_spaces_and_symbols(store, keys):
    key = "dir one/x+y (1)&.fa"
    store.server.client().put_object(Bucket="private", Key=key, Body=(store.local / "plain.fa").read_bytes())
    assert str(Fasta(f"s3://private/{key}")[0][0:300]) == str(Fasta(local_of(store, "plain.fa"))[0][0:300])


def test_an_index_named_by_s3_url(store, keys, tmp_path):
    fa = Fasta("s3://private/noindex.fa", indexname="s3://private/plain.fa.fai")
    assert fa.keys() == Fasta(local_of(store, "plain.fa")).keys() and cached_files(tmp_path) == []


@pytest.mark.parametrize("name", ["plain.fa", "plain.fa.gz"])
def test_an_index_that_may_not_be_read_is_built_into_the_cache(store, monkeypatch, proxy, name, tmp_path):
    # S3 answers 403, not 404, for keys the reader may not see: the .fai (and .gzi) beside the file.
    monkeypatch.setenv("AWS_ACCESS_KEY_ID", store.narrow[0])
    monkeypatch.setenv("AWS_SECRET_ACCESS_KEY", store.narrow[1])
    fa, local = Fasta(f"s3://private/{name}"), Fasta(local_of(store, name.replace("plain", "noindex")))
    assert 403 in proxy.statuses
    assert fa.keys() == local.keys() and [str(r[50:700]) for r in fa] == [str(r[50:700]) for r in local]
    assert sorted(f[-4:] for f in cached_files(tmp_path)) == ([".fai", ".gzi"] if name.endswith(".gz") else [".fai"])


def test_a_missing_object_or_bucket_is_fasta_not_found(store, keys, shown):
    for url in ("s3://private/nothing.fa", "s3://no-such-bucket/plain.fa"):
        assert url in raised(shown, sekva.FastaNotFoundError, lambda: Fasta(url))


# ---- Credentials ----

@pytest.mark.parametrize("who, code", [
    ("nobody", None),                           # moto answers an unsigned request with no body
    ("outsider", "AccessDenied"),               # keys without permission to read
    ("wrong secret", "SignatureDoesNotMatch"),
    ("unknown key", "InvalidAccessKeyId"),
])
def test_refused_requests_fail_at_once_with_the_status_and_code(store, monkeypatch, proxy, who, code, shown,
                                                                 request):
    if who == "nobody":
        request.getfixturevalue("unchecked")
    else:
        access, secret = {"outsider": store.outsider,
                          "wrong secret": (store.server.access_key, store.server.secret_key[::-1]),
                          "unknown key": ("AKIAUNKNOWN000000000", store.server.secret_key)}[who]
        monkeypatch.setenv("AWS_ACCESS_KEY_ID", access)
        monkeypatch.setenv("AWS_SECRET_ACCESS_KEY", secret)
    message = raised(shown, sekva.FaidxIOError, lambda: Fasta("s3://private/plain.fa"),
                     r"cannot read s3://private/plain\.fa: HTTP 403 \(forbidden\)")
    if code:
        assert message.endswith(": " + code)
    assert len(proxy.requests) == 1  # not retried


@pytest.mark.parametrize("token", ["right", "wrong", "missing"])
def test_a_session_token_is_sent(store, monkeypatch, proxy, token, shown):
    access, secret, session = store.session
    monkeypatch.setenv("AWS_ACCESS_KEY_ID", access)
    monkeypatch.setenv("AWS_SECRET_ACCESS_KEY", secret)
    if token != "missing":
        monkeypatch.setenv("AWS_SESSION_TOKEN", session if token == "right" else session[:-4] + "AAAA")
    if token == "right":
        assert Fasta("s3://private/plain.fa")[0][0:50].seq == Fasta(local_of(store, "plain.fa"))[0][0:50].seq
    else:
        status, code = ("400", "InvalidToken") if token == "wrong" else ("403 \\(forbidden\\)", "InvalidAccessKeyId")
        assert raised(shown, sekva.FaidxIOError, lambda: Fasta("s3://private/plain.fa"), "HTTP " + status).endswith(code)


def write_profiles(tmp_path, store, credentials, config):
    (tmp_path / "credentials").write_text(credentials.format(key=store.server.access_key, secret=store.server.secret_key))
    (tmp_path / "config").write_text(config.format(key=store.server.access_key, secret=store.server.secret_key))
    return tmp_path / "credentials", tmp_path / "config"


@pytest.mark.parametrize("profile, region", [(None, "us-west-1"), ("sekva", "ap-south-1"), ("in-config", "eu-north-1")])
def test_profiles_are_read_from_the_shared_files(store, monkeypatch, proxy, tmp_path, profile, region):
    credentials, config = write_profiles(tmp_path, store, """
# the default profile, and a named one
[default]
aws_access_key_id = {key}
aws_secret_access_key = {secret}

[sekva]
aws_access_key_id={key}
aws_secret_access_key={secret}
[other]
aws_access_key_id = AKIAOTHER
aws_secret_access_key = other
""", """
[default]
region = us-west-1
[profile sekva]
region = ap-south-1
[profile in-config]
region = eu-north-1
aws_access_key_id = {key}
aws_secret_access_key = {secret}
""")
    monkeypatch.setenv("AWS_SHARED_CREDENTIALS_FILE", str(credentials))
    monkeypatch.setenv("AWS_CONFIG_FILE", str(config))
    if profile:
        monkeypatch.setenv("AWS_PROFILE", profile)
    assert Fasta("s3://private/plain.fa").keys() == Fasta(local_of(store, "plain.fa")).keys()
    assert all(f"/{region}/s3/aws4_request" in a for a in proxy.authorization)
    # The variables come before the profile.
    monkeypatch.setenv("AWS_DEFAULT_REGION", "sa-east-1")
    proxy.reset_counts()
    Fasta("s3://private/plain.fa")
    assert all("/sa-east-1/s3/aws4_request" in a for a in proxy.authorization)


def test_a_profile_in_home_and_a_missing_one(store, s3, monkeypatch, tmp_path, shown):
    (tmp_path / ".aws").mkdir()
    write_profiles(tmp_path / ".aws", store, "[default]\naws_access_key_id = {key}\naws_secret_access_key = {secret}\n", "")
    monkeypatch.delenv("AWS_SHARED_CREDENTIALS_FILE")
    monkeypatch.delenv("AWS_CONFIG_FILE")
    monkeypatch.setenv("HOME", str(tmp_path))
    assert Fasta("s3://private/plain.fa").keys() == Fasta(local_of(store, "plain.fa")).keys()
    monkeypatch.setenv("AWS_PROFILE", "absent")
    raised(shown, sekva.FaidxIOError, lambda: Fasta("s3://private/plain.fa"), "the AWS profile 'absent' is in neither")
    # Keys in the variables come first: the profile is not needed then.
    monkeypatch.setenv("AWS_ACCESS_KEY_ID", store.server.access_key)
    monkeypatch.setenv("AWS_SECRET_ACCESS_KEY", store.server.secret_key)
    assert Fasta("s3://private/plain.fa").keys() == Fasta(local_of(store, "plain.fa")).keys()


@pytest.mark.parametrize("url", ["s3://", "s3://bucket", "s3://bucket/", "s3:///key", "gs://only-bucket", "s3://bad bucket/k"])
def test_malformed_object_urls_are_clear_errors(url, shown):
    raised(shown, sekva.FaidxIOError, lambda: Fasta(url), "bucket")


def test_credentials_never_follow_a_redirect_to_another_host(store, keys, monkeypatch, shown, tmp_path):
    # nginx redirects .../away-https.fa to https on another host name: followed without
    # credentials, refused with them.
    monkeypatch.setenv("AWS_ENDPOINT_URL", store.nginx.http_url("").rstrip("/"))
    raised(shown, sekva.FaidxIOError, lambda: Fasta("s3://bucket/away-https.fa"),
           "refused a redirect to https://localhost with credentials")
    monkeypatch.setenv("AWS_NO_SIGN_REQUEST", "yes")
    index = shutil.copy(local_of(store, "plain.fa") + ".fai", tmp_path / "plain.fa.fai")
    assert Fasta("s3://bucket/away-https.fa", indexname=str(index), rebuild=False).keys() == Fasta(local_of(store, "plain.fa")).keys()


# ---- Faults through the proxy ----

@pytest.mark.parametrize("name", ["plain.fa", "plain.fa.gz"])
def test_a_503_is_retried_and_a_changed_etag_refused(store, keys, proxy, name, shown):
    local = Fasta(local_of(store, name))
    fa = Fasta(f"s3://private/{name}")
    record, at = middle_of(store)
    proxy.set(faults=["503"])
    proxy.reset_counts()
    assert str(fa[record][at:at + 200]) == str(local[record][at:at + 200])
    assert len(proxy.requests) == 2
    proxy.set(always="etag")
    record, at = middle_of(store, 0.3)
    raised(shown, sekva.FaidxIOError, lambda: fa.get_seq(record, at, at + 99),
           f"the remote file changed while it was open: s3://private/{name}")


# ---- Google Cloud Storage ----

@pytest.mark.parametrize("how", ["variable", "file"])
@pytest.mark.parametrize("name", ["plain.fa", "noindex.fa.gz"])
def test_gs_reads_with_a_bearer_token(store, monkeypatch, tmp_path, how, name, shown):
    monkeypatch.setenv("SEKVA_GCS_ENDPOINT", store.nginx.https_url("").rstrip("/"))
    if how == "variable":
        monkeypatch.setenv("GOOGLE_OAUTH_ACCESS_TOKEN", Nginx.TOKEN)
    else:
        (tmp_path / "token").write_text(Nginx.TOKEN + "\n")
        monkeypatch.setenv("SEKVA_GCS_TOKEN_FILE", str(tmp_path / "token"))
    local = Fasta(local_of(store, name))
    remote = Fasta(f"gs://bucket/{name}")
    shown.append(repr(remote))
    assert [str(r[7:300]) for r in remote] == [str(r[7:300]) for r in local]


@pytest.mark.parametrize("token", [None, "ya29.wrong"])
def test_gs_without_the_token_is_unauthorized(store, monkeypatch, token, shown):
    monkeypatch.setenv("SEKVA_GCS_ENDPOINT", store.nginx.https_url(""))
    if token:
        monkeypatch.setenv("GOOGLE_OAUTH_ACCESS_TOKEN", token)
    raised(shown, sekva.FaidxIOError, lambda: Fasta("gs://bucket/plain.fa"),
           r"cannot read gs://bucket/plain\.fa: HTTP 401 \(unauthorized\)")


def test_gs_over_the_proxy_sends_the_token_to_the_named_http_endpoint(store, monkeypatch):
    p = FaultProxy(store.nginx.http_port)
    try:
        monkeypatch.setenv("SEKVA_GCS_ENDPOINT", f"http://127.0.0.1:{p.port}")
        monkeypatch.setenv("GOOGLE_OAUTH_ACCESS_TOKEN", Nginx.TOKEN)
        assert Fasta("gs://bucket/plain.fa").keys() == Fasta(local_of(store, "plain.fa")).keys()
        assert set(p.authorization) == {"Bearer " + Nginx.TOKEN}
    finally:
        p.stop()


# ---- Presigned URLs ----

def test_a_presigned_url_reads_whole_and_shows_redacted(store, unchecked, tmp_path, shown):
    from botocore.config import Config
    s3 = store.server.client(config=Config(signature_version="s3v4"))
    url = s3.generate_presigned_url("get_object", Params={"Bucket": "private", "Key": "noeof.fa.gz"}, ExpiresIn=600)
    query = url.split("?", 1)[1]
    assert "X-Amz-Signature=" in query
    shown_url = url.split("?", 1)[0] + "?<redacted>"
    with warnings.catch_warnings(record=True) as warned:
        warnings.simplefilter("always")
        fa = Fasta(url, warn_to="python")
    messages = [str(w.message) for w in warned]
    assert any("EOF marker is absent" in m for m in messages)
    assert all(query not in m and "X-Amz" not in m for m in messages)
    assert any(shown_url in m for m in messages)
    local = Fasta(local_of(store, "plain.fa"))
    assert str(fa[1][10:500]) == str(local[1][10:500])
    with pytest.warns(UserWarning, match=r"\?<redacted>: EOF marker is absent"):
        faidx = Faidx(url, warn_to="python")
    for obj in (fa, faidx):
        assert repr(obj).endswith(f'("{shown_url}")') and "X-Amz" not in repr(obj)
        # A pickle carries the URL whole: that is what lets another process read it.
        data = pickle.dumps(obj)
        assert url.encode() in data
    # No index beside a presigned URL is looked for: it is built into the cache.
    assert sorted(f[-4:] for f in cached_files(tmp_path)) == [".fai", ".gzi"]
    with pytest.warns(UserWarning):
        again = pickle.loads(pickle.dumps(fa))
    assert str(again[1][10:500]) == str(local[1][10:500])
    # Errors show it redacted too.
    bad = url.replace("noeof.fa.gz", "nothing.fa")
    message = raised(shown, sekva.FastaNotFoundError, lambda: Fasta(bad))
    assert bad.split("?")[0] + "?<redacted>" in message and "X-Amz" not in message
    p = FaultProxy(store.server.port)
    try:
        fa = Fasta(url.replace(store.server.url, f"http://127.0.0.1:{p.port}"))
        p.set(always="etag")
        record, at = middle_of(store)
        message = raised(shown, sekva.FaidxIOError, lambda: fa.get_seq(record, at, at + 20), "changed while it was open")
        assert "?<redacted>" in message and "X-Amz" not in message
        message = raised(shown, (sekva.FaidxIOError, RuntimeError), lambda: fa.fetch_many([(record, at, at + 20)]),
                         "changed while it was open")
        assert "?<redacted>" in message and "X-Amz" not in message
    finally:
        p.stop()
    shown += messages + [repr(fa)]


@pytest.mark.parametrize("query, kept", [
    ("?X-Amz-Signature=SECRETSIG&X-Amz-Credential=AKIA%2F", "x.fa?<redacted>"),
    ("?sig=SECRETSIG", "x.fa?<redacted>"),
    ("?token=SECRETSIG#part", "x.fa?<redacted>"),
    ("#SECRETSIG", "x.fa?<redacted>"),
    ("", "x.fa"),
])
def test_every_url_query_is_redacted_where_it_shows(monkeypatch, query, kept, shown):
    # Nothing listens on port 1: the opening fails at once, naming the URL.
    monkeypatch.setenv("SEKVA_HTTP_RETRIES", "0")
    url = "http://127.0.0.1:1/dir/x.fa" + query
    message = raised(shown, sekva.FaidxIOError, lambda: Fasta(url))
    assert "SECRETSIG" not in message and f"http://127.0.0.1:1/dir/{kept}:" in message
    message = raised(shown, sekva.FaidxIOError, lambda: Faidx(url))
    assert "SECRETSIG" not in message


def test_the_command_line_reads_s3_and_redacts_queries(store, keys, tmp_path, unchecked):
    import sys
    local = store.local / "plain.fa"
    rows = [line.split("\t") for line in (store.local / "plain.fa.fai").read_text().splitlines()][:3]
    regions = [f"{name}:5-{min(int(length), 300)}" for name, length, *_ in rows]
    cli = [sys.executable, "-m", "sekva_cli"]
    ours = subprocess.run(cli + ["faidx", "s3://private/plain.fa.gz", *regions], capture_output=True, check=True)
    assert ours.stdout == subprocess.run(["samtools", "faidx", str(local), *regions], capture_output=True,
                                         check=True).stdout
    (tmp_path / "r.bed").write_text("".join(f"{name}\t3\t{min(int(length), 77)}\n" for name, length, *_ in rows))
    ours = subprocess.run(cli + ["getfasta", "-fi", "s3://private/noindex.fa", "-bed", str(tmp_path / "r.bed")],
                          capture_output=True, check=True)
    theirs = subprocess.run(["bedtools", "getfasta", "-fi", str(local), "-bed", str(tmp_path / "r.bed")],
                            capture_output=True)
    if theirs.returncode == 0:
        assert ours.stdout == theirs.stdout
    url = store.server.url + "/private/nothing.fa?X-Amz-Signature=SECRETSIG"
    failed = subprocess.run(cli + ["faidx", url, regions[0]], capture_output=True)
    assert failed.returncode != 0 and b"nothing.fa?<redacted>" in failed.stderr and b"SECRETSIG" not in failed.stderr


@pytest.mark.parametrize("url, region, host", [
    ("s3://sekva-no-bucket/k.fa", None, "sekva-no-bucket.s3.us-east-1.amazonaws.com"),
    ("s3://sekva-no-bucket/k.fa", "eu-central-1", "sekva-no-bucket.s3.eu-central-1.amazonaws.com"),
    ("S3://sekva.no.bucket/k.fa", "ap-east-1", "s3.ap-east-1.amazonaws.com"),  # path-style for a dotted name
    ("gs://sekva-no-bucket/k.fa", None, "storage.googleapis.com"),
])
def test_object_urls_go_to_the_services_own_hosts(monkeypatch, url, region, host, shown):
    monkeypatch.setenv("SEKVA_HTTP_RETRIES", "0")
    if region:
        monkeypatch.setenv("AWS_REGION", region)
    message = raised(shown, (sekva.FaidxIOError, sekva.FastaNotFoundError), lambda: Fasta(url))
    if "resolve host" not in message:
        pytest.skip("this machine reaches the service: " + message)
    assert message.endswith("resolve host: " + host) and message.startswith(f"IOError: cannot read {url}: ")


def test_the_dask_example_reads_the_bucket_in_workers_without_the_file(store, keys, tmp_path):
    pytest.importorskip("distributed")
    import sys
    from pathlib import Path
    from test_remote import sparse_regions
    local = Fasta(str(store.local / "plain.fa"))
    regions = sparse_regions(local, 36, 500, 150)
    bed = tmp_path / "regions.bed"
    bed.write_text("".join(f"{n}\t{s - 1}\t{e}\tx\t0\t{'+-'[s % 2]}\n" for n, s, e in regions))
    example = Path(__file__).parent.parent / "examples" / "dask_regions.py"
    work = tmp_path / "elsewhere"
    work.mkdir()
    done = subprocess.run([sys.executable, str(example), "s3://private/plain.fa.gz", str(bed), "--chunk", "120",
                           "--workers", "3", "--rc"], cwd=work, capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == [(-s if s.start % 2 else s).seq for s in local.fetch_many(regions)]
    assert os.listdir(work) == []
