"""The `sekva` command: `sekva faidx`, `sekva fqidx`, `sekva getfasta` and `sekva transcripts`, dispatched and
kept free of tracebacks."""
import gc
import os
import re
import signal
import stat
import sys

USAGE = """\
Usage: sekva <command> [options]

Commands:
  faidx      index a FASTA file or print regions of it (options of samtools faidx)
  fqidx      index a FASTQ file or print reads and regions of it (options of samtools fqidx)
  getfasta   print the sequences of the intervals of a BED file (options of bedtools getfasta)
  transcripts  write the exons, CDS and proteins of the transcripts of a GTF/GFF3 file (options of gffread)

Run `sekva <command> --help` for the options of a command.
"""

_command = "sekva"

# A URL's query (or fragment), which may sign it: shown as "?<redacted>", as the module shows it.
_URL_QUERY = re.compile(r"(://[^\s\"'<>?#]*)[?#][^\s\"'<>]*?(?=[:,;.)]*(?:[\s\"'<>]|$))")


class CliError(Exception):
    """A failure reported as one line on standard error and exit status 1."""


class PeerError(CliError):
    """A failure reported in the peer tool's own words, without the command's prefix."""


def say(line):
    """One line on standard error exactly as given: the diagnostics samtools and bedtools print,
    whose text scripts and test suites compare byte for byte. Bytes of a name that are not UTF-8
    go out as they came in."""
    stream = sys.stderr
    stream.flush()
    line = _URL_QUERY.sub(r"\1?<redacted>", line)
    try:
        data = (line + "\n").encode("utf-8", "surrogateescape")
    except UnicodeEncodeError:  # a surrogate that stands for no byte
        data = (line + "\n").encode("utf-8", "backslashreplace")
    try:
        stream.buffer.write(data)
        stream.buffer.flush()
    except AttributeError:  # a text stream without bytes below it
        stream.write(data.decode("utf-8", "replace"))


def warn(message):
    """A message of sekva's own: one line, prefixed with the command."""
    say(f"{_command}: {message}")


def write_all(stream, data):
    """Writes every byte of `data` to a binary stream. A write may take only part of it (the
    reader of a pipe left, the disk filled) and tell so by its count alone, on CPython and PyPy
    both; what is left is written again, so the failure surfaces as the next write's OSError
    (BrokenPipeError, ENOSPC) instead of output cut short without a word."""
    view = memoryview(data).cast("B")
    while view:
        n = stream.write(view)
        if n is None or n >= len(view):  # None: a stream that does not count, having taken it all
            return
        view = view[n:]


def read_input(path):
    """All bytes of a file, or of standard input for "-"."""
    if path == "-":
        return sys.stdin.buffer.read()
    with open(path, "rb") as f:
        return f.read()


def _identity(path):
    """(device, inode) of the regular file `path` leads to, links followed; None where there is
    none. Writing to a device or a pipe (/dev/null, /dev/stdout) loses no input."""
    try:
        st = os.fstat(0) if path is STDIN else os.stat(path)
    except (OSError, ValueError):
        return None
    return (st.st_dev, st.st_ino) if stat.S_ISREG(st.st_mode) else None


STDIN = object()  # stands for standard input among the inputs, as "-" does on the command line


def refuse_overwrite(outputs, inputs):
    """Raises CliError when a file about to be written is one of the inputs under another spelling
    (./g.fa, an absolute path, a hard or symbolic link): the same device and inode, or, for a file
    not made yet (an index still to be built), the same path once links are resolved.

    `outputs` and `inputs` are (role, path) pairs; a path of None is skipped."""
    known = []
    for role, path in inputs:
        if path is not None:
            where = None if path is STDIN else os.path.realpath(path)
            known.append((role, path, _identity(path), where))
    for out_role, out_path in outputs:
        if out_path is None:
            continue
        identity, where = _identity(out_path), os.path.realpath(out_path)
        if identity is None and os.path.exists(where):
            continue  # not a regular file
        for role, path, in_identity, in_where in known:
            if (identity is not None and identity == in_identity) or where == in_where:
                shown = "standard input" if path is STDIN else path
                raise CliError(f"the {out_role} {out_path} is the {role} {shown}; nothing was written")


class open_output:
    """The binary stream for `path`, or standard output for None; flushed on the way out, where
    a full disk or a closed pipe surfaces. With `bgzf`, the stream writes BGZF blocks and ends
    with the end-of-file block on the way out."""

    def __init__(self, path, bgzf=False):
        self.path = path
        try:
            self.file = sys.stdout.buffer if path is None else open(path, "wb")
        except OSError as e:
            raise CliError(f'cannot open "{path}" for writing: {e.strerror}') from None
        if bgzf:
            from sekva_cli import _bgzf

            self.stream = _bgzf.Writer(self.file)
        else:
            self.stream = self.file

    def __enter__(self):
        return self.stream

    def __exit__(self, kind, *exc):
        if self.stream is not self.file and kind is None:
            self.stream.close()
        if self.path is None:
            self.file.flush()
        else:
            self.file.close()
        return False


def _silence_stdout():
    # The interpreter flushes stdout once more at exit; a closed pipe must not raise again there.
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
    except (OSError, ValueError):
        pass


def _end_as_samtools_on_a_closed_pipe():
    """samtools and bedtools end when the reader of their output goes away (`| head`) by dying of
    SIGPIPE: no message, and the shell reports status 141. Python ignores SIGPIPE and raises
    BrokenPipeError instead; the command ends the same way, silently. Where the signal cannot
    be raised (a caller's thread, a blocked signal), it returns the status a shell would show."""
    _silence_stdout()
    try:
        sys.stderr.flush()
        signal.signal(signal.SIGPIPE, signal.SIG_DFL)
        os.kill(os.getpid(), signal.SIGPIPE)
    except (AttributeError, OSError, ValueError):
        pass
    return 128 + 13


def main(argv=None):
    """Runs `sekva <command> ...` with `argv` (default: the process arguments); returns the exit
    status. A closed output pipe ends the process as SIGPIPE ends samtools."""
    try:
        return _run(sys.argv[1:] if argv is None else list(argv))
    except BrokenPipeError:
        return _end_as_samtools_on_a_closed_pipe()


def _run(args):
    global _command
    if not args or args[0] in ("-h", "--help"):
        sys.stdout.write(USAGE)
        sys.stdout.flush()
        return 0 if args else 1
    if args[0] == "--version":
        import sekva

        sys.stdout.write(f"sekva {sekva.__version__}\n")
        sys.stdout.flush()
        return 0
    if args[0] == "faidx":
        from sekva_cli import _faidx as command
    elif args[0] == "fqidx":
        from sekva_cli import _fqidx as command
    elif args[0] == "getfasta":
        from sekva_cli import _getfasta as command
    elif args[0] == "transcripts":
        from sekva_cli import _transcripts as command
    else:
        sys.stderr.write(f"sekva: unknown command '{args[0]}' (commands: faidx, fqidx, getfasta, transcripts)\n")
        return 1
    _command = f"sekva {args[0]}"
    # A command builds a few hundred thousand acyclic strings, tuples and lists; the cyclic
    # collector would walk them over and over for nothing.
    gc.disable()
    try:
        status = command.run(args[1:])
        sys.stdout.flush()  # where a closed pipe shows, rather than in the interpreter's exit
        return status
    except BrokenPipeError:
        raise
    except PeerError as e:
        say(str(e))
    except CliError as e:
        warn(str(e))
    except OSError as e:
        where = f" {e.filename}" if e.filename else ""
        warn(f"I/O error{where}: {e.strerror or e}")
    except KeyboardInterrupt:
        warn("interrupted")
        return 130
    except (Exception, MemoryError) as e:
        warn(str(e) or type(e).__name__)
    finally:
        gc.enable()
    return 1
