"""The benchmark's command line, read once into a frozen Options object."""

import argparse
from collections.abc import Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Literal

Model = Literal["logit", "probit", "poisson"]
# The models whose effects zarn takes; the partitioned case fits Poisson models too.
ZARN_MODELS = ("logit", "probit")
Method = Literal["kova", "sm"]
Order = Literal["C", "F"]
# How the partitioned case's data stores its factor: the integers 1 to 5, or text labels.
Factor = Literal["numeric", "text"]
FACTORS: tuple[Factor, ...] = ("numeric", "text")

DESCRIPTION = "Benchmark of velmora.zarn against statsmodels, plain NumPy and an estimated floor."


@dataclass(frozen=True)
class Options:
    """What one run of the benchmark measures; the defaults are the documented run's."""

    n: int = 10**6
    k: int = 21
    binary: int = 6
    models: tuple[Model, ...] = ("logit", "probit")
    methods: tuple[Method, ...] = ("kova", "sm")
    order: Order = "C"
    repeat: int = 11
    numpy_repeat: int = 5
    rounds: int = 3
    blas_threads: int | None = None
    chunk_sizes: tuple[int, ...] = (8192, 32768, 131072)
    zarn_chunk_sizes: tuple[int, ...] = (65536,)
    skip_statsmodels: bool = False
    skip_numpy: bool = False
    scaling: bool = False
    scaling_n: tuple[int, ...] = (10**5, 10**6, 10**7)
    margins: bool = False
    margins_n: tuple[int, ...] = (10**5, 10**6)
    partitioned: bool = False
    partitioned_n: tuple[int, ...] = (10**7,)
    factors: tuple[Factor, ...] = FACTORS
    # Rows per Parquet file of the partitioned case; smaller only to test the harness.
    file_rows: int = 10**6
    skip_single_thread: bool = False
    keep_data: Path | None = None
    markdown: bool = False


def build_parser() -> argparse.ArgumentParser:
    """Returns the parser of the command line, with the defaults of Options."""
    default = Options()
    parser = argparse.ArgumentParser(description=DESCRIPTION)
    parser.add_argument("--n", type=int, default=default.n, help="rows (default 10**6)")
    parser.add_argument(
        "--k", type=int, default=default.k, help="columns with the constant (default 21)"
    )
    parser.add_argument(
        "--binary", type=int, default=default.binary, help="binary columns (default 6)"
    )
    parser.add_argument(
        "--model",
        choices=["logit", "probit", "poisson"],
        nargs="+",
        default=list(default.models),
        help="models to run (default logit probit); poisson with --partitioned only",
    )
    parser.add_argument(
        "--method", choices=["kova", "sm"], nargs="+", default=list(default.methods)
    )
    parser.add_argument(
        "--order", choices=["C", "F"], default=default.order, help="memory order of X"
    )
    parser.add_argument(
        "--repeat", type=int, default=default.repeat, help="timed calls of zarn and the floor"
    )
    parser.add_argument(
        "--numpy-repeat", type=int, default=default.numpy_repeat, help="timed calls of NumPy"
    )
    parser.add_argument(
        "--rounds",
        type=int,
        default=default.rounds,
        help="rounds of fresh processes per case; each round runs every competitor once, "
        "so that all of them sample the same stretch of a machine whose speed drifts",
    )
    parser.add_argument(
        "--blas-threads",
        type=int,
        help="OPENBLAS_NUM_THREADS for every competitor (default: the libraries' own choice)",
    )
    parser.add_argument(
        "--chunk-sizes",
        type=int,
        nargs="+",
        default=list(default.chunk_sizes),
        help="chunk sizes tried for NumPy",
    )
    parser.add_argument(
        "--zarn-chunk-sizes",
        type=int,
        nargs="*",
        default=list(default.zarn_chunk_sizes),
        help="chunk_size values timed for zarn besides none",
    )
    parser.add_argument("--skip-statsmodels", action="store_true")
    parser.add_argument("--skip-numpy", action="store_true")
    parser.add_argument(
        "--scaling", action="store_true", help="time zarn alone over --scaling-n in C and F order"
    )
    parser.add_argument("--scaling-n", type=int, nargs="+", default=list(default.scaling_n))
    parser.add_argument(
        "--margins",
        action="store_true",
        help="effects by variable: velmora_margins.margins against zarn over --margins-n",
    )
    parser.add_argument("--margins-n", type=int, nargs="+", default=list(default.margins_n))
    parser.add_argument(
        "--partitioned",
        action="store_true",
        help="fit plus effects from Parquet files on Dask against statsmodels, over "
        "--partitioned-n (statsmodels only where the memory is there)",
    )
    parser.add_argument("--partitioned-n", type=int, nargs="+", default=list(default.partitioned_n))
    parser.add_argument(
        "--factor",
        choices=FACTORS,
        nargs="+",
        help="with --partitioned, how the data stores the factor g: the integers 1 to 5, "
        "text labels, or both in turn (default numeric text)",
    )
    # Files of fewer rows let the harness's tests and the smoke run read several files.
    parser.add_argument(
        "--partitioned-file-rows", type=int, default=default.file_rows, help=argparse.SUPPRESS
    )
    parser.add_argument(
        "--skip-single-thread",
        action="store_true",
        help="with --partitioned, leave out the run on one thread",
    )
    parser.add_argument(
        "--keep-data", metavar="DIR", help="build the data in DIR and keep it (reused when present)"
    )
    parser.add_argument("--markdown", action="store_true", help="print the tables as Markdown")
    return parser


def parse_options(argv: Sequence[str] | None = None) -> Options:
    """Returns the options of a command line; exits with status 2 on a wrong one."""
    parser = build_parser()
    args = parser.parse_args(argv)
    if not 0 <= args.binary <= args.k - 1:
        parser.error("--binary must lie between 0 and k - 1")
    if args.rounds < 1:
        parser.error("--rounds must be at least 1")
    if not args.partitioned and not set(args.model) <= set(ZARN_MODELS):
        parser.error("--model poisson runs with --partitioned only")
    if args.factor is not None and not args.partitioned:
        parser.error("--factor runs with --partitioned only")
    if args.partitioned_file_rows < 1:
        parser.error("--partitioned-file-rows must be at least 1")
    return Options(
        n=args.n,
        k=args.k,
        binary=args.binary,
        models=tuple(args.model),
        methods=tuple(args.method),
        order=args.order,
        repeat=args.repeat,
        numpy_repeat=args.numpy_repeat,
        rounds=args.rounds,
        blas_threads=args.blas_threads,
        chunk_sizes=tuple(args.chunk_sizes),
        zarn_chunk_sizes=tuple(args.zarn_chunk_sizes),
        skip_statsmodels=args.skip_statsmodels,
        skip_numpy=args.skip_numpy,
        scaling=args.scaling,
        scaling_n=tuple(args.scaling_n),
        margins=args.margins,
        margins_n=tuple(args.margins_n),
        partitioned=args.partitioned,
        partitioned_n=tuple(args.partitioned_n),
        factors=tuple(dict.fromkeys(args.factor)) if args.factor else FACTORS,
        file_rows=args.partitioned_file_rows,
        skip_single_thread=args.skip_single_thread,
        keep_data=Path(args.keep_data) if args.keep_data else None,
        markdown=args.markdown,
    )
