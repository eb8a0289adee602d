"""The errors velmora_margins raises, under one base class.

Every failure that the caller's input causes is a ``MarginsError``, a ``ValueError``, whose
message says what is wrong and how to fix it; the kinds below it say where the fault lies.
Wrong types of arguments stay ``TypeError``s, as in any Python function.
"""

from __future__ import annotations


class MarginsError(ValueError):
    """velmora_margins cannot do what was asked; the message says why and what to do."""


class ArgumentError(MarginsError):
    """An argument of a call cannot be used: ``argument`` names it, ``detail`` says why."""

    def __init__(self, argument: str, detail: str) -> None:
        super().__init__(f"{argument}: {detail}")
        self.argument = argument
        self.detail = detail

    def __reduce__(self) -> tuple[type[ArgumentError], tuple[str, str]]:
        return (type(self), (self.argument, self.detail))


class FormulaError(ArgumentError):
    """The formula cannot be read or used; its message names the formula itself."""

    def __init__(self, detail: str) -> None:
        MarginsError.__init__(self, detail)
        self.argument = "formula"
        self.detail = detail

    def __reduce__(self) -> tuple[type[FormulaError], tuple[str]]:  # type: ignore[override]
        return (type(self), (self.detail,))


class DesignError(MarginsError):
    """The formula's design cannot be read, or made again from the data."""


class SourceError(MarginsError):
    """The data cannot be read as asked."""


class PartitionError(SourceError):
    """A partition's rows cannot be used; the message names the partition."""


class FitError(MarginsError):
    """The model cannot be fitted to the data."""
