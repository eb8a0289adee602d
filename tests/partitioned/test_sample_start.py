"""The iterative fits started from their fit on the first partitions: passes over those
alone; statsmodels' estimates in fewer passes over all the data; samples whose fit fails."""

from collections import Counter

import numpy as np
import pandas as pd
import pytest
import statsmodels.api as sm
import statsmodels.formula.api as smf
from test_models_fit import COUNT_FORMULA, counts

import velmora_margins
from support import in_parquet_files
from velmora_margins.formula.design_columns import CodedColumn
from velmora_margins.partitioned import api, sample, sources
from velmora_margins.partitioned.passes import SAMPLE_PIECES, Passes
from velmora_margins.partitioned.runner import runner_for

FORMULA = "affair ~ rate_marriage + age + yrs_married + children + educ + C(religious)"
MODELS = {
    "logit": lambda f, d: smf.logit(f, d).fit(disp=0, method="newton", tol=1e-12),
    "probit": lambda f, d: smf.probit(f, d).fit(disp=0, method="newton", tol=1e-12),
    "poisson": lambda f, d: smf.poisson(f, d).fit(disp=0, method="newton", tol=1e-12),
    "negbin": lambda f, d: smf.negativebinomial(f, d, loglike_method="nb2").fit(
        disp=0, method="newton", tol=1e-12, maxiter=200
    ),
    "glm": lambda f, d: smf.glm(f, d, family=sm.families.Gamma(sm.families.links.Log())).fit(
        tol=1e-14
    ),
}


@pytest.fixture(autouse=True)
def partitions_of_800(monkeypatch):
    """A pandas frame's partitions of 800 rows: 8 of the affairs survey, 10 of 8000 counts."""
    monkeypatch.setattr(sources, "FRAME_PARTITION_ROWS", 800)


def fit_counting(formula, data, **options):
    """Returns a fit and how many of its passes ran over each number of partitions."""
    seen = []
    ours = velmora_margins.fit(formula, data, progress=lambda *p: seen.append(p), **options)
    return ours, Counter(total for done, total in seen if done == total)


def assert_same(ours, theirs):
    np.testing.assert_allclose(ours.params, np.asarray(theirs.params), rtol=1e-8, atol=0)
    np.testing.assert_allclose(ours.bse, np.asarray(theirs.bse), rtol=1e-8, atol=0)
    assert ours.llf == pytest.approx(theirs.llf, rel=1e-10)


def rows_of(frame, index):
    return (index, len(frame))


@pytest.mark.dask_scheduler
def test_runners_pass_over_the_first_partitions_alone():
    dd = pytest.importorskip("dask.dataframe")
    frame = counts(2000)
    for data in (frame, dd.from_pandas(frame, npartitions=5)):
        runner = runner_for(sources.open_source(data))
        sizes = runner.run(rows_of)
        assert sum(n for _, n in sizes) == 2000
        first = runner.first(2)
        assert first.run(rows_of) == sizes[:2]
        assert first.run_kept(first.keep(rows_of), lambda kept, i: kept) == sizes[:2]
        assert runner.first(9).run(rows_of) == sizes


@pytest.mark.dask_scheduler
def test_kept_partitions_cut_into_pieces_of_consecutive_rows(fair):
    dd = pytest.importorskip("dask.dataframe")
    formula = "affair ~ age + C(religious)"
    whole = velmora_margins.fit(formula, fair)
    assert whole.model.kept is not None
    part = whole.model.kept.handles[0]
    rows = len(part.x)
    for data in (fair, dd.from_pandas(fair, npartitions=1)):
        runner = runner_for(sources.open_source(data))
        kept = runner.keep(lambda frame, index: part)[:1]
        pieces = runner.run_kept(runner.split_kept(kept, 3), lambda piece, index: piece)
        ends = np.array([0, rows // 3, 2 * rows // 3, rows])
        assert [len(p.x) for p in pieces] == list(np.diff(ends))
        np.testing.assert_array_equal(np.concatenate([p.x.array() for p in pieces]), part.x.array())
        np.testing.assert_array_equal(np.concatenate([p.y for p in pieces]), part.y)
        for p in pieces:  # views, not copies
            assert all(map(np.shares_memory, storage(p.x), storage(part.x)))


def storage(x):
    """The arrays that hold a design's columns: a level's column, its rows' codes."""
    return [c.codes if isinstance(c, CodedColumn) else c for c in x.columns]


@pytest.mark.parametrize("model", list(MODELS))
def test_a_sample_start_gives_statsmodels_fit_in_fewer_passes(fair, monkeypatch, model):
    formula, data = COUNT_FORMULA, counts(8000, seed=3)
    if model in ("logit", "probit"):
        # Shuffled: the survey lists those with affairs first.
        formula, data = FORMULA, fair.sample(frac=1.0, random_state=0)
    options = {"family": "gamma", "link": "log"} if model == "glm" else {}
    data = data.assign(visits=data["visits"] + 0.5) if model == "glm" else data
    partitions = -(-len(data) // 800)
    ours, passes = fit_counting(formula, data, model=model, **options)
    theirs = MODELS[model](formula, data)
    assert_same(ours, theirs)
    if model == "glm":
        assert ours.pearson_chi2 == pytest.approx(theirs.pearson_chi2, rel=1e-10)
    # The sample is the first quarter of the partitions, too few rows for SAMPLE_ROWS; run
    # in at least SAMPLE_PIECES pieces, so that every thread has rows to work on.
    pieces = max(partitions // 4, SAMPLE_PIECES)
    assert pieces > partitions // 4  # the sample's two partitions are cut in two each
    assert set(passes) == {partitions, pieces}
    monkeypatch.setattr(sample, "MOST_SHARE", 10**9)
    alone, before = fit_counting(formula, data, model=model, **options)
    assert set(before) == {partitions}
    assert passes[partitions] < before[partitions]
    np.testing.assert_allclose(ours.params, alone.params, rtol=1e-9, atol=0)


@pytest.mark.dask_scheduler
def test_samples_on_dask_kept_or_not(fair, monkeypatch, tmp_path):
    """A Dask DataFrame's rows are not known: its sample is a tenth of it, not kept. Files'
    rows are: their sample keeps its design matrices where those of all are not kept."""
    dd = pytest.importorskip("dask.dataframe")
    data = fair.sample(frac=1.0, random_state=0)
    theirs = MODELS["logit"](FORMULA, data)
    in_parquet_files(data, tmp_path, files=8)
    monkeypatch.setattr(api, "cache_limit", lambda: 0)
    first, samples = Passes.first, []

    def recording(self, count, keep):
        taken = first(self, count, keep)
        samples.append((count, self.kept is None, taken.kept is not None))
        return taken

    monkeypatch.setattr(Passes, "first", recording)
    # A kept sample of two partitions runs in SAMPLE_PIECES pieces; one not kept, as read.
    for source, taken in ((dd.from_pandas(data, npartitions=10), 1), (tmp_path, SAMPLE_PIECES)):
        ours, passes = fit_counting(FORMULA, source)
        assert_same(ours, theirs)
        assert passes[taken] > 0
    assert samples == [(1, True, False), (2, True, True)]


def test_a_sample_whose_fit_fails_is_set_aside(fair):
    # The survey lists those with affairs first: the sample's outcomes are all 1.
    assert (fair["affair"].iloc[:1600] == 1).all()
    for model in ("logit", "probit"):
        ours, passes = fit_counting(FORMULA, fair, model=model)
        assert_same(ours, MODELS[model](FORMULA, fair))
        assert passes[SAMPLE_PIECES] > 0
    # Within the sample, d = 1 predicts y = 1: its coefficient grows without end there,
    # until the sample's fit runs out of passes.
    rng = np.random.default_rng(0)
    frame = pd.DataFrame({"d": (rng.random(8000) < 0.05).astype(int), "x": rng.normal(size=8000)})
    frame["y"] = (rng.random(8000) < 1 / (1 + np.exp(-0.3 * frame["x"] - frame["d"]))).astype(int)
    frame.loc[(frame.index < 1600) & (frame["d"] == 1), "y"] = 1
    ours, passes = fit_counting("y ~ d + x", frame)
    assert_same(ours, MODELS["logit"]("y ~ d + x", frame))
    assert passes[SAMPLE_PIECES] == sample.MOST_PASSES
    # The sample lacks a region.
    visits = counts(8000, seed=3)
    visits.loc[:1600, "region"] = visits.loc[:1600, "region"].replace("east", "north")
    for model in ("poisson", "negbin"):
        ours, passes = fit_counting(COUNT_FORMULA, visits, model=model)
        assert_same(ours, MODELS[model](COUNT_FORMULA, visits))
        assert passes[SAMPLE_PIECES] > 0
