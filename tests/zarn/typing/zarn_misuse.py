"""Mistakes that the stub lets ``mypy --strict`` catch; each flagged line must be reported."""

from velmora import zarn

model = object()
zarn(model, chunk_size=2.5)  # flagged: not an index
zarn(model, chunk_size="100")  # flagged: not an index
zarn(model, se_method="SM")  # flagged: neither "kova" nor "sm"
zarn(model, chunksize=100)  # flagged: no such parameter
zarn()  # flagged: model is required
rows: int = zarn(model)  # flagged: the result is a DataFrame
