"""Progress lines on stderr for the steps that can take a while."""

import sys
import time
from collections.abc import Iterator
from contextlib import contextmanager


class Progress:
    """Writes one line per finished step, with its elapsed time, unless disabled.

    Notes made while a step runs are held back until its line is finished. Progress
    within a step (``within``) breaks the step's line; the step's end is then reported
    on a line of its own.
    """

    def __init__(self, enabled: bool, live: bool = False) -> None:
        self.enabled = enabled
        self.live = live  # stderr is a terminal: progress within a step overwrites itself
        self._in_step = False
        self._action = ""
        self._broken = False
        self._overwriting = False
        self._held: list[str] = []

    @contextmanager
    def step(self, action: str) -> Iterator[list[str]]:
        """Reports ``action`` when its block ends; text appended to the yielded list is added.

        A block that raises reports the step as failed and lets the exception go on.
        """
        details: list[str] = []
        self._write(f"velmora: {action} ...", end="")
        self._in_step, self._action, self._broken = True, action, False
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

    def within(self, text: str, last: bool = True) -> None:
        """Writes how a running step is getting on; on a terminal, a line that is not
        the last is overwritten by the next."""
        if not self.enabled or not (last or self.live):
            return
        if self._in_step and not self._broken:
            self._write("")
            self._broken = True
        end = "\n" if last or not self.live else ""
        self._write(f"\rvelmora:   {text}" if self.live else f"velmora:   {text}", end=end)
        self._overwriting = not last and self.live

    def _finish(self, text: str) -> None:
        self._in_step = False
        if self._overwriting:
            self._write("")
            self._overwriting = False
        if self._broken:
            self._write(f"velmora: {self._action}: {text}")
        else:
            self._write(f" {text}")
        for held in self._held:
            self._write(f"velmora: {held}")
        self._held.clear()

    def _write(self, text: str, end: str = "\n") -> None:
        if self.enabled:
            print(text, end=end, file=sys.stderr, flush=True)
