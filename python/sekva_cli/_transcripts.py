"""`sekva transcripts`: spliced exons, CDS and proteins of the transcripts of a GTF/GFF3 file, as
`gffread -w/-x/-y` writes them."""
import sys

import sekva

from sekva_cli import CliError, PeerError, open_output, refuse_overwrite, say, write_all
from sekva_cli import _annotation, _genome

USAGE = """\
Usage: sekva transcripts -g <genome.fa> [-w <exons.fa>] [-x <cds.fa>] [-y <proteins.fa>] [-W] [-S] <annotation>

The annotation is a GTF or GFF3 file, plain or gzipped.

Options:
 -g   the FASTA file of the genome (plain or BGZF; indexed where it has no .fai)
 -w   write a FASTA file with the spliced exons of each transcript
 -x   write a FASTA file with the spliced CDS of each transcript
 -y   write a FASTA file with the translation of the CDS of each transcript
 -W   for -w, -x and -y, write the exon coordinates projected onto the spliced sequence in the header
 -S   for -y, use '*' instead of '.' for stop codons
"""

# gffread's line width for the sequences it writes.
WIDTH = 70
# Transcripts per engine call: bounds the text in flight and keeps each batch on the worker pool.
CHUNK = 8192
_SHORTEST_CDS = 4  # gffread warns about a CDS shorter than this


class _Options:
    genome = exons = cds = proteins = annotation = None
    projected = star = False


def _parse_args(args):
    if any(a in ("-h", "--help") for a in args):
        return None
    opts = _Options()
    files = {"-g": "genome", "-w": "exons", "-x": "cds", "-y": "proteins"}
    i = 0
    while i < len(args):
        arg = args[i]
        if arg in files:
            if i + 1 == len(args):
                raise CliError(f"option {arg} needs a file name")
            setattr(opts, files[arg], args[i + 1])
            i += 1
        elif arg == "-W":
            opts.projected = True
        elif arg == "-S":
            opts.star = True
        elif arg.startswith("-") and arg != "-":
            raise CliError(f"unrecognized option: {arg} (see sekva transcripts --help)")
        elif opts.annotation is None:
            opts.annotation = arg
        else:
            raise CliError(f"one annotation file only: {opts.annotation} and {arg} given")
        i += 1
    if opts.genome is None:
        raise CliError("-g <genome.fa> is required (see sekva transcripts --help)")
    if opts.annotation is None:
        raise CliError("an annotation file (GTF or GFF3) is required (see sekva transcripts --help)")
    return opts


def _span_text(spans):
    return ",".join(f"{first}-{last}" for first, last in spans)


def _exon_head(t, projected):
    head = t.id
    if t.cds:
        # Where the phase puts the first coding base (0: in no exon), to the last coding base.
        last = t.cds[-1][1] if t.strand != "-" else t.cds[0][0]
        head += f" CDS={t.transcript_offset(t.coding_start())}-{t.transcript_offset(last)}"
    if projected:
        head += (f" loc:{t.chrom}|{t.start}-{t.end}|{t.strand} exons:{_span_text(t.exons)}"
                 f" segs:{_annotation.segments(t.in_transcript_order(t.exons))}")
    return head


def _coding_head(t, coding, projected):
    if not projected:
        return t.id
    segs = _annotation.segments(t.in_transcript_order(coding))
    return f"{t.id} loc:{t.chrom}({t.strand}){t.start}-{t.end} segs:{segs}"


def _bed12(chrom, strand, name, spans):
    """A BED12 line whose blocks are `spans` (1-based, ascending)."""
    start, end = spans[0][0] - 1, spans[-1][1]
    sizes = ",".join(str(last - first + 1) for first, last in spans)
    starts = ",".join(str(first - 1 - start) for first, _ in spans)
    return f"{chrom}\t{start}\t{end}\t{name}\t0\t{strand}\t{start}\t{end}\t0\t{len(spans)}\t{sizes}\t{starts}\n"


def _records(fasta, lines, width, head=">{name}", sep="\n"):
    if not lines:
        return b""
    return fasta.fetch_bed("".join(lines).encode("utf-8", "surrogateescape"), head=head, sep=sep, width=width,
                           stranded=True, split=True)


def _stop(transcripts, lengths):
    """(how many transcripts precede the first that the genome cannot give, the error for it)."""
    for i, t in enumerate(transcripts):
        size = lengths.get(t.chrom)
        if size is None:
            return i, PeerError(f"Warning: couldn't find fasta record for '{t.chrom}'!\n"
                                "Error: no genomic sequence available (check -g option!).")
        if t.end > size:
            return i, PeerError(f"Error (GFaSeqGet): subsequence cannot be larger than {size}\n"
                                f"Error getting subseq for {t.id} ({t.start}..{t.end})!")
    return len(transcripts), None


def _proteins(fasta, coding, heads, stop):
    """FASTA text of the translated CDS: a trailing stop left out, as gffread does, and a
    transcript whose protein is then empty left out too."""
    text = _records(fasta, coding, 0, head="", sep="")
    out = []
    make = sekva.Sequence
    for head, bases in zip(heads, text.decode("ascii", "replace").split("\n")):
        protein = make("", bases).translate(stop=stop).seq
        if protein.endswith(stop):
            protein = protein[:-1]
        if protein:
            out.append(f">{head}\n")
            out.extend(protein[k : k + WIDTH] + "\n" for k in range(0, len(protein), WIDTH))
    return "".join(out).encode("utf-8", "surrogateescape")


def _write(fasta, transcripts, opts, outs):
    stop = "*" if opts.star else "."
    for i in range(0, len(transcripts), CHUNK):
        chunk = transcripts[i : i + CHUNK]
        coding = [t.coding_parts() if t.cds else [] for t in chunk]
        for t, parts in zip(chunk, coding):
            # gffread checks a CDS of one part, where it writes the CDS or its translation, and
            # names what the phase leaves of it (the part as given where nothing is left).
            coding_out = "cds" in outs or "proteins" in outs
            if coding_out and len(t.cds) == 1 and _annotation.spliced_length(parts) < _SHORTEST_CDS:
                first, last = parts[0] if parts else t.cds[0]
                say(f"Warning: CDS {first}-{last} too short for {t.id}, check your data.")
        if "exons" in outs:
            lines = [_bed12(t.chrom, t.strand, _exon_head(t, opts.projected), t.exons) for t in chunk]
            write_all(outs["exons"], _records(fasta, lines, WIDTH))
        if "cds" in outs or "proteins" in outs:
            heads = [_coding_head(t, parts, opts.projected) for t, parts in zip(chunk, coding) if parts]
            lines = [_bed12(t.chrom, t.strand, head, parts)
                     for head, (t, parts) in zip(heads, ((t, p) for t, p in zip(chunk, coding) if p))]
            if "cds" in outs:
                write_all(outs["cds"], _records(fasta, lines, WIDTH))
            if "proteins" in outs:
                write_all(outs["proteins"], _proteins(fasta, lines, heads, stop))


def run(args):
    opts = _parse_args(args)
    if opts is None:
        sys.stdout.write(USAGE)
        return 0
    outputs = {"exons": opts.exons, "cds": opts.cds, "proteins": opts.proteins}
    outputs = {kind: path for kind, path in outputs.items() if path is not None}
    refuse_overwrite([("output", p) for p in outputs.values()],
                     _genome.inputs(opts.genome) + [("annotation", opts.annotation)])
    try:
        transcripts = _annotation.read_transcripts(opts.annotation)
    except OSError as e:
        raise CliError(f"the annotation ({opts.annotation}) could not be read: {e.strerror or e}") from None
    except _annotation.AnnotationError as e:
        raise CliError(f"{opts.annotation}: {e}") from None
    try:
        fasta = _genome.open_first_records(opts.genome)
    except Exception as e:
        raise CliError(f"the FASTA file ({opts.genome}) could not be opened: {e}") from None
    lengths = dict(zip(fasta.references, fasta.lengths))
    count, error = _stop(transcripts, lengths)
    streams = {}
    try:
        for kind, path in outputs.items():
            streams[kind] = open_output(path)
        outs = {kind: s.__enter__() for kind, s in streams.items()}
        _write(fasta, transcripts[:count], opts, outs)
    finally:
        for s in streams.values():
            s.__exit__(None)
    if error is not None:
        raise error
    return 0
