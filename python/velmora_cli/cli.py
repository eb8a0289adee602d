"""The ``velmora`` command: options, the built-in comparison and the run on a data file."""

from __future__ import annotations

import argparse
import os
import sys
import textwrap
from importlib.metadata import PackageNotFoundError, version
from pathlib import Path
from typing import TYPE_CHECKING, Any, NoReturn

from velmora_cli.errors import EXIT_FAILURE, EXIT_USAGE, CliError, first_line
from velmora_cli.output import (
    EFFECT_COLUMNS,
    INTERVAL_NOTE,
    PLOT_SUFFIXES,
    STARS_LEGEND,
    TABLE_SUFFIXES,
    check_suffix,
    require_matplotlib,
    text_table,
    write_forest_plot,
    write_table,
)
from velmora_cli.progress import Progress

if TYPE_CHECKING:
    from collections.abc import Sequence

    import pandas as pd

SE_METHODS = {
    "sm": "exact delta-method gradient, as statsmodels and Stata report",
    "kova": "per-observation gradient, the library's default",
}
COV_TYPES = ("nonrobust", "HC0", "HC1", "HC2", "HC3", "cluster")
DATA_OPTIONS = (
    "formula",
    "model",
    "se_method",
    "cov_type",
    "cluster",
    "by",
    "weights",
    "per_column",
    "output",
    "plot",
)

DESCRIPTION = """\
Average marginal effects (AMEs) of Logit and Probit models, with delta-method
standard errors. Regressors that hold only 0 and 1 get the discrete change in
the predicted probability; all others get the derivative.

Without DATA, fits a Logit and a Probit of GRADE on GPA, TUCE and PSI (0/1) to
statsmodels' bundled spector data and prints velmora's AMEs under both
standard-error methods beside statsmodels' get_margeff(at='overall',
method='dydx', dummy=True). With DATA, fits --formula by --model and prints
its AMEs by variable: a numerical variable's mean derivative through every
term it enters (powers, interactions, transforms), each level of a factor
against the reference level, a 0/1 variable's change from 0 to 1.
--per-column gives one effect per design column instead."""

EPILOG = """\
standard-error methods (--se-method):
  sm    the exact derivative of each AME by the coefficients: the standard
        errors that statsmodels' get_margeff and Stata's margins report.
  kova  the per-observation gradient (the library's default): for a continuous
        regressor it leaves out the coefficient's term in the regressor's own
        derivative and, for Logit, uses -xb*f(xb) where f'(xb) belongs.
  Both give the same AMEs, and the same standard errors for 0/1 regressors.

examples:
  velmora
  velmora admissions.csv --formula "admit ~ gre + gpa + C(rank)" --model logit
  velmora admissions.csv --formula "admit ~ gre + gpa + C(rank)" --model probit \\
      --cov-type HC1 --output ames.md --plot ames.png
  velmora survey.parquet --formula "voted ~ age + income" --model logit \\
      --cluster household --by region --output ames.csv

exit status: 0 on success, 1 when the data, the model or a file is at fault,
2 when the options are."""


class Parser(argparse.ArgumentParser):
    """An argument parser whose usage errors are one line each."""

    def error(self, message: str) -> NoReturn:
        self.exit(EXIT_USAGE, f"{self.prog}: error: {message}; see '{self.prog} --help'\n")


def positive_int(text: str) -> int:
    """Parses a chunk size: a whole number of rows, at least 1."""
    try:
        value = int(text)
    except ValueError:
        value = 0
    if value < 1:
        raise argparse.ArgumentTypeError(
            f"expected a whole number of rows of at least 1, got '{text}'"
        )
    return value


def choice_of(*names: str) -> Any:
    """Returns a parser for one of the names, in any letter case."""
    by_lower = {name.lower(): name for name in names}

    def parse(text: str) -> str:
        try:
            return by_lower[text.lower()]
        except KeyError:
            raise argparse.ArgumentTypeError(
                f"invalid choice '{text}' (choose from {', '.join(names)})"
            ) from None

    return parse


def package_version() -> str:
    try:
        return version("velmora")
    except PackageNotFoundError:
        return "unknown"


def build_parser() -> argparse.ArgumentParser:
    """Returns the parser of the command's options."""
    parser = Parser(
        prog="velmora",
        description=DESCRIPTION,
        epilog=EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
        allow_abbrev=False,
    )
    parser.add_argument(
        "data",
        nargs="?",
        type=Path,
        metavar="DATA",
        help="CSV (.csv, also compressed as .csv.gz and the like) or Parquet (.parquet) file, "
        "one row per observation; leave it out for the built-in comparison",
    )
    parser.add_argument(
        "--formula",
        metavar="FORMULA",
        help='model formula, outcome ~ regressors, e.g. "y ~ x1 + x2 + C(group)"; the outcome '
        "must hold only 0 and 1, and C(...) turns a column into 0/1 columns, which get "
        "discrete-change effects",
    )
    parser.add_argument(
        "--model",
        type=choice_of("logit", "probit"),
        metavar="{logit,probit}",
        help="the model to fit, e.g. --model probit",
    )
    parser.add_argument(
        "--se-method",
        type=choice_of(*SE_METHODS),
        metavar="{sm,kova}",
        help="how the standard errors of continuous regressors are formed in the "
        "--per-column table (see below); default: sm, e.g. --se-method kova",
    )
    parser.add_argument(
        "--chunk-size",
        type=positive_int,
        metavar="N",
        help="compute over N rows at a time, which bounds the temporary memory; results agree "
        "up to rounding (default: all rows at once), e.g. --chunk-size 100000",
    )
    parser.add_argument(
        "--cov-type",
        type=choice_of(*COV_TYPES),
        metavar="{" + ",".join(COV_TYPES) + "}",
        help="covariance of the coefficients behind the standard errors: nonrobust (default), "
        "heteroskedasticity-robust HC0 to HC3, or cluster with --cluster, e.g. --cov-type HC1",
    )
    parser.add_argument(
        "--cluster",
        metavar="COLUMN",
        help="cluster-robust covariance by the groups of COLUMN (implies --cov-type cluster), "
        "e.g. --cluster school",
    )
    parser.add_argument(
        "--by",
        metavar="COLUMN",
        help="report the AMEs within each group of COLUMN instead, from one fit on all rows; "
        "the table gains a COLUMN column, e.g. --by region",
    )
    parser.add_argument(
        "--weights",
        metavar="COLUMN",
        help="weight each row's effect by COLUMN (non-negative frequency or sampling "
        "weights) when averaging; the fit and its covariance are unweighted, e.g. "
        "--weights pop",
    )
    parser.add_argument(
        "--per-column",
        action="store_true",
        default=None,
        help="one effect per column of the design matrix (each dummy of a factor, each "
        "power of a variable on its own) instead of one per variable",
    )
    parser.add_argument(
        "--output",
        type=Path,
        metavar="FILE",
        help="also write the table to FILE, in the format its suffix names: .csv, .json, "
        ".md (Markdown) or .tex (LaTeX), e.g. --output ames.csv",
    )
    parser.add_argument(
        "--plot",
        type=Path,
        metavar="FILE",
        help="draw a forest plot of the AMEs and their 95%% intervals to FILE: .png, .svg or "
        ".pdf (needs matplotlib: pip install 'velmora[plot]'), e.g. --plot ames.png",
    )
    parser.add_argument(
        "-q", "--quiet", action="store_true", help="print no progress messages on stderr"
    )
    parser.add_argument("--version", action="version", version=f"velmora {package_version()}")
    return parser


def check_options(args: argparse.Namespace) -> None:
    """Fails on options that do not go together, before any work is done."""
    if args.data is None:
        for name in DATA_OPTIONS:
            if getattr(args, name) is not None:
                flag = "--" + name.replace("_", "-")
                raise CliError(
                    f"{flag} applies to a DATA file; give one, or run 'velmora' without "
                    "options for the built-in comparison",
                    EXIT_USAGE,
                )
        return
    for name in ("formula", "model"):
        if getattr(args, name) is None:
            raise CliError(
                f'--{name} is required with DATA, e.g. velmora {args.data} --formula "y ~ x1 + x2" '
                "--model logit",
                EXIT_USAGE,
            )
    if args.cluster is not None and args.cov_type not in (None, "cluster"):
        raise CliError(
            f"--cluster gives a cluster-robust covariance and cannot go with --cov-type "
            f"{args.cov_type}; drop one of them",
            EXIT_USAGE,
        )
    if args.cov_type == "cluster" and args.cluster is None:
        raise CliError("--cov-type cluster needs --cluster COLUMN", EXIT_USAGE)
    if args.by is not None and args.by in ("term", *EFFECT_COLUMNS):
        raise CliError(
            f"--by: a column named '{args.by}' would clash with the table's own columns; "
            "rename it in the data",
            EXIT_USAGE,
        )
    if args.by is not None and args.by in ("term", "contrast", *EFFECT_COLUMNS):
        raise CliError(
            f"--by: a column named '{args.by}' would clash with the table's own columns; "
            "rename it in the data",
            EXIT_USAGE,
        )
    if args.se_method == "kova" and not (args.per_column and args.weights is None):
        raise CliError(
            "--se-method kova applies to the per-design-column table of velmora.zarn "
            "(--per-column, without --weights); effects by variable take the exact "
            "gradient, sm",
            EXIT_USAGE,
        )
    if args.output is not None:
        check_suffix(args.output, TABLE_SUFFIXES, "--output")
    if args.plot is not None:
        check_suffix(args.plot, PLOT_SUFFIXES, "--plot")
        require_matplotlib()


def compute_effects(result: Any, **options: Any) -> pd.DataFrame:
    """Returns the effects of a fitted result as a table with a "term" column."""
    import velmora
    from velmora_cli.modeling import table_from_effects

    try:
        return table_from_effects(velmora.zarn(result, **options))
    except Exception as error:
        raise CliError(f"computing the effects failed: {first_line(error)}") from None


def labelled(table: pd.DataFrame) -> pd.DataFrame:
    """Returns the table with each term labelled by its contrast where it has one, for
    the plot: "religious 2.0 - 1.0", or "age" for a derivative."""
    if "contrast" not in table.columns:
        return table
    terms = [
        term if contrast == "dY/dX" else f"{term} {contrast}"
        for term, contrast in zip(table["term"], table["contrast"], strict=True)
    ]
    return table.drop(columns="contrast").assign(term=terms)


def comparison_table(ours: dict[str, pd.DataFrame], reference: pd.DataFrame) -> pd.DataFrame:
    """Returns, for each term, velmora's rows under each method above statsmodels' row."""
    import pandas as pd

    reference = reference.set_axis(EFFECT_COLUMNS[:6], axis=1).assign(Significance="")
    sources = [(f"velmora, {m}", table.set_index("term")) for m, table in ours.items()]
    sources.append(("statsmodels", reference))
    rows = [
        {"term": term, "source": source, **frame.loc[term, EFFECT_COLUMNS].to_dict()}
        for term in reference.index
        for source, frame in sources
    ]
    table = pd.DataFrame(rows)
    table[EFFECT_COLUMNS[:6]] = table[EFFECT_COLUMNS[:6]].astype(float)
    return table


def run_demo(chunk_size: int | None, progress: Progress) -> None:
    """Prints velmora's and statsmodels' AMEs of Logit and Probit on the spector data."""
    try:
        import statsmodels.api as sm
    except ImportError as error:
        raise CliError(
            f"the built-in comparison needs statsmodels, which cannot be imported "
            f"({first_line(error)}); install it with: pip install 'velmora[cli]'"
        ) from None

    with progress.step("loading statsmodels' spector data") as details:
        data = sm.datasets.spector.load_pandas()
        exog = sm.add_constant(data.exog)
        details.append(f"{len(exog)} rows")
    for name, model in (("Logit", sm.Logit), ("Probit", sm.Probit)):
        with progress.step(f"fitting {name}") as details:
            result = model(data.endog, exog).fit(disp=0)
            details.append(f"{result.mle_retvals['iterations']} iterations")
        with progress.step(f"computing {name} effects"):
            ours = {
                m: compute_effects(result, chunk_size=chunk_size, se_method=m)
                for m in ("kova", "sm")
            }
            reference = result.get_margeff(at="overall", method="dydx", dummy=True).summary_frame()
        table = comparison_table(ours, reference)
        sm_rows = table[table["source"] == "velmora, sm"].set_index("term")
        sm_ref = table[table["source"] == "statsmodels"].set_index("term")
        gaps = (sm_rows[["dy/dx", "Std. Err"]] - sm_ref[["dy/dx", "Std. Err"]]).abs().max()
        print(
            f"{name} of GRADE on GPA, TUCE, PSI (0/1) and a constant; "
            f"statsmodels' spector data, {len(exog)} rows\n"
        )
        print(text_table(table, sparse=1))
        print(
            f"\nkova: {SE_METHODS['kova']}.\n"
            f"sm:   {SE_METHODS['sm']}.\n"
            f"sm against statsmodels: largest difference {gaps['dy/dx']:.1e} in dy/dx, "
            f"{gaps['Std. Err']:.1e} in Std. Err.\n"
            f"{STARS_LEGEND}\n"
            "Intervals: dy/dx ± 1.96 Std. Err (statsmodels: ± 1.959964 Std. Err).\n"
        )


def run_data(args: argparse.Namespace, progress: Progress) -> None:
    """Fits the formula to the data file and prints, writes and plots its AMEs."""
    from velmora_cli.modeling import (
        MODEL_NAMES,
        build_model,
        effects_by_group,
        effects_by_variable,
        fit_model,
        read_data,
        require_column,
        used_rows,
    )

    name = MODEL_NAMES[args.model]
    se_method = args.se_method or "sm"
    cov_type = args.cov_type or ("cluster" if args.cluster else "nonrobust")
    with progress.step(f"reading {args.data}") as details:
        frame = read_data(args.data)
        details.append(f"{len(frame)} rows, {len(frame.columns)} columns")
    with progress.step(f"fitting {name}") as details:
        model = build_model(frame, args.formula, args.model)
        cluster = used_rows(model, frame, args.cluster, "--cluster") if args.cluster else None
        groups = used_rows(model, frame, args.by, "--by") if args.by else None
        result = fit_model(model, cov_type, cluster, progress)
        rows = int(result.nobs)
        details.append(f"{rows} rows" + (f" of {len(frame)}" if rows < len(frame) else ""))
        details.append(f"{result.mle_retvals['iterations']} iterations")
    if args.weights is not None:
        require_column(frame, args.weights, "--weights")
    options = {"chunk_size": args.chunk_size, "se_method": se_method}
    with progress.step("computing average marginal effects"):
        if args.per_column and args.weights is None:
            if groups is None:
                table = compute_effects(result, **options)
            else:
                try:
                    table = effects_by_group(result, groups, options, args.by, progress)
                except CliError:
                    raise
                except Exception as error:
                    raise CliError(f"computing the effects failed: {first_line(error)}") from None
        else:
            table = effects_by_variable(result, args)

    print(f"Average marginal effects of {name}: {args.formula}")
    print(
        f"rows: {rows}   covariance: {cov_type}"
        + (f" by {args.cluster}" if args.cluster else "")
        + f"   se_method: {se_method} ({SE_METHODS[se_method]})"
    )
    if args.per_column:
        print("effects per design column")
    else:
        print("effects by variable: derivatives of numbers, changes of a factor's level")
    if args.weights:
        print(f"rows weighted by {args.weights}")
    if args.by:
        print(f"within each group of {args.by}; coefficients from one fit on all rows")
    print()
    print(text_table(table, sparse=2 if args.by else 1))
    print(f"\n{STARS_LEGEND}\n{INTERVAL_NOTE}")
    if args.output is not None:
        write_table(table, args.output)
        progress.note(f"wrote {args.output}")
    if args.plot is not None:
        title = textwrap.fill(f"{name}: {args.formula}", 72)
        title += f"\nse_method = {se_method}, covariance {cov_type}"
        write_forest_plot(labelled(table), args.plot, title, args.by)
        progress.note(f"wrote {args.plot}")


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command with the given arguments (the process's own by default)."""
    args = build_parser().parse_args(argv)
    progress = Progress(enabled=not args.quiet)
    try:
        check_options(args)
        if args.data is None:
            run_demo(args.chunk_size, progress)
        else:
            run_data(args, progress)
        sys.stdout.flush()
    except CliError as error:
        print(f"velmora: error: {error}", file=sys.stderr)
        return error.status
    except KeyboardInterrupt:
        print("velmora: interrupted", file=sys.stderr)
        return 130
    except BrokenPipeError:
        # The reader of stdout went away (as with "| head"); stop quietly.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return EXIT_FAILURE
    except Exception as error:
        print(
            f"velmora: error: unexpected {type(error).__name__}: {first_line(error)}; "
            "please report it with the command that caused it",
            file=sys.stderr,
        )
        return EXIT_FAILURE
    return 0
