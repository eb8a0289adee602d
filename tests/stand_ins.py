"""Stand-ins for fitted models, and arrays in layouts zarn must refuse, shared by the tests."""

import numpy as np


class Logit:
    """A fitted model reduced to what zarn reads; the class name selects the link."""

    def __init__(self, params, cov, exog, names):
        self.params = np.asarray(params, dtype=float)
        self._cov = np.asarray(cov, dtype=float)
        self.exog = np.asarray(exog, dtype=float)
        self.exog_names = names

    def cov_params(self):
        return self._cov


class Probit(Logit):
    pass


class NameSequence:
    """A sequence known only by __len__ and __getitem__."""

    def __init__(self, names):
        self.names = names

    def __len__(self):
        return len(self.names)

    def __getitem__(self, i):
        return self.names[i]


def stand_in(kind, params, cov, exog, names):
    """A results object whose model object is an instance of a class named kind."""
    model = type(kind, (), {"exog": exog, "exog_names": names})()
    return type("Results", (), {"model": model, "params": params, "cov_params": lambda s: cov})()


def packed(a):
    """a's values as a field of packed records: byte strides not a multiple of 8."""
    records = np.zeros(a.shape, dtype=[("v", "<f8"), ("pad", "u1")])
    records["v"] = a
    return records["v"]


def misaligned(a):
    """a's values in memory that starts one byte past an 8-byte boundary."""
    out = np.ndarray(a.shape, dtype="<f8", buffer=bytearray(a.nbytes + 8), offset=1)
    out[...] = a
    return out
