"""`sekva fqidx`: index a FASTQ file or print reads and regions of it, as `samtools fqidx` does."""
import os
import sys

from sekva_cli import CliError, open_output, refuse_overwrite, say, write_all
from sekva_cli import _emit, _faidx, _genome, _region

USAGE = """\
Usage: sekva fqidx <file.fq|file.fq.gz> [<reg> [...]]
Option: 
 -o, --output FILE        Write FASTQ to file.
 -n, --length INT         Length of FASTQ sequence line. [60]
 -c, --continue           Continue after trying to retrieve missing region.
 -r, --region-file FILE   File of regions.  Format is chr:from-to. One per line.
 -i, --reverse-complement Reverse complement sequences.
     --mark-strand TYPE   Add strand indicator to sequence name
                          TYPE = rc   for /rc on negative strand (default)
                                 no   for no strand indicator
                                 sign for (+) / (-)
                                 custom,<pos>,<neg> for custom indicator
     --fai-idx      FILE  name of the index file (default file.fq.fai).
     --gzi-idx      FILE  name of compressed file index (default file.fq.gz.gzi).
 -h, --help               This message.
"""

_LONG = ["output=", "help", "length=", "continue", "region-file=", "reverse-complement", "mark-strand=",
         "fai-idx=", "gzi-idx="]


def _open(path, index_path, names):
    """sekva.Fasta of the FASTQ file, its index built where needed, listing only the reads of
    `names`: a file of millions of reads is asked for a few of them."""
    import sekva

    return _genome.in_samtools_words(lambda: sekva._fasta_of_names(names, path, indexname=index_path, warn_to="python"))


def _not_fastq(index_path):
    return CliError(f"{index_path} is the index of a FASTA file, not FASTQ: use sekva faidx")


def _build_index(path, index_path, output):
    target = index_path or output or path + ".fai"
    refuse_overwrite([("index", target)], [("FASTQ file", path)])
    if index_path is None and _faidx._is_bgzf_name(output):
        raise CliError(f"-o names the index when no region is given, and {output} would hold an "
                       "uncompressed .fai; give a name without .gz, .bgz or .bgzf")
    # Built beside the target and renamed over it, so a failed build leaves the old index alone.
    scratch = f"{target}.{os.getpid()}.tmp"
    import sekva

    try:
        # Only the index is wanted: no name table is made for reads nobody asks for.
        if not _genome.in_samtools_words(lambda: sekva._build_index(path, scratch)):
            raise _not_fastq(path + ".fai")
        os.replace(scratch, target)
    except CliError:
        raise
    except Exception as e:
        raise CliError(f"could not build fai index {target}: {e}") from None
    finally:
        if os.path.exists(scratch):
            os.unlink(scratch)


def _has_qualities(fasta):
    try:
        fasta.fetch_fastq([])
    except ValueError:
        return False
    return True


class _Names:
    """The read names as the region resolver asks about them (`in`, isdisjoint); only names the
    Fasta was opened to list may be asked about."""

    def __init__(self, fasta, listed):
        self.fasta = fasta
        self.listed = listed

    def __contains__(self, name):
        if name not in self.listed:
            raise AssertionError(f"the read {name!r} was not listed when the file was opened")
        return name in self.fasta

    def isdisjoint(self, texts):
        return not any(map(self.fasta.__contains__, texts))


class _Lengths(dict):
    """Read lengths by name, as _emit.RecordLengths, asked only about listed names."""

    def __init__(self, names):
        super().__init__()
        self.names = names

    def __missing__(self, name):
        length = len(self.names.fasta[name]) if name in self.names else 0
        self[name] = length
        return length


def _wrapped(text, width):
    return "".join(text[k:k + width] + "\n" for k in range(0, len(text), width))


def _records(fasta, texts, found, count, stopped, width, reverse, mark):
    """FASTQ text of the first `count` regions: whole reads asked by their name go through the
    engine in one call; anything else (a part of a read, reversed, marked) read by read."""
    if not reverse and not mark and not stopped and all(
            type(region) is tuple and region[0] == text and region[1] == 1 for text, region in zip(texts, found)):
        lengths = _emit.RecordLengths(fasta)
        if all(region[2] == lengths[region[0]] for region in found):
            return fasta.fetch_fastq(texts[:count], width=width)
    parts = []
    for i in range(count):
        region = found[i]
        parts.append(f"@{texts[i]}{mark}\n")
        if i == count - 1 and stopped:
            break  # the region that stopped samtools: its head alone
        if type(region) is tuple:
            name, first, last = region
            bases = fasta.get_seq(name, first, last).seq
            quals = fasta.get_quality(name, first, last)
            if reverse:
                bases = _emit.reverse_complements([bases], _emit.COMPLEMENT)[0]
                quals = quals[::-1]
            parts += [_wrapped(bases, width), "+\n", _wrapped(quals, width)]
        else:
            parts.append("+\n")
    return "".join(parts).encode("utf-8", "surrogateescape")


def _report(texts, found, truncated, keep_going):
    """samtools' messages about the regions, each said twice as it reads bases and then
    qualities (but a missing region that stops it, once); (count, status) as _faidx._report."""
    notes = sorted(truncated.union(i for i, region in enumerate(found) if type(region) is not tuple))
    lines, count, status = [], len(found), 0
    for i in notes:
        region, text = found[i], texts[i]
        if region is None:
            group = [f"[faidx] Zero length sequence: {text}"]
        elif isinstance(region, str):
            group = ([f"[E::hts_parse_region] {region}"] if region else []) + [
                f"[W::fai_get_val] Reference {text} not found in FASTA file, returning empty sequence",
                f"[faidx] Failed to fetch sequence in {text}"]
            found[i] = None
            if not keep_going:
                lines += group
                count, status = i + 1, 1
                break
        else:
            group = [f"[faidx] Truncated sequence: {text}"]
        lines += group * 2
    if lines:
        say("\n".join(lines))
    return count, status


def run(args):
    try:
        opts, positional = _faidx._getopt_long(args, "ho:n:cr:i", _LONG)
    except CliError as e:
        raise CliError(f"{e} (see sekva fqidx --help)") from None
    output = region_file = index_path = None
    width, keep_going, reverse = 60, False, False
    pos_mark, neg_mark = "", "/rc"
    for opt, value in opts:
        if opt in ("-h", "--help"):
            sys.stdout.write(USAGE)
            return 0
        if opt in ("-o", "--output"):
            output = value
        elif opt in ("-n", "--length"):
            width = _faidx._atoi(value)
            if width < 1:
                say(f"[faidx] bad line length '{value}', using default:60")
                width = 60
        elif opt in ("-c", "--continue"):
            keep_going = True
        elif opt in ("-r", "--region-file"):
            region_file = value
        elif opt in ("-i", "--reverse-complement"):
            reverse = True
        elif opt == "--mark-strand":
            pos_mark, neg_mark = _faidx._strand_marks(value)
        elif opt == "--fai-idx":
            index_path = value
        elif opt == "--gzi-idx":
            # The engine reads the .gzi beside the file; another one it cannot be told about.
            if value != _faidx.fasta_gzi(positional):
                raise CliError("--gzi-idx: the .gzi is read from beside the FASTQ file (file.fq.gz.gzi)")
    if not positional:
        sys.stdout.write(USAGE)
        return 0
    path, regions = positional[0], positional[1:]
    if not regions and region_file is None:
        _build_index(path, index_path, output)
        return 0

    inputs = _faidx._inputs(path, index_path, region_file)
    if index_path is not None:
        refuse_overwrite([("index", index_path)], [i for i in inputs if i[0] != "index"])
    compressed = _faidx._is_bgzf_name(output)
    refuse_overwrite([("output", output)], inputs)
    texts, failure = _faidx.region_texts(region_file, regions)
    listed = _region.names_looked_up(texts)
    try:
        fasta = _open(path, index_path, listed)
    except Exception as e:
        raise CliError(f"could not load fai index of {path}: {e}") from None
    if not _has_qualities(fasta):
        raise _not_fastq(index_path or path + ".fai")
    with open_output(output, bgzf=compressed) as out:
        mark = neg_mark if reverse else pos_mark
        if not mark and not reverse and all(map(fasta.__contains__, texts)):
            # Every text names a read: the whole reads, in one pass of the engine per chunk.
            for i in range(0, len(texts), _emit.CHUNK * 8):
                write_all(out, fasta.fetch_fastq(texts[i:i + _emit.CHUNK * 8], width=width))
            texts = []
        # A file of millions of reads: names are looked up one by one, not gathered in a set.
        names = _Names(fasta, listed)
        found, truncated = _faidx._resolve_all(texts, _Lengths(names), names)
        count, status = _report(texts, found, truncated, keep_going)
        for i in range(0, count, _emit.CHUNK):
            j = min(i + _emit.CHUNK, count)
            write_all(out, _records(fasta, texts[i:j], found[i:j], j - i, status and j == count, width, reverse,
                                    mark))
    if failure is not None:
        raise failure
    return status
