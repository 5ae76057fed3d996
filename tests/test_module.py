"""What the installed module says about itself: sekva.features, held to what the build does."""
import os
import platform
import shutil
import socket
import subprocess
import sys

import pytest

import sekva

BGZIP = shutil.which("bgzip")


def test_features_is_a_plain_dict_of_the_documented_keys():
    assert type(sekva.features) is dict
    assert set(sekva.features) == {"bgzf", "remote", "simd"}
    assert sekva.features["bgzf"] in ("libdeflate", "zlib", None)
    assert sekva.features["remote"] in (True, False)
    assert sekva.features["simd"] in ("avx2", "ssse3", "sse2", "scalar")
    assert "features" not in sekva.__all__


def mapped_libraries():
    """Base names of the shared objects mapped into this process."""
    with open("/proc/self/maps") as f:
        return {os.path.basename(line.split()[-1]) for line in f if "/" in line}


@pytest.mark.skipif(not os.path.exists("/proc/self/maps"), reason="needs /proc")
def test_bgzf_names_the_inflater_the_module_loaded():
    libdeflate = any(name.startswith("libdeflate") for name in mapped_libraries())
    assert (sekva.features["bgzf"] == "libdeflate") == libdeflate


@pytest.mark.skipif(BGZIP is None, reason="bgzip is not installed")
def test_bgzf_says_whether_compressed_files_open(tmp_path):
    plain = tmp_path / "g.fa"
    plain.write_bytes(b">chr1\nACGTNacgtn\n")
    subprocess.run([BGZIP, "-k", str(plain)], check=True)
    if sekva.features["bgzf"] is None:
        with pytest.raises(Exception, match="built without a decompressor"):
            sekva.Fasta(str(plain) + ".gz")
    else:
        assert str(sekva.Fasta(str(plain) + ".gz")["chr1"]) == "ACGTNacgtn"


@pytest.mark.skipif(not os.path.exists("/proc/self/maps"), reason="needs /proc")
def test_remote_says_whether_urls_open(monkeypatch):
    # A URL on a port nothing listens on: a build with libcurl tries it (and fails to connect); one
    # without refuses it before any request.
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        url = f"http://127.0.0.1:{s.getsockname()[1]}/genome.fa"
    monkeypatch.setenv("SEKVA_HTTP_RETRIES", "0")
    with pytest.raises(sekva.FaidxIOError) as raised:
        sekva.Fasta(url)
    if sekva.features["remote"]:
        assert str(raised.value).startswith("IOError: cannot read " + url)
        assert any(name.startswith("libcurl") for name in mapped_libraries())
    else:
        assert str(raised.value) == "IOError: sekva was built without remote access (libcurl): " + url


def cpu_flags():
    try:
        with open("/proc/cpuinfo") as f:
            return next((set(line.split(":", 1)[1].split()) for line in f if line.startswith("flags")), set())
    except OSError:
        return None


@pytest.mark.skipif(cpu_flags() is None, reason="needs /proc/cpuinfo")
def test_simd_names_what_this_processor_runs():
    if os.environ.get("SEKVA_FORCE_SCALAR", "") not in ("", "0"):
        expected = "scalar"  # the run that tests the fallbacks
    elif platform.machine() in ("x86_64", "AMD64"):
        flags = cpu_flags()
        expected = "avx2" if "avx2" in flags else "ssse3" if "ssse3" in flags else "sse2"
    else:
        expected = "scalar"
    assert sekva.features["simd"] == expected


def test_simd_says_scalar_when_the_fallbacks_are_forced():
    import subprocess
    import sys

    env = dict(os.environ, SEKVA_FORCE_SCALAR="1")
    out = subprocess.run([sys.executable, "-c", "import sekva; print(sekva.features['simd'])"], env=env,
                         capture_output=True, text=True, check=True)
    assert out.stdout.strip() == "scalar"


def test_features_in_a_fresh_interpreter():
    """The dict a user prints from the command line, the same in every process."""
    out = subprocess.run([sys.executable, "-c", "import sekva; print(sorted(sekva.features.items(), key=str))"],
                         capture_output=True, text=True, check=True).stdout
    assert out.strip() == str(sorted(sekva.features.items(), key=str))


def test_metadata_names_the_documents():
    from importlib.metadata import metadata

    urls = dict(entry.split(", ", 1) for entry in metadata("sekva").get_all("Project-URL") or [])
    assert urls["Documentation"] == "README.md" and urls["Changelog"] == "CHANGELOG.md"
    for path in urls.values():
        assert os.path.exists(os.path.join(os.path.dirname(__file__), "..", path))
