"""The ``velmora`` command: the built-in comparison and the run on a data file."""

from __future__ import annotations

import argparse
import os
import sys
import textwrap
import warnings
from typing import TYPE_CHECKING, Any

from velmora_cli.errors import EXIT_FAILURE, CliError, first_line
from velmora_cli.options import SE_METHODS, build_parser, check_options
from velmora_cli.output import (
    EFFECT_COLUMNS,
    STARS_LEGEND,
    estimate_column,
    interval_note,
    text_table,
    write_forest_plot,
    write_grid_plot,
    write_table,
)
from velmora_cli.progress import Progress

if TYPE_CHECKING:
    from collections.abc import Sequence

    import pandas as pd


def compute_effects(result: Any, **options: Any) -> pd.DataFrame:
    """Returns the effects of a fitted result as a table with a "term" column."""
    import velmora
    from velmora_cli.modeling import table_from_effects

    try:
        return table_from_effects(velmora.zarn(result, **options))
    except Exception as error:
        raise CliError(f"computing the effects failed: {first_line(error)}") from None


def labelled(table: pd.DataFrame, at_names: Sequence[str] = ()) -> pd.DataFrame:
    """Returns the table with one "term" label per row for the plot: the term with its
    contrast where it has one ("religious 2.0 - 1.0", "age" for a derivative), and the
    values of the at variables ("age = 40")."""
    labels = []
    for _, row in table.iterrows():
        parts = []
        if "term" in table.columns:
            contrast = row.get("contrast", "dY/dX")
            parts.append(row["term"] if contrast == "dY/dX" else f"{row['term']} {contrast}")
        parts += [f"{name} = {row[name]}" for name in at_names]
        labels.append(", ".join(str(p) for p in parts) or "mean prediction")
    return table.drop(columns=[c for c in ("contrast", *at_names) if c in table]).assign(
        term=labels
    )


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
    """Fits the formula to the data and prints, writes and plots its AMEs: the data file
    read here, or with --dask the files read on the Dask cluster."""
    from velmora_cli.modeling import (
        effects,
        fit,
        model_title,
        read_data,
        require_options_columns,
        tests,
    )
    from velmora_cli.on_dask import PartitionsDone, dask_client

    name = model_title(args)
    se_method = args.se_method or "sm"
    cov_type = args.cov_type or ("cluster" if args.cluster else "nonrobust")
    with dask_client(args.dask, progress):
        if args.dask is None:
            with progress.step(f"reading {args.data}") as details:
                data: Any = read_data(args.data)
                details.append(f"{len(data)} rows, {len(data.columns)} columns")
            require_options_columns(data, args)
            where, passes = "", None
        else:
            data, where, passes = str(args.data), " on Dask", PartitionsDone(progress)
        with progress.step(f"fitting {name}{where}") as details:
            result = fit(data, args, cov_type, passes)
            rows = int(result.nobs)
            read = "" if args.dask is not None or rows == len(data) else f" of {len(data)}"
            details.append(f"{rows} rows{read}, {result.iterations} iterations")
        with progress.step(f"computing {question(args)}{where}"):
            table = effects(result, args, progress)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        tested = tests(table, args)
    for warning in caught:
        progress.note(f"note: {first_line(warning.message)}")  # type: ignore[arg-type]
    report_effects(args, name, rows, cov_type, se_method, table, progress, tested)


def question(args: argparse.Namespace) -> str:
    """Returns what the table holds, in words."""
    if args.predict:
        return "mean predictions"
    if args.compare is not None:
        return f"comparisons of mean predictions ({args.comparison or 'difference'})"
    if args.slope not in (None, "dydx"):
        return f"average elasticities ({args.slope})"
    return "average marginal effects"


def report_effects(
    args: argparse.Namespace,
    name: str,
    rows: int,
    cov_type: str,
    se_method: str,
    table: pd.DataFrame,
    progress: Progress,
    tested: Sequence[tuple[str, pd.DataFrame]] = (),
) -> None:
    """Prints the table under its header and the tests asked for, and writes and plots the
    table as asked."""
    what = question(args)
    print(f"{what[0].upper()}{what[1:]} of {name}: {args.formula}")
    print(
        f"rows: {rows}   covariance: {cov_type}"
        + (f" by {args.cluster}" if args.cluster else "")
        + (f"   se_method: {se_method} ({SE_METHODS[se_method]})" if not questions(args) else "")
    )
    if args.per_column:
        print("effects per design column")
    elif args.predict and not args.atmeans:
        print("mean of the predictions over the rows")
    elif args.predict:
        print("the prediction at the row of means")
    elif args.compare is None:
        print("effects by variable: derivatives of numbers, changes of a factor's level")
    for line in scenario_lines(args):
        print(line)
    if args.weights:
        print(f"rows weighted by {args.weights}")
    if args.by:
        print(f"within each group of {args.by}; coefficients from one fit on all rows")
    print()
    labels = list(table.columns[: list(table.columns).index(estimate_column(table))])
    print(text_table(table, sparse=max(len(labels) - 1, 0) if labels else 0))
    for heading, test in tested:
        print(f"\n{heading}\n")
        print(text_table(test, sparse=0))
    print(f"\n{STARS_LEGEND}\n{interval_note(estimate_column(table))}")
    if args.output is not None:
        write_table(table, args.output)
        progress.note(f"wrote {args.output}")
    if args.plot is not None:
        title = textwrap.fill(f"{name}: {args.formula}", 72)
        method = "" if questions(args) else f"se_method = {se_method}, "
        title += f"\n{method}covariance {cov_type}"
        grid = grid_variable(args)
        if grid is not None:
            write_grid_plot(table, args.plot, title, grid, args.by)
        else:
            at_names = [name for name, _ in args.at or []]
            write_forest_plot(labelled(table, at_names), args.plot, title, args.by)
        progress.note(f"wrote {args.plot}")


def questions(args: argparse.Namespace) -> bool:
    """Returns whether the table is not the plain table of effects."""
    return bool(args.predict or args.compare is not None or args.slope not in (None, "dydx"))


def scenario_lines(args: argparse.Namespace) -> list[str]:
    """Returns the lines that say where the quantities are taken."""
    lines = []
    if args.at:
        values = "; ".join(f"{n} = {', '.join(map(str, v))}" for n, v in args.at)
        lines.append(f"at {values} (every row set to each combination)")
    if args.atmeans:
        lines.append("at the means of the other variables and the shares of factor levels")
    if args.scale == "linear":
        lines.append("on the scale of the linear predictor x b")
    return lines


def grid_variable(args: argparse.Namespace) -> str | None:
    """Returns the variable of an --at grid of numbers, which the plot draws as a line."""
    if not args.at or len(args.at) != 1:
        return None
    name, values = args.at[0]
    numbers = all(isinstance(v, float) for v in values)
    return str(name) if numbers and len(values) > 1 else None


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command with the given arguments (the process's own by default)."""
    args = build_parser().parse_args(argv)
    progress = Progress(enabled=not args.quiet, live=sys.stderr.isatty())
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
