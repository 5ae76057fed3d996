"""The benchmark genome read over HTTP from nginx on loopback, directly (0 ms) and through a relay that
adds 20 ms to every request: requests, bytes and time for sekva, pysam and samtools on the same URLs,
with the same bases checked. nginx's own log counts what every client asked for and was sent.
    python bench/bench_remote.py [--quick]
"""
import asyncio
import os
import random
import shutil
import subprocess
import sys
import tempfile
import time

from common import command_line, optional_peer
import genome

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests"))
from remote_servers import NGINX, Nginx, free_port, read_fai, spanned_bytes  # noqa: E402

from sekva import Faidx  # noqa: E402

pysam = optional_peer("pysam")


# ---- A relay that delays every request ----

def relay_main(listen_port, upstream_port, delay_ms):
    """Forwards TCP connections to the upstream port; each chunk the client sends (a request) waits
    `delay_ms` first, as a distant store would make it wait. Answers stream back at once."""
    delay = delay_ms / 1000

    async def pipe(reader, writer, wait):
        try:
            while chunk := await reader.read(1 << 16):
                if wait:
                    await asyncio.sleep(delay)
                writer.write(chunk)
                await writer.drain()
        except ConnectionError:
            pass
        finally:
            writer.close()

    async def client(reader, writer):
        up_reader, up_writer = await asyncio.open_connection("127.0.0.1", upstream_port)
        await asyncio.gather(pipe(reader, up_writer, True), pipe(up_reader, writer, False))

    async def main():
        server = await asyncio.start_server(client, "127.0.0.1", listen_port)
        print("ready", flush=True)
        async with server:
            await server.serve_forever()

    asyncio.run(main())


class Relay:
    def __init__(self, upstream_port, delay_ms):
        self.port = free_port()
        self.process = subprocess.Popen([sys.executable, __file__, "relay", str(self.port), str(upstream_port),
                                         str(delay_ms)], stdout=subprocess.PIPE, text=True)
        self.process.stdout.readline()

    def url(self, name):
        return f"http://127.0.0.1:{self.port}/{name}"

    def stop(self):
        self.process.terminate()
        self.process.wait(10)
        self.process.stdout.close()


# ---- What nginx sent ----

class Counted:
    """Requests and body bytes nginx logged since the last reset."""

    def __init__(self, log):
        self.log = log

    def reset(self):
        time.sleep(0.05)  # nginx writes a line once the answer is sent
        open(self.log, "w").close()

    def read(self):
        time.sleep(0.05)
        requests = sent = 0
        open_ended = 0
        with open(self.log) as f:
            for line in f:
                status, size, asked = line.split(" ", 2)
                requests += 1
                sent += int(size)
                open_ended += asked.strip().strip('"').endswith("-")
        return requests, sent, open_ended


def timed(fn):
    t0 = time.perf_counter()
    value = fn()
    return time.perf_counter() - t0, value


def row(task, who, seconds, requests, sent, note=""):
    print(f"{task:<46} {who:<22} {seconds:>9.3f}s {requests:>9,} {sent / 1e6:>10.2f} MB  {note}")


def main():
    parser = command_line(__doc__, "about 3 minutes (--quick: about 1 minute); pysam and samtools "
                                   "rows are left out where they are missing")
    parser.add_argument("--quick", action="store_true", help="fewer regions for the peers and at 20 ms")
    args = parser.parse_args()
    if not NGINX:
        sys.exit("nginx is not installed")
    path, bed = genome.ensure()
    regions = genome.read_bed(bed)
    work = tempfile.mkdtemp(prefix="sekva-remote-bench-")
    root = os.path.join(work, "www")
    os.makedirs(root)
    for suffix in ("", ".fai"):
        os.symlink(path + suffix, os.path.join(root, "genome.fa" + suffix))
    packed = os.path.join(genome.DATA, "before_after.fa.gz")
    if os.path.exists(packed + ".gzi") and os.path.exists(packed + ".fai"):
        for suffix in ("", ".fai", ".gzi"):
            os.symlink(packed + suffix, os.path.join(root, "small.fa.gz" + suffix))
    else:
        packed = None
    log = os.path.join(work, "access.log")
    os.makedirs(os.path.join(work, "nginx"))
    server = Nginx(root, os.path.join(work, "nginx"), access_log=log)
    relay = Relay(server.http_port, 20)
    counted = Counted(log)
    os.environ["SEKVA_CACHE_DIR"] = os.path.join(work, "cache")
    os.chdir(work)  # htslib keeps the .fai it downloads in the working directory
    fai = read_fai(path + ".fai")
    local = Faidx(path)
    url = server.http_url("genome.fa")
    try:
        print(f"{'task':<46} {'who':<22} {'time':>10} {'requests':>9} {'sent':>13}")
        # -- single fetches --
        rng = random.Random(5)
        name = genome.BIG
        starts = [rng.randint(1, genome.SIZES[0] - 100) for _ in range(50)]
        remote = Faidx(url)
        counted.reset()
        t, got = timed(lambda: [remote.fetch(name, s, s + 99).seq for s in starts])
        requests, sent, _ = counted.read()
        assert got == [local.fetch(name, s, s + 99).seq for s in starts]
        row("50 random 100-base fetches, plain", "sekva", t, requests, sent,
            f"{sent / requests / 1024:.1f} KiB a request")
        counted.reset()
        cached_t = min(timed(lambda: [remote.fetch(name, s + 10, s + 60) for s in starts])[0] for _ in range(5))
        local_t = min(timed(lambda: [local.fetch(name, s + 10, s + 60) for s in starts])[0] for _ in range(5))
        requests, sent, _ = counted.read()
        row("the same, cached (nearby bases)", "sekva", cached_t, requests, sent,
            f"{cached_t / local_t:.2f}x the local fetch")
        if packed:
            small = Faidx(server.http_url("small.fa.gz"))
            small_local = Faidx(packed)
            rec = next(iter(read_fai(packed + ".fai")))
            length = read_fai(packed + ".fai")[rec][0]
            s_starts = [rng.randint(1, length - 100) for _ in range(50)]
            counted.reset()
            t, got = timed(lambda: [small.fetch(rec, s, s + 99).seq for s in s_starts])
            requests, sent, _ = counted.read()
            assert got == [small_local.fetch(rec, s, s + 99).seq for s in s_starts]
            row("50 random 100-base fetches, BGZF", "sekva", t, requests, sent,
                f"{sent / requests / 1024:.1f} KiB a request (one block)")

        # -- the BED batch at 0 ms --
        spanned = spanned_bytes(fai, regions)
        local_t, want = timed(lambda: local.fetch_many(regions))
        local_t = min(local_t, timed(lambda: local.fetch_many(regions))[0])
        counted.reset()
        t, got = timed(lambda: remote.fetch_many(regions))
        requests, sent, _ = counted.read()
        assert [s.seq for s in got] == [s.seq for s in want]
        print(f"\nthe {len(regions):,} BED regions lie in {spanned / 1e6:.1f} MB of the "
              f"{os.path.getsize(path) / 1e9:.2f} GB file")
        row(f"fetch_many, {len(regions):,} BED regions, 0 ms", "sekva", t, requests, sent,
            f"{sent / spanned:.2f}x their bytes; {t / local_t:.1f}x the local call ({local_t:.3f}s)")
        peer_count = 2_000 if args.quick else 10_000
        subset = random.Random(6).sample(regions, peer_count)
        counted.reset()
        t_ours, got = timed(lambda: remote.fetch_many(subset))
        requests, sent, _ = counted.read()
        row(f"fetch_many, {peer_count:,} of them, 0 ms", "sekva", t_ours, requests, sent)
        if pysam:
            ff = pysam.FastaFile(url)
            counted.reset()
            t, theirs = timed(lambda: [ff.fetch(n, s - 1, e) for n, s, e in subset])
            requests, sent, open_ended = counted.read()
            assert theirs == [s.seq for s in got]
            row(f"the same {peer_count:,}, a loop of fetch", "pysam", t, requests, sent,
                f"{open_ended:,} open-ended; sekva {t / t_ours:.1f}x faster")
        if shutil.which("samtools"):
            with open("subset.txt", "w") as f:
                f.writelines(f"{n}:{s}-{e}\n" for n, s, e in subset)
            counted.reset()
            t, _ = timed(lambda: subprocess.run(["samtools", "faidx", url, "-r", "subset.txt", "-o", "out.fa"],
                                                check=True))
            requests, sent, open_ended = counted.read()
            row(f"the same {peer_count:,}, faidx -r", "samtools", t, requests, sent,
                f"{open_ended:,} open-ended; sekva {t / t_ours:.1f}x faster")

        # -- at 20 ms a request: sparse regions against a download of the whole file --
        slow = Faidx(relay.url("genome.fa"))
        for count in ([1_000] if args.quick else [1_000, 5_000, 20_000]):
            sparse = random.Random(7).sample(regions, count)
            part = spanned_bytes(fai, sparse)
            counted.reset()
            t, got = timed(lambda: slow.fetch_many(sparse))
            requests, sent, _ = counted.read()
            assert [s.seq for s in got] == [s.seq for s in local.fetch_many(sparse)]
            row(f"fetch_many, {count:,} BED regions, 20 ms", "sekva", t, requests, sent,
                f"{part / 1e6:.2f} MB of regions")
        # The download straight from nginx (the relay moves bulk bytes slower than a store would),
        # with the 20 ms of its one request added.
        counted.reset()
        target = os.path.join(work, "downloaded.fa")
        t, _ = timed(lambda: subprocess.run(["curl", "-s", "-o", target, url], check=True))
        t_read, _ = timed(lambda: Faidx(target, indexname=path + ".fai").fetch_many(sparse))
        requests, sent, _ = counted.read()
        row("download the whole file, then read it", "curl + sekva", t + 0.02 + t_read, requests, sent,
            f"then {count:,} regions")
        os.unlink(target)
    finally:
        relay.stop()
        server.stop()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    if len(sys.argv) > 1 and sys.argv[1] == "relay":
        relay_main(int(sys.argv[2]), int(sys.argv[3]), float(sys.argv[4]))
    else:
        main()
