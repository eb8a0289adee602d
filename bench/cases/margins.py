"""Effects by variable: velmora_margins.margins against velmora.zarn on the same design.

Per model and size, each round starts one worker that builds the data (the benchmark's
continuous and 0/1 columns, a factor of five levels and a variable with its square) and
times zarn and margins in turn, call by call, so that the ratio of each pair is taken
on the same stretch of the machine's time. The peak extra memory of margins is set
against one copy of the data frame's columns that it reads per row: it must not grow
beyond that copy with the number of rows.
"""

from bench.cases import Outcome
from bench.checks import TOLERANCE_ZARN, Check, Target
from bench.competitors.floor import FloorProgram
from bench.options import Options
from bench.report import fmt_mib, fmt_ratio, fmt_seconds, print_table, progress
from bench.results import error_of, median, merge, paired_median, peak
from bench.workers import Result, Runner

RATIO_TARGET = 3.0
# The other questions, each against zarn call by call: at most so many times zarn's time.
QUESTION_TARGETS = {
    "predictions": 1.0,
    "margins, eyex": 2.0,
    "comparisons, levels and sd": 2.0,
    "predictions at 10 values": 5.0,
}
RATIO_ROWS = 10**6  # the ratio target is set at this size
# Memory margins may take besides the copy of its columns: the kernel's blocks, the
# chunk's changed columns and the table.
FIXED_MIB = 16.0


def run(options: Options, runner: Runner, floor: FloorProgram) -> Outcome:
    """Runs zarn and margins per model and size; returns the agreement checks and targets."""
    del floor  # the floor belongs to zarn's own case
    continuous = options.k - 1 - options.binary
    outcome = Outcome()
    for kind in options.models:
        for n in options.margins_n:
            task = {"model": kind, "n": n, "continuous": continuous, "binary": options.binary}
            rounds = []
            for r in range(options.rounds):
                progress(f"{kind}, margins at n = {n:,}, round {r + 1} of {options.rounds}")
                rounds.append(runner.run("margins", repeat=options.repeat, **task))
            result = pooled(rounds)
            report(options, kind, n, result)
            outcome.checks += checks(kind, n, result)
            outcome.targets += targets(kind, n, result)
    return outcome


def pooled(rounds: list[Result]) -> Result:
    """Pools the rounds' calls of each function; the rest comes from the first round."""
    good = [r for r in rounds if "error" not in r]
    if not good:
        return rounds[0]
    out = dict(good[0])
    out["zarn"] = merge([r["zarn"] for r in good])
    out["margins"] = merge([r["margins"] for r in good])
    out["questions"] = {
        name: {
            "zarn": merge([r["questions"][name]["zarn"] for r in good]),
            "call": merge([r["questions"][name]["call"] for r in good]),
        }
        for name in good[0].get("questions", {})
    }
    return out


def question_ratios(result: Result, name: str) -> list[float]:
    """Returns the call-by-call ratios of a question's times to zarn's."""
    pair = result["questions"][name]
    return [c / z for c, z in zip(pair["call"]["seconds"], pair["zarn"]["seconds"], strict=True)]


def ratios(result: Result, key: str = "seconds") -> list[float]:
    """Returns the call-by-call ratios of margins' times to zarn's."""
    pairs = zip(result["margins"][key], result["zarn"][key], strict=True)
    return [m / z for m, z in pairs]


def report(options: Options, kind: str, n: int, result: Result) -> None:
    print()
    if "error" in result:
        print(f"{kind.capitalize()}, effects by variable at n = {n:,}: {error_of(result)}")
        return
    zarn, margins = result["zarn"], result["margins"]
    print(
        f"{kind.capitalize()}, effects by variable: n = {n:,}, k = {result['k']} design columns "
        f"({options.binary} 0/1, a factor of 5 levels, a variable and its square), "
        f"{result['effects']} effects"
    )
    rows = [
        [
            label,
            fmt_seconds(median(r)),
            fmt_seconds(median(r, "cpu_seconds")),
            fmt_mib(peak(r)),
        ]
        for label, r in (
            ('zarn(se_method="sm")', zarn),
            ("margins", margins),
            *((name, pair["call"]) for name, pair in result.get("questions", {}).items()),
        )
    ]
    print_table(["function", "median s", "CPU s", "peak extra MiB"], rows, options.markdown)
    print(
        f"  margins / zarn, call by call: {fmt_ratio(paired_median(ratios(result)))} wall, "
        f"{fmt_ratio(paired_median(ratios(result, 'cpu_seconds')))} CPU; "
        f"the columns margins copies take {result['copy_mib']:.1f} MiB"
    )
    for name in result.get("questions", {}):
        ratio = paired_median(question_ratios(result, name))
        print(f"  {name} / zarn, call by call: {fmt_ratio(ratio)} wall")


def checks(kind: str, n: int, result: Result) -> list[Check]:
    if "error" in result:
        return []
    return [
        Check(
            f"{kind}, n = {n:,}: margins per column vs zarn",
            result["effects_difference"],
            result["errors_difference"],
            TOLERANCE_ZARN,
        )
    ]


def targets(kind: str, n: int, result: Result) -> list[Target]:
    prefix = f"{kind}, n = {n:,}"
    if "error" in result:
        return [Target(f"{prefix}: margins ran", "failed", False)]
    ratio = paired_median(ratios(result))
    extra = peak(result["margins"]) - result["copy_mib"]
    out = []
    if n >= RATIO_ROWS:  # below, the calls are too short for a fixed cost not to show
        label = f"{prefix}: margins / zarn <= {RATIO_TARGET:g}"
        out.append(Target(label, f"{ratio:.2f}", ratio <= RATIO_TARGET))
        for name, limit in QUESTION_TARGETS.items():
            if name in result.get("questions", {}):
                value = paired_median(question_ratios(result, name))
                label = f"{prefix}: {name} / zarn <= {limit:g}"
                out.append(Target(label, f"{value:.2f}", value <= limit))
    out.append(
        Target(
            f"{prefix}: margins peak extra - column copy <= {FIXED_MIB:g} MiB",
            f"{extra:.1f} MiB",
            extra <= FIXED_MIB,
        )
    )
    return out
