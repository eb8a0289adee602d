"""The velmora command as a user runs it: whole runs, the files and plots it writes, and its
errors. A real process is started where the process itself is under test (its exit status
and streams, one run per output format, the built-in comparison); the other runs call the
command's main() in this process."""

import json
import re
import shutil
import subprocess
import sys
import xml.etree.ElementTree as ET
from pathlib import Path

import numpy as np
import pandas as pd
import pytest
import statsmodels.api as sm
import statsmodels.formula.api as smf

import ame_reference as ref
import velmora_margins
from velmora import zarn
from velmora_cli.cli import main

FORMULA = "affair ~ age + yrs_married + C(religious)"
FIT = {"logit": smf.logit, "probit": smf.probit}
TERMS = ["C(religious)[T.2.0]", "C(religious)[T.3.0]", "C(religious)[T.4.0]", "age", "yrs_married"]
NUMBERS = ["dy/dx", "Std. Err", "z", "Pr(>|z|)", "Conf. Int. Low", "Conf. Int. Hi"]


def velmora(*args, cwd=None):
    """Runs the installed console script; returns the finished process."""
    script = Path(sys.executable).with_name("velmora")
    command = [str(script) if script.exists() else shutil.which("velmora"), *map(str, args)]
    return subprocess.run(command, capture_output=True, text=True, cwd=cwd, timeout=300)


def run_main(capsys, *args):
    """Runs the command's main() in this process; returns its exit status, stdout and stderr."""
    try:
        status = main([str(a) for a in args])
    except SystemExit as stop:  # the option parser ends the run itself
        status = stop.code
    out, err = capsys.readouterr()
    return status, out, err


def assert_one_error_line(status, out, err, want_status, message):
    """The run ended with want_status, printed nothing and one error line holding message."""
    assert status == want_status
    assert out == ""
    (line,) = err.splitlines()
    assert line.startswith("velmora: error: ")
    assert message in line


@pytest.fixture(scope="module")
def files(tmp_path_factory, fair):
    folder = tmp_path_factory.mktemp("data")
    fair.to_csv(folder / "fair.csv", index=False)
    fair.to_parquet(folder / "fair.parquet")
    spector = sm.datasets.spector.load_pandas().data
    # GPA above 3 predicts this outcome exactly.
    spector.assign(honours=(spector["GPA"] > 3.0).astype(int)).to_csv(
        folder / "sep.csv", index=False
    )
    (folder / "broken.csv").write_text('a,b\n1,2\n"3,4\n')
    return folder


def read_back(path):
    """Reads a written table into a frame indexed by (group, term) or term."""
    suffix = path.suffix
    if suffix == ".csv":
        table = pd.read_csv(path, keep_default_na=False)
    elif suffix == ".json":
        table = pd.DataFrame(json.loads(path.read_text()))
    else:
        lines = path.read_text().splitlines()
        if suffix == ".md":
            rows = [re.split(r"(?<!\\) \| ", line.strip("| ")) for line in lines]
            rows = [[cell.replace("\\|", "|") for cell in row] for row in rows]
            header, body = rows[0], rows[2:]
        else:
            rows = [line.removesuffix(r" \\").split(" & ") for line in lines if " & " in line]
            header = [
                cell.replace(r"\textgreater{}", ">").replace(r"\textbar{}", "|") for cell in rows[0]
            ]
            body = [[cell.replace(r"\_", "_") for cell in row] for row in rows[1:]]
        table = pd.DataFrame(body, columns=header)
        table[NUMBERS] = table[NUMBERS].astype(float)
    return table.set_index("term")


def check_plot(plot, terms=TERMS):
    """The file is a valid image of its suffix: big enough, or naming every term and the
    method, or a whole PDF."""
    data = plot.read_bytes()
    if plot.suffix == ".png":
        import matplotlib.image

        assert data.startswith(b"\x89PNG\r\n\x1a\n")
        height, width, _ = matplotlib.image.imread(plot).shape
        assert height > 200
        assert width > 200
    elif plot.suffix == ".svg":
        text = "".join(ET.fromstring(data).itertext())
        assert all(term in text for term in terms)
        assert "se_method = sm" in text
    else:
        assert data.startswith(b"%PDF")
        assert data.rstrip().endswith(b"%%EOF")


# One run per table format, three of them drawing a plot in one of its formats too.
@pytest.mark.parametrize(
    ("suffix", "options", "kind", "se_method", "fit_options", "plot"),
    [
        (".csv", ["--model", "logit"], "logit", "sm", {}, ".svg"),
        (".json", ["--model", "logit", "--se-method", "kova"], "logit", "kova", {}, ".png"),
        (".md", ["--model", "probit", "--chunk-size", "1000"], "probit", "sm", {}, None),
        (
            ".tex",
            ["--model", "logit", "--cov-type", "HC1"],
            "logit",
            "sm",
            {"cov_type": "HC1"},
            ".pdf",
        ),
    ],
)
def test_csv_run_writes_each_format(
    files, fair, suffix, options, kind, se_method, fit_options, plot
):
    out = files / f"ames{suffix}"
    drawing = [] if plot is None else ["--plot", files / f"forest{plot}"]
    proc = velmora(
        files / "fair.csv",
        "--formula",
        FORMULA,
        "--per-column",
        *options,
        "--output",
        out,
        *drawing,
        "-q",
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stderr == ""
    assert f"se_method: {se_method} (" in proc.stdout

    expected = zarn(FIT[kind](FORMULA, fair).fit(disp=0, **fit_options), se_method=se_method)
    written = read_back(out)
    assert list(written.index) == TERMS
    # Text and JSON keep every digit; Markdown and LaTeX show six decimals. The
    # command fits its own model from the file, so the two fits agree only to
    # rounding, which a tail p-value magnifies: hence 1e-10, not the last bit.
    exact = suffix in (".csv", ".json")
    for column in NUMBERS:
        np.testing.assert_allclose(
            written[column],
            expected[column],
            rtol=1e-10 if exact else 0,
            atol=0 if exact else 5.1e-7,
        )
    assert list(written["Significance"]) == list(expected["Significance"])
    if plot is not None:
        check_plot(files / f"forest{plot}")


def test_effects_by_variable_are_the_default(capsys, files, fair):
    out, plot = files / "by_variable.csv", files / "by_variable.svg"
    formula = "affair ~ age + I(age**2) + C(religious) + yrs_married"
    args = ["--formula", formula, "--model", "probit", "--weights", "children"]
    status, stdout, err = run_main(
        capsys, files / "fair.csv", *args, "--output", out, "--plot", plot, "-q"
    )
    assert status == 0, err
    assert "effects by variable" in stdout
    assert "rows weighted by children" in stdout
    written = pd.read_csv(out, keep_default_na=False).set_index(["term", "contrast"])
    result = smf.probit(formula, fair).fit(disp=0)
    expected = velmora_margins.margins(result, weights="children").set_index(["term", "contrast"])
    assert list(written.index) == list(expected.index)
    np.testing.assert_allclose(written[NUMBERS], expected[NUMBERS], rtol=1e-10)
    check_plot(plot, ["age", "yrs_married", "religious 2.0 - 1.0", "religious 4.0 - 1.0"])


def test_default_run_prints_both_methods_beside_statsmodels(spector):
    proc = velmora()
    assert proc.returncode == 0, proc.stderr
    assert re.search(r"fitting Probit \.\.\. done, .*\d\.\d\d s$", proc.stderr, re.M)
    blocks = re.split(r"^(Logit|Probit) of GRADE", proc.stdout, flags=re.M)[1:]
    assert blocks[0::2] == ["Logit", "Probit"]
    exog, endog = spector
    for name, block in zip(blocks[0::2], blocks[1::2], strict=True):
        result = getattr(sm, name)(endog, exog).fit(disp=0)
        sources = {
            "velmora, kova": zarn(result, se_method="kova")[NUMBERS],
            "velmora, sm": zarn(result, se_method="sm")[NUMBERS],
            "statsmodels": result.get_margeff(at="overall", method="dydx", dummy=True)
            .summary_frame()
            .set_axis(NUMBERS, axis=1),
        }
        seen, term = 0, None
        for line in block.splitlines():
            match = re.match(r"^(\w*)\s+(velmora, kova|velmora, sm|statsmodels)\s+(.*)$", line)
            if match:
                term = match[1] or term
                printed = [float(v) for v in match[3].split()[:6]]
                np.testing.assert_allclose(printed, sources[match[2]].loc[term], atol=5.1e-7)
                seen += 1
        assert seen == 9


def test_by_group_uses_one_fit_and_each_groups_rows(capsys, files, fair):
    out = files / "by.csv"
    args = ["--model", "probit", "--by", "occupation", "--per-column", "--output", out, "-q"]
    status, _, err = run_main(capsys, files / "fair.parquet", "--formula", FORMULA, *args)
    assert status == 0, err
    written = pd.read_csv(out, keep_default_na=False)
    assert list(written.columns[:2]) == ["occupation", "term"]
    assert list(written["occupation"].unique()) == sorted(fair["occupation"].unique())

    result = smf.probit(FORMULA, fair).fit(disp=0)
    X, names = result.model.exog, result.model.exog_names
    for value, table in written.groupby("occupation"):
        rows = X[(fair["occupation"] == value).to_numpy()]
        ames, errors = ref.marginal_effects(
            "probit", result.params.to_numpy(), rows, names, result.cov_params().to_numpy(), "sm"
        )
        reported = [names.index(t) for t in table["term"]]
        np.testing.assert_allclose(table["dy/dx"], ames[reported], rtol=1e-10)
        np.testing.assert_allclose(table["Std. Err"], errors[reported], rtol=1e-10)


BAD_INPUTS = [
    (["nothere.csv", "--formula", "y ~ x", "--model", "logit"], 1, "does not exist"),
    (
        ["broken.csv", "--formula", "a ~ b", "--model", "logit"],
        1,
        "cannot read 'broken.csv' as CSV",
    ),
    (["fair.xlsx", "--formula", "y ~ x", "--model", "logit"], 1, "use a .csv"),
    (
        ["fair.csv", "--formula", "affair ~ nope", "--model", "logit"],
        1,
        "'nope', which is not a column",
    ),
    (["fair.csv", "--formula", "affair ~ age +", "--model", "logit"], 1, "cannot use formula"),
    (["fair.csv", "--formula", "religious ~ age", "--model", "logit"], 1, "must hold only 0 and 1"),
    (
        ["sep.csv", "--formula", "honours ~ GPA + TUCE", "--model", "logit"],
        1,
        "perfectly separated",
    ),
    (
        ["sep.csv", "--formula", "honours ~ GPA + TUCE", "--model", "probit"],
        1,
        "perfectly separated",
    ),
    (["fair.csv", "--formula", "affair ~ age + I(2 * age)", "--model", "logit"], 1, "collinear"),
    (
        ["fair.csv", "--formula", "affair ~ age", "--model", "logit", "--by", "nope"],
        1,
        "no column 'nope'",
    ),
    (["fair.csv", "--formula", "affair ~ age", "--model", "tobit"], 2, "invalid choice 'tobit'"),
    (
        ["fair.csv", "--formula", "affair ~ age", "--model", "logit", "--se-method", "x"],
        2,
        "invalid choice",
    ),
    (
        ["fair.csv", "--formula", "affair ~ age", "--model", "logit", "--chunk-size", "0"],
        2,
        "at least 1",
    ),
    (
        ["fair.csv", "--formula", "affair ~ age", "--model", "logit", "--cov-type", "cluster"],
        2,
        "--cluster",
    ),
    (
        ["fair.csv", "--formula", "affair ~ age", "--model", "logit", "--output", "a.xlsx"],
        2,
        ".csv, .json",
    ),
    (
        ["fair.csv", "--formula", "affair ~ age", "--model", "logit", "--weights", "nope"],
        1,
        "--weights: no column 'nope'",
    ),
    (
        ["fair.csv", "--formula", "affair ~ age", "--model", "logit", "--se-method", "kova"],
        2,
        "--se-method kova applies to the per-design-column table",
    ),
    (["fair.csv", "--formula", "affair ~ age"], 2, "--model is required"),
    (["--formula", "affair ~ age"], 2, "applies to a DATA file"),
]


@pytest.mark.parametrize(("args", "status", "message"), BAD_INPUTS)
def test_bad_input_gives_one_line_and_status(capsys, monkeypatch, files, args, status, message):
    monkeypatch.chdir(files)
    assert_one_error_line(*run_main(capsys, *args, "-q"), status, message)


# A failure of the data (through main's status) and a misuse of the options (through the
# option parser's exit), as the process ends with them.
@pytest.mark.parametrize(("args", "status", "message"), [BAD_INPUTS[0], BAD_INPUTS[10]])
def test_bad_input_ends_the_process_with_one_line_and_status(files, args, status, message):
    proc = velmora(*args, "-q", cwd=files)
    assert_one_error_line(proc.returncode, proc.stdout, proc.stderr, status, message)


@pytest.mark.parametrize(
    ("blocked", "args", "extra"),
    [
        ("pyarrow", ["fair.parquet", "--formula", FORMULA, "--model", "logit"], "parquet"),
        (
            "matplotlib",
            ["fair.csv", "--formula", FORMULA, "--model", "logit", "--plot", "f.png"],
            "plot",
        ),
    ],
)
def test_missing_extra_names_its_install_command(capsys, monkeypatch, files, blocked, args, extra):
    monkeypatch.setitem(sys.modules, blocked, None)
    monkeypatch.setitem(sys.modules, "fastparquet", None)
    monkeypatch.chdir(files)
    status, _, err = run_main(capsys, *args, "-q")
    assert status == 1
    assert f"pip install 'velmora[{extra}]'" in err.strip().splitlines()[-1]
