"""Typed use of zarn: ``mypy --strict`` accepts this file without complaint."""

import numpy as np
import pandas as pd
import statsmodels.api as sm  # type: ignore[import-untyped,unused-ignore]

import velmora
from velmora import zarn


def spector_effects(chunk_size: int | None = None) -> pd.DataFrame:
    data = sm.datasets.spector.load_pandas()
    result = sm.Logit(data.endog, sm.add_constant(data.exog)).fit(disp=0)
    exact: pd.DataFrame = zarn(result, chunk_size=chunk_size, se_method="sm")
    zarn(result, np.int64(8))
    velmora.zarn(model=result, se_method=None)
    return exact


def largest_effect(table: pd.DataFrame) -> float:
    return float(table["dy/dx"].abs().max())
