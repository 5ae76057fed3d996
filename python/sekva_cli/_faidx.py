"""`sekva faidx`: index a FASTA file or print regions of it, as `samtools faidx` does."""
import os
import re
import sys
from itertools import compress, repeat
from operator import add, le

from sekva_cli import CliError, open_output, read_input, warn
from sekva_cli import _emit, _region

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
 -h, --help               This message.
"""

_LONG = ["output=", "help", "length=", "continue", "region-file=", "fastq", "reverse-complement",
         "mark-strand=", "fai-idx=", "gzi-idx="]
_DEFAULT_WIDTH = 60
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
    """For each text, its (name, first, last) region, None for one that yields no bases, or the
    reason samtools reports it missing. Plain texts are read in whole-list passes; the others, and
    plain ones that need a closer look, go through the general rules one by one."""
    if not texts:
        return []
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
    if not all(map(le, lasts, sizes)):
        lasts = [last if last <= size else size for last, size in zip(lasts, sizes)]
    regions = list(zip(seqnames, firsts, lasts))
    if good is None and len(subset) == count:
        return regions
    found = [_resolve] * count  # a marker no result can be
    for i, region, ok in zip(plain, regions, good or repeat(True)):
        if ok:
            found[i] = region
    return [_resolve(text, lengths) if region is _resolve else region for text, region in zip(texts, found)]


def _resolve(text, lengths):
    """A (name, first, last) region, None for one that yields no bases, or the reason samtools
    reports it missing."""
    found = _region.parse(text, lengths.__getitem__)
    if isinstance(found, str):
        return found
    name, beg, end = found
    beg, end = _region.clamp(beg, end, lengths[name])
    return (name, beg + 1, end) if beg < end else None


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
    return lines


def _build_index(fasta_path, index_path):
    import sekva

    target = index_path or fasta_path + ".fai"
    # Built beside the target and renamed over it, so a failed build leaves the old index alone.
    scratch = f"{target}.{os.getpid()}.tmp"
    try:
        sekva.Fasta(fasta_path, indexname=scratch)
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
    width, keep_going, reverse = _DEFAULT_WIDTH, False, False
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
                warn(f"bad line length '{value}', using default:{_DEFAULT_WIDTH}")
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
        elif opt in ("-f", "--fastq"):
            raise CliError("FASTQ files are not supported")
        elif opt == "--gzi-idx":
            # The engine reads the .gzi beside the file; another one it cannot be told about.
            if value != fasta_gzi(positional):
                raise CliError("--gzi-idx: the .gzi is read from beside the FASTA file (file.fa.gz.gzi)")
    if not positional:
        sys.stdout.write(USAGE)
        return 0
    fasta_path, regions = positional[0], positional[1:]
    if not regions and region_file is None:
        _build_index(fasta_path, index_path or output)
        return 0

    import sekva

    try:
        fasta = sekva.Fasta(fasta_path, indexname=index_path)
    except Exception as e:
        raise CliError(f"could not load fai index of {fasta_path}: {e}") from None
    if output is not None and output == fasta_path:
        raise CliError(f"same input/output: {output}")
    with open_output(output) as out:
        texts, failure = [], None
        if region_file is not None:
            try:
                texts = _read_region_file(region_file)
            except CliError as e:
                failure = e
            else:
                if not texts:
                    # samtools fails a region file without lines, and then skips the other regions.
                    failure = CliError(f"no regions in {region_file}")
        if failure is None:
            texts += regions
        status = _write_regions(fasta, texts, out, width, keep_going, reverse, pos_mark, neg_mark)
    if failure is not None:
        raise failure
    return status


def _write_regions(fasta, texts, out, width, keep_going, reverse, pos_mark, neg_mark):
    lengths = _emit.RecordLengths(fasta)
    found = _resolve_all(texts, lengths, set(fasta.keys()))
    status = 0
    if str in set(map(type, found)):
        for i, region in enumerate(found):
            if isinstance(region, str):
                warn(f"failed to fetch {texts[i]}: {region}")
                found[i] = None
                if not keep_going:
                    texts, found, status = texts[: i + 1], found[: i + 1], 1
                    break
    mark = neg_mark if reverse else pos_mark
    heads = list(map(add, repeat(">"), map(add, texts, repeat(mark)) if mark else texts))
    for i in range(0, len(found), _emit.CHUNK):
        j = i + _emit.CHUNK
        out.write(_emit.record_text(fasta, found[i:j], heads[i:j], "\n", width, reverse, _emit.TABLE))
    return status
