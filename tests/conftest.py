"""Fixtures that write small FASTA files packed with edge cases into tmp_path."""
import os

import pytest


@pytest.fixture
def write(tmp_path):
    """write(text, name="x.fa") -> path of a new file holding exactly these bytes."""

    def _write(text, name="x.fa"):
        path = tmp_path / name
        path.write_bytes(text.encode() if isinstance(text, str) else text)
        return str(path)

    return _write


def bump_mtime(path, seconds):
    st = os.stat(path)
    os.utime(path, ns=(st.st_atime_ns, st.st_mtime_ns + int(seconds * 1e9)))
