"""Fixtures of the hardening checks: a measure of what repeated calls leave
behind, and the sample repository in a scratch copy."""
import contextlib
import ctypes
import gc
import logging
import os
import shutil
import sys
import tracemalloc
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
SAMPLE_REPO = ROOT / "examples" / "sample_repo"

# Under the sanitizer the interpreter allocates with malloc: it keeps no
# block count, and the sanitizer's quarantine makes the resident size grow.
# The sanitizer's allocator counts the bytes in use instead (C++ buffers
# included); tracemalloc is not used there, since starting and stopping it
# makes the leak checker report the interpreter's own objects at exit.
SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")
if SANITIZED:
    _runtime = ctypes.CDLL(None)
    _runtime.__sanitizer_get_current_allocated_bytes.restype = ctypes.c_size_t


def _allocated():
    if SANITIZED:
        return _runtime.__sanitizer_get_current_allocated_bytes()
    return tracemalloc.get_traced_memory()[0]


@contextlib.contextmanager
def unrecorded():
    """Allocations made inside are not reported by the leak checker of a
    sanitized run (for leaks made on purpose)."""
    if SANITIZED:
        _runtime.__lsan_disable()
    try:
        yield
    finally:
        if SANITIZED:
            _runtime.__lsan_enable()


def _rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.fixture(autouse=True)
def shipped_token_table():
    """Every test here starts from the shipped token table: other tests
    load tables of their own (or random ones) into the module's dicts."""
    from .fuzz import module
    module()


class _Discard(logging.Handler):
    """Formats every record (tracebacks included) and keeps nothing."""

    def emit(self, record):
        self.format(record)


@pytest.fixture
def quiet_tavox_logs():
    """The package's records are formatted and dropped instead of being
    kept by pytest's log capture, which would grow with every call."""
    logger = logging.getLogger("tavox")
    handler = _Discard()
    saved = logger.propagate, logger.level
    logger.addHandler(handler)
    logger.propagate = False
    logger.setLevel(logging.DEBUG)
    yield
    logger.removeHandler(handler)
    logger.propagate, logger.level = saved


class Growth:
    """What `calls` further calls of an operation left behind, once it had
    been warmed up: interpreter blocks, allocated bytes (traced by
    tracemalloc, or counted by the sanitizer's allocator), resident bytes,
    and the change of each watched object's reference count.

    The calls run in several windows and each figure is the smallest of
    them: a leak grows in every window, while a cache that fills up now and
    then (the libraries' own) grows in one.
    """

    def __init__(self, calls, windows):
        self.calls = calls
        self.blocks = min(w[0] for w in windows)
        self.traced = min(w[1] for w in windows)
        self.rss = min(w[2] for w in windows)
        self.refs = [min((w[3][i] for w in windows), key=abs)
                     for i in range(len(windows[0][3]))]

    def __repr__(self):
        return ("<%d calls per window: %+d blocks, %+d allocated bytes, %+d resident bytes, "
                "refs %r>" % (self.calls, self.blocks, self.traced, self.rss, self.refs))


def _sample(watched):
    gc.collect()
    # The interpreter's method cache keeps the attribute names it last
    # looked up alive in its slots; names looked up from C++ are fresh
    # strings each time, so the cache would hold a few thousand of them
    # after a while and look like slow growth.  Emptied, it holds none.
    sys._clear_type_cache()
    return (sys.getallocatedblocks(), _allocated(), _rss(),
            [sys.getrefcount(w) for w in watched])


def measure(op, *watched, calls=400, warmup=60, windows=3):
    """Growth per window of `calls` calls of `op`, after `warmup` calls."""
    tracing = SANITIZED or tracemalloc.is_tracing()
    if not tracing:
        # Started before the warm-up: objects made before tracing began and
        # replaced during the run (the interpreter's caches churn) would
        # otherwise count as growth.
        tracemalloc.start()
    try:
        for _ in range(warmup):
            op()
        before = _sample(watched)
        found = []
        for _ in range(windows):
            for _ in range(calls):
                op()
            after = _sample(watched)
            found.append((after[0] - before[0], after[1] - before[1], after[2] - before[2],
                          [a - b for a, b in zip(after[3], before[3])]))
            before = after
    finally:
        if not tracing:
            tracemalloc.stop()
    return Growth(calls, found)


@pytest.fixture
def assert_steady(quiet_tavox_logs):
    """assert_steady(op, *watched, calls=..., rss_per_call=...): run `op`
    `calls` times to warm it up, then three windows of `calls` calls, and
    fail if it leaves memory or references behind.

    The limits are generous, far below one leaked object per call: a
    quarter of a block per call, 16 allocated bytes per call (with floors for
    small windows), the watched reference counts back within 2, and
    (outside the sanitizer) a resident growth below `rss_per_call` bytes per
    call, which the caller sets well below the size of the C++ buffers one
    call works with, so that a leaked buffer shows."""
    def check(op, *watched, calls=150, rss_per_call=4096):
        g = measure(op, *watched, calls=calls, warmup=calls)
        assert not over_limits(g, rss_per_call), g
        return g
    return check


def over_limits(g, rss_per_call=4096):
    """The names of the limits of `assert_steady` that growth `g` breaks."""
    calls = g.calls
    broken = []
    if g.blocks >= max(16, calls // 4):
        broken.append("blocks")
    if g.traced >= max(4096, 16 * calls):
        broken.append("traced")
    if not all(abs(r) <= 2 for r in g.refs):
        broken.append("refs")
    if not SANITIZED and g.rss >= max(2 << 20, rss_per_call * calls):
        broken.append("rss")
    return broken


@pytest.fixture
def sample_repo(tmp_path):
    """A scratch copy of the sample repository (its files get rewritten)."""
    if not SAMPLE_REPO.is_dir():
        pytest.skip("the sample repository is not in this checkout")
    dest = tmp_path / "sample_repo"
    shutil.copytree(SAMPLE_REPO, dest, symlinks=True)
    return dest
