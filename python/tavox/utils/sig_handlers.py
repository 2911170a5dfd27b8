"""Interrupt handling for long-running jobs."""
import signal
import sys
import threading
import time

# Two Ctrl-C within this many seconds abort the job.
DOUBLE_CTRL_C_INTERVAL = 3.0


def enable_double_ctrl_c(interval=DOUBLE_CTRL_C_INTERVAL):
    """Make one Ctrl-C only warn, and a second one within ``interval``
    seconds raise ``KeyboardInterrupt``.

    A job that is torn down half-way can leave devices in a bad state, so a
    single stray Ctrl-C should not end it.  Signal handlers can only be set
    from the main thread: called from any other thread this does nothing and
    returns False; otherwise it returns True.
    """
    if threading.current_thread() is not threading.main_thread():
        return False

    last_interrupt = None

    def handler(signum, frame):
        nonlocal last_interrupt
        now = time.monotonic()
        if last_interrupt is not None and now - last_interrupt <= interval:
            last_interrupt = None
            raise KeyboardInterrupt
        last_interrupt = now
        # Written straight to the stream: the handler may run in the middle
        # of a logging call, whose locks must not be taken again here.
        sys.stderr.write("\nInterrupted: press Ctrl-C again within %g seconds "
                         "to abort.\n" % interval)
        sys.stderr.flush()

    signal.signal(signal.SIGINT, handler)
    return True
