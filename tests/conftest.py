import threading
import time

import pytest


def _ran_other_threads_during(call):
    """Runs call() while a Python thread keeps time-stamping; True when a stamp falls well
    inside the call, which is only possible if the call released the interpreter lock."""
    stamps = []
    stop = threading.Event()

    def spin():
        while not stop.is_set():
            stamps.append(time.perf_counter())

    spinner = threading.Thread(target=spin)
    spinner.start()
    time.sleep(0.01)
    start = time.perf_counter()
    call()
    end = time.perf_counter()
    stop.set()
    spinner.join()
    margin = (end - start) * 0.2
    return any(start + margin < t < end - margin for t in stamps), end - start


@pytest.fixture
def releases_gil():
    """releases_gil(call) -> bool: whether other Python threads ran during the call.
    The call should take at least ~100 ms for the answer to be meaningful."""

    def check(call):
        ran, duration = _ran_other_threads_during(call)
        assert duration > 0.05, f"call too short ({duration:.3f}s) to judge the interpreter lock"
        return ran

    return check
