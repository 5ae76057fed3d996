"""Fans the regions of a BED file out over a local Dask cluster: each task gets a pickled Fasta
and a chunk of regions, calls fetch_many in its worker process, and the sequences come back in
input order.

    python examples/dask_regions.py genome.fa regions.bed [--chunk 50000] [--workers 2] [--rc]

Prints one sequence per line. BED starts are 0-based, so each start gets + 1; with --rc, regions
on the minus strand (column 6 is "-") are reverse-complemented.
"""
import argparse
import sys

from dask.distributed import Client, LocalCluster

from sekva import Fasta


def read_bed(path):
    regions, minus = [], []
    with open(path) as bed:
        for line in bed:
            if not line.strip() or line.startswith(("#", "track", "browser")):
                continue
            fields = line.rstrip("\n").split("\t")
            regions.append((fields[0], int(fields[1]) + 1, int(fields[2])))
            minus.append(len(fields) > 5 and fields[5] == "-")
    return regions, minus


def fetch_chunk(fasta, regions, minus):
    """Runs in a worker process: the Fasta arrived pickled and opened the file there."""
    return [(-s if m else s).seq for s, m in zip(fasta.fetch_many(regions), minus)]


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("fasta")
    parser.add_argument("bed")
    parser.add_argument("--chunk", type=int, default=50_000, help="regions per task")
    parser.add_argument("--workers", type=int, default=2, help="worker processes")
    parser.add_argument("--rc", action="store_true", help="reverse-complement minus-strand regions")
    args = parser.parse_args(argv)

    regions, minus = read_bed(args.bed)
    if not args.rc:
        minus = [False] * len(regions)
    fasta = Fasta(args.fasta)  # builds the index once, here, before the workers open it
    cluster = LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True,
                           host="127.0.0.1", dashboard_address=None)
    with cluster, Client(cluster) as client:
        remote = client.scatter(fasta, broadcast=True)  # a few hundred bytes: the path and options
        futures = [client.submit(fetch_chunk, remote, regions[i : i + args.chunk], minus[i : i + args.chunk])
                   for i in range(0, len(regions), args.chunk)]
        out = sys.stdout
        for chunk in client.gather(futures):  # in submission order, so in input order
            out.write("\n".join(chunk))
            if chunk:
                out.write("\n")


if __name__ == "__main__":
    main()
