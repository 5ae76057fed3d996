"""Training data for sequence models from a sekva genome: a VCF reader for fetch_variants, random
genome windows and labelled intervals, usable as PyTorch datasets (torch is never imported here),
and the exons, CDS and proteins of the transcripts of an annotation."""
from ._common import register_iterable
from ._intervals import IntervalDataset
from ._vcf import read_vcf
from ._transcripts import Transcript, read_transcripts, transcript_sequences
from ._windows import GenomeWindows

__all__ = ["GenomeWindows", "IntervalDataset", "Transcript", "read_transcripts", "read_vcf", "transcript_sequences"]

# Where torch is loaded before this module, DataLoader sees GenomeWindows as an iterable dataset
# right away; otherwise each GenomeWindows made after torch is loaded registers its class.
register_iterable(GenomeWindows)
