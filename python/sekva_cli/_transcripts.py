"""`sekva transcripts`: spliced exons, CDS and proteins of the transcripts of a GTF/GFF3 file, as
`gffread -w/-x/-y` writes them."""
import sys

import sekva

from sekva_cli import CliError, PeerError, open_output, refuse_overwrite, say
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


def _say(line):
    say(line.decode("utf-8", "surrogateescape"))


def _stopped(chrom, size, tid, start, end):
    """The error where the genome cannot give a transcript, as gffread words it."""
    if size is None:
        return PeerError(f"Warning: couldn't find fasta record for '{chrom}'!\n"
                         "Error: no genomic sequence available (check -g option!).")
    return PeerError(f"Error (GFaSeqGet): subsequence cannot be larger than {size}\n"
                     f"Error getting subseq for {tid} ({start}..{end})!")


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
        text = _annotation.read_text(opts.annotation)
    except OSError as e:
        raise CliError(f"the annotation ({opts.annotation}) could not be read: {e.strerror or e}") from None
    try:
        annotation = sekva._read_annotation(text)
    except ValueError as e:
        raise CliError(f"{opts.annotation}: {e}") from None
    try:
        fasta = _genome.open_first_records(opts.genome)
    except Exception as e:
        raise CliError(f"the FASTA file ({opts.genome}) could not be opened: {e}") from None
    streams = {}
    try:
        for kind, path in outputs.items():
            streams[kind] = open_output(path)
        outs = {kind: s.__enter__() for kind, s in streams.items()}
        stopped = sekva._write_transcripts(fasta, annotation, projected=opts.projected,
                                           stop="*" if opts.star else ".", warn=_say, **outs)
    finally:
        for s in streams.values():
            s.__exit__(None)
    if stopped is not None:
        raise _stopped(*stopped)
    return 0
