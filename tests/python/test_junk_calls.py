"""Random junk into the fit, forecast, residual and rolling-forecast calls: every call returns
its dict or raises one of the documented exception classes; nothing crashes the interpreter."""
import warnings

import numpy as np

import pelmora
from test_interface import _junk_array, _junk_choice, _junk_tuple

METHODS = ["lbfgsb", "lbfgsb-multi", "lbfgs", "bfgs", "lbfgsb-strict", "nm", "trust-region", "NM", "", None]


def _model_inputs(rng, junk):
    y = _junk_array(rng, junk / 3, max_len=40)
    order = _junk_tuple(rng, junk, (2, 1, 2))
    seasonal = _junk_tuple(rng, junk, (1, 1, 1, 0))
    if isinstance(seasonal, tuple) and len(seasonal) == 4 and rng.random() > junk:
        seasonal = seasonal[:3] + (_junk_choice(rng, [0, 2, 4]),)
    n = len(y) if isinstance(y, np.ndarray) and y.ndim == 1 else 5
    exog = None
    if rng.random() < 0.3:
        exog = rng.standard_normal((n, int(rng.integers(0, 3)))) if rng.random() > junk else _junk_array(rng, 1.0)
    return y, order, seasonal, exog


def _size(rng, junk, typical):
    return _junk_choice(rng, [-1, 2**70, 1.5, None, "3"]) if rng.random() < 0.2 * junk else int(rng.integers(0, typical))


def test_random_junk_into_the_other_calls():
    rng = np.random.default_rng(77)
    seen = {"value": 0}
    allowed = (TypeError, ValueError, OverflowError, RuntimeError)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        for case in range(300):
            junk = rng.random() ** 3
            y, order, seasonal, exog = _model_inputs(rng, junk)
            params = _junk_array(rng, junk / 2, max_len=8)
            if rng.random() > junk and isinstance(order, tuple) and isinstance(seasonal, tuple):
                # Often the right length, so that the numerical jobs are reached.
                try:
                    k = int(order[0]) + int(order[2]) + int(seasonal[0]) + int(seasonal[2]) + 1
                    k += exog.shape[1] if isinstance(exog, np.ndarray) and exog.ndim == 2 else 0
                except (TypeError, ValueError, IndexError):
                    k = 0  # orders that are junk themselves
                if 0 < k < 20:
                    params = np.r_[rng.uniform(-0.4, 0.4, k - 1), 1.0]
            which = case % 4
            try:
                if which == 0:
                    result = pelmora.sarimax_fit(y, order, seasonal, exog=exog, maxiter=_size(rng, junk, 15),
                                                 method=_junk_choice(rng, METHODS),
                                                 start_params=params if rng.random() < 0.3 else None)
                elif which == 1:
                    future = _junk_array(rng, 1.0) if rng.random() < 0.5 else None
                    result = pelmora.sarimax_forecast(y, order, seasonal, params, steps=_size(rng, junk, 12),
                                                      alpha=_junk_choice(rng, [0.05, 0.5, 0.0, 1.0, np.nan, "x"]),
                                                      exog=exog, future_exog=future)
                elif which == 2:
                    result = pelmora.sarimax_residuals(y, order, seasonal, params, exog=exog)
                else:
                    result = pelmora.sarimax_rolling_forecast(y, order, seasonal, params,
                                                              start=_size(rng, junk, 45), step=_size(rng, junk, 4),
                                                              horizon=_size(rng, junk, 5), exog=exog)
            except BaseException as error:  # noqa: BLE001 - InternalFault derives from BaseException
                assert type(error) in allowed, f"case {case}: {type(error).__name__}: {error}"
                # Only the fit reports optimiser failures (RuntimeError).
                assert type(error) is not RuntimeError or which == 0, f"case {case}: {error}"
                seen[type(error)] = seen.get(type(error), 0) + 1
            else:
                assert type(result) is dict, f"case {case}: returned {result!r}"
                seen["value"] += 1
    assert seen["value"] >= 20 and seen.get(ValueError, 0) >= 20 and seen.get(TypeError, 0) >= 20, seen
