"""A long call stops at a signal, with the handler's exception, and releases everything."""

import signal
import subprocess
import sys
import textwrap
import time

import pytest

# The child runs zarn on 20 million rows (a broadcast row, so no memory is needed),
# which takes seconds; it reports where its SIGINT handler ran and what the call did.
CHILD = textwrap.dedent(
    """
    import signal, sys
    import numpy as np
    import velmora

    chunk = eval(sys.argv[1])
    error = {"KeyboardInterrupt": KeyboardInterrupt, "LookupError": LookupError}[sys.argv[2]]

    row = np.array([1.0, 0.3, -1.2, 1.0, 0.0, 1.0, 0.0, 1.0])
    x = np.broadcast_to(row, (20_000_000, len(row)))
    params = np.linspace(-0.5, 0.5, len(row))
    cov = np.eye(len(row)) * 0.01
    names = ["const"] + [f"x{i}" for i in range(1, len(row))]

    class Logit:
        exog, exog_names = x, names

    class Results:
        model, params = Logit(), params

        def cov_params(self):
            return cov

    results = Results()
    tracked = [x, params, cov, results]


    def counts():
        return [sys.getrefcount(tracked[i]) for i in range(len(tracked))]


    base = counts()
    here = sys._getframe()
    seen = []

    def handler(signum, frame):
        # Run from inside zarn's pass, the handler sees the caller's frame and
        # the references that the call holds.
        seen.append((frame is here, counts()[0] > base[0]))
        raise error("stop")

    signal.signal(signal.SIGINT, handler)
    print("calling", flush=True)
    try:
        velmora.zarn(results, chunk)
        print("finished", flush=True)
    except error as exc:
        held = [now - before for now, before in zip(counts(), base)]
        print("stopped", type(exc).__name__, exc, seen, held, flush=True)

    signal.signal(signal.SIGINT, signal.default_int_handler)
    Logit.exog = np.ascontiguousarray(x[:1000])
    print("usable", velmora.zarn(Results(), 100).shape, flush=True)
    """
)


@pytest.mark.parametrize(
    ("chunk", "error"),
    [
        ("None", "KeyboardInterrupt"),
        ("100_000", "KeyboardInterrupt"),
        ("None", "LookupError"),
    ],
)
def test_signal_stops_a_long_call(chunk, error):
    child = subprocess.Popen(
        [sys.executable, "-c", CHILD, chunk, error],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    try:
        assert child.stdout.readline() == "calling\n"
        time.sleep(0.3)
        child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=300)
    finally:
        child.kill()
        child.wait()
    assert child.returncode == 0, err
    lines = out.splitlines()
    # The handler ran once, inside the call (the caller's frame, with the call's
    # references held), the call ended with its exception, and nothing stayed held.
    assert lines == [
        f"stopped {error} stop [(True, True)] [0, 0, 0, 0]",
        "usable (7, 7)",
    ]
