"""The rows a partitioned fit uses, against statsmodels' fit and effects on the same data:
missing values in several columns, partitions that lack levels of a factor, and text
levels whose order must not depend on the interpreter's hash seed."""

import json
import os
import subprocess
import sys
import textwrap

import numpy as np
import pandas as pd
import pytest
import statsmodels.formula.api as smf

import velmora_margins
from support import in_parquet_files
from velmora_margins.partitioned import sources
from velmora_margins.partitioned.files import read_file

dd = pytest.importorskip("dask.dataframe")

FIT = {"logit": smf.logit, "probit": smf.probit}
JOBS = {1.0: "student", 2.0: "farm", 3.0: "clerical", 4.0: "teacher", 5.0: "manager", 6.0: "pro"}


def assert_same_fit_and_effects(ours, theirs, **options):
    """Coefficients to 1e-8, covariance to 1e-7 and effects to 1e-8 (their standard errors,
    which carry the covariance's agreement, to 1e-7), all relative."""
    assert list(ours.params.index) == list(theirs.params.index)
    np.testing.assert_allclose(ours.params, theirs.params, rtol=1e-8, atol=0)
    np.testing.assert_allclose(ours.cov_params(), theirs.cov_params(), rtol=1e-7, atol=0)
    assert ours.nobs == theirs.nobs
    a = velmora_margins.margins(ours, **options)
    b = velmora_margins.margins(theirs, **options)
    pd.testing.assert_frame_equal(a.iloc[:, :2], b.iloc[:, :2])
    np.testing.assert_allclose(a["dy/dx"], b["dy/dx"], rtol=1e-8, atol=0)
    np.testing.assert_allclose(a["Std. Err"], b["Std. Err"], rtol=1e-7, atol=0)


@pytest.fixture(scope="module")
def holed(fair):
    """The survey with values missing in four regressors, among them a factor and a text
    column, and in the outcome, each in different rows."""
    data = fair.assign(job=fair["occupation"].map(JOBS)).astype({"affair": float})
    index = np.arange(len(data))
    data.loc[index % 37 == 1, "age"] = np.nan
    data.loc[index % 41 == 2, "yrs_married"] = np.nan
    data.loc[index % 43 == 3, "religious"] = np.nan
    data.loc[index % 47 == 4, "job"] = None
    data.loc[index % 53 == 5, "affair"] = np.nan
    data.loc[index % 59 == 6, "children"] = np.nan  # read by no formula: keeps its rows
    return data


HOLED = "affair ~ age + I(age**2) + yrs_married + C(religious) + C(religious):age + job"


@pytest.mark.parametrize("kind", ["logit", "probit"])
def test_rows_with_missing_values_are_left_out_as_statsmodels_does(holed, kind):
    theirs = FIT[kind](HOLED, holed).fit(disp=0)
    assert theirs.nobs < len(holed) - 600  # every column's holes cost rows
    ours = velmora_margins.fit(HOLED, holed, model=kind)
    assert_same_fit_and_effects(ours, theirs)


@pytest.mark.dask_scheduler
def test_missing_values_on_dask_with_weights_and_groups(holed):
    theirs = smf.logit(HOLED, holed).fit(disp=0)
    ours = velmora_margins.fit(HOLED, dd.from_pandas(holed, npartitions=3))
    assert_same_fit_and_effects(ours, theirs, by="occupation", weights="educ")


def sorted_by(fair, column):
    data = fair.assign(job=fair["occupation"].map(JOBS), young=fair["age"] < 30)
    return data.sort_values(column, kind="stable").reset_index(drop=True)


LEVELS = "affair ~ age + job + job:yrs_married + C(religious) + young"


def lacking(partitions, column):
    """Whether some partition lacks a level that the whole data has."""
    everything = set().union(*(set(p[column]) for p in partitions))
    return any(set(p[column]) != everything for p in partitions)


@pytest.mark.dask_scheduler
@pytest.mark.parametrize("column", ["job", "religious", "young"])
def test_dask_partitions_that_lack_levels(fair, column):
    data = sorted_by(fair, column)
    frame = dd.from_pandas(data, npartitions=5)
    assert lacking([p.compute() for p in frame.to_delayed()], column)
    assert_same_fit_and_effects(
        velmora_margins.fit(LEVELS, frame), smf.logit(LEVELS, data).fit(disp=0)
    )


def test_threads_partitions_that_lack_levels(fair, monkeypatch):
    data = sorted_by(fair, "job")
    monkeypatch.setattr(sources, "FRAME_PARTITION_ROWS", 1000)
    assert lacking([data.iloc[i : i + 1000] for i in range(0, len(data), 1000)], "job")
    assert_same_fit_and_effects(
        velmora_margins.fit(LEVELS, data, model="probit"), smf.probit(LEVELS, data).fit(disp=0)
    )


SUM_CODED = "affair ~ age + C(religious, Sum) + C(religious, Sum):yrs_married"


@pytest.mark.parametrize("per_column", [False, True])
def test_a_sum_coded_level_that_some_partitions_lack(fair, monkeypatch, per_column):
    """The last level is -1 in every column of its factor: in a partition that lacks it,
    the columns hold only 0 and 1, yet over all the rows they are not 0/1 columns."""
    data = sorted_by(fair, "religious")
    monkeypatch.setattr(sources, "FRAME_PARTITION_ROWS", 1000)
    assert 4 not in set(data["religious"][:1000])
    assert 4 in set(data["religious"])
    ours = velmora_margins.fit(SUM_CODED, data)
    theirs = smf.logit(SUM_CODED, data).fit(disp=0)
    assert_same_fit_and_effects(ours, theirs, per_column=per_column)


@pytest.mark.dask_scheduler
def test_categorical_levels_keep_their_own_order(fair):
    order = ["pro", "farm", "teacher", "student", "manager", "clerical"]
    data = sorted_by(fair, "job").assign(job=lambda d: pd.Categorical(d["job"], categories=order))
    ours = velmora_margins.fit(LEVELS, dd.from_pandas(data, npartitions=4))
    theirs = smf.logit(LEVELS, data).fit(disp=0)
    assert list(ours.params.index)[1:6] == [f"job[T.{level}]" for level in order[1:]]
    assert_same_fit_and_effects(ours, theirs)


def test_levels_learnt_from_parquet_dictionaries_are_those_the_rows_take(holed, tmp_path):
    # Each file stores job as text in a dictionary that holds a name no row takes and that
    # would sort first, and some files lack levels the others have.
    pa = pytest.importorskip("pyarrow")
    pq = pytest.importorskip("pyarrow.parquet")
    data = sorted_by(holed, "job")
    names = ["astronaut", *JOBS.values()]
    for i, rows in enumerate(np.array_split(np.arange(len(data)), 4)):
        part = data.iloc[rows]
        table = pa.Table.from_pandas(part, preserve_index=False)
        job = pa.DictionaryArray.from_arrays(
            pa.array([names.index(j) if isinstance(j, str) else None for j in part["job"]]),
            pa.array(names),
        )
        table = table.set_column(table.schema.get_field_index("job"), "job", job)
        pq.write_table(table, tmp_path / f"part{i}.parquet", store_schema=False)
    assert lacking([data.iloc[r] for r in np.array_split(np.arange(len(data)), 4)], "job")
    source = sources.open_source(tmp_path).reading_levels(["job"])
    if source.levels:  # text read from the dictionaries, as from pandas 3 on
        assert "astronaut" in source.load(0)["job"].cat.categories
    ours = velmora_margins.fit(HOLED, str(tmp_path))
    assert_same_fit_and_effects(ours, smf.logit(HOLED, data).fit(disp=0))


FIT_IN_A_PROCESS = textwrap.dedent(
    """
    import json, sys
    import dask.dataframe as dd
    import statsmodels.api as sm
    import velmora_margins

    data = sm.datasets.fair.load_pandas().data
    jobs = dict(zip(range(1, 7), sys.argv[1].split(",")))
    data = data.assign(
        affair=(data["affairs"] > 0).astype(int), job=data["occupation"].map(jobs)
    ).sort_values("job", kind="stable").reset_index(drop=True)
    out = {}
    for name, frame in (("pandas", data), ("dask", dd.from_pandas(data, npartitions=4))):
        result = velmora_margins.fit("affair ~ age + job + job:yrs_married", frame)
        table = velmora_margins.margins(result)
        out[name] = [
            list(result.params.index), list(map(float, result.params)),
            list(table["contrast"]), list(map(float, table["dy/dx"])),
        ]
    print(json.dumps(out))
    """
)


@pytest.mark.dask_scheduler
def test_text_levels_do_not_depend_on_the_hash_seed():
    # Names whose order as a set changes with the seed; their sorted order does not.
    names = ["welder", "baker", "nurse", "pilot", "actor", "judge"]
    runs = []
    for seed in ("0", "1", "2"):
        environment = {**os.environ, "PYTHONHASHSEED": seed}
        done = subprocess.run(
            [sys.executable, "-c", FIT_IN_A_PROCESS, ",".join(names)],
            env=environment,
            capture_output=True,
            text=True,
            check=True,
            timeout=300,
        )
        runs.append(json.loads(done.stdout))
    first = runs[0]
    assert first["pandas"][0][1:6] == [f"job[T.{n}]" for n in sorted(names)[1:]]
    assert first["pandas"][2][1:6] == [f"{n} - actor" for n in sorted(names)[1:]]
    for run in runs:
        assert run == first
    np.testing.assert_allclose(first["dask"][1], first["pandas"][1], rtol=1e-12)


def test_parquet_text_read_as_levels_gives_the_same_fit_and_effects(holed, tmp_path):
    # Text columns that only name levels are read from the files' dictionaries as
    # categoricals; one also named by the effects' groups is read as text for them.
    data = sorted_by(holed, "job").assign(
        band=lambda d: d["rate_marriage"].map({1: "low", 2: "low", 3: "mid", 4: "high", 5: "top"})
    )
    in_parquet_files(data, tmp_path, files=4)
    source = sources.open_source(tmp_path).reading_levels(["job", "band", "age"])
    # Text comes as pandas' string dtype from pandas 3 on; as objects before, read as such.
    if isinstance(source.file_dtypes["job"], pd.StringDtype):
        assert source.levels == ("job", "band")
        assert isinstance(source.load(0).dtypes["job"], pd.CategoricalDtype)
    else:
        assert source.levels == ()
    formula = HOLED + " + band"
    ours = velmora_margins.fit(formula, str(tmp_path))
    theirs = smf.logit(formula, data).fit(disp=0)
    assert_same_fit_and_effects(ours, theirs)
    assert_same_fit_and_effects(ours, theirs, by="band")


def test_a_files_first_rows_and_all_its_rows_across_its_row_groups(holed, tmp_path):
    # The first rows, which tell the formula engine the columns' types, come from the
    # start of the file whatever its row groups, with the types of the whole file's rows.
    path = tmp_path / "rows.parquet"
    holed.to_parquet(path, row_group_size=7)
    columns = ["affair", "age", "job", "religious"]
    whole = pd.read_parquet(path, columns=columns)
    for rows in (1, 5, 7):
        head = read_file(str(path), "parquet", columns, rows=rows)
        pd.testing.assert_frame_equal(head, whole.head(rows))
    # And all of it, a text column read as levels from the row groups' dictionaries.
    read = read_file(str(path), "parquet", columns, levels=("job",))
    assert isinstance(read.dtypes["job"], pd.CategoricalDtype)
    pd.testing.assert_frame_equal(read, whole.astype({"job": read.dtypes["job"]}))


@pytest.mark.parametrize("kind", ["parquet", "csv"])
def test_the_first_rows_are_read_once_as_the_files_open(holed, tmp_path, monkeypatch, kind):
    # Opening the files reads the first file's first rows for the columns' types; the
    # passes that look at the first rows alone take them from there, narrowed.
    for i, rows in enumerate(np.array_split(np.arange(len(holed)), 2)):
        part = holed.iloc[rows]
        if kind == "csv":
            part.to_csv(tmp_path / f"part{i}.csv", index=False)
        else:
            part.to_parquet(tmp_path / f"part{i}.parquet")
    source = sources.open_files(str(tmp_path))
    first = source.paths[0]
    reads = []
    real = sources.read_file
    monkeypatch.setattr(sources, "read_file", lambda *a, **k: reads.append(a) or real(*a, **k))
    narrowed = source.select(["job", "age", "affair"]).reading_levels(["job"])
    columns = list(narrowed.columns)
    head = narrowed.load(0, rows=sources.HEAD_ROWS)
    assert reads == []
    pd.testing.assert_frame_equal(head, real(first, kind, columns, rows=sources.HEAD_ROWS))
    # Beyond the rows kept, and past the first file, the files are read again.
    more = narrowed.load(0, rows=sources.HEAD_ROWS + 1)
    pd.testing.assert_frame_equal(more, real(first, kind, columns, rows=sources.HEAD_ROWS + 1))
    narrowed.load(1, rows=5)
    assert [read[0] for read in reads] == [first, source.paths[1]]


def test_a_fit_from_files_leaves_dask_data_frames_unimported(fair, tmp_path):
    # Files are read by the fit's own tasks; importing Dask's data frames, which these
    # do not need, would cost every fit half a second.
    folder = in_parquet_files(fair, tmp_path)
    code = (
        "import sys, velmora_margins\n"
        f"fit = velmora_margins.fit('affair ~ age + C(religious)', {folder!r})\n"
        "velmora_margins.margins(fit)\n"
        "print(int(fit.nobs), 'dask.dataframe' in sys.modules)"
    )
    done = subprocess.run(
        [sys.executable, "-c", code], capture_output=True, text=True, check=True, timeout=300
    )
    assert done.stdout.split() == [str(len(fair)), "False"]
