"""kelvor-stoi: from a results file of kelvor-batch to a paper's table.

    kelvor-stoi summarize r.csv --by snr --by system
    kelvor-stoi compare r.csv --between system noisy enhanced --by snr
    kelvor-stoi report r.csv --by snr --between system noisy enhanced -o report.html

Also ``python3 -m kelvor_stoi``. Exit status: 0 on success, 1 when the
results cannot be read or do not have the columns asked for, 2 for a bad
command line.
"""
from __future__ import annotations

import argparse
import sys
from typing import List, Optional, Sequence

FORMATS = ("text", "csv", "markdown", "json")


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="kelvor-stoi",
        description="Statistics and reports of the rows kelvor-batch (or score_manifest) wrote: CSV or JSON Lines.",
    )
    parser.add_argument("--version", action="store_true", help="print the version and exit")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")

    def results(p: argparse.ArgumentParser) -> None:
        p.add_argument("results", metavar="RESULTS", help="kelvor-batch's output: CSV or JSON Lines")

    def by(p: argparse.ArgumentParser) -> None:
        p.add_argument("--by", metavar="COL", action="append", default=[],
                       help="group by this column (repeat for several)")

    def sampling(p: argparse.ArgumentParser) -> None:
        p.add_argument("--resamples", metavar="N", type=int, default=None,
                       help="bootstrap resamples of the paired comparison (default 2000)")
        p.add_argument("--seed", metavar="S", type=int, default=None,
                       help="seed of the bootstrap's generator (default 0)")

    summarize = commands.add_parser(
        "summarize", help="per group: n, failed, mean, sd and 95%% CI of STOI and ESTOI",
        description="Per group of the --by columns: rows, failed rows, and for STOI and ESTOI the mean, "
                    "standard deviation and 95%% confidence interval of the mean (Student's t) of the scored pairs.")
    results(summarize)
    by(summarize)
    summarize.add_argument("--format", choices=FORMATS, default="text", help="output format (default text)")

    compare = commands.add_parser(
        "compare", help="paired differences B - A between two values of a column",
        description="Paired differences B - A between the rows whose COL is A and those where it is B, over "
                    "pairs that share the reference and every other metadata column (or the --on columns): "
                    "pairs, mean difference, paired-t and bootstrap 95%% CIs, share of pairs where B is higher.")
    results(compare)
    compare.add_argument("--between", nargs=3, metavar=("COL", "A", "B"), required=True,
                         help="the column that tells the systems apart, and its two values")
    by(compare)
    compare.add_argument("--on", metavar="COL", action="append", default=None,
                         help="pair rows on these columns instead (repeat for several)")
    sampling(compare)
    compare.add_argument("--format", choices=FORMATS, default="text", help="output format (default text)")

    report = commands.add_parser(
        "report", help="one self-contained HTML report",
        description="Writes one HTML file: run facts, the summary table, distributions per group, the paired "
                    "comparison and the worst pairs (with per-band heat maps from --details). No network, no scripts.")
    results(report)
    report.add_argument("-o", "--output", metavar="FILE", required=True, help="the HTML file to write")
    by(report)
    report.add_argument("--between", nargs=3, metavar=("COL", "A", "B"), help="also compare B - A")
    report.add_argument("--details", metavar="DIR", help="the folder of kelvor-batch --details")
    report.add_argument("--worst", metavar="N", type=int, default=None,
                        help="lowest-scoring pairs to show (default 8)")
    sampling(report)
    return parser


def _fail(command: str, message: str) -> int:
    print(f"kelvor-stoi {command}: {message}", file=sys.stderr)
    return 1


def _check_names(table, names: Sequence[str], flag: str, command: str) -> Optional[int]:  # type: ignore[no-untyped-def]
    missing = [n for n in names if n not in table.columns]
    if missing:
        return _fail(command, f"{flag} {missing[0]}: the results have no such column; they have "
                              + ", ".join(map(str, table.columns)))
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

    from kelvor_stoi import analysis
    from kelvor_stoi._display import comparison_cells, render, summary_cells

    command = args.command
    try:
        table = analysis.read_results(args.results)
    except FileNotFoundError:
        return _fail(command, f"{args.results}: no such file")
    except (OSError, ValueError, UnicodeError) as e:
        return _fail(command, f"{args.results}: cannot be read as kelvor-batch results ({e})")
    for column in analysis.MEASURES:
        if column not in table.columns:
            return _fail(command, f"{args.results}: no {column} column; is it an output of kelvor-batch?")
    failure = _check_names(table, args.by, "--by", command)
    if failure is not None:
        return failure
    between = getattr(args, "between", None)
    if between is not None:
        failure = _check_names(table, [between[0]], "--between", command)
        if failure is not None:
            return failure
        if between[0] in args.by:
            return _fail(command, f"--between {between[0]}: the compared column cannot also be a --by column")
        values = set(table[between[0]].astype(str))
        for label in between[1:]:
            if label not in values:
                shown = ", ".join(sorted(values)[:20])
                return _fail(command, f"--between {between[0]}: no row has the value {label!r}; it has {shown}")
        if between[1] == between[2]:
            return _fail(command, "--between: A and B are the same value")
    options = {}
    if getattr(args, "resamples", None) is not None:
        options["resamples"] = args.resamples
    if getattr(args, "seed", None) is not None:
        options["seed"] = args.seed

    try:
        if command == "summarize":
            summary = analysis.summarize(table, by=args.by)
            sys.stdout.write(render(summary, summary_cells(summary, args.by), args.format))
        elif command == "compare":
            if args.on:
                failure = _check_names(table, args.on, "--on", command)
                if failure is not None:
                    return failure
                if between[0] in args.on:
                    return _fail(command, f"--on {between[0]}: the compared column cannot be part of the key")
            comparison = analysis.compare(table, between[0], between[1], between[2], by=args.by, on=args.on,
                                          **options)
            sys.stdout.write(render(comparison, comparison_cells(comparison, args.by), args.format))
        else:
            from kelvor_stoi import report

            if args.details is not None:
                import os

                if not os.path.isdir(args.details):
                    return _fail(command, f"--details {args.details}: no such folder")
            run = analysis.read_run_record(args.results)
            page = report.build_report(
                table, by=args.by, between=tuple(between) if between else None, details_dir=args.details, run=run,
                source=args.results, worst=report.DEFAULT_WORST if args.worst is None else args.worst, **options)
            report.write_page(args.output, page)
    except OSError as e:
        return _fail(command, str(e))
    except BrokenPipeError:  # pragma: no cover - a closed pipe is no error
        return 0
    return 0




if __name__ == "__main__":
    sys.exit(main())
