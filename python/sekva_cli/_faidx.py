"""`sekva faidx`: index a FASTA file or print regions of it, as `samtools faidx` does."""
import os
import re
import sys
from itertools import compress, repeat
from operator import add, le

from sekva_cli import STDIN, CliError, open_output, read_input, refuse_overwrite, say, write_all
from sekva_cli import _emit, _genome, _region

USAGE = """\
Usage: sekva faidx <file.fa> [<reg> [...]]
Option: 
 -o, --output FILE        Write FASTA to file.
 -n, --length INT         Length of FASTA sequence line. [60]
 -c, --continue           Continue after trying to retrieve missing region.
 -r, --region-file FILE   File of regions.  Format is chr:from-to. One per line.
 -i, --reverse-complement Reverse complement sequences.
     --mark-strand TYPE   Add strand indicator to sequence name
                          TYPE = rc   for /rc on negative strand (default)
                                 no   for no strand indicator
                                 sign for (+) / (-)
                                 custom,<pos>,<neg> for custom indicator
     --fai-idx      FILE  name of the index file (default file.fa.fai).
     --write-index        Write the index of the output: FILE.fai, and FILE.gzi when FILE
                          ends in .gz, .bgz or .bgzf (then written BGZF-compressed).
 -h, --help               This message.
"""

_LONG = ["output=", "help", "length=", "continue", "region-file=", "fastq", "reverse-complement",
         "mark-strand=", "fai-idx=", "gzi-idx=", "write-index"]
_DEFAULT_WIDTH = 60
# samtools only says a region was truncated when its end is below this.
_INT_MAX = (1 << 31) - 1
_BGZF_SUFFIXES = (".gz", ".bgz", ".bgzf")
_ATOI = re.compile(r"[ \t\n\v\f\r]*([+-]?[0-9]+)")
# name:first-last with plain digits and a name free of ':' and '-': the text of nearly every
# region, resolved in passes over whole lists instead of line by line.
_PLAIN_REGION = "[^:\n\0{-][^:\n\0-]*:[0-9]{1,18}-[0-9]{1,18}"
_PLAIN_REGIONS = re.compile(f"(?:{_PLAIN_REGION}\n)*")
_PLAIN_ONE = re.compile(_PLAIN_REGION)


def _getopt_long(args, short, long):
    """(options, operands) as glibc's getopt_long reads `args`: options and operands in any order,
    "--" ends the options, a long option may be cut to a unique prefix. (The getopt module would
    do, but importing it costs more than the rest of a small run.)"""
    opts, operands, i = [], [], 0
    while i < len(args):
        arg, i = args[i], i + 1
        if arg == "--":
            operands.extend(args[i:])
            break
        if arg.startswith("--"):
            name, has_value, value = arg[2:].partition("=")
            found = [o for o in long if o.rstrip("=") == name] or [o for o in long if o.startswith(name)]
            if len(found) != 1:
                raise CliError(f"option '--{name}' is {'ambiguous' if found else 'unrecognized'}")
            option = found[0]
            if option.endswith("="):
                if not has_value:
                    if i == len(args):
                        raise CliError(f"option '--{option[:-1]}' requires an argument")
                    value, i = args[i], i + 1
                opts.append(("--" + option[:-1], value))
            elif has_value:
                raise CliError(f"option '--{option}' doesn't allow an argument")
            else:
                opts.append(("--" + option, ""))
        elif arg.startswith("-") and arg != "-":
            for j in range(1, len(arg)):
                k = short.find(arg[j])
                if arg[j] == ":" or k < 0:
                    raise CliError(f"invalid option -- '{arg[j]}'")
                if short[k + 1 : k + 2] != ":":
                    opts.append(("-" + arg[j], ""))
                    continue
                value = arg[j + 1 :]
                if not value:
                    if i == len(args):
                        raise CliError(f"option requires an argument -- '{arg[j]}'")
                    value, i = args[i], i + 1
                opts.append(("-" + arg[j], value))
                break
        else:
            operands.append(arg)
    return opts, operands


def _atoi(text):
    """C's atoi as glibc has it: strtol's saturated value cut to an int."""
    m = _ATOI.match(text)
    if not m:
        return 0
    value = max(-(1 << 63), min((1 << 63) - 1, int(m.group(1)))) & 0xFFFFFFFF
    return value - (1 << 32) if value >= 1 << 31 else value


def _strand_marks(kind):
    if kind == "no":
        return "", ""
    if kind == "sign":
        return "(+)", "(-)"
    if kind == "rc":
        return "", "/rc"
    if kind.startswith("custom,"):
        pos, _, neg = kind[7:].partition(",")
        return pos, neg
    raise CliError(f'unknown --mark-strand option "{kind}"')


def _resolve_all(texts, lengths, names):
    """(found, truncated): for each text, its (name, first, last) region, None for one that yields
    no bases, or, for one samtools reports missing, htslib's error about it ("" for none); and the
    positions of the regions samtools reports as truncated. Plain texts are read in whole-list
    passes; the others, and plain ones that need a closer look, go through the general rules one
    by one."""
    if not texts:
        return [], set()
    count = len(texts)
    if _PLAIN_REGIONS.fullmatch("\n".join(texts) + "\n"):
        plain, subset = range(count), texts
    else:
        plain = list(compress(range(count), map(_PLAIN_ONE.fullmatch, texts)))
        subset = list(map(texts.__getitem__, plain))
    fields = "\n".join(subset).replace(":", "\n").replace("-", "\n").split("\n") if subset else []
    seqnames, firsts, lasts = fields[0::3], list(map(int, fields[1::3])), list(map(int, fields[2::3]))
    sizes = list(map(lengths.__getitem__, seqnames))
    # As written when the name exists, the text is not itself a name and 1 <= first <= min(last, size).
    if (all(sizes) and min(firsts, default=1) >= 1 and all(map(le, firsts, lasts))
            and all(map(le, firsts, sizes)) and names.isdisjoint(subset)):
        good = None
    else:
        good = [size > 0 and 1 <= first <= last and first <= size and text not in names
                for text, size, first, last in zip(subset, sizes, firsts, lasts)]
    truncated = set()
    if not all(map(le, lasts, sizes)):
        truncated = {plain[k] for k, (last, size) in enumerate(zip(lasts, sizes))
                     if size < last < _INT_MAX and (good is None or good[k])}
        lasts = [last if last <= size else size for last, size in zip(lasts, sizes)]
    regions = list(zip(seqnames, firsts, lasts))
    if good is None and len(subset) == count:
        return regions, truncated
    found = [_resolve] * count  # a marker no result can be
    for i, region, ok in zip(plain, regions, good or repeat(True)):
        if ok:
            found[i] = region
    for i, region in enumerate(found):
        if region is _resolve:
            found[i], cut = _resolve(texts[i], lengths)
            if cut:
                truncated.add(i)
    return found, truncated


def _resolve(text, lengths):
    """(region, truncated): a (name, first, last) region, None for one that yields no bases, or
    htslib's error for one samtools reports missing; and whether samtools says it was truncated
    (the region ends past the record, below the end it takes for "to the end")."""
    found = _region.parse(text, lengths.__getitem__)
    if isinstance(found, str):
        return found, False
    name, beg, end = found
    first, last = _region.clamp(beg, end, lengths[name])
    if first >= last:
        return None, False
    return (name, first + 1, last), end < _INT_MAX and last - first != end - beg


def _read_region_file(path):
    try:
        data = read_input(path)
    except OSError as e:
        raise CliError(f'failed to open "{path}" for reading: {e.strerror}') from None
    lines = data.decode("utf-8", "surrogateescape").split("\n")
    last = lines.pop()  # what follows the final line break; a line of its own when not empty
    if any(line.endswith("\r") for line in lines):
        lines = [line[:-1] if line.endswith("\r") else line for line in lines]
    if last:
        lines.append(last)
    if b"\0" in data:
        # samtools takes each line as a C string: what follows a NUL is not seen.
        lines = [line.split("\0", 1)[0] for line in lines]
    return lines


def region_texts(region_file, regions):
    """(texts, failure): the lines of the region file (if any), then the regions given, or only the
    lines and the error that stops the command once it has written them."""
    texts = []
    if region_file is not None:
        try:
            texts = _read_region_file(region_file)
        except CliError as e:
            return texts, e
        if not texts:
            # samtools fails a region file without lines, and then skips the other regions.
            return texts, CliError(f"no regions in {region_file}")
    return texts + regions, None


def _is_bgzf_name(path):
    # samtools compresses its output when the text after the last "." is one of these.
    return path is not None and "." in path and path[path.rindex(".") :] in _BGZF_SUFFIXES


def _inputs(fasta_path, index_path, region_file):
    """(role, path) of each file the command reads."""
    inputs = _genome.inputs(fasta_path, index_path)
    if region_file is not None:
        inputs.append(("region file", STDIN if region_file == "-" else region_file))
    return inputs


def _write_atomically(path, data):
    scratch = f"{path}.{os.getpid()}.tmp"
    try:
        with open(scratch, "wb") as f:
            write_all(f, data)
        os.replace(scratch, path)
    except OSError as e:
        raise CliError(f'cannot write "{path}": {e.strerror}') from None
    finally:
        if os.path.exists(scratch):
            os.unlink(scratch)


def _build_index(fasta_path, index_path, output):
    import sekva

    target = index_path or output or fasta_path + ".fai"
    refuse_overwrite([("index", target)], [i for i in _genome.inputs(fasta_path) if i[0] != "index"])
    if index_path is None and _is_bgzf_name(output):
        raise CliError(f"-o names the index when no region is given, and {output} would hold an "
                       "uncompressed .fai; give a name without .gz, .bgz or .bgzf")
    # Built beside the target and renamed over it, so a failed build leaves the old index alone.
    scratch = f"{target}.{os.getpid()}.tmp"
    try:
        # Only the index is wanted: no name table is made. Each later record of a repeated name is
        # said as samtools says it while it builds; sekva's index keeps every record.
        _genome.in_samtools_words(lambda: sekva._build_index(fasta_path, scratch))
        os.replace(scratch, target)
    except Exception as e:
        raise CliError(f"could not build fai index {target}: {e}") from None
    finally:
        if os.path.exists(scratch):
            os.unlink(scratch)


def fasta_gzi(positional):
    return positional[0] + ".gzi" if positional else None


def run(args):
    try:
        opts, positional = _getopt_long(args, "ho:n:cr:fi", _LONG)
    except CliError as e:
        raise CliError(f"{e} (see sekva faidx --help)") from None
    output = region_file = index_path = None
    width, keep_going, reverse, write_index = _DEFAULT_WIDTH, False, False, False
    pos_mark, neg_mark = "", "/rc"
    for opt, value in opts:
        if opt in ("-h", "--help"):
            sys.stdout.write(USAGE)
            return 0
        if opt in ("-o", "--output"):
            output = value
        elif opt in ("-n", "--length"):
            width = _atoi(value)
            if width < 1:
                say(f"[faidx] bad line length '{value}', using default:{_DEFAULT_WIDTH}")
                width = _DEFAULT_WIDTH
        elif opt in ("-c", "--continue"):
            keep_going = True
        elif opt in ("-r", "--region-file"):
            region_file = value
        elif opt in ("-i", "--reverse-complement"):
            reverse = True
        elif opt == "--mark-strand":
            pos_mark, neg_mark = _strand_marks(value)
        elif opt == "--fai-idx":
            index_path = value
        elif opt == "--write-index":
            write_index = True
        elif opt in ("-f", "--fastq"):
            raise CliError("-f/--fastq: use sekva fqidx to print FASTQ")
        elif opt == "--gzi-idx":
            # The engine reads the .gzi beside the file; another one it cannot be told about.
            if value != fasta_gzi(positional):
                raise CliError("--gzi-idx: the .gzi is read from beside the FASTA file (file.fa.gz.gzi)")
    if not positional:
        sys.stdout.write(USAGE)
        return 0
    fasta_path, regions = positional[0], positional[1:]
    if not regions and region_file is None:
        _build_index(fasta_path, index_path, output)
        return 0

    inputs = _inputs(fasta_path, index_path, region_file)
    if index_path is not None:
        # An index older than the FASTA file is rebuilt, over whatever file it names.
        refuse_overwrite([("index", index_path)], [i for i in inputs if i[0] != "index"])
    compressed = _is_bgzf_name(output)
    outputs = [("output", output)]
    if write_index and output is not None:
        outputs += [("index of the output", output + ".fai")]
        if compressed:
            outputs += [("block index of the output", output + ".gzi")]
    refuse_overwrite(outputs, inputs)
    try:
        fasta = _genome.open_first_records(fasta_path, index_path, warn_duplicates=True)
    except Exception as e:
        raise CliError(f"could not load fai index of {fasta_path}: {e}") from None
    index = _OutputIndex(width) if write_index and output is not None else None
    sink = open_output(output, bgzf=compressed)
    with sink as out:
        texts, failure = region_texts(region_file, regions)
        status = _write_regions(fasta, texts, out, width, keep_going, reverse, pos_mark, neg_mark, index)
    if index is not None:
        # samtools writes the index of what it wrote even when a region stopped it.
        _write_atomically(output + ".fai", index.text())
        if compressed:
            _write_atomically(output + ".gzi", sink.stream.gzi())
    if failure is not None:
        raise failure
    return status


class _OutputIndex:
    """The .fai of the records written, line by line as samtools' --write-index has it: the
    head's text as the name, and the bases per line of the record itself (its length when it fits
    in one line)."""

    def __init__(self, width):
        self.width = width
        self.offset = 0
        self.lines = []

    def add(self, heads, regions):
        width = self.width
        for head, region in zip(heads, regions):
            self.offset += len(head.encode("utf-8", "surrogateescape")) + 1
            size = region[2] - region[1] + 1 if region else 0
            per_line = min(size, width)
            self.lines.append(f"{head[1:]}\t{size}\t{self.offset}\t{per_line}\t{per_line + 1}\n")
            self.offset += size + -(-size // width)

    def text(self):
        return "".join(self.lines).encode("utf-8", "surrogateescape")


def _report(texts, found, truncated, keep_going):
    """Says on standard error what samtools says about each region, in their order, and turns
    missing regions into None. Returns how many regions are written (samtools stops after the
    first missing one, its head written, unless told to go on) and the exit status."""
    count = len(found)
    if not truncated and set(map(type, found)) == {tuple}:
        return count, 0
    notes = sorted(truncated.union(i for i, region in enumerate(found) if type(region) is not tuple))
    lines, status = [], 0
    for i in notes:
        region, text = found[i], texts[i]
        if region is None:
            lines.append(f"[faidx] Zero length sequence: {text}")
        elif isinstance(region, str):
            if region:
                lines.append(f"[E::hts_parse_region] {region}")
            lines.append(f"[W::fai_get_val] Reference {text} not found in FASTA file, returning empty sequence")
            lines.append(f"[faidx] Failed to fetch sequence in {text}")
            found[i] = None
            if not keep_going:
                count, status = i + 1, 1
                break
        else:
            lines.append(f"[faidx] Truncated sequence: {text}")
    if lines:
        say("\n".join(lines))
    return count, status


def _write_regions(fasta, texts, out, width, keep_going, reverse, pos_mark, neg_mark, index):
    lengths = _emit.RecordLengths(fasta)
    found, truncated = _resolve_all(texts, lengths, set(fasta.keys()))
    count, status = _report(texts, found, truncated, keep_going)
    mark = neg_mark if reverse else pos_mark
    heads = list(map(add, repeat(">"), map(add, texts[:count], repeat(mark)) if mark else texts[:count]))
    if index is not None:
        # The region that stopped samtools has its head written but no line in the index.
        index.add(heads[: count - status], found[: count - status])
    for i in range(0, count, _emit.CHUNK):
        j = min(i + _emit.CHUNK, count)
        write_all(out, _emit.record_text(fasta, found[i:j], heads[i:j], "\n", width, reverse, _emit.TABLE))
    return status
