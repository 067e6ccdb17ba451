"""kelvor-stoi: from a results file of kelvor-batch to a paper's table.

    kelvor-stoi summarize r.csv --by snr system
    kelvor-stoi compare r.csv --between system noisy enhanced --by snr
    kelvor-stoi report r.csv --by snr --between system noisy enhanced

Also ``python3 -m kelvor_stoi``. Exit status: 0 on success, 1 when the
results cannot be read or do not have the columns asked for (or a package
it needs is missing), 2 for a bad command line, 130 when interrupted.
"""
from __future__ import annotations

import argparse
import importlib
import os
import sys
from typing import List, Optional, Sequence

FORMATS = ("text", "csv", "markdown", "json")

#: The report's file when -o is not given.
DEFAULT_OUTPUT = "report.html"

# The packages each command needs beyond numpy, which the package itself
# needs: (module, Debian package).
NEEDS = {
    "summarize": [("pandas", "python3-pandas")],
    "compare": [("pandas", "python3-pandas")],
    "report": [("pandas", "python3-pandas"), ("matplotlib", "python3-matplotlib")],
}


# The arguments of the analysis functions that are flags of the same name.
ARGUMENTS = ("by", "on", "between", "resamples", "seed", "worst")


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="kelvor-stoi",
        description="Statistics and reports of the rows kelvor-batch (or score_manifest) wrote: CSV or JSON Lines.",
    )
    parser.add_argument("--version", action="store_true", help="print the version and exit")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")

    def results(p: argparse.ArgumentParser) -> None:
        p.add_argument("results", metavar="RESULTS",
                       help="kelvor-batch's output: CSV or JSON Lines; - reads standard input")

    def columns(p: argparse.ArgumentParser, flag: str, text: str) -> None:
        # Several columns after one flag (--by snr system) or one flag per
        # column (--by snr --by system).
        p.add_argument(flag, metavar="COL", nargs="+", action="extend", default=[] if flag == "--by" else None,
                       help=text)

    def sampling(p: argparse.ArgumentParser) -> None:
        p.add_argument("--resamples", metavar="N", type=int, default=None,
                       help="bootstrap resamples of the paired comparison (default 2000)")
        p.add_argument("--seed", metavar="S", type=int, default=None,
                       help="seed of the bootstrap's generator (default 0)")

    # A help string is %-formatted (hence %%), a description is not.
    summarize = commands.add_parser(
        "summarize", help="per group: n, failed, mean, sd and 95%% CI of STOI and ESTOI",
        description="Per group of the --by columns: rows, failed rows, and for STOI and ESTOI the mean, "
                    "standard deviation and 95% confidence interval of the mean (Student's t) of the scored pairs.")
    results(summarize)
    columns(summarize, "--by", "group by these columns")
    summarize.add_argument("--format", choices=FORMATS, default="text", help="output format (default text)")

    compare = commands.add_parser(
        "compare", help="paired differences B - A between two values of a column",
        description="Paired differences B - A between the rows whose COL is A and those where it is B, over "
                    "pairs that share the reference and every other metadata column (or the --on columns): "
                    "pairs, mean difference, paired-t and bootstrap 95% CIs, share of pairs where B is higher.")
    results(compare)
    compare.add_argument("--between", nargs=3, metavar=("COL", "A", "B"), required=True,
                         help="the column that tells the systems apart, and its two values")
    columns(compare, "--by", "compare within each group of these columns")
    columns(compare, "--on", "pair rows on these columns instead")
    sampling(compare)
    compare.add_argument("--format", choices=FORMATS, default="text", help="output format (default text)")

    report = commands.add_parser(
        "report", help="one self-contained HTML report",
        description="Writes one HTML file: run facts, the summary table, distributions per group, the paired "
                    "comparison and the worst pairs (with per-band heat maps from --details, and players where "
                    "the report's folder reaches the audio). No network, no scripts.")
    results(report)
    report.add_argument("-o", "--output", metavar="FILE", default=None,
                        help=f"the HTML file to write (default {DEFAULT_OUTPUT}); - writes standard output")
    columns(report, "--by", "group by these columns")
    report.add_argument("--between", nargs=3, metavar=("COL", "A", "B"), help="also compare B - A")
    report.add_argument("--details", metavar="DIR", help="the folder of kelvor-batch --details")
    report.add_argument("--worst", metavar="N", type=int, default=None,
                        help="lowest-scoring pairs to show (default 8)")
    sampling(report)
    return parser


def _fail(command: str, message: str) -> int:
    print(f"kelvor-stoi {command}: {message}", file=sys.stderr)
    return 1


def _write(text: str) -> None:
    """Standard output as bytes: text as UTF-8, and a byte that is not
    UTF-8 (only CSV keeps them) as it was read."""
    sys.stdout.flush()
    sys.stdout.buffer.write(text.encode("utf-8", "surrogateescape"))
    sys.stdout.buffer.flush()


def _missing_package(command: str) -> Optional[int]:
    for module, debian in NEEDS.get(command, []):
        try:
            importlib.import_module(module)
        except ImportError as e:
            return _fail(command, f"needs the Python package {module}, which cannot be imported ({e}); "
                                  f"install it (Debian: apt install {debian}; pip: pip install {module})")
    return None


def main(argv: Optional[List[str]] = None) -> int:
    parser = _parser()
    args = parser.parse_args(argv)
    if args.version:
        from kelvor_stoi import __version__

        print(f"kelvor-stoi {__version__}")
        return 0
    if args.command is None:
        parser.print_help(sys.stderr)
        return 2
    for name in ("resamples", "worst"):
        value = getattr(args, name, None)
        if value is not None and value < (1 if name == "resamples" else 0):
            parser.error(f"--{name} must be {'positive' if name == 'resamples' else '0 or more'}, not {value}")
    if getattr(args, "seed", None) is not None and args.seed < 0:
        parser.error(f"--seed must be 0 or more, not {args.seed}")

    command = args.command
    failure = _missing_package(command)
    if failure is not None:
        return failure
    try:
        return _run(command, args)
    except BrokenPipeError:
        # A reader that stopped early (| head) is no error; nothing more
        # can reach it.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 0
    except (OSError, ValueError) as e:
        from kelvor_stoi._display import shown

        message = shown(e)
        # The functions name their Python arguments; here they are flags.
        for argument in ARGUMENTS:
            if message.startswith(f"{argument}: "):
                message = f"--{message}"
        return _fail(command, message)
    except RecursionError:
        return _fail(command, f"{_name(args.results)}: nested too deeply to be read")
    except MemoryError:
        return _fail(command, f"{_name(args.results)}: too large to be held in memory")
    except KeyboardInterrupt:
        # Ctrl-C: the status of a process ended by SIGINT, without a
        # traceback; a report being written leaves no file behind.
        return 130


def _name(results: str) -> str:
    from kelvor_stoi._display import shown

    return "standard input" if results == "-" else shown(results)


def _run(command: str, args: argparse.Namespace) -> int:
    from kelvor_stoi import analysis
    from kelvor_stoi._display import comparison_cells, render, shown, summary_cells

    def check_names(table, names: Sequence[str], flag: str) -> Optional[int]:  # type: ignore[no-untyped-def]
        for name in names:
            if name not in table.columns:
                return _fail(command, f"{flag} {shown(name)}: the results have no such column; they have "
                                      + ", ".join(shown(c) for c in table.columns))
        return None

    output = getattr(args, "output", None)
    if command == "report":
        from kelvor_stoi import report

        report.check_output(DEFAULT_OUTPUT if output is None else output, args.results)
        if args.details is not None and not os.path.isdir(args.details):
            return _fail(command, f"--details {shown(args.details)}: no such folder")
    try:
        table = analysis.read_results(args.results)
    except FileNotFoundError:
        return _fail(command, f"{_name(args.results)}: no such file")
    for column in analysis.MEASURES:
        if column not in table.columns:
            return _fail(command, f"{_name(args.results)}: no {column} column; is it an output of kelvor-batch?")
    failure = check_names(table, args.by, "--by")
    if failure is not None:
        return failure
    between = getattr(args, "between", None)
    if between is not None:
        failure = check_names(table, [between[0]], "--between")
        if failure is not None:
            return failure
        if between[0] in args.by:
            return _fail(command, f"--between {shown(between[0])}: the compared column cannot also be a --by column")
        values = set(table[between[0]].astype(str))
        for label in between[1:]:
            if label not in values:
                listed = ", ".join(shown(v) for v in sorted(values)[:20])
                return _fail(command, f"--between {shown(between[0])}: no row has the value {shown(label)!r}; "
                                      f"it has {listed}")
        if between[1] == between[2]:
            return _fail(command, "--between: A and B are the same value")
    options = {}
    if getattr(args, "resamples", None) is not None:
        options["resamples"] = args.resamples
    if getattr(args, "seed", None) is not None:
        options["seed"] = args.seed

    if command == "summarize":
        summary = analysis.summarize(table, by=args.by)
        _write(render(summary, summary_cells(summary, args.by), args.format))
    elif command == "compare":
        if args.on:
            failure = check_names(table, args.on, "--on")
            if failure is not None:
                return failure
            if between[0] in args.on:
                return _fail(command, f"--on {shown(between[0])}: the compared column cannot be part of the key")
        comparison = analysis.compare(table, between[0], between[1], between[2], by=args.by, on=args.on,
                                      **options)
        _write(render(comparison, comparison_cells(comparison, args.by), args.format))
    else:
        from kelvor_stoi import report

        run = analysis.read_run_record(args.results)
        target = DEFAULT_OUTPUT if output is None else output
        page = report.build_report(
            table, by=args.by, between=tuple(between) if between else None, details_dir=args.details, run=run,
            source=args.results, worst=report.DEFAULT_WORST if args.worst is None else args.worst,
            audio_base=os.getcwd() if target == "-" else os.path.dirname(os.path.abspath(target)), **options)
        report.write_page(target, page)
        if output is None:
            print(f"kelvor-stoi report: wrote {shown(target)}", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
