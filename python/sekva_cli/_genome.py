"""The genome as samtools and bedtools read it: where two records share a name, the first one."""
import os
import warnings

from sekva_cli import say, write_all

_DUPLICATE = "WARNING: Ignoring duplicate sequence "


def inputs(path, indexname=None):
    """(role, path) of the files a genome is read from: the FASTA file, its index and, for a
    compressed one, its block index."""
    files = [("FASTA file", path), ("index", indexname or path + ".fai")]
    try:
        with open(path, "rb") as f:
            compressed = f.read(2) == b"\x1f\x8b"
    except OSError:
        compressed = False
    if compressed:
        files.append(("block index", path + ".gzi"))
    return files


def _state(path):
    try:
        st = os.stat(path)
    except OSError:
        return None
    return st.st_dev, st.st_ino, st.st_size, st.st_mtime_ns


def _first_lines(index):
    """(lines of the first record of each name, (name, offset) of every later record) of .fai text."""
    firsts, later, seen = [], [], set()
    for line in index.split(b"\n"):
        if not line.strip():
            continue
        name, _, rest = line.partition(b"\t")
        if name in seen:
            later.append((name, rest.split(b"\t")[1] if rest.count(b"\t") >= 2 else b"?"))
        else:
            seen.add(name)
            firsts.append(line)
    return firsts, later


def warn_duplicates_in(later):
    """samtools' warning for each later record of a repeated name, given as _first_lines finds them."""
    if later:
        say("\n".join(f'[W::fai_insert_index] Ignoring duplicate sequence "{os.fsdecode(name)}" at byte offset '
                      f"{offset.decode()}" for name, offset in later))


def in_samtools_words(call):
    """What `call()` returns; the engine's report of each later record of a repeated name goes out
    in samtools' words, its other warnings as they are."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            return call()
        finally:
            lines = [str(w.message) for w in caught]
            if lines:
                say("\n".join("[W::fai_insert_index] " + line[9:] if line.startswith(_DUPLICATE) else line
                               for line in lines))


def open_first_records(path, indexname=None, warn_duplicates=False, missing_note=None, long_names=False):
    """sekva.Fasta of `path` (building its index where needed) that reads the first record of a
    repeated name, as samtools and bedtools do; the library itself, and the .fai it writes, keep
    every record and let the later one win.

    With `warn_duplicates`, an index built by this call reports each later record as samtools does
    when it builds its own. `missing_note`, where the index does not exist yet, is said first, as
    bedtools says it before building one. `long_names` keys records by their whole header line."""
    import sekva

    index_path = indexname or path + ".fai"
    before = _state(index_path)
    if before is None and missing_note is not None and os.path.exists(path):
        say(missing_note)
    fasta = sekva.Fasta(path, indexname=indexname, read_long_names=long_names)
    try:
        with open(index_path, "rb") as f:
            index = f.read()
    except OSError:
        return fasta
    # One line per record and one key per name: fewer keys than lines means a name repeats.
    if index.count(b"\n") + (not index.endswith(b"\n")) <= len(fasta.keys()):
        return fasta
    firsts, later = _first_lines(index)
    if not later:
        return fasta
    if warn_duplicates and _state(index_path) != before:
        warn_duplicates_in(later)
    # The engine reads names from an index file; one holding only the first records, read once
    # while opening, gives the samtools reading without a second copy of the genome.
    import tempfile

    handle, scratch = tempfile.mkstemp(suffix=".fai", prefix="sekva-first-")
    try:
        with os.fdopen(handle, "wb") as f:
            write_all(f, b"".join(line + b"\n" for line in firsts))
        return sekva.Fasta(path, indexname=scratch, rebuild=False, build_index=False, read_long_names=long_names)
    finally:
        os.unlink(scratch)
