"""The ``velmora`` command's options: the parser and the checks made before any work."""

from __future__ import annotations

import argparse
from importlib.metadata import PackageNotFoundError, version
from pathlib import Path
from typing import Any, NoReturn

from velmora_cli.errors import EXIT_USAGE, CliError
from velmora_cli.on_dask import LOCAL
from velmora_cli.output import (
    EFFECT_COLUMNS,
    PLOT_SUFFIXES,
    TABLE_SUFFIXES,
    check_suffix,
    require_matplotlib,
)
from velmora_margins.links import FAMILY_LINKS, LINKS
from velmora_margins.partitioned.models import MODELS
from velmora_margins.validation import COV_TYPES

SE_METHODS = {
    "sm": "exact delta-method gradient, as statsmodels and Stata report",
    "kova": "per-observation gradient, the library's default",
}
FAMILIES = tuple(FAMILY_LINKS)
# The models whose per-design-column table velmora.zarn gives with --se-method kova.
ZARN_MODELS = ("logit", "probit")
DATA_OPTIONS = (
    "formula",
    "model",
    "family",
    "link",
    "offset",
    "exposure",
    "se_method",
    "cov_type",
    "cluster",
    "by",
    "weights",
    "per_column",
    "predict",
    "at",
    "atmeans",
    "slope",
    "compare",
    "comparison",
    "pairwise",
    "test",
    "scale",
    "dask",
    "output",
    "plot",
)
SLOPES = ("dydx", "eyex", "eydx", "dyex")
COMPARISONS = ("difference", "ratio", "lnratio", "lnor", "lift")
SCALES = ("response", "linear")

DESCRIPTION = """\
Average marginal effects (AMEs), with delta-method standard errors, of Logit,
Probit, Poisson, negative binomial (NB2), least-squares (OLS, WLS) and
generalized linear models (--model glm with --family and --link), on the scale
of the mean E[y | x]. Regressors that hold only 0 and 1 get the discrete change
in the prediction; all others get the derivative.

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
  velmora claims.csv --formula "claims ~ age + C(region)" --model poisson \\
      --exposure years --cov-type HC0
  velmora costs.parquet --formula "cost ~ age + C(plan)" --model glm \\
      --family gamma --link log --by plan

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


def number_or_text(text: str) -> float | str:
    """Returns a value as a number where it reads as one, else as text."""
    try:
        return float(text)
    except ValueError:
        return text


def at_values(text: str) -> tuple[str, list[float | str]]:
    """Parses VAR=V1,V2,...: a variable and its values."""
    name, _, values = text.partition("=")
    if not name or not values:
        raise argparse.ArgumentTypeError(f"expected VAR=V1,V2,..., got '{text}'")
    return name.strip(), [number_or_text(v.strip()) for v in values.split(",")]


def compared(text: str) -> tuple[str, object]:
    """Parses VAR[=CHANGE]: a variable and how it changes (None for its default)."""
    name, _, change = text.partition("=")
    if not name:
        raise argparse.ArgumentTypeError(f"expected VAR[=CHANGE], got '{text}'")
    if not change:
        return name.strip(), None
    parts = [number_or_text(v.strip()) for v in change.split(",")]
    if len(parts) == 2:
        return name.strip(), tuple(parts)
    if len(parts) != 1:
        raise argparse.ArgumentTypeError(f"expected a change or a pair A,B, got '{change}'")
    return name.strip(), parts[0]


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
        "must suit the model (only 0 and 1 for logit and probit, counts for poisson and "
        "negbin), and C(...) turns a column into 0/1 columns, which get discrete-change "
        "effects",
    )
    parser.add_argument(
        "--model",
        type=choice_of(*MODELS),
        metavar="{" + ",".join(MODELS) + "}",
        help="the model to fit, e.g. --model probit; glm takes --family and --link",
    )
    parser.add_argument(
        "--family",
        type=choice_of(*FAMILIES),
        metavar="{" + ",".join(FAMILIES) + "}",
        help="the family of --model glm, e.g. --family gamma",
    )
    parser.add_argument(
        "--link",
        type=choice_of(*LINKS),
        metavar="LINK",
        help="the link of --model glm (default: the family's canonical one): "
        + ", ".join(LINKS)
        + ", as the family allows, e.g. --link log",
    )
    parser.add_argument(
        "--offset",
        metavar="COLUMN",
        help="add COLUMN to every row's linear predictor, in the fit and in every prediction, "
        "e.g. --offset log_population",
    )
    parser.add_argument(
        "--exposure",
        metavar="COLUMN",
        help="add log(COLUMN) to every row's linear predictor, for models with the log link; "
        "its values must be above 0, e.g. --exposure years",
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
        "weights) when averaging; the fit and its covariance are unweighted, but for "
        "--model wls, whose WLS weights they are, e.g. --weights pop",
    )
    parser.add_argument(
        "--per-column",
        action="store_true",
        default=None,
        help="one effect per column of the design matrix (each dummy of a factor, each "
        "power of a variable on its own) instead of one per variable",
    )
    parser.add_argument(
        "--predict",
        action="store_true",
        default=None,
        help="report mean predictions (predictive margins) instead of effects: overall, "
        "within --by groups, at each --at combination",
    )
    parser.add_argument(
        "--at",
        action="append",
        type=at_values,
        metavar="VAR=V1,V2,...",
        help="set VAR to each value in every row (repeatable: every combination is a block "
        "of rows); a factor takes its levels, e.g. --at age=20,40,60 --at religious=2",
    )
    parser.add_argument(
        "--atmeans",
        action="store_true",
        default=None,
        help="take the quantities at one row of means (within each --by group): every "
        "variable not set by --at at its mean, every factor at the shares of its levels",
    )
    parser.add_argument(
        "--slope",
        type=choice_of(*SLOPES),
        metavar="{" + ",".join(SLOPES) + "}",
        help="the effect of a numerical variable: dydx (the default), or an elasticity "
        "eyex, eydx or dyex, e.g. --slope eyex",
    )
    parser.add_argument(
        "--compare",
        action="append",
        type=compared,
        metavar="VAR[=CHANGE]",
        help="compare mean predictions at two values of VAR (repeatable): a factor by "
        "reference, sequential or pairwise levels; a number by +h (default 1), sd, iqr, "
        "minmax or A,B, e.g. --compare age=sd --compare religious=pairwise",
    )
    parser.add_argument(
        "--comparison",
        type=choice_of(*COMPARISONS),
        metavar="{" + ",".join(COMPARISONS) + "}",
        help="how --compare compares the two mean predictions (default difference)",
    )
    parser.add_argument(
        "--pairwise",
        action="store_true",
        default=None,
        help="also report every difference of two rows of the table, with its standard "
        "error (e.g. the levels of --at, or the --by groups)",
    )
    parser.add_argument(
        "--test",
        metavar="EQUATIONS",
        help="also test linear hypotheses about the rows b1, b2, ... of the table, e.g. "
        '--test "b2 - b1 = 0, b3 - b1 = 0" (with a joint Wald test of several)',
    )
    parser.add_argument(
        "--scale",
        type=choice_of(*SCALES),
        metavar="{" + ",".join(SCALES) + "}",
        help="response (the predicted probability, the default) or linear (the linear "
        "predictor x b)",
    )
    parser.add_argument(
        "--dask",
        nargs="?",
        const=LOCAL,
        metavar="ADDRESS",
        help="fit and compute the effects as sums over partitions on Dask: on the scheduler "
        "at ADDRESS, or without it on a local cluster sized to the machine; DATA may then be "
        "a directory or glob of Parquet files (needs the dask extra: pip install "
        "'velmora[dask]'), e.g. --dask tcp://10.0.0.5:8786",
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
    if args.by is not None and args.by in ("term", "contrast", *EFFECT_COLUMNS):
        raise CliError(
            f"--by: a column named '{args.by}' would clash with the table's own columns; "
            "rename it in the data",
            EXIT_USAGE,
        )
    if args.dask is not None and args.se_method == "kova":
        raise CliError(
            "--se-method kova needs the design matrix in memory and cannot go with --dask",
            EXIT_USAGE,
        )
    if args.se_method == "kova" and args.model not in ZARN_MODELS:
        raise CliError(
            f"--se-method kova applies to logit and probit, not --model {args.model}",
            EXIT_USAGE,
        )
    if args.se_method == "kova" and not (args.per_column and args.weights is None):
        raise CliError(
            "--se-method kova applies to the per-design-column table of velmora.zarn "
            "(--per-column, without --weights); effects by variable take the exact "
            "gradient, sm",
            EXIT_USAGE,
        )
    check_questions(args)
    if args.output is not None:
        check_suffix(args.output, TABLE_SUFFIXES, "--output")
    if args.plot is not None:
        check_suffix(args.plot, PLOT_SUFFIXES, "--plot")
        require_matplotlib()


def check_questions(args: argparse.Namespace) -> None:
    """Fails on options of the questions (--predict, --compare, --at, ...) that do not go
    together."""
    per_column = ("at", "atmeans", "slope", "predict", "compare", "comparison", "scale")
    if args.per_column:
        for name in per_column:
            if getattr(args, name) is not None:
                flag = "--" + name.replace("_", "-")
                raise CliError(
                    f"{flag} cannot go with --per-column, whose effects are derivatives at "
                    "the rows' own values; drop one of them",
                    EXIT_USAGE,
                )
    if args.predict and args.compare is not None:
        raise CliError("--predict and --compare ask different questions; give one", EXIT_USAGE)
    if args.slope is not None and (args.predict or args.compare is not None):
        raise CliError("--slope goes with effects, not with --predict or --compare", EXIT_USAGE)
    if args.comparison is not None and args.compare is None:
        raise CliError("--comparison goes with --compare VAR", EXIT_USAGE)
    at_names = [name for name, _ in args.at or []]
    if len(set(at_names)) < len(at_names):
        raise CliError("--at names a variable twice; give its values in one --at", EXIT_USAGE)
    if args.by is not None and args.by in at_names:
        raise CliError(f"--by {args.by} is also set by --at; drop one of them", EXIT_USAGE)
