"""The benchmark scripts as a user meets them first: --help says what a full run costs."""
import glob
import os
import subprocess
import sys

import pytest

BENCH = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "bench")
SCRIPTS = sorted(os.path.basename(p) for p in glob.glob(os.path.join(BENCH, "bench_*.py")))


@pytest.mark.parametrize("script", SCRIPTS)
def test_help_says_what_a_full_run_costs(script, tmp_path):
    data = tmp_path / "data"
    done = subprocess.run([sys.executable, script, "--help"], cwd=BENCH, capture_output=True, text=True,
                          env=dict(os.environ, SEKVA_BENCH_DATA=str(data)))
    if "No module named 'numpy'" in done.stderr:
        pytest.skip("the script needs numpy")
    assert done.returncode == 0, done.stderr
    text = " ".join(done.stdout.split())
    assert text.startswith("usage: ")
    cost = text[text.index("A full run: "):]
    assert " s" in cost or "minute" in cost
    assert "disk" in cost and "memory" in cost
    assert not data.exists(), "--help wrote the benchmark genome"
