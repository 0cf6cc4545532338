"""sarimax_fit: fit quality against statsmodels, the method table, shortcuts, errors, warnings,
fork safety and determinism."""
import os
import select
import threading
import warnings

import numpy as np
import pytest

import pelmora
from conftest import load_series

sm = pytest.importorskip("statsmodels.api")

# The default fit must reach the peer's best log-likelihood to within this.
LOGLIKE_SLACK = 0.01

VALID_METHODS = ("lbfgsb, lbfgsb-multi, lbfgsb-adaptive, lbfgsb-hybrid, lbfgsb-strict, lbfgsb_single, "
                 "lbfgs, bfgs, trust-region, profile-trust-region, nelder-mead, nm")


def airline():
    return np.log(load_series("air_passengers"))


def _case(name, y, order, seasonal, trend=None, exog=None):
    return pytest.param((name, y, order, seasonal, trend, exog), id=name)


# The default strategy's known miss: the start puts the intercept at the mean (579 ft) with the
# AR block zeroed by the 0.99 rule; the single L-BFGS-B run must then trade the intercept against
# the AR coefficients along a curved valley and, depending on rounding, stops at a local optimum
# near -157.8 instead of -103.6. An AR-only model never escalates to the multi-start.
HURON_AR2_MISS = "intercept/AR valley from the mean-at-579 start"


def _fit_cases():
    macro = sm.datasets.macrodata.load_pandas().data
    sunspots = sm.datasets.sunspots.load_pandas().data["SUNACTIVITY"].values
    air = airline()
    huron = load_series("lake_huron")
    return [
        _case("airline", air, (0, 1, 1), (0, 1, 1, 12)),
        _case("airline (1,1,1)(1,1,1,12)", air, (1, 1, 1), (1, 1, 1, 12)),
        _case("airline (2,1,1)", air, (2, 1, 1), (0, 0, 0, 0)),
        _case("nile (1,1,1)", load_series("nile"), (1, 1, 1), (0, 0, 0, 0)),
        _case("lake huron AR(2) const", huron, (2, 0, 0), (0, 0, 0, 0), "c"),
        _case("lake huron ARMA(1,1) const", huron, (1, 0, 1), (0, 0, 0, 0), "c"),
        _case("luteinizing hormone AR(3) const", load_series("luteinizing_hormone"), (3, 0, 0), (0, 0, 0, 0), "c"),
        _case("uk gas (0,1,1)(0,1,1,4)", np.log(load_series("uk_gas")), (0, 1, 1), (0, 1, 1, 4)),
        _case("us deaths (0,1,1)(0,1,1,12)", load_series("us_accidental_deaths"), (0, 1, 1), (0, 1, 1, 12)),
        _case("sunspots ARMA(2,1) const", sunspots, (2, 0, 1), (0, 0, 0, 0), "c"),
        _case("inflation ~ unemployment", macro["infl"].values, (1, 0, 1), (0, 0, 0, 0), "c", macro[["unemp"]].values),
    ]


FIT_CASES = _fit_cases()


def peer_best_loglike(y, order, seasonal, trend, exog):
    """statsmodels' best value over two starts (its default, and Nelder-Mead then L-BFGS)."""
    model = sm.tsa.SARIMAX(y, exog=exog, order=order, seasonal_order=seasonal, trend=trend or "n",
                           trend_offset=0)
    best = -np.inf
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        for method in ("lbfgs", "nm"):
            first = model.fit(method=method, maxiter=3000, disp=False)
            polished = model.fit(start_params=first.params, method="lbfgs", maxiter=3000, disp=False)
            best = max(best, first.llf, polished.llf)
    return best


@pytest.mark.parametrize("case", FIT_CASES)
def test_default_fit_reaches_the_peer_optimum(case, request):
    name, y, order, seasonal, trend, exog = case
    if name == "lake huron AR(2) const":
        request.applymarker(pytest.mark.xfail(strict=False, reason=HURON_AR2_MISS))
    ours = pelmora.sarimax_fit(y, order, seasonal, exog=exog, trend=trend)
    assert ours["loglike"] >= peer_best_loglike(y, order, seasonal, trend, exog) - LOGLIKE_SLACK
    # The reported value is the exact likelihood at the reported parameters.
    again = pelmora.sarimax_loglike(y, order, seasonal, np.array(ours["params"]), exog=exog, trend=trend)
    assert again == pytest.approx(ours["loglike"], rel=1e-12)


def test_result_dict_and_information_criteria():
    y = airline()
    r = pelmora.sarimax_fit(y, (0, 1, 1), (0, 1, 1, 12))
    assert list(r) == ["params", "loglike", "scale", "aic", "bic", "n_obs", "n_params", "n_iter", "converged",
                       "method", "warnings"]
    assert type(r["n_obs"]) is int and type(r["n_params"]) is int and type(r["n_iter"]) is int
    assert type(r["converged"]) is bool and r["warnings"] == []
    assert r["n_obs"] == 144 and r["n_params"] == 3
    assert r["aic"] == pytest.approx(-2 * r["loglike"] + 2 * 3)
    assert r["bic"] == pytest.approx(-2 * r["loglike"] + 3 * np.log(144))
    # Simple differencing shortens the series the criteria count.
    sd = pelmora.sarimax_fit(y, (0, 1, 1), (0, 0, 0, 0), simple_differencing=True)
    assert sd["n_obs"] == 143
    assert sd["bic"] == pytest.approx(-2 * sd["loglike"] + 2 * np.log(143))


@pytest.mark.parametrize("method, labels", [
    (None, {"lbfgsb"}),
    ("lbfgsb", {"lbfgsb"}),
    ("lbfgsb-multi", {"lbfgsb-multi", "lbfgsb-multi+nm", "lbfgsb-multi+nm+nm"}),
    ("lbfgs", {"lbfgs", "lbfgs+nm"}),
    ("bfgs", {"bfgs"}),
    ("lbfgsb-strict", {"lbfgsb-strict"}),
    ("lbfgsb_single", {"lbfgsb-strict"}),
    ("nelder-mead", {"nelder-mead"}),
    ("nm", {"nelder-mead"}),
])
def test_each_method_reaches_the_optimum_under_its_label(method, labels):
    y = airline()
    default = pelmora.sarimax_fit(y, (1, 1, 1), (0, 1, 1, 12))
    r = pelmora.sarimax_fit(y, (1, 1, 1), (0, 1, 1, 12), method=method)
    assert r["method"] in labels
    assert r["loglike"] >= default["loglike"] - 0.01


LABELS = {
    "lbfgsb": {"lbfgsb", "lbfgsb-multi (fallback)", "lbfgsb-multi+nm (fallback)",
               "lbfgsb-multi (cancellation escalation)", "lbfgsb-multi+nm (cancellation escalation)"},
    "lbfgsb-multi": {"lbfgsb-multi", "lbfgsb-multi+nm", "lbfgsb-multi+nm+nm", "nelder-mead (fallback)"},
    "lbfgsb-strict": {"lbfgsb-strict"},
    "lbfgsb_single": {"lbfgsb-strict"},
    "lbfgs": {"lbfgs", "lbfgs+nm", "nelder-mead (fallback)"},
    "bfgs": {"bfgs", "nelder-mead (fallback)"},
    "nelder-mead": {"nelder-mead"},
    "nm": {"nelder-mead"},
    "trust-region": {"trust-region", "nelder-mead (fallback)"},
    "profile-trust-region": {"profile-trust-region", "trust-region", "nelder-mead (fallback)"},
    "lbfgsb-hybrid": {"lbfgsb-hybrid"},
    "lbfgsb-adaptive": {"lbfgsb-adaptive", "lbfgsb"},
}


# Nelder-Mead's simplex collapses (cost spread below 1e-6) in the intercept/AR valley of Lake
# Huron around -108.6, short of -103.2: the same badly scaled valley as the AR(2) case above.
NM_HURON = "Nelder-Mead stops by its spread test in the intercept/AR valley of Lake Huron"
KNOWN_METHOD_MISSES = {("lake huron ARMA(1,1) const", "nelder-mead"), ("lake huron ARMA(1,1) const", "nm")}


@pytest.mark.parametrize("method", sorted(LABELS))
@pytest.mark.parametrize("case", FIT_CASES)
def test_every_method_reaches_the_default_optimum(case, method, request):
    name, y, order, seasonal, trend, exog = case
    if (name, method) in KNOWN_METHOD_MISSES:
        request.applymarker(pytest.mark.xfail(strict=False, reason=NM_HURON))
    default = pelmora.sarimax_fit(y, order, seasonal, exog=exog, trend=trend)
    r = pelmora.sarimax_fit(y, order, seasonal, exog=exog, trend=trend, method=method)
    assert r["loglike"] >= default["loglike"] - 0.5
    assert r["method"] in LABELS[method]
    if method == "profile-trust-region":
        assert (r["method"] == "profile-trust-region") == (exog is not None)


@pytest.mark.parametrize("method", ["lbfgsb-hybrid", "lbfgsb-adaptive"])
def test_restart_strategies_are_deterministic_and_report_their_counts(method):
    y = airline()
    first = pelmora.sarimax_fit(y, (1, 1, 1), (0, 1, 1, 12), method=method, maxiter=300)
    assert pelmora.sarimax_fit(y, (1, 1, 1), (0, 1, 1, 12), method=method, maxiter=300)["params"] == first["params"]
    if method == "lbfgsb-adaptive":
        assert first["n_iter"] == 300  # the budget, whatever the runs used
    else:
        multi = pelmora.sarimax_fit(y, (1, 1, 1), (0, 1, 1, 12), method="lbfgsb-multi", maxiter=300)
        assert first["n_iter"] == multi["n_iter"]  # the multi-start answer's count
        assert first["loglike"] >= multi["loglike"]


def test_profile_trust_region_with_two_regressors():
    macro = sm.datasets.macrodata.load_pandas().data
    y, exog = macro["infl"].values, macro[["unemp", "realint"]].values
    default = pelmora.sarimax_fit(y, (1, 0, 1), (0, 0, 0, 0), exog=exog, trend="c")
    r = pelmora.sarimax_fit(y, (1, 0, 1), (0, 0, 0, 0), exog=exog, trend="c", method="profile-trust-region")
    assert r["method"] == "profile-trust-region"
    assert r["loglike"] >= default["loglike"] - 0.01
    one = pelmora.sarimax_fit(y, (1, 0, 1), (0, 0, 0, 0), exog=exog, trend="c", method="profile-trust-region",
                              maxiter=1)
    assert one["n_iter"] == 1  # no warm-up, one loop pass
    with pytest.raises(RuntimeError, match="^optimization failed: profile-trust-region: initial cost failed: "):
        pelmora.sarimax_fit(np.full(60, 1e200), (1, 0, 0), (0, 0, 0, 0), exog=np.ones((60, 1)),
                            method="profile-trust-region", start_params=np.array([0.0, 0.1, 1.0]))


def test_unknown_method_is_checked_first():
    # Even a series far too short for the model reports the method.
    with pytest.raises(RuntimeError) as e:
        pelmora.sarimax_fit(np.ones(3), (2, 1, 2), (0, 0, 0, 0), method="NM")
    assert str(e.value) == f"optimization failed: unknown method: 'NM'. Valid methods: {VALID_METHODS}"
    with pytest.raises(RuntimeError) as e:
        pelmora.sarimax_fit(np.ones(3), (1, 0, 0), (0, 0, 0, 0), method="n\x00m")
    assert str(e.value) == f"optimization failed: unknown method: 'n\x00m'. Valid methods: {VALID_METHODS}"


def test_input_errors():
    y = airline()
    with pytest.raises(ValueError) as e:
        pelmora.sarimax_fit(y, (0, 1, 1), (0, 1, 1, 12), start_params=np.array([0.1, 0.2]))
    assert str(e.value) == "invalid input: start_params length mismatch: expected 3, got 2"
    with pytest.raises(ValueError) as e:
        pelmora.sarimax_fit(y[:8], (1, 1, 1), (0, 1, 0, 4))
    assert str(e.value) == "data error: Not enough observations: n=8 <= minimum required 8 for model order"
    # The start's layout is checked after the request: a NaN in y is reported first.
    strided = np.arange(6.0)[::2]
    with pytest.raises(ValueError, match="^input time series contains NaN or Inf values$"):
        pelmora.sarimax_fit(np.r_[y[:-1], np.nan], (0, 1, 1), (0, 0, 0, 0), start_params=strided)
    with pytest.raises(TypeError, match="^The given array is not contiguous or is misaligned.$"):
        pelmora.sarimax_fit(y, (1, 0, 1), (0, 0, 0, 0), start_params=strided)
    with pytest.raises(OverflowError):
        pelmora.sarimax_fit(y, (0, 1, 1), (0, 0, 0, 0), maxiter=-1)
    with pytest.raises(TypeError, match="^argument 'maxiter'"):
        pelmora.sarimax_fit(y, (0, 1, 1), (0, 0, 0, 0), maxiter=1.5)


def test_none_means_the_defaults():
    y = airline()
    assert pelmora.sarimax_fit(y, (1, 1, 0), (0, 0, 0, 0), method=None, maxiter=None) == \
        pelmora.sarimax_fit(y, (1, 1, 0), (0, 0, 0, 0))


def test_shortcuts():
    y = airline()
    start = np.array([-0.3, -0.5, 0.002])
    zero = pelmora.sarimax_fit(y, (0, 1, 1), (0, 1, 1, 12), start_params=start, maxiter=0)
    assert zero["params"] == list(start)
    assert zero["n_iter"] == 0 and zero["converged"] is False and zero["method"] == "lbfgsb"
    assert zero["loglike"] == pelmora.sarimax_loglike(y, (0, 1, 1), (0, 1, 1, 12), start)
    assert pelmora.sarimax_fit(y, (0, 1, 1), (0, 0, 0, 0), maxiter=0, method="nm")["method"] == "nm"

    noise = np.random.default_rng(1).normal(size=200)
    empty = pelmora.sarimax_fit(noise, (0, 0, 0), (0, 0, 0, 0), concentrate_scale=True)
    assert empty["params"] == [] and empty["converged"] is True and empty["n_params"] == 1
    assert empty["scale"] == pytest.approx(np.mean(noise**2))

    for maxiter in (None, 0):
        burg = pelmora.sarimax_fit(noise, (3, 0, 0), (0, 0, 0, 0), concentrate_scale=True, maxiter=maxiter)
        assert burg["method"] == "burg-direct" and burg["n_iter"] == 0 and burg["converged"] is True
        assert burg["n_params"] == 4
    assert pelmora.sarimax_fit(noise, (3, 0, 0), (0, 0, 0, 0))["method"] == "lbfgsb"
    assert pelmora.sarimax_fit(noise, (3, 0, 0), (0, 0, 0, 0), concentrate_scale=True,
                               method="lbfgsb-multi")["method"].startswith("lbfgsb-multi")


# White noise fitted as ARMA(1,1): the AR and MA roots nearly cancel (found by trying seeds).
CANCELLING = np.random.default_rng(6).normal(size=200)
CANCELLATION_TEXT = ("near-cancellation detected in fitted ARMA(1,1) parameters (min inverted-root distance "
                     "< 0.05). Model may be non-identifiable.")


def test_near_cancellation_is_warned_through_the_warnings_module():
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        r = pelmora.sarimax_fit(CANCELLING, (1, 0, 1), (0, 0, 0, 0))
    assert r["warnings"] == [CANCELLATION_TEXT]
    assert [(w.category, str(w.message)) for w in caught] == [(UserWarning, CANCELLATION_TEXT)]
    phi, theta = r["params"][0], r["params"][1]
    assert abs(phi - (-theta)) < 0.05  # the inverted roots phi and -theta

    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(UserWarning, match="^near-cancellation detected"):
            pelmora.sarimax_fit(CANCELLING, (1, 0, 1), (0, 0, 0, 0))

    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        assert pelmora.sarimax_fit(airline(), (0, 1, 1), (0, 1, 1, 12))["warnings"] == []
    assert caught == []


MULTI = dict(order=(2, 1, 2), seasonal=(0, 0, 0, 0), method="lbfgsb-multi")


def test_forked_child_fits_without_the_pool():
    y = airline()
    parent = pelmora.sarimax_fit(y, **MULTI)  # uses the worker pool: perturbed restarts in parallel
    read_end, write_end = os.pipe()
    pid = os.fork()
    if pid == 0:
        try:
            child = pelmora.sarimax_fit(y, **MULTI)
            os.write(write_end, repr(child["loglike"]).encode())
        finally:
            os._exit(0)
    os.close(write_end)
    ready, _, _ = select.select([read_end], [], [], 120)
    if not ready:
        os.kill(pid, 9)
    os.waitpid(pid, 0)
    assert ready, "the forked child's fit did not finish"
    text = os.read(read_end, 100).decode()
    os.close(read_end)
    assert text, "the forked child failed"
    # Its restarts ran one after another with their own budgets: close, not necessarily equal.
    assert float(text) == pytest.approx(parent["loglike"], abs=1.0)


def test_fits_are_deterministic_even_with_a_busy_pool():
    y = airline()
    first = pelmora.sarimax_fit(y, **MULTI)
    assert pelmora.sarimax_fit(y, **MULTI)["params"] == first["params"]
    stop = threading.Event()

    def keep_pool_busy():
        while not stop.is_set():
            pelmora.sarimax_fit(y, (1, 1, 2), (0, 0, 0, 0), method="lbfgsb-multi")

    busy = [threading.Thread(target=keep_pool_busy) for _ in range(2)]
    for t in busy:
        t.start()
    try:
        for _ in range(3):
            assert pelmora.sarimax_fit(y, **MULTI)["params"] == first["params"]
    finally:
        stop.set()
        for t in busy:
            t.join()
