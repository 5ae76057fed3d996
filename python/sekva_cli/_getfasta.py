"""`sekva getfasta`: the sequences of the intervals of a BED file, as `bedtools getfasta` prints them."""
import re
import sys
from itertools import compress, repeat
from operator import add, eq

from sekva_cli import STDIN, CliError, PeerError, open_output, read_input, refuse_overwrite, say, write_all
from sekva_cli import _emit, _genome

USAGE = """\
Usage: sekva getfasta [OPTIONS] -fi <fasta> -bed <bed>

Options:
	-fi		Input FASTA file
	-fo		Output file (opt., default is STDOUT
	-bed		BED file of ranges to extract from -fi ("-" or "stdin": standard input)
	-name		Use the name field and coordinates for the FASTA header
	-name+		(deprecated) Use the name field and coordinates for the FASTA header
	-nameOnly	Use the name field for the FASTA header
	-tab		Write output in TAB delimited format.
	-bedOut		Report extract sequences in a tab-delimited BED format instead of in FASTA format.
	-s		Force strandedness. If the feature occupies the antisense,
			strand, the sequence will be reverse complemented.
	-rna		The FASTA is RNA not DNA. Reverse complementation handled accordingly.
	-split		Given BED12 fmt., extract and concatenate the sequences
			from the BED "blocks" (e.g., exons)
	-fullHeader	Use full fasta header. By default, only the word before the first space or tab is used.
"""

_FLAGS = {"-name": "name", "-name+": "name", "-nameOnly": "name_only", "-tab": "tab", "-bedOut": "bed_out",
          "-s": "strand", "-rna": "rna", "-split": "split", "-fullHeader": "full_header"}
_HEADER_PREFIXES = ("#", "browser", "track")
_STOLL = re.compile(r"[ \t\n\v\f\r]*([+-]?[0-9]+)")
_PLAIN_LINES = {}


def _plain_lines(columns):
    """Lines of `columns` non-empty tab-separated fields with start and end in canonical digits,
    none of them a comment: what nearly every BED file holds, readable in a few whole-text passes."""
    pattern = _PLAIN_LINES.get(columns)
    if pattern is None:
        number = "(?:0|[1-9][0-9]{0,17})"
        line = rf"(?![#\n]|browser|track)[^\t\n]+\t{number}\t{number}(?:\t[^\t\n]+){{{columns - 3}}}\n"
        pattern = _PLAIN_LINES[columns] = re.compile(f"(?:{line})*")
    return pattern


class _Options:
    name = name_only = tab = bed_out = strand = rna = split = full_header = False
    fasta = bed = None
    output = "stdout"


def _parse_args(args):
    # bedtools matches each argument whole; a value-taking option at the end is ignored.
    opts = _Options()
    if any(a in ("-h", "--help") for a in args):
        return None
    i = 0
    while i < len(args):
        arg = args[i]
        if arg in ("-fi", "-bed", "-fo"):
            if i + 1 < len(args):
                setattr(opts, {"-fi": "fasta", "-bed": "bed", "-fo": "output"}[arg], args[i + 1])
                i += 1
        elif arg in _FLAGS:
            setattr(opts, _FLAGS[arg], True)
        else:
            raise CliError(f"unrecognized parameter: {arg} (see sekva getfasta --help)")
        i += 1
    if opts.fasta is None or opts.bed is None:
        raise CliError("both -fi <fasta> and -bed <bed> are required (see sekva getfasta --help)")
    if opts.bed_out:
        opts.tab = True
    return opts


def _stoll(text, line_number):
    """C++ std::stoll: leading blanks, a sign, digits, and whatever follows ignored."""
    m = _STOLL.match(text)
    if not m or not -(1 << 63) <= int(m.group(1)) < 1 << 63:
        raise CliError(f'line {line_number}: "{text}" is not a number')
    return int(m.group(1))


def _is_integer(text):
    return all(c in "0123456789" for c in text)


class _Bed:
    """The intervals of a BED file, read as bedtools reads them: comment, track and browser lines
    and blank lines skipped, the field count fixed by the first interval, 0-based half-open."""

    def __init__(self):
        self.chroms, self.starts, self.ends = [], [], []
        self.names, self.scores, self.strands = [], [], []
        self.others = []  # the fields past the sixth of each interval, each followed by a tab
        self.start_texts = self.end_texts = None  # the numbers as written, where they are canonical
        self.columns = 0
        self.error = None  # what stopped the reading; the intervals before it still count
        self.numbers = None  # the line number of each interval, where the lines were read one by one
        self.first = 0  # lines skipped before the first interval, where they were read in one pass

    def read(self, text):
        lines = text.split("\n")
        if lines[-1] == "":
            lines.pop()
        first = 0
        while first < len(lines) and lines[first].startswith(_HEADER_PREFIXES):
            first += 1
        self.first = first
        if not self._read_simple(lines[first:] if first else lines):
            self.numbers = []
            for number, line in enumerate(lines[first:], first + 1):
                try:
                    self._read_line(line, number)
                except CliError as e:
                    self.error = e
                    break
        return self

    def _read_simple(self, lines):
        """Reads plain lines (see _plain_lines) with start below end in a few passes over the whole
        text; False leaves them to the line-by-line reading."""
        columns = lines[0].count("\t") + 1 if lines else 0
        if not 3 <= columns <= 64:
            return False
        joined = "\n".join(lines) + "\n"
        if "\r" in joined or not _plain_lines(columns).fullmatch(joined):
            return False
        fields = joined[:-1].replace("\t", "\n").split("\n")
        starts, ends = list(map(int, fields[1::columns])), list(map(int, fields[2::columns]))
        if not all(map(int.__lt__, starts, ends)):
            return False
        self.columns = columns
        self.chroms, self.starts, self.ends = fields[0::columns], starts, ends
        self.start_texts, self.end_texts = fields[1::columns], fields[2::columns]
        self.names, self.scores, self.strands = (fields[c::columns] if c < columns else None for c in (3, 4, 5))
        self.others = None
        if columns > 6:
            rest = zip(*(fields[c::columns] for c in range(6, columns)))
            self.others = list(map(add, map("\t".join, rest), repeat("\t")))
        return True

    def _read_line(self, line, number):
        if line.endswith("\r"):
            line = line[:-1]
        fields = line.split("\t")
        if fields[-1] == "":
            fields.pop()
        count = len(fields)
        if count == 0 or fields[0].startswith(_HEADER_PREFIXES):
            return
        if count < 3:
            raise CliError(f"line {number} has fewer than 3 tab-separated columns")
        if not self.columns:
            if not (_is_integer(fields[1]) and _is_integer(fields[2])):
                raise CliError(f"line {number}: not a BED line (non-integer start or end)")
            self.columns = count
        elif count != self.columns:
            raise CliError(f"line {number} has {count} fields where earlier lines have {self.columns}")
        start, end = _stoll(fields[1], number), _stoll(fields[2], number)
        if start < 0 or end < 0:
            raise CliError(f"line {number}: coordinate below 0")
        if start > end:
            raise CliError(f"line {number}: start is greater than end")
        self.numbers.append(number)
        self.chroms.append(fields[0])
        self.starts.append(start)
        self.ends.append(end)
        self.names.append(fields[3] if count > 3 else "")
        self.scores.append(fields[4] if count > 4 else "")
        self.strands.append(fields[5] if count > 5 else "")
        self.others.append("".join(f + "\t" for f in fields[6:]))

    def number(self, i):
        """The line number of interval i."""
        return self.numbers[i] if self.numbers is not None else self.first + i + 1

    def column(self, values):
        return [""] * len(self.chroms) if values is None else values


def _block_list(text, number):
    """A blockSizes or blockStarts field as bedtools splits it: at commas, empty items dropped."""
    return [_stoll(item, number) for item in text.split(",") if item]


def _split_blocks(fasta, bed):
    """(blocks, stop): for each interval, the (first, last) 1-based blocks of a BED12 line in
    their order, or None for a line read whole (fewer than twelve fields); and the error that
    stops the output at the first interval whose blocks are wrong (None: none is), raised once
    the intervals before it are written, as bedtools stops there."""
    if bed.columns < 12:
        return [None] * len(bed.chroms), None
    sizes_of = _emit.RecordLengths(fasta)
    blocks = []
    for i, rest in enumerate(bed.others):
        number = bed.number(i)
        fields = rest.split("\t")
        try:
            count = _stoll(fields[3], number)
            sizes, starts = _block_list(fields[4], number), _block_list(fields[5], number)
        except CliError as e:
            return blocks, e
        if count <= 0:
            return blocks, PeerError("Input error: found interval having <= 0 blocks.")
        if len(sizes) != count or len(starts) != count:
            return blocks, PeerError("Input error: found interval with block-counts not matching starts/sizes on line.")
        chrom, start, end = bed.chroms[i], bed.starts[i], bed.ends[i]
        size = sizes_of[chrom]
        line = []
        if size and start < end <= size:  # an interval bedtools extracts, not one it skips
            for k, (length, offset) in enumerate(zip(sizes, starts), 1):
                first = start + offset
                if length < 1 or first < 0:
                    return blocks, PeerError("Error: cannot construct subsequence with negative offset or length < 1")
                if first + length > size:
                    return blocks, CliError(f"line {number}: block {k} ({first}-{first + length}) reaches past the "
                                            f"end of {chrom} ({size} bp)")
                line.append((chrom, first + 1, first + length))
        blocks.append(line)
    return blocks, None


def _spliced_text(fasta, blocks, heads, sep, minus, table):
    """Records whose bases are the join of their blocks, reverse-complemented as a whole."""
    flat = [b for line in blocks for b in line]
    pieces = iter(_emit.fetch_texts(fasta, flat))
    seqs = ["".join(next(pieces) for _ in line) for line in blocks]
    if minus:
        flip = [i for i, m in enumerate(minus) if m]
        translate = _emit.COMPLEMENT_RNA if table == _emit.TABLE_RNA else _emit.COMPLEMENT
        for i, text in zip(flip, _emit.reverse_complements([seqs[i] for i in flip], translate)):
            seqs[i] = text
    return "".join(head + sep + seq + "\n" for head, seq in zip(heads, seqs)).encode("utf-8", "surrogateescape")


def _select(fasta, bed):
    """(regions, keep): the 1-based region of each interval bedtools extracts, and which intervals
    those are (None: all); the others get the line bedtools prints when it skips one."""
    sizes = list(map(_emit.RecordLengths(fasta).__getitem__, bed.chroms))
    if all(sizes) and all(map(int.__le__, bed.ends, sizes)) and all(map(int.__lt__, bed.starts, bed.ends)):
        return list(zip(bed.chroms, map(add, bed.starts, repeat(1)), bed.ends)), None
    regions, keep, lines = [], [], []
    for chrom, start, end, size in zip(bed.chroms, bed.starts, bed.ends, sizes):
        if start == end:
            lines.append(f"Feature ({chrom}:{start}-{end}) has length = 0, Skipping.")
        elif not size:
            lines.append(f"WARNING. chromosome ({chrom}) was not found in the FASTA file. Skipping.")
        elif start > size or end > size:
            lines.append(f"Feature ({chrom}:{start}-{end}) beyond the length of {chrom} size ({size} bp).  Skipping.")
        else:
            regions.append((chrom, start + 1, end))
            keep.append(True)
            continue
        keep.append(False)
    if lines:
        say("\n".join(lines))  # bedtools' words, as its own tests compare them
    return regions, keep


def _record_layout(bed, opts):
    """The pattern of one output record and the columns that fill it (see _emit.interleave);
    the bases go in the last slot."""
    if opts.name:
        head, columns = [None, "::", None, ":", None, "-", None], [bed.column(bed.names), bed.chroms, "starts", "ends"]
    elif opts.name_only:
        head, columns = [None], [bed.column(bed.names)]
    else:
        head, columns = [None, ":", None, "-", None], [bed.chroms, "starts", "ends"]
    if opts.strand:
        head, columns = head + ["(", None, ")"], columns + [bed.column(bed.strands)]
    if opts.tab:
        return head + ["\t", None, "\n"], columns
    return [">"] + head + ["\n", None, "\n"], columns


def _bed_out_layout(bed):
    """-bedOut: the first fields of the interval (six at most, then every further one), each
    followed by a tab, then the bases."""
    shown = ["chroms", "starts", "ends", "names", "scores", "strands"][: min(bed.columns, 6)]
    columns = [bed.chroms, "starts", "ends"] + [bed.column(getattr(bed, c)) for c in shown[3:]]
    pattern = [None, "\t"] * len(columns)
    if bed.columns > 6:
        pattern, columns = pattern + [None], columns + [bed.others]
    return pattern, columns


def _write(fasta, bed, opts, out):
    """Writes the records of the intervals read; returns the error that stopped them early, if any."""
    stop = None
    if opts.split:
        blocks, stop = _split_blocks(fasta, bed)
        if stop is not None:
            bed = _compressed(bed, [True] * len(blocks) + [False] * (len(bed.chroms) - len(blocks)))
    regions, keep = _select(fasta, bed)
    if opts.split:
        # The intervals _select keeps are those whose blocks were read; a line read whole is its
        # own one block.
        kept = blocks if keep is None else list(compress(blocks, keep))
        spliced = [line if line is not None else [r] for line, r in zip(kept, regions)]
    if keep is not None:
        bed = _compressed(bed, keep)
    numbers = {"starts": bed.start_texts or list(map(str, bed.starts)), "ends": bed.end_texts or list(map(str, bed.ends))}
    if opts.bed_out:
        pattern, columns = _bed_out_layout(bed)
    else:
        pattern, columns = _record_layout(bed, opts)
    columns = [numbers[c] if isinstance(c, str) else c for c in columns]
    split_bed_out = opts.bed_out and out is not sys.stdout.buffer
    strands = bed.strands if opts.strand and bed.strands is not None else None
    # A record is its head, a separator, then the bases on one line.
    if opts.bed_out:
        head, sep = pattern, ""
    else:
        head, sep = pattern[:-3], pattern[-3]
    table = _emit.TABLE_RNA if opts.rna else _emit.TABLE
    for i in range(0, len(regions), _emit.CHUNK):
        j = i + _emit.CHUNK
        minus = list(map(eq, strands[i:j], repeat("-"))) if strands is not None else None
        chunk = [column[i:j] for column in columns]
        def text(heads, sep):
            if opts.split:
                return _spliced_text(fasta, spliced[i:j], heads, sep, minus, table)
            return _emit.record_text(fasta, regions[i:j], heads, sep, 0, minus, table)

        if split_bed_out:
            # bedtools prints the interval fields to standard output and only the bases to -fo.
            write_all(sys.stdout.buffer, _emit.interleave(pattern, chunk).encode("utf-8", "surrogateescape"))
            write_all(out, text([""] * len(chunk[0]), ""))
        else:
            write_all(out, text(_emit.split_records(head, chunk), sep))
    return stop


def _write_whole(fasta, data, opts, out):
    """Writes the records of a BED text that the engine takes whole (plain lines, every interval
    extractable: what nearly every BED file holds) and says whether it did. When it did not,
    nothing was written, and the reading line by line, with bedtools' warnings and errors, follows."""
    if opts.bed_out and out is not sys.stdout.buffer:
        return False
    if opts.bed_out:
        head, sep = "{line}\t", ""
    else:
        head = ">{name}::{chrom}:{start}-{end}" if opts.name else ">{name}" if opts.name_only else ">{chrom}:{start}-{end}"
        if opts.strand:
            head += "({strand})"
        head, sep = (head[1:], "\t") if opts.tab else (head, "\n")
    try:
        out.fileno()
        target = out
    except (OSError, ValueError):
        target = None  # a stream without a descriptor gets the bytes
    try:
        text = fasta.fetch_bed(data, head=head, sep=sep, stranded=opts.strand,
                               table=_emit.TABLE_RNA if opts.rna else _emit.TABLE, out=target, split=opts.split)
    except ValueError:
        return False
    if text is not None:
        write_all(out, text)
    return True


def _compressed(bed, keep):
    kept = _Bed()
    kept.columns = bed.columns
    for field in ("chroms", "starts", "ends", "names", "scores", "strands", "others", "start_texts", "end_texts"):
        values = getattr(bed, field)
        setattr(kept, field, None if values is None else list(compress(values, keep)))
    return kept


def run(args):
    opts = _parse_args(args)
    if opts is None:
        sys.stdout.write(USAGE)
        return 0
    output = None if opts.output in ("stdout", "-") else opts.output
    inputs = _genome.inputs(opts.fasta) + [("BED file", STDIN if opts.bed in ("-", "stdin") else opts.bed)]
    refuse_overwrite([("output", output)], inputs)
    # bedtools opens the output first, then the FASTA file, then the BED file.
    with open_output(output) as out:
        try:
            # bedtools says so before it builds the index; a repeated name gives its first record.
            fasta = _genome.open_first_records(opts.fasta, missing_note=f"index file {opts.fasta}.fai not found, generating...",
                                               long_names=opts.full_header)
        except Exception as e:
            raise CliError(f"the FASTA file ({opts.fasta}) could not be opened: {e}") from None
        try:
            data = read_input("-" if opts.bed == "stdin" else opts.bed)
        except OSError as e:
            raise CliError(f"the BED file ({opts.bed}) could not be opened: {e.strerror}") from None
        if data[:1] == b"\x1f":
            import gzip

            data = gzip.decompress(data)
        if _write_whole(fasta, data, opts, out):
            return 0
        bed = _Bed().read(data.decode("utf-8", "surrogateescape"))
        stop = _write(fasta, bed, opts, out)
    if stop is not None:
        raise stop
    if bed.error is not None:
        raise bed.error
    return 0
