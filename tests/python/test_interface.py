"""The Python face of pelmora: argument binding and conversion, the order in which bad input is
reported, exact error texts, lock release during the numerical job, and robustness to junk."""

import inspect
import re
import sys
import threading
import time

import numpy as np
import pytest

import pelmora

loglike = pelmora.sarimax_loglike

PARAM_NAMES = ("y", "order", "seasonal", "params", "exog", "concentrate_scale",
               "enforce_stationarity", "enforce_invertibility", "trend", "simple_differencing")
FLAG_NAMES = ("concentrate_scale", "enforce_stationarity", "enforce_invertibility",
              "simple_differencing")
NOT_CONTIGUOUS = "The given array is not contiguous or is misaligned."


def raises_exact(exc_type, text):
    return pytest.raises(exc_type, match="^" + re.escape(text) + "$")


def misaligned(values):
    """A float64 view shifted one byte off its buffer, so it is contiguous but misaligned."""
    values = np.asarray(values, dtype=np.float64)
    raw = bytearray(values.nbytes + 1)
    out = np.frombuffer(raw, dtype=np.float64, count=values.size, offset=1)
    out[:] = values.ravel()
    return out.reshape(values.shape)


@pytest.fixture
def ar1():
    """A short AR(1) call with one exog column; every argument is meaningful and valid."""
    rng = np.random.default_rng(7)
    n = 40
    return dict(y=rng.standard_normal(n), order=(1, 0, 0), seasonal=(0, 0, 0, 0),
                params=np.array([0.8, 0.4, 1.3]), exog=rng.standard_normal((n, 1)))


def call(base, **changes):
    return loglike(**{**base, **changes})


# ---------------------------------------------------------------------------------------------
# Module surface


def test_module_surface():
    assert pelmora.__doc__ == "Python module definition."
    assert pelmora.version() == "0.3.0"
    assert pelmora.sarimax_loglike.__doc__.endswith(
        "Compute the SARIMAX concentrated (or full) log-likelihood.")
    assert issubclass(pelmora.InternalFault, BaseException)
    assert not issubclass(pelmora.InternalFault, Exception)


@pytest.mark.parametrize("args, kwargs", [((1,), {}), ((), {"x": 1}), ((None,), {})])
def test_version_takes_no_arguments(args, kwargs):
    with pytest.raises(TypeError):
        pelmora.version(*args, **kwargs)


def test_signature_comes_from_docstring():
    signature = inspect.signature(pelmora.sarimax_loglike)
    empty = inspect.Parameter.empty
    assert [(p.name, p.default) for p in signature.parameters.values()] == [
        ("y", empty), ("order", empty), ("seasonal", empty), ("params", empty),
        ("exog", None), ("concentrate_scale", False), ("enforce_stationarity", True),
        ("enforce_invertibility", True), ("trend", None), ("simple_differencing", False)]
    assert all(p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD
               for p in signature.parameters.values())


# ---------------------------------------------------------------------------------------------
# Binding: positional, keyword, mixed


@pytest.fixture
def every_argument(ar1):
    """All ten arguments, valid and mostly non-default, so that a value bound to the wrong slot
    changes the result or fails (a trend adds a parameter, concentrate_scale drops one)."""
    return dict(ar1, params=np.array([0.3, 0.8, 0.4]), concentrate_scale=True,
                enforce_stationarity=False, enforce_invertibility=False, trend="c",
                simple_differencing=False)


def test_positional_keyword_and_mixed_binding_agree(every_argument):
    full = every_argument
    positional = [full[name] for name in PARAM_NAMES]
    reference = loglike(*positional)
    assert isinstance(reference, float)
    assert loglike(**dict(reversed(list(full.items())))) == reference
    for split in range(len(PARAM_NAMES)):
        kwargs = {name: full[name] for name in PARAM_NAMES[split:]}
        assert loglike(*positional[:split], **kwargs) == reference


def test_defaults_match_explicit_values(ar1):
    explicit = dict(ar1, concentrate_scale=False, enforce_stationarity=True,
                    enforce_invertibility=True, trend=None, simple_differencing=False)
    assert call(ar1) == loglike(**explicit)
    no_exog = dict(ar1, exog=None, params=ar1["params"][[0, 2]])
    assert loglike(*[no_exog[name] for name in PARAM_NAMES[:4]]) == call(no_exog, exog=None)


# Apart from the binding fault, every call below is valid; the message names the culprit.
@pytest.mark.parametrize("make_call, culprit", [
    pytest.param(lambda a: loglike(a["y"], a["order"], a["seasonal"]), "params",
                 id="missing-params"),
    pytest.param(lambda a: loglike(order=a["order"], seasonal=a["seasonal"], params=a["params"]),
                 "y", id="missing-y"),
    pytest.param(lambda a: loglike(), "y", id="no-arguments"),
    pytest.param(lambda a: loglike(**a, bogus=1), "bogus", id="unknown-keyword"),
    pytest.param(lambda a: loglike(**a, Y=a["y"]), "Y", id="keyword-case-matters"),
    pytest.param(lambda a: loglike(*[a[n] for n in PARAM_NAMES], False), "11",
                 id="11-positional"),
    pytest.param(lambda a: loglike(a["y"], a["order"], a["seasonal"], a["params"], y=a["y"]),
                 "y", id="y-twice"),
    pytest.param(lambda a: loglike(*[a[n] for n in PARAM_NAMES],
                                   simple_differencing=a["simple_differencing"]),
                 "simple_differencing", id="last-twice"),
])
def test_binding_errors(every_argument, make_call, culprit):
    with pytest.raises(TypeError) as excinfo:
        make_call(every_argument)
    assert type(excinfo.value) is TypeError
    assert re.search(rf"\b{culprit}\b", str(excinfo.value))


# ---------------------------------------------------------------------------------------------
# Conversion of each argument


ARRAY_JUNK = [
    pytest.param([0.1, 0.2, 0.3], id="list"),
    pytest.param(np.arange(3, dtype=np.int64), id="int64"),
    pytest.param(np.ones(3, dtype=np.float32), id="float32"),
    pytest.param(np.ones((3, 1)), id="2-D"),
    pytest.param(np.float64(1.0), id="numpy-scalar"),
    pytest.param(np.array(1.0), id="0-D"),
    pytest.param(None, id="None"),
    pytest.param(np.ones(3, dtype=">f8"), id="big-endian"),
]


@pytest.mark.parametrize("name", ["y", "params"])
@pytest.mark.parametrize("value", ARRAY_JUNK)
def test_1d_arrays_must_be_native_float64(ar1, name, value):
    with pytest.raises(TypeError, match=f"^argument '{name}'") as excinfo:
        call(ar1, **{name: value})
    assert type(excinfo.value) is TypeError


@pytest.mark.parametrize("value", [
    pytest.param(np.ones(40), id="1-D"),
    pytest.param(np.ones((40, 1, 1)), id="3-D"),
    pytest.param(np.ones((40, 1), dtype=np.float32), id="float32"),
    pytest.param(np.ones((40, 1), dtype=">f8"), id="big-endian"),
    pytest.param([[1.0]] * 40, id="nested-list"),
    pytest.param(1.0, id="float"),
])
def test_exog_must_be_2d_float64_or_none(ar1, value):
    with pytest.raises(TypeError, match="^argument 'exog'"):
        call(ar1, exog=value)


@pytest.mark.parametrize("name, value, exc_type", [
    ("order", [1, 0, 0], TypeError),
    ("order", (1.0, 0, 0), TypeError),
    ("order", (1, 0, "0"), TypeError),
    ("order", None, TypeError),
    ("order", (1, -1, 0), OverflowError),
    ("order", (2**70, 0, 0), OverflowError),
    ("seasonal", [0, 0, 0, 0], TypeError),
    ("seasonal", (0, 0, 0, 4.0), TypeError),
    ("seasonal", (0, 0, 0, -4), OverflowError),
])
def test_order_tuple_conversion(ar1, name, value, exc_type):
    with pytest.raises(exc_type, match=f"^argument '{name}'" if exc_type is TypeError else None) \
            as excinfo:
        call(ar1, **{name: value})
    assert type(excinfo.value) is exc_type


@pytest.mark.parametrize("name, value, expected, given", [
    ("order", (1, 0, 0, 0, 0), 3, 5),
    ("order", (), 3, 0),
    ("seasonal", (0, 0, 0), 4, 3),
    ("seasonal", (0, 0, 0, 0, 0, 0), 4, 6),
])
def test_order_tuple_of_wrong_length(ar1, name, value, expected, given):
    with pytest.raises(ValueError, match=f"^argument '{name}'") as excinfo:
        call(ar1, **{name: value})
    numbers = re.findall(r"\d+", str(excinfo.value))
    assert str(expected) in numbers and str(given) in numbers


def test_numpy_integers_are_accepted_in_orders(ar1):
    expected = call(ar1)
    assert call(ar1, order=(np.int64(1), np.uint8(0), np.int32(0)),
                seasonal=(np.int16(0), np.uint64(0), np.int8(0), np.intp(0))) == expected


@pytest.mark.parametrize("flag", FLAG_NAMES)
@pytest.mark.parametrize("value", [1, 0, None, "yes", 1.0, np.int64(1)],
                         ids=["1", "0", "None", "yes", "1.0", "np.int64"])
def test_flags_refuse_non_bool(ar1, flag, value):
    with pytest.raises(TypeError, match=f"^argument '{flag}'"):
        call(ar1, **{flag: value})


@pytest.mark.parametrize("flag", FLAG_NAMES)
def test_flags_accept_numpy_bool(flag):
    rng = np.random.default_rng(3)
    y = rng.standard_normal(30).cumsum()
    results = {}
    for value in (True, False):
        params = np.array([0.1, 0.4, 0.3, 1.7])
        if flag == "concentrate_scale" and value:
            params = params[:-1]
        kwargs = dict(y=y, order=(1, 1, 1), seasonal=(0, 0, 0, 0), params=params, trend="c",
                      **{flag: value})
        results[value] = loglike(**kwargs)
        assert loglike(**{**kwargs, flag: np.bool_(value)}) == results[value]
    # Where the flag moves the value, a numpy bool read with the wrong truth would show above.
    if flag != "enforce_invertibility":
        assert results[True] != results[False]


@pytest.mark.parametrize("value", [1, b"c", ["c"], ("c",), 0.0])
def test_trend_must_be_str_or_none(ar1, value):
    with pytest.raises(TypeError, match="^argument 'trend'"):
        call(ar1, trend=value)


def test_type_errors_come_before_layout_and_value_checks(ar1):
    y = np.full(80, np.nan)[::2]  # strided and all NaN
    with pytest.raises(TypeError, match="^argument 'trend'"):
        call(ar1, y=y, order=(99, 0, 0), trend=1)
    with pytest.raises(TypeError, match="^argument 'simple_differencing'"):
        call(ar1, y=y, order=(99, 0, 0), trend="zzz", simple_differencing=1)


# ---------------------------------------------------------------------------------------------
# Memory layout of y and params


@pytest.mark.parametrize("name", ["y", "params"])
@pytest.mark.parametrize("make_view", [
    pytest.param(lambda v: np.repeat(v, 2)[::2], id="step-2"),
    pytest.param(lambda v: v[::-1].copy()[::-1], id="negative-stride"),
    pytest.param(misaligned, id="misaligned"),
])
def test_strided_or_misaligned_1d_is_refused(ar1, name, make_view):
    view = make_view(ar1[name])
    np.testing.assert_array_equal(view, ar1[name])
    with raises_exact(TypeError, NOT_CONTIGUOUS):
        call(ar1, **{name: view})


def test_layout_check_comes_before_value_validation(ar1):
    # params laid out badly while y holds NaN and the order is absurd: layout wins.
    y = ar1["y"].copy()
    y[5] = np.nan
    with raises_exact(TypeError, NOT_CONTIGUOUS):
        call(ar1, y=y, order=(50, 0, 0), params=np.repeat(ar1["params"], 2)[::2])
    with raises_exact(TypeError, NOT_CONTIGUOUS):
        call(ar1, y=np.repeat(y, 2)[::2], trend="zz")


def test_empty_arrays_pass_the_layout_check():
    # White noise with a concentrated scale has no parameters, so an empty params is correct;
    # the concentrated log-likelihood is then -n/2 (log(2 pi) + log(mean(y^2)) + 1).
    y = np.random.default_rng(1).standard_normal(30)
    empty = np.zeros(8)[::2][:0]
    value = loglike(y, (0, 0, 0), (0, 0, 0, 0), empty, concentrate_scale=True)
    assert value == pytest.approx(-15 * (np.log(2 * np.pi) + np.log(np.mean(y**2)) + 1), rel=1e-12)
    with raises_exact(ValueError, "data error: Not enough observations: n=0 <= burn=0"):
        loglike(empty, (0, 0, 0), (0, 0, 0, 0), np.array([1.0]))


# ---------------------------------------------------------------------------------------------
# Exog: any strides are read correctly


@pytest.fixture
def exog_model():
    """ARX(1) with three exog columns with distinct, nonzero coefficients."""
    rng = np.random.default_rng(11)
    n = 25
    return dict(y=rng.standard_normal(n), order=(1, 0, 0), seasonal=(0, 0, 0, 0),
                params=np.array([0.7, -1.1, 0.45, 0.5, 2.0]),
                base=rng.standard_normal((2 * n, 6)))


@pytest.mark.parametrize("make_view", [
    pytest.param(lambda b, n: b[::-1, ::2][:n], id="reversed-rows-step-cols"),
    pytest.param(lambda b, n: b[:2 * n:2, 3:], id="step-rows"),
    pytest.param(lambda b, n: np.asfortranarray(b[:n, :3]), id="fortran"),
    pytest.param(lambda b, n: np.ascontiguousarray(b[:n, :3].T).T, id="transposed"),
    pytest.param(lambda b, n: b[:n, :3][:, ::-1], id="reversed-cols"),
    pytest.param(lambda b, n: misaligned(b[:n, :3]), id="misaligned"),
])
def test_exog_views_read_the_viewed_values(exog_model, make_view):
    m = exog_model
    n = len(m["y"])
    view = make_view(m["base"], n)
    assert view.shape == (n, 3)
    args = (m["y"], m["order"], m["seasonal"], m["params"])
    fresh = np.array(view, order="C")
    assert loglike(*args, exog=view) == loglike(*args, exog=fresh)
    # Guard against a vacuous match: the exog block does move the value.
    other = fresh.copy()
    other[:, [0, 2]] = other[:, [2, 0]]
    assert loglike(*args, exog=other) != loglike(*args, exog=fresh)


def test_exog_with_no_columns_means_no_exog_block(ar1):
    n = len(ar1["y"])
    no_exog = dict(ar1, exog=None, params=ar1["params"][[0, 2]])
    assert call(no_exog, exog=np.empty((n, 0))) == call(no_exog)
    with raises_exact(ValueError, "parameter length mismatch: expected 2, got 3"):
        call(ar1, exog=np.empty((n, 0)))
    with raises_exact(ValueError,
                      f"exog has {n + 1} rows but endog has {n} observations; they must match"):
        call(no_exog, exog=np.empty((n + 1, 0)))


# ---------------------------------------------------------------------------------------------
# Value validation: order of checks and exact messages


def _nan_y(base, at=3):
    y = base["y"].copy()
    y[at] = np.nan
    return y


def _exog(n, cols, bad=()):
    x = np.arange(n * cols, dtype=float).reshape(n, cols) / 7.0
    for row, col, value in bad:
        x[row, col] = value
    return x


@pytest.mark.parametrize("changes, message", [
    pytest.param(lambda b: dict(y=_nan_y(b), trend="zz"),
                 "input time series contains NaN or Inf values", id="nan-y-before-trend"),
    pytest.param(lambda b: dict(y=np.r_[b["y"][:-1], np.inf], order=(99, 9, 99),
                                exog=_exog(3, 2, [(0, 0, np.nan)])),
                 "input time series contains NaN or Inf values", id="inf-y-before-all"),
    pytest.param(lambda b: dict(y=np.r_[-np.inf, b["y"]]),
                 "input time series contains NaN or Inf values", id="neg-inf-y"),
    pytest.param(lambda b: dict(exog=_exog(41, 3, [(3, 1, np.inf), (0, 2, np.nan),
                                                   (5, 1, np.nan)])),
                 "exog contains NaN or Inf at column 1, row 3", id="exog-column-major-first"),
    pytest.param(lambda b: dict(exog=_exog(40, 2, [(39, 0, np.nan), (0, 1, np.nan)])),
                 "exog contains NaN or Inf at column 0, row 39", id="exog-last-row-col0"),
    pytest.param(lambda b: dict(exog=_exog(41, 2, [(3, 1, np.inf)]), order=(99, 0, 0),
                                trend="zz"),
                 "exog contains NaN or Inf at column 1, row 3", id="exog-nan-before-rows"),
    pytest.param(lambda b: dict(exog=_exog(39, 1), order=(21, 0, 0), trend="zz"),
                 "exog has 39 rows but endog has 40 observations; they must match",
                 id="rows-before-order"),
    pytest.param(lambda b: dict(order=(21, 0, 0), trend="zz"),
                 "AR order p=21 exceeds maximum 20", id="order-before-trend"),
    pytest.param(lambda b: dict(trend="zz", params=np.ones(9)),
                 "unknown trend 'zz', expected one of: 'n', 'c', 't', 'ct'",
                 id="trend-before-params-length"),
])
def test_validation_order(ar1, changes, message):
    with raises_exact(ValueError, message):
        call(ar1, **changes(ar1))


def test_exog_nan_position_is_in_view_coordinates(exog_model):
    m = exog_model
    n = len(m["y"])
    base = m["base"].copy()
    # View row 3, column 1 of base[::-1, ::2][:n] is base row (2n - 1 - 3), column 2.
    base[2 * n - 1 - 3, 2] = np.nan
    with raises_exact(ValueError, "exog contains NaN or Inf at column 1, row 3"):
        loglike(m["y"], m["order"], m["seasonal"], m["params"], exog=base[::-1, ::2][:n])


# Each limit in checking order; enabling the violations from index i onwards must report
# message i, which pins the order of the whole chain.
LIMIT_CHAIN = [
    ("p", 21, "AR order p=21 exceeds maximum 20"),
    ("q", 21, "MA order q=21 exceeds maximum 20"),
    ("d", 4, "differencing order d=4 exceeds maximum 3"),
    ("P", 5, "seasonal AR order P=5 exceeds maximum 4"),
    ("Q", 5, "seasonal MA order Q=5 exceeds maximum 4"),
    ("D", 3, "seasonal differencing D=3 exceeds maximum 2"),
    ("s", 366, "seasonal period s=366 exceeds maximum 365"),
    ("n_exog", 101, "n_exog=101 exceeds maximum 100"),
]


@pytest.mark.parametrize("first", range(len(LIMIT_CHAIN)), ids=[c[0] for c in LIMIT_CHAIN])
def test_order_limit_precedence(first):
    v = {"p": 0, "d": 0, "q": 0, "P": 0, "D": 0, "Q": 0, "s": 12, "n_exog": 0}
    for key, bad, _ in LIMIT_CHAIN[first:]:
        v[key] = bad
    n = 10
    exog = np.ones((n, v["n_exog"])) if v["n_exog"] else None
    with raises_exact(ValueError, LIMIT_CHAIN[first][2]):
        loglike(np.ones(n), (v["p"], v["d"], v["q"]), (v["P"], v["D"], v["Q"], v["s"]),
                np.ones(1), exog=exog)


@pytest.mark.parametrize("order, seasonal, message", [
    ((21, 0, 21), (0, 0, 0, 0), "AR order p=21 exceeds maximum 20"),
    ((0, 0, 0), (1, 0, 0, 366), "seasonal period s=366 exceeds maximum 365"),
    ((2**64 - 1, 0, 0), (0, 0, 0, 0), f"AR order p={2**64 - 1} exceeds maximum 20"),
    ((0, 0, 0), (0, 0, 0, 2**63), f"seasonal period s={2**63} exceeds maximum 365"),
    ((0, 0, 0), (1, 0, 0, 1), "seasonal order (P,D,Q) > 0 requires seasonal period s >= 2"),
    ((0, 0, 0), (0, 1, 0, 0), "seasonal order (P,D,Q) > 0 requires seasonal period s >= 2"),
    ((0, 0, 0), (0, 0, 1, 1), "seasonal order (P,D,Q) > 0 requires seasonal period s >= 2"),
    # k_states = d + D*s + max(p + P*s, q + Q*s + 1)
    ((0, 0, 0), (4, 1, 4, 365), "model too large: k_states=1826 exceeds limit 1024"),
    ((5, 0, 0), (4, 0, 0, 255), "model too large: k_states=1025 exceeds limit 1024"),
    ((0, 0, 4), (0, 0, 4, 255), "model too large: k_states=1025 exceeds limit 1024"),
    ((2, 3, 0), (3, 1, 0, 255), "model too large: k_states=1025 exceeds limit 1024"),
])
def test_order_limit_messages(order, seasonal, message):
    with raises_exact(ValueError, message):
        loglike(np.ones(10), order, seasonal, np.ones(1))


@pytest.mark.parametrize("order, seasonal, n_exog", [
    ((20, 3, 20), (0, 0, 0, 0), 0),
    ((0, 0, 0), (4, 2, 4, 2), 0),
    ((0, 0, 0), (0, 0, 0, 365), 0),
    ((0, 0, 0), (0, 0, 0, 1), 0),
    ((0, 0, 0), (0, 0, 0, 0), 100),
    ((4, 0, 0), (4, 0, 0, 255), 0),   # k_states exactly 1024 from the AR side
    ((0, 0, 3), (0, 0, 4, 255), 0),   # ... from the MA side
    ((1, 3, 0), (3, 1, 0, 255), 0),   # ... with differencing states
])
def test_limits_are_inclusive(order, seasonal, n_exog):
    # A params array that is far too long proves the call got past every order check without
    # building a (possibly large) model.
    n = 10
    exog = np.ones((n, n_exog)) if n_exog else None
    p, _, q = order
    P, _, Q, _ = seasonal
    expected = n_exog + p + q + P + Q + 1
    with raises_exact(ValueError, f"parameter length mismatch: expected {expected}, got 500"):
        loglike(np.ones(n), order, seasonal, np.ones(500), exog=exog)


@pytest.mark.parametrize("trend", ["C", " c", "ctt", "", "nc", "c ", "CT", "ß", "c\x00", "\ud800"])
def test_unknown_trend_messages(ar1, trend):
    with raises_exact(ValueError, f"unknown trend '{trend}', expected one of: 'n', 'c', 't', 'ct'"):
        call(ar1, trend=trend)


@pytest.mark.parametrize("exog", [
    np.empty((0, 2**40)),                                 # no bytes, but 2**40 columns
    np.broadcast_to(np.zeros(1), (0, 10**12)),
])
def test_absurd_exog_shapes_are_refused_without_copying(exog):
    # The column count is checked before any column is copied out of the array.
    with raises_exact(ValueError, f"n_exog={exog.shape[1]} exceeds maximum 100"):
        pelmora.sarimax_loglike(np.zeros(0), (0, 0, 0), (0, 0, 0, 0), np.ones(1), exog=exog)


def test_broadcast_exog_is_read_in_place():
    exog = np.broadcast_to(np.arange(3.0), (40, 3))  # every row the same view of 3 values
    y = np.random.default_rng(9).normal(size=40)
    params = np.array([0.5, -0.2, 0.1, 0.3, 1.0])
    got = pelmora.sarimax_loglike(y, (1, 0, 0), (0, 0, 0, 0), params, exog=exog)
    assert got == pelmora.sarimax_loglike(y, (1, 0, 0), (0, 0, 0, 0), params, exog=np.array(exog))


def test_trend_spellings(ar1):
    with_trend = lambda t, extra: call(ar1, trend=t, params=np.r_[extra, ar1["params"]])
    assert with_trend("tc", [0.3, -0.02]) == with_trend("ct", [0.3, -0.02])
    assert with_trend("n", []) == with_trend(None, []) == call(ar1)
    # A constant and a linear trend are different models.
    assert with_trend("c", [0.3]) != with_trend("t", [0.3])


@pytest.mark.parametrize("trend, k_trend", [(None, 0), ("n", 0), ("c", 1), ("t", 1),
                                            ("ct", 2), ("tc", 2)])
@pytest.mark.parametrize("n_exog", [0, 2])
@pytest.mark.parametrize("concentrate", [False, True])
def test_parameter_length_mismatch(trend, k_trend, n_exog, concentrate):
    # (p, q, P, Q) = (2, 1, 1, 3)
    n = 30
    expected = k_trend + n_exog + 2 + 1 + 1 + 3 + (0 if concentrate else 1)
    exog = np.ones((n, n_exog)) if n_exog else None
    for given in (0, expected - 1, expected + 1):
        with raises_exact(ValueError, f"parameter length mismatch: expected {expected}, got {given}"):
            loglike(np.ones(n), (2, 0, 1), (1, 0, 3, 4), np.full(given, 0.1), exog=exog,
                    trend=trend, concentrate_scale=concentrate)


@pytest.mark.parametrize("simple", [False, True])
def test_seasonal_double_differencing_is_not_supported(simple):
    y = np.random.default_rng(2).standard_normal(60)
    with raises_exact(ValueError,
                      "state space construction failed: Seasonal differencing D > 1 is not yet supported"):
        loglike(y, (0, 0, 0), (0, 2, 0, 4), np.ones(1), simple_differencing=simple)


# (order, seasonal, params, flags, n_obs, reported n, burn); burn counts the differencing states
# when stationarity is enforced and every state otherwise; simple differencing removes the
# differencing states and shortens the series by d + s*D.
SIMPLE = {"simple_differencing": True}
DIFFUSE = {"enforce_stationarity": False}
SHORT_SERIES = [
    pytest.param((0, 0, 0), (0, 0, 0, 0), [1.0], {}, 0, 0, 0, id="empty"),
    pytest.param((0, 1, 0), (0, 0, 0, 0), [1.0], {}, 1, 1, 1, id="d1"),
    pytest.param((1, 1, 0), (0, 1, 0, 4), [0.5, 1.0], {}, 5, 5, 5, id="d1-D1"),
    pytest.param((2, 0, 1), (0, 0, 0, 0), [0.1, 0.1, 0.2, 1.0], DIFFUSE, 2, 2, 2,
                 id="diffuse-arma"),
    pytest.param((1, 1, 1), (0, 1, 0, 4), [0.3, 0.2, 1.0], DIFFUSE, 7, 7, 7, id="diffuse-d1-D1"),
    pytest.param((1, 1, 0), (0, 1, 0, 4), [0.5, 1.0], {**SIMPLE, **DIFFUSE}, 6, 1, 1,
                 id="simple-diffuse-one-left"),
    pytest.param((0, 1, 0), (0, 0, 0, 0), [1.0], SIMPLE, 1, 0, 0, id="simple-d1-none-left"),
    pytest.param((1, 1, 0), (0, 1, 0, 4), [0.5, 1.0], SIMPLE, 5, 0, 0, id="simple-d1-D1-none-left"),
    pytest.param((0, 1, 0), (0, 1, 0, 4), [1.0], SIMPLE, 4, 0, 0, id="simple-short-of-season"),
    pytest.param((1, 1, 0), (0, 1, 0, 4), [0.5, 1.0], {**SIMPLE, **DIFFUSE}, 5, 0, 1,
                 id="simple-diffuse-none-left"),
]


@pytest.mark.parametrize("order, seasonal, params, flags, n_obs, n, burn", SHORT_SERIES)
def test_too_few_observations(order, seasonal, params, flags, n_obs, n, burn):
    # One observation more than the differencing span plus the burn is enough.
    span = order[1] + seasonal[1] * seasonal[3] if flags.get("simple_differencing") else 0
    enough = span + burn + 1
    y = np.random.default_rng(4).standard_normal(enough)
    with raises_exact(ValueError, f"data error: Not enough observations: n={n} <= burn={burn}"):
        loglike(y[:n_obs], order, seasonal, np.array(params), **flags)
    assert np.isfinite(loglike(y, order, seasonal, np.array(params), **flags))


def test_overflowing_kalman_statistics():
    with raises_exact(ValueError,
                      "data error: non-finite Kalman statistics encountered (possible NaN/Inf in inputs)"):
        loglike(np.full(10, 1e200), (0, 0, 0), (0, 0, 0, 0), np.array([1.0]))


@pytest.mark.parametrize("bad", [np.nan, np.inf, -np.inf])
@pytest.mark.parametrize("position", [0, 1, 2])
def test_nonfinite_params_fail_inside_the_job(ar1, bad, position):
    params = ar1["params"].copy()
    params[position] = bad
    with pytest.raises(ValueError, match="^data error: ") as excinfo:
        call(ar1, params=params)
    assert type(excinfo.value) is ValueError


# ---------------------------------------------------------------------------------------------
# The interpreter lock is released while the numerical job runs


def test_other_threads_run_during_a_long_call():
    rng = np.random.default_rng(5)
    y = rng.standard_normal(3000).cumsum()
    # 603 states, all diffuse without enforced stationarity: about half a second per call.
    args = (y, (2, 0, 2), (1, 1, 1, 300), np.array([0.2, 0.1, 0.1, 0.05, 0.3, 0.2, 1.0]))
    kwargs = dict(enforce_stationarity=False)

    start = time.perf_counter()
    reference = loglike(*args, **kwargs)
    elapsed = time.perf_counter() - start

    ticks = [0]
    seen = {}
    started, finished = threading.Event(), threading.Event()

    def worker():
        started.set()
        before = ticks[0]
        seen["value"] = loglike(*args, **kwargs)
        seen["progress"] = ticks[0] - before
        finished.set()

    # A switch interval longer than the call: a thread that kept the lock for the whole call
    # would never be forced to hand it over, so the main loop could not tick meanwhile.
    old_interval = sys.getswitchinterval()
    sys.setswitchinterval(max(0.2, 2 * elapsed))
    try:
        thread = threading.Thread(target=worker)
        thread.start()
        assert started.wait(10)
        while not finished.is_set():
            ticks[0] += 1
        thread.join(10)
    finally:
        sys.setswitchinterval(old_interval)
    assert seen["value"] == reference
    assert seen["progress"] > 1000


# ---------------------------------------------------------------------------------------------
# Random junk never crashes and never raises anything but the three documented classes


def _junk_array(rng, junk, max_len=12):
    """A 1-D float64 array most of the time when `junk` is small; anything at all otherwise."""
    if rng.random() < 0.15 * junk:
        return [None, [1.0, 2.0], 3.0, "abc", (1.0,), {}, np.float64(2.0)][rng.integers(7)]
    dtypes = [np.float64, np.float32, np.int64, np.bool_, np.complex128, object, ">f8"]
    if rng.random() < junk:
        dtype, ndim = dtypes[rng.integers(len(dtypes))], int(rng.integers(0, 4))
    else:
        dtype, ndim = np.float64, 1
    shape = tuple(int(rng.integers(0, max_len if ndim == 1 else 5)) for _ in range(ndim))
    size = int(np.prod(shape)) if shape else 1
    base = rng.standard_normal(2 * size + 2)
    if size and rng.random() < 0.3 * junk:
        base[rng.integers(len(base))] = [np.nan, np.inf, -np.inf, 1e300][rng.integers(4)]
    with np.errstate(all="ignore"):  # casting inf to int64 is part of the junk
        base = base.astype(dtype)
    kind = rng.integers(4) if rng.random() < junk else 0
    if kind == 0:
        flat = base[:size]
    elif kind == 1:
        flat = base[: 2 * size : 2]
    elif kind == 2:
        flat = base[::-1][: 2 * size : 2]
    else:
        flat = misaligned(base[:size]) if base.dtype == np.float64 else base[1 : size + 1]
    return flat.reshape(shape) if shape else flat.reshape(())


def _junk_int(rng, junk, small_max):
    if rng.random() >= 0.3 * junk:
        return int(rng.integers(0, small_max + 1))
    return [21, 366, 2**63, 2**64 - 1, 2**64, 2**70, -1, -(2**70), 1.0, "1", None,
            np.int64(2), np.uint8(3), True, np.float64(1.0)][rng.integers(15)]


def _junk_tuple(rng, junk, maxima):
    items = tuple(_junk_int(rng, junk, m) for m in maxima)
    r = rng.random()
    if r >= 0.3 * junk:
        return items
    if r < 0.15 * junk:
        return items[:-1] if rng.random() < 0.5 else items + (0,)
    return [list(items), None, "abc", np.array(items, dtype=object), 3][rng.integers(5)]


def _junk_choice(rng, options):
    return options[rng.integers(len(options))]


def _expected_param_count(order, seasonal, n_exog, trend, concentrate):
    try:
        p, _, q = (int(v) for v in order)
        P, _, Q, _ = (int(v) for v in seasonal)
    except (TypeError, ValueError):
        return None
    k_trend = {None: 0, "n": 0, "c": 1, "t": 1, "ct": 2, "tc": 2}.get(trend, 0)
    return k_trend + n_exog + p + q + P + Q + (0 if concentrate else 1)


def test_random_junk_is_refused_cleanly():
    rng = np.random.default_rng(20240601)
    good_flags, bad_flags = [True, False, np.True_, np.False_], [1, 0, None, "yes", 1.0]
    good_trends = [None, "n", "c", "t", "ct", "tc"]
    bad_trends = ["C", " c", "ctt", "", "é", 1, b"c"]
    outcomes = {"value": 0, TypeError: 0, ValueError: 0, OverflowError: 0}
    for case in range(400):
        # Each case has its own junk level, so some calls are clean enough to reach the
        # numerical job while others fail at the first argument.
        junk = rng.random() ** 2
        bad = lambda: rng.random() < 0.3 * junk
        y = _junk_array(rng, junk / 3, max_len=40)
        order = _junk_tuple(rng, junk, (3, 2, 3))
        seasonal = _junk_tuple(rng, junk, (2, 1, 2, 0))
        if isinstance(seasonal, tuple) and len(seasonal) == 4 and not bad():
            seasonal = seasonal[:3] + (_junk_choice(rng, [0, 2, 3, 4, 4, 7, 12]),)
        n_y = len(y) if isinstance(y, np.ndarray) and y.ndim == 1 else 5
        kwargs = {}
        if rng.random() < 0.35:
            if bad():
                kwargs["exog"] = _junk_array(rng, 1.0)
            else:
                rows = max(n_y + (_junk_choice(rng, [1, -1]) if bad() else 0), 0)
                exog = rng.standard_normal((2 * rows, int(rng.integers(0, 4)) * 2))[::2, ::2]
                if exog.size and bad():
                    exog[rng.integers(exog.shape[0]), rng.integers(exog.shape[1])] = np.nan
                kwargs["exog"] = np.asfortranarray(exog) if rng.random() < 0.3 else exog
        for flag in FLAG_NAMES:
            if rng.random() < 0.5:
                kwargs[flag] = _junk_choice(rng, bad_flags if bad() else good_flags)
        if rng.random() < 0.5:
            kwargs["trend"] = _junk_choice(rng, bad_trends if bad() else good_trends)
        if rng.random() < 0.05 * junk:
            kwargs["junk_keyword"] = 1
        exog = kwargs.get("exog")
        n_exog = exog.shape[1] if isinstance(exog, np.ndarray) and exog.ndim == 2 else 0
        count = _expected_param_count(order, seasonal, n_exog, kwargs.get("trend"),
                                      isinstance(kwargs.get("concentrate_scale"), (bool, np.bool_))
                                      and bool(kwargs["concentrate_scale"]))
        if count is not None and 0 <= count < 60 and not bad():
            params = rng.uniform(-0.5, 0.5, count)
            if count:
                params[-1] = abs(params[-1]) + 0.5
            if count and bad():
                params[rng.integers(count)] = _junk_choice(rng, [np.nan, np.inf, -np.inf])
        else:
            params = _junk_array(rng, junk / 3, max_len=8)
        try:
            if rng.random() < 0.5:
                result = loglike(y, order, seasonal, params, **kwargs)
            else:
                result = loglike(y=y, order=order, seasonal=seasonal, params=params, **kwargs)
        except BaseException as error:  # noqa: BLE001 - InternalFault derives from BaseException
            assert type(error) in (TypeError, ValueError, OverflowError), (
                f"case {case}: {type(error).__name__}: {error}")
            outcomes[type(error)] += 1
        else:
            assert type(result) is float, f"case {case}: returned {result!r}"
            outcomes["value"] += 1
    # The generator reaches every layer, including the numerical job.
    assert all(count >= 10 for count in outcomes.values()), outcomes
