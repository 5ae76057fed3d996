"""Training data for sequence models from a sekva genome: a VCF reader for fetch_variants, random
genome windows and labelled intervals, usable as PyTorch datasets (torch is never imported here)."""
from ._common import register_iterable
from ._intervals import IntervalDataset
from ._vcf import read_vcf
from ._windows import GenomeWindows

__all__ = ["GenomeWindows", "IntervalDataset", "read_vcf"]

# Where torch is loaded before this module, DataLoader sees GenomeWindows as an iterable dataset
# right away; otherwise each GenomeWindows made after torch is loaded registers its class.
register_iterable(GenomeWindows)
