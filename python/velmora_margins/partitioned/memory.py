"""Giving freed memory back to the system between partitions.

Reading a partition allocates its columns twice over (Arrow's buffers, then the data
frame), and the allocators keep much of what is freed for later: Arrow's pool, and the C
library's heaps, whose threshold for mapping large blocks apart rises once such blocks
are freed. Over many partitions that adds up to more than the rows being worked on, so the
freed memory is handed back every few partitions. Not after each one: the next partition's
reading would then ask the system for all its memory again, page by page, which took a
sixth of a pass's time, and the peak was no lower.
"""

from __future__ import annotations

import ctypes
import ctypes.util
import itertools
import sys
from functools import cache
from typing import Any

# Partitions read between two hand-backs of the freed memory.
PARTITIONS_PER_GIVE_BACK = 8
_partitions = itertools.count(1)  # its next() is atomic under the interpreter lock


@cache
def c_library() -> Any:
    """Returns the C library if it can trim its heaps (glibc), else None."""
    name = ctypes.util.find_library("c")
    if name is None:
        return None
    try:
        library = ctypes.CDLL(name)
        library.malloc_trim.argtypes = [ctypes.c_size_t]
    except (OSError, AttributeError):
        return None
    return library


def partition_done() -> None:
    """Notes that a partition's reading is freed; every few partitions, gives back the
    memory that the allocators hold free."""
    if next(_partitions) % PARTITIONS_PER_GIVE_BACK == 0:
        give_back()


def give_back() -> None:
    """Returns the memory that Arrow's pool and the C library's heaps hold free."""
    pyarrow = sys.modules.get("pyarrow")
    if pyarrow is not None:
        pyarrow.default_memory_pool().release_unused()
    library = c_library()
    if library is not None:
        library.malloc_trim(0)
