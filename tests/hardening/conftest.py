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
    """What further calls of an operation left behind once it had been
    warmed up: interpreter blocks, allocated bytes (traced by tracemalloc,
    or counted by the sanitizer's allocator), resident bytes, and the change
    of each watched object's reference count.

    The calls run in windows of two sizes, `calls` and four times as many,
    two of each, the short ones first.  Each figure of a size is the smallest of its
    two windows: a cache that fills up now and then (the libraries' own)
    grows in one window, a leak in every one.  What a leak leaves grows with
    the number of calls, so it shows as the difference between the two
    sizes; what an operation churns (threads, queues, the interpreter's code
    caches) is about the same in a long window as in a short one, and
    cancels out.
    """

    METRICS = ("blocks", "traced", "rss")

    def __init__(self, calls, small, large):
        self.calls = calls
        self.small = self._least(small)
        self.large = self._least(large)

    @staticmethod
    def _least(windows):
        fig = {m: min(w[i] for w in windows) for i, m in enumerate(Growth.METRICS)}
        fig["refs"] = [min((w[3][i] for w in windows), key=abs)
                       for i in range(len(windows[0][3]))]
        return fig

    def per_call(self, metric):
        """Growth per call: what the three times `calls` extra calls of the
        long windows left beyond the short ones, divided by their number."""
        return (self.large[metric] - self.small[metric]) / (3 * self.calls)

    @property
    def refs(self):
        return self.large["refs"]

    def __repr__(self):
        return ("<%d and %d calls per window: %s>" % (
            self.calls, 4 * self.calls, ", ".join(
                "%s %+d and %+d (%+.1f per call)" % (
                    m, self.small[m], self.large[m], self.per_call(m))
                for m in self.METRICS) +
            ", refs %r and %r" % (self.small["refs"], self.large["refs"])))


def _sample(watched):
    gc.collect()
    # The interpreter's method cache keeps the attribute names it last
    # looked up alive in its slots; names looked up from C++ are fresh
    # strings each time, so the cache would hold a few thousand of them
    # after a while and look like slow growth.  Emptied, it holds none.
    sys._clear_type_cache()
    return (sys.getallocatedblocks(), _allocated(), _rss(),
            [sys.getrefcount(w) for w in watched])


def measure(op, *watched, calls=100, warmup=60):
    """Growth of `op` (see Growth) after `warmup` calls, in windows of
    `calls` and 4 * `calls` calls: 10 * `calls` calls in all."""
    tracing = SANITIZED or tracemalloc.is_tracing()
    if not tracing:
        # Started before the warm-up: objects made before tracing began and
        # replaced during the run (the interpreter's caches churn) would
        # otherwise count as growth.
        tracemalloc.start()
    try:
        for _ in range(warmup):
            op()
        small, large = [], []
        for size, found in ((calls, small),) * 2 + ((4 * calls, large),) * 2:
            before = _sample(watched)
            for _ in range(size):
                op()
            after = _sample(watched)
            found.append([a - b for a, b in zip(after[:3], before[:3])] +
                         [[a - b for a, b in zip(after[3], before[3])]])
    finally:
        if not tracing:
            tracemalloc.stop()
    return Growth(calls, small, large)


# What `assert_steady` holds an operation to, per call, far below one leaked
# object per call: a quarter of an interpreter block, 16 allocated bytes;
# and the floors below which a window's growth is never a leak.
BLOCKS_PER_CALL = 0.25
BYTES_PER_CALL = 16
FLOORS = {"blocks": 16, "traced": 4096, "rss": 2 << 20}


@pytest.fixture
def assert_steady(quiet_tavox_logs):
    """assert_steady(op, *watched, calls=..., warmup=..., rss_per_call=...,
    blocks_per_call=..., bytes_per_call=...): warm `op` up, measure it (see
    `measure`) and fail if it leaves memory or references behind.

    `rss_per_call` is set by the caller well below the size of the C++
    buffers one call works with, so that a leaked buffer shows (outside the
    sanitizer, whose quarantine makes the resident size grow).  Operations
    that do a great deal per call (a whole migration run) name limits of
    their own, in proportion to the work of one call."""
    def check(op, *watched, calls=45, warmup=None, rss_per_call=4096,
              blocks_per_call=BLOCKS_PER_CALL, bytes_per_call=BYTES_PER_CALL):
        limits = (rss_per_call, blocks_per_call, bytes_per_call)
        g = measure(op, *watched, calls=calls,
                    warmup=3 * calls if warmup is None else warmup)
        broken = over_limits(g, *limits)
        if broken:
            # A leak grows in every measurement; a cache or a set of the
            # interpreter's that happened to grow in one (threads, a busy
            # machine) does not grow again: measured once more, what
            # breaks the limits both times fails.
            first, g = g, measure(op, *watched, calls=calls, warmup=calls)
            broken = [m for m in over_limits(g, *limits) if m in broken]
            assert not broken, (broken, first, g)
        return g
    return check


def over_limits(g, rss_per_call=4096, blocks_per_call=BLOCKS_PER_CALL,
                bytes_per_call=BYTES_PER_CALL):
    """The names of the limits that growth `g` breaks.  A figure breaks its
    limit when the long windows grew past it (the floor, or the per-call
    limit times their calls) and the growth per call, measured against the
    short windows, is at the per-call limit or above: growth that does not
    scale with the number of calls is churn, not a leak."""
    limits = {"blocks": blocks_per_call, "traced": bytes_per_call}
    if not SANITIZED:
        limits["rss"] = rss_per_call
    broken = [m for m, per_call in limits.items()
              if g.large[m] >= max(FLOORS[m], per_call * 4 * g.calls)
              and g.per_call(m) >= per_call]
    # A reference kept (or dropped) per call changes a count by one per call;
    # a reference or two taken once and held is no leak.
    if any(abs(l) > 2 and abs(l - s) > 2
           for s, l in zip(g.small["refs"], g.large["refs"])):
        broken.append("refs")
    return broken


@pytest.fixture
def sample_repo(tmp_path):
    """A scratch copy of the sample repository (its files get rewritten)."""
    if not SAMPLE_REPO.is_dir():
        pytest.skip("the sample repository is not in this checkout")
    dest = tmp_path / "sample_repo"
    shutil.copytree(SAMPLE_REPO, dest, symlinks=True)
    return dest
