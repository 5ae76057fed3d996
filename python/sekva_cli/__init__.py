"""The `sekva` command: `sekva faidx` and `sekva getfasta`, dispatched and kept free of tracebacks."""
import gc
import sys

USAGE = """\
Usage: sekva <command> [options]

Commands:
  faidx      index a FASTA file or print regions of it (options of samtools faidx)
  getfasta   print the sequences of the intervals of a BED file (options of bedtools getfasta)

Run `sekva <command> --help` for the options of a command.
"""

_command = "sekva"


class CliError(Exception):
    """A failure reported as one line on standard error and exit status 1."""


def warn(message):
    sys.stderr.write(f"{_command}: {message}\n")


def read_input(path):
    """All bytes of a file, or of standard input for "-"."""
    if path == "-":
        return sys.stdin.buffer.read()
    with open(path, "rb") as f:
        return f.read()


class open_output:
    """The binary stream for `path`, or standard output for None; flushed on the way out, where
    a full disk or a closed pipe surfaces."""

    def __init__(self, path):
        self.path = path
        try:
            self.stream = sys.stdout.buffer if path is None else open(path, "wb")
        except OSError as e:
            raise CliError(f'cannot open "{path}" for writing: {e.strerror}') from None

    def __enter__(self):
        return self.stream

    def __exit__(self, *exc):
        if self.path is None:
            self.stream.flush()
        else:
            self.stream.close()
        return False


def _silence_stdout():
    # The interpreter flushes stdout once more at exit; a closed pipe must not raise again there.
    import os

    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
    except (OSError, ValueError):
        pass


def main(argv=None):
    """Runs `sekva <command> ...` with `argv` (default: the process arguments); returns the exit
    status."""
    global _command
    args = sys.argv[1:] if argv is None else list(argv)
    if not args or args[0] in ("-h", "--help"):
        sys.stdout.write(USAGE)
        return 0 if args else 1
    if args[0] == "--version":
        import sekva

        sys.stdout.write(f"sekva {sekva.__version__}\n")
        return 0
    if args[0] == "faidx":
        from sekva_cli import _faidx as command
    elif args[0] == "getfasta":
        from sekva_cli import _getfasta as command
    else:
        sys.stderr.write(f"sekva: unknown command '{args[0]}' (commands: faidx, getfasta)\n")
        return 1
    _command = f"sekva {args[0]}"
    # A command builds a few hundred thousand acyclic strings, tuples and lists; the cyclic
    # collector would walk them over and over for nothing.
    gc.disable()
    try:
        return command.run(args[1:])
    except CliError as e:
        warn(str(e))
    except BrokenPipeError:
        _silence_stdout()
        warn("write error: the reader of the output went away (broken pipe)")
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
