"""Ctrl-C pressed again and again while a call runs, for the tests of calls
that Ctrl-C must stop."""

import contextlib
import os
import signal
import threading

import pytest


@contextlib.contextmanager
def interrupted_by_ctrl_c(every=0.05):
    """Presses Ctrl-C every `every` seconds and expects the block to end in
    KeyboardInterrupt. The handler raises only while the block runs, and
    once: a press that lands in Thread.start, or after the call stopped,
    changes nothing."""
    inside = threading.Event()
    stop = threading.Event()

    def handler(signum, frame):
        if inside.is_set():
            inside.clear()
            raise KeyboardInterrupt

    def press():
        while not stop.wait(every):
            os.kill(os.getpid(), signal.SIGINT)

    previous = signal.signal(signal.SIGINT, handler)
    helper = threading.Thread(target=press)
    try:
        helper.start()
        with pytest.raises(KeyboardInterrupt):
            inside.set()
            yield
    finally:
        inside.clear()
        stop.set()
        helper.join()
        signal.raise_signal(signal.SIGINT)  # handled here, after any press still on its way
        signal.signal(signal.SIGINT, previous)
