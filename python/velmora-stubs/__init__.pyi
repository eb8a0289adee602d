from typing import Literal, SupportsIndex

import pandas as pd

__all__ = ["zarn"]

def zarn(
    model: object,
    chunk_size: SupportsIndex | None = None,
    se_method: Literal["kova", "sm"] | None = None,
) -> pd.DataFrame: ...
