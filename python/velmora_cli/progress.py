"""Progress lines on stderr for the steps that can take a while."""

import sys
import time
from collections.abc import Iterator
from contextlib import contextmanager


class Progress:
    """Writes one line per finished step, with its elapsed time, unless disabled.

    Notes made while a step runs are held back until its line is finished.
    """

    def __init__(self, enabled: bool) -> None:
        self.enabled = enabled
        self._in_step = False
        self._held: list[str] = []

    @contextmanager
    def step(self, action: str) -> Iterator[list[str]]:
        """Reports ``action`` when its block ends; text appended to the yielded list is added.

        A block that raises reports the step as failed and lets the exception go on.
        """
        details: list[str] = []
        self._write(f"velmora: {action} ...", end="")
        self._in_step = True
        start = time.perf_counter()
        try:
            yield details
        except BaseException:
            self._finish("failed")
            raise
        elapsed = time.perf_counter() - start
        self._finish(", ".join(["done", *details, f"{elapsed:.2f} s"]))

    def note(self, text: str) -> None:
        """Writes a line that is not a step, such as a warning from the fit."""
        if self._in_step:
            self._held.append(text)
        else:
            self._write(f"velmora: {text}")

    def _finish(self, text: str) -> None:
        self._in_step = False
        self._write(f" {text}")
        for held in self._held:
            self._write(f"velmora: {held}")
        self._held.clear()

    def _write(self, text: str, end: str = "\n") -> None:
        if self.enabled:
            print(text, end=end, file=sys.stderr, flush=True)
