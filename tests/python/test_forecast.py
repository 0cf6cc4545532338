"""Forecasts, residuals and rolling-origin forecasts against statsmodels and closed forms."""
import warnings

import numpy as np
import pytest

import pelmora
from conftest import load_series
from test_loglike import CASES, peer_model

sm = pytest.importorskip("statsmodels.api")

REL_TOL = 1e-8


def peer_results(y, order, seasonal, params, exog=None, trend=None, **kw):
    model = peer_model(y, order, seasonal, exog=exog, trend=trend, **kw)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return model.filter(np.asarray(params, dtype=float))


def future_rows(exog, steps, seed=7):
    if exog is None:
        return None
    return np.random.default_rng(seed).normal(scale=np.std(exog), size=(steps, exog.shape[1]))


@pytest.mark.parametrize("case", CASES, ids=[c[0] for c in CASES])
@pytest.mark.parametrize("concentrate_scale", [False, True], ids=["sigma2", "concentrated"])
def test_forecasts_match_statsmodels(case, concentrate_scale):
    _, y, order, seasonal, trend, exog, params = case
    params = params[:-1] if concentrate_scale else params
    steps = 15
    future = future_rows(exog, steps)
    ours = pelmora.sarimax_forecast(y, order, seasonal, np.array(params, dtype=float), steps=steps, exog=exog,
                                    future_exog=future, trend=trend, concentrate_scale=concentrate_scale)
    res = peer_results(y, order, seasonal, params, exog=exog, trend=trend, concentrate_scale=concentrate_scale)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        fc = res.get_forecast(steps, exog=future)
    np.testing.assert_allclose(ours["mean"], fc.predicted_mean, rtol=REL_TOL, atol=1e-10)
    np.testing.assert_allclose(ours["variance"], fc.var_pred_mean, rtol=REL_TOL, atol=1e-12)
    z = 1.959963984540054
    sd = np.sqrt(ours["variance"])
    np.testing.assert_allclose(ours["ci_upper"], np.array(ours["mean"]) + z * sd, rtol=1e-8)
    np.testing.assert_allclose(ours["ci_lower"], np.array(ours["mean"]) - z * sd, rtol=1e-8)


@pytest.mark.parametrize("case", CASES, ids=[c[0] for c in CASES])
def test_residuals_match_statsmodels(case):
    _, y, order, seasonal, trend, exog, params = case
    ours = pelmora.sarimax_residuals(y, order, seasonal, np.array(params, dtype=float), exog=exog, trend=trend)
    res = peer_results(y, order, seasonal, params, exog=exog, trend=trend)
    v = res.filter_results.forecasts_error[0]
    F = res.filter_results.forecasts_error_cov[0, 0]
    np.testing.assert_allclose(ours["residuals"], v, rtol=1e-7, atol=1e-8 * np.abs(v).max())
    np.testing.assert_allclose(ours["prediction_variances"], F, rtol=1e-7)
    np.testing.assert_allclose(ours["standardized_residuals"], v / np.sqrt(F), rtol=1e-6, atol=1e-9)


def test_concentrated_standardized_residuals_square_to_their_count():
    y = np.log(load_series("air_passengers"))
    r = pelmora.sarimax_residuals(y, (0, 1, 1), (0, 1, 1, 12), np.array([-0.4, -0.55]), concentrate_scale=True)
    burn = 13
    post = np.array(r["standardized_residuals"][burn:])
    assert np.all(np.array(r["prediction_variances"][burn:]) > 0)
    assert np.sum(post**2) == pytest.approx(len(post), rel=1e-10)


def test_ar1_forecast_closed_form():
    y = np.random.default_rng(2).normal(size=80)
    phi, sigma2 = 0.6, 1.3
    f = pelmora.sarimax_forecast(y, (1, 0, 0), (0, 0, 0, 0), np.array([phi, sigma2]), steps=5)
    h = np.arange(1, 6)
    np.testing.assert_allclose(f["mean"], y[-1] * phi**h, rtol=1e-12)
    np.testing.assert_allclose(f["variance"], sigma2 * (1 - phi ** (2 * h)) / (1 - phi**2), rtol=1e-12)


# ---------------------------------------------------------------------------------------------
# Simple differencing: level forecasts from the differenced model.

def differenced(y, d, D, s):
    for _ in range(D):
        y = y[s:] - y[:-s]
    for _ in range(d):
        y = np.diff(y)
    return y


@pytest.mark.parametrize("d, D, s", [(1, 0, 0), (0, 1, 4)])
def test_integrated_means_from_differenced_forecasts(d, D, s):
    y = np.log(load_series("uk_gas"))
    order, seasonal = (1, d, 1), (0, D, 0, s)
    params = np.array([0.3, -0.5, 0.01])
    steps = 6
    levels = pelmora.sarimax_forecast(y, order, seasonal, params, steps=steps, simple_differencing=True)
    # The same model on the differenced series, as a plain ARMA, then integrated by hand.
    w = differenced(y, d, D, s)
    diff = pelmora.sarimax_forecast(w, (1, 0, 1), (0, 0, 0, 0), params, steps=steps)["mean"]
    expected = np.empty(steps)
    n = len(y)
    for h in range(steps):
        if d == 1:
            expected[h] = (y[-1] if h == 0 else expected[h - 1]) + diff[h]
        else:  # seasonal: the first s steps add the last season, later ones the integrated steps
            expected[h] = diff[h] + (y[n - s + h] if h < s else expected[h - s])
    np.testing.assert_allclose(levels["mean"], expected, rtol=1e-12)


SD_MODELS = [
    ((1, 1, 1), (0, 0, 0, 0), 0),
    ((1, 2, 1), (0, 0, 0, 0), 0),
    ((1, 1, 0), (0, 1, 1, 4), 1),
    ((0, 1, 1), (1, 1, 0, 12), 2),
]


@pytest.mark.parametrize("order, seasonal, n_exog", SD_MODELS)
def test_simple_differencing_forecasts_match_the_full_model(order, seasonal, n_exog):
    rng = np.random.default_rng(11)
    n = 240
    exog = rng.normal(size=(n, n_exog)) if n_exog else None
    y = np.cumsum(rng.normal(size=n)) + 0.5 * np.sin(np.arange(n) / 3.0)
    if exog is not None:
        y = y + exog @ np.arange(1.0, n_exog + 1)
    k_arma = order[0] + order[2] + seasonal[0] + seasonal[2]
    params = np.r_[np.arange(1.0, n_exog + 1), np.linspace(0.3, -0.3, k_arma), 0.8]
    steps = 12
    future = rng.normal(size=(steps, n_exog)) if n_exog else None
    kw = dict(steps=steps, exog=exog, future_exog=future)
    sd = pelmora.sarimax_forecast(y, order, seasonal, params, simple_differencing=True, **kw)
    full = pelmora.sarimax_forecast(y, order, seasonal, params, **kw)
    np.testing.assert_allclose(sd["mean"], full["mean"], rtol=1e-6)
    np.testing.assert_allclose(sd["variance"], full["variance"], rtol=1e-6)


def test_ima_variances_match_the_closed_form():
    y = load_series("nile")
    theta, sigma2 = -0.73, 20000.0
    f = pelmora.sarimax_forecast(y, (0, 1, 1), (0, 0, 0, 0), np.array([theta, sigma2]), steps=12,
                                 simple_differencing=True)
    h = np.arange(1, 13)
    np.testing.assert_allclose(f["variance"], sigma2 * (1 + (h - 1) * (1 + theta) ** 2), rtol=1e-6)


def test_regressors_are_differenced_with_the_series():
    # y = 2 x + white noise, fitted as ARIMA(0,1,0) with the regressor: the level forecast
    # follows 2 x over the horizon instead of drifting by 2 x per step.
    rng = np.random.default_rng(3)
    x = np.cumsum(rng.normal(size=(100, 1)), axis=0)
    y = 2.0 * x[:, 0] + np.cumsum(rng.normal(scale=0.1, size=100))
    future = x[-1] + np.arange(1.0, 6.0)[:, None]
    f = pelmora.sarimax_forecast(y, (0, 1, 0), (0, 0, 0, 0), np.array([2.0, 0.01]), steps=5, exog=x,
                                 future_exog=future, simple_differencing=True)
    np.testing.assert_allclose(f["mean"], y[-1] + 2.0 * (future[:, 0] - x[-1, 0]), rtol=1e-12)


# ---------------------------------------------------------------------------------------------
# Rolling-origin forecasts.

def test_rolling_rows_equal_forecasts_from_truncated_series():
    case = next(c for c in CASES if c[0] == "one exog")
    _, y, order, seasonal, trend, exog, params = case
    params = np.array(params)
    r = pelmora.sarimax_rolling_forecast(y, order, seasonal, params, start=40, step=17, horizon=4, exog=exog,
                                         trend=trend)
    assert r["origins"] == list(range(40, len(y) - 4 + 1, 17))
    for row, t in enumerate(r["origins"]):
        f = pelmora.sarimax_forecast(y[:t], order, seasonal, params, steps=4, exog=exog[:t],
                                     future_exog=exog[t:t + 4], trend=trend)
        for key in ("mean", "variance", "ci_lower", "ci_upper"):
            np.testing.assert_allclose(r[key][row], f[key], rtol=1e-9)


@pytest.mark.parametrize("kwargs, message", [
    (dict(start=10), "invalid input: start must be in [1, n-1] = [1, 9], got 10"),
    (dict(start=0), "invalid input: start must be in [1, n-1] = [1, 9], got 0"),
    (dict(start=3, step=0), "invalid input: step must be >= 1"),
    (dict(start=3, horizon=0), "invalid input: horizon must be >= 1"),
    (dict(start=9, horizon=3, exog=True), "invalid input: start 9 exceeds max origin 7 (exog models cap origins at n - horizon)"),
    (dict(start=1, horizon=11, exog=True), "invalid input: horizon 11 exceeds series length 10 for exog model"),
    (dict(start=1, horizon=10, exog=True), "invalid input: start 1 exceeds max origin 0 (exog models cap origins at n - horizon)"),
    (dict(start=3, simple_differencing=True), "invalid input: rolling_forecast does not support simple_differencing yet"),
])
def test_rolling_origin_rules(kwargs, message):
    y = np.random.default_rng(0).normal(size=10)
    kwargs = dict(kwargs)
    params = np.array([0.5, 1.0])
    if kwargs.pop("exog", False):
        kwargs["exog"] = np.ones((10, 1))
        params = np.array([0.2, 0.5, 1.0])
    with pytest.raises(ValueError) as e:
        pelmora.sarimax_rolling_forecast(y, (1, 0, 0), (0, 0, 0, 0), params, **kwargs)
    assert str(e.value) == message


def test_rolling_single_origin_and_memory_limit():
    y = np.random.default_rng(0).normal(size=10)
    r = pelmora.sarimax_rolling_forecast(y, (1, 0, 0), (0, 0, 0, 0), np.array([0.5, 1.0]), start=9, horizon=3)
    assert r["origins"] == [9] and len(r["mean"]) == 1 and len(r["mean"][0]) == 3
    # k = 4 + 4 * 255 = 1024 states: 256 origins hold exactly 2^28 covariance entries, 257 do not.
    big = np.zeros(400)
    order, seasonal = (4, 0, 0), (4, 0, 0, 255)
    params = np.r_[np.zeros(8), 1.0]
    with pytest.raises(ValueError) as e:
        pelmora.sarimax_rolling_forecast(big, order, seasonal, params, start=1, step=1)
    assert str(e.value) == ("invalid input: rolling forecast would retain 399 origin snapshots of 1024x1024 state "
                            "covariances (~3.1 GiB > 2 GiB limit); increase `step`, raise `start`, or split the "
                            "series into chunks")
    with pytest.raises(ValueError) as e:
        pelmora.sarimax_rolling_forecast(big, order, seasonal, params, start=143, step=1)
    assert "retain 257 origin snapshots of 1024x1024 state covariances (~2.0 GiB > 2 GiB limit)" in str(e.value)


# ---------------------------------------------------------------------------------------------
# Forecast argument checks, in order.

@pytest.mark.parametrize("kwargs, exc, message", [
    (dict(alpha=0.0), ValueError, "alpha must be in (0, 1), got 0"),
    (dict(alpha=1.0), ValueError, "alpha must be in (0, 1), got 1"),
    (dict(alpha=float("nan")), ValueError, "alpha must be in (0, 1), got NaN"),
    (dict(alpha=1e-300), None, None),
    (dict(steps=10001), ValueError, "steps must be <= 10000, got 10001"),
    (dict(steps=10000), None, None),
    (dict(alpha=1.5, y=np.arange(20.0)[::2]), ValueError, "alpha must be in (0, 1), got 1.5"),
    (dict(future_exog=np.ones((3, 1))), ValueError, "future_exog column count (1) must match exog column count (0)"),
    (dict(future_exog=np.ones((3, 0))), None, None),
])
def test_forecast_argument_checks(kwargs, exc, message):
    args = dict(y=np.random.default_rng(1).normal(size=30), steps=3)
    args.update(kwargs)
    y = args.pop("y")
    if exc is None:
        assert len(pelmora.sarimax_forecast(y, (1, 0, 0), (0, 0, 0, 0), np.array([0.5, 1.0]), **args)["mean"]) \
            == args["steps"]
        return
    with pytest.raises(exc) as e:
        pelmora.sarimax_forecast(y, (1, 0, 0), (0, 0, 0, 0), np.array([0.5, 1.0]), **args)
    assert str(e.value) == message


def test_future_exog_checks():
    y = np.random.default_rng(1).normal(size=30)
    exog = np.ones((30, 2))
    params = np.array([0.1, 0.2, 0.5, 1.0])
    call = lambda **kw: pelmora.sarimax_forecast(y, (1, 0, 0), (0, 0, 0, 0), params, exog=exog, **kw)
    with pytest.raises(ValueError, match=r"^model has exogenous variables: future_exog is required for forecasting$"):
        call(steps=3)
    assert call(steps=0)["mean"] == []
    bad = np.ones((4, 3))
    bad[1, 2] = np.nan
    with pytest.raises(ValueError, match=r"^future_exog contains NaN or Inf at column 2, row 1$"):
        call(steps=3, future_exog=bad)  # the NaN is reported before the column count
    with pytest.raises(ValueError, match=r"^future_exog column count \(3\) must match exog column count \(2\)$"):
        call(steps=3, future_exog=np.ones((4, 3)))
    with pytest.raises(ValueError, match=r"^future_exog column 0 has 2 rows but 3 forecast steps requested$"):
        call(steps=3, future_exog=np.ones((2, 2)))
    assert len(call(steps=3, future_exog=np.ones((9, 2)))["mean"]) == 3
