import pathlib

import numpy as np
import pytest

DATA = pathlib.Path(__file__).resolve().parent.parent / "data"


def load_series(name):
    """A shipped real series (CSV: a comment naming the source, a header, then time,value)."""
    return np.loadtxt(DATA / f"{name}.csv", delimiter=",", skiprows=2, usecols=1)


@pytest.fixture(scope="session")
def series():
    return {name: load_series(name) for name in
            ("air_passengers", "nile", "lake_huron", "uk_gas", "us_accidental_deaths",
             "luteinizing_hormone")}
