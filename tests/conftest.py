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


# Region texts in samtools notation, most of them well formed, some at the parser's edges.
REGION_FORMS = [":{a}", ":{a}-{b}", ":{a}-{b}", ":{a}-{b}", ":-{b}", ":{a}-", ":{a},{c}-{b}", ":{a}k",
                ":{a}-{b}x", ": {a}", ":0-{b}", ":{a}-0", ":+{a}", ":{a}.5e1", ""]


def random_region_texts(rng, names, count, forms=REGION_FORMS):
    """`count` seeded region texts over `names` (starts and ends up to 320, mostly in order)."""
    out = []
    for _ in range(count):
        a, b = rng.randint(0, 320), rng.randint(0, 320)
        if rng.random() < 0.6:
            a, b = min(a, b), max(a, b)
        out.append(rng.choice(names) + rng.choice(forms).format(a=a, b=b, c=rng.randint(0, 9)))
    return out
