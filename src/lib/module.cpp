// The CPython module `pelmora`: registration and the Python-facing functions. Every function
// has the same shape: bind, convert, validate in the documented order, copy, release the lock,
// call the core on plain vectors, re-acquire, convert the value or raise the error.

#define PELMORA_IMPORT_NUMPY
#include "lib/numpy_api.hpp"

#include <array>
#include <functional>
#include <vector>

#include "lib/binding.hpp"
#include "lib/validation.hpp"
#include "params/params.hpp"
#include "forecast/forecast.hpp"
#include "optimizer/mod.hpp"
#include "pipeline/pipeline.hpp"

namespace pelmora::py {
namespace {

constexpr const char* kVersion = "0.3.0";

PyObject* version(PyObject*, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr std::array<const char*, 0> kParams{};
  static const FunctionSpec desc{"version", kParams, 0};
  std::array<PyObject*, 0> slots{};
  if (!bind_arguments(desc, nullptr, nargs, kwnames, slots)) return nullptr;
  return PyUnicode_FromString(kVersion);
}

// The arguments every model call shares.
struct ModelArgs {
  Array1D y;
  std::size_t order[3];
  std::size_t seasonal[4];
  PyArrayObject* exog = nullptr;
  ModelFlags flags;
  PyObject* trend = nullptr;
};

// y, order and seasonal: the first three parameters of every model call, converted in order.
bool convert_leading(const std::span<PyObject*> a, ModelArgs& m) {
  return convert_array1d(a[0], "y", m.y) && convert_sizes(a[1], "order", 3, m.order) &&
         convert_sizes(a[2], "seasonal", 4, m.seasonal);
}

// Contiguous views of y and params, then the request checks.
bool view_and_prepare(const ModelArgs& m, const Array1D& params_array, std::span<const double>& y,
                      std::span<const double>& params, SingleRequest& request) {
  return view_contiguous(m.y, y) && view_contiguous(params_array, params) &&
         prepare_single_request(y, m.exog, m.order, m.seasonal, m.flags, m.trend, request);
}

// Raises the job's fault or error, or converts its value with `convert`.
template <typename T, typename Convert>
PyObject* finish_job(Guarded<Result<T>>& outcome, Convert convert) {
  if (!outcome) {
    raise_internal_fault(outcome.error());
    return nullptr;
  }
  if (!*outcome) {
    to_pyerr(outcome->error());
    return nullptr;
  }
  return convert(**outcome);
}

// Owned copies of the two 1-D inputs, or MemoryError.
bool copy_inputs(std::span<const double> y, std::span<const double> params, std::vector<double>& y_owned,
                 std::vector<double>& params_owned) {
  return allocate_or_raise([&] {
    y_owned.assign(y.begin(), y.end());
    params_owned.assign(params.begin(), params.end());
  });
}

PyObject* sarimax_loglike(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr std::array kParams{"y",        "order",
                                      "seasonal", "params",
                                      "exog",     "concentrate_scale",
                                      "enforce_stationarity", "enforce_invertibility",
                                      "trend",    "simple_differencing"};
  static const FunctionSpec desc{"sarimax_loglike", kParams, 4};
  std::array<PyObject*, kParams.size()> a{};
  if (!bind_arguments(desc, args, nargs, kwnames, a)) return nullptr;
  ModelArgs m;
  Array1D params_array;
  // Conversion in parameter order; the flags interleave with `trend` as the signature has them.
  if (!convert_leading(a, m) || !convert_array1d(a[3], "params", params_array) ||
      !convert_optional_array2d(a[4], "exog", m.exog) ||
      !convert_bool(a[5], "concentrate_scale", false, m.flags.concentrate_scale) ||
      !convert_bool(a[6], "enforce_stationarity", true, m.flags.enforce_stationarity) ||
      !convert_bool(a[7], "enforce_invertibility", true, m.flags.enforce_invertibility) ||
      !convert_optional_str(a[8], "trend", m.trend) ||
      !convert_bool(a[9], "simple_differencing", false, m.flags.simple_differencing)) {
    return nullptr;
  }
  std::span<const double> y, params;
  SingleRequest request;
  if (!view_and_prepare(m, params_array, y, params, request)) return nullptr;
  std::vector<double> y_owned, params_owned;
  if (!copy_inputs(y, params, y_owned, params_owned)) return nullptr;
  auto outcome = run_without_gil([&]() -> Result<double> {
    auto split = SarimaxParams::from_flat(params_owned, request.config);
    if (!split) return std::unexpected(std::move(split.error()));
    auto evaluated = kalman_eval(y_owned, *split, request.config, request.exog ? &*request.exog : nullptr);
    if (!evaluated) return std::unexpected(std::move(evaluated.error()));
    return evaluated->loglike;
  });
  return finish_job(outcome, [](double value) { return PyFloat_FromDouble(value); });
}

// A list of floats from a vector; null with the error set on failure.
PyObject* float_list(const std::vector<double>& values) {
  PyRef list(PyList_New(static_cast<Py_ssize_t>(values.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < values.size(); ++i) {
    PyObject* v = PyFloat_FromDouble(values[i]);
    if (v == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), v);
  }
  return list.release();
}

PyObject* nested_float_list(const std::vector<std::vector<double>>& rows) {
  PyRef list(PyList_New(static_cast<Py_ssize_t>(rows.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    PyObject* row = float_list(rows[i]);
    if (row == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), row);
  }
  return list.release();
}

// A dict from (key, value maker) pairs in order. Each maker returns a new reference; the first
// failure stops the building, so no API call runs with an error pending.
using ValueMaker = std::function<PyObject*()>;
PyObject* dict_of(std::initializer_list<std::pair<const char*, ValueMaker>> items) {
  PyRef dict(PyDict_New());
  if (!dict) return nullptr;
  for (const auto& [key, make] : items) {
    PyRef value(make());
    if (!value || PyDict_SetItemString(dict.get(), key, value.get()) < 0) return nullptr;
  }
  return dict.release();
}

// The result dict of a fit; its warnings are then issued through the warnings module, and an
// escalated warning (an exception) is the result instead of the dict.
PyObject* fit_result_to_pydict(const FitResult& r) {
  auto text = [](const std::string& t) { return PyUnicode_FromStringAndSize(t.data(), static_cast<Py_ssize_t>(t.size())); };
  PyRef dict(dict_of({{"params", [&] { return float_list(r.params); }},
                      {"loglike", [&] { return PyFloat_FromDouble(r.loglike); }},
                      {"scale", [&] { return PyFloat_FromDouble(r.scale); }},
                      {"aic", [&] { return PyFloat_FromDouble(r.aic); }},
                      {"bic", [&] { return PyFloat_FromDouble(r.bic); }},
                      {"n_obs", [&] { return PyLong_FromSize_t(r.n_obs); }},
                      {"n_params", [&] { return PyLong_FromSize_t(r.n_params); }},
                      {"n_iter", [&] { return PyLong_FromUnsignedLongLong(r.n_iter); }},
                      {"converged", [&] { return PyBool_FromLong(r.converged); }},
                      {"method", [&] { return text(r.method); }},
                      {"warnings", [&]() -> PyObject* {
                         PyRef list(PyList_New(static_cast<Py_ssize_t>(r.warnings.size())));
                         if (!list) return nullptr;
                         for (std::size_t i = 0; i < r.warnings.size(); ++i) {
                           PyObject* item = text(r.warnings[i]);
                           if (item == nullptr) return nullptr;
                           PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
                         }
                         return list.release();
                       }}}));
  if (!dict) return nullptr;
  if (!r.warnings.empty()) {
    PyRef module(PyImport_ImportModule("warnings"));
    if (!module) return nullptr;
    PyRef warn(PyObject_GetAttrString(module.get(), "warn"));
    if (!warn) return nullptr;
    for (const std::string& text : r.warnings) {
      PyRef message(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
      if (!message) return nullptr;
      PyRef result(PyObject_CallOneArg(warn.get(), message.get()));
      if (!result) return nullptr;
    }
  }
  return dict.release();
}

PyObject* sarimax_fit(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr std::array kParams{"y",      "order",   "seasonal",          "start_params",
                                      "exog",   "concentrate_scale", "enforce_stationarity",
                                      "enforce_invertibility", "method", "maxiter", "trend",
                                      "simple_differencing"};
  static const FunctionSpec desc{"sarimax_fit", kParams, 3};
  std::array<PyObject*, kParams.size()> a{};
  if (!bind_arguments(desc, args, nargs, kwnames, a)) return nullptr;
  ModelArgs m;
  Array1D start_array;
  PyObject* method = nullptr;
  std::optional<std::uint64_t> maxiter;
  if (!convert_leading(a, m) || !convert_optional_array1d(a[3], "start_params", start_array) ||
      !convert_optional_array2d(a[4], "exog", m.exog) ||
      !convert_bool(a[5], "concentrate_scale", false, m.flags.concentrate_scale) ||
      !convert_bool(a[6], "enforce_stationarity", true, m.flags.enforce_stationarity) ||
      !convert_bool(a[7], "enforce_invertibility", true, m.flags.enforce_invertibility) ||
      !convert_optional_str(a[8], "method", method) || !convert_optional_u64(a[9], "maxiter", maxiter) ||
      !convert_optional_str(a[10], "trend", m.trend) ||
      !convert_bool(a[11], "simple_differencing", false, m.flags.simple_differencing)) {
    return nullptr;
  }
  std::span<const double> y;
  if (!view_contiguous(m.y, y)) return nullptr;
  SingleRequest request;
  if (!prepare_single_request(y, m.exog, m.order, m.seasonal, m.flags, m.trend, request)) return nullptr;
  std::span<const double> start;
  if (start_array.array != nullptr && !view_contiguous(start_array, start)) return nullptr;

  std::vector<double> y_owned;
  std::optional<std::vector<double>> start_owned;
  std::optional<std::string> method_owned;
  if (!allocate_or_raise([&] {
        y_owned.assign(y.begin(), y.end());
        if (start_array.array != nullptr) start_owned.emplace(start.begin(), start.end());
        if (method != nullptr) method_owned = utf8_lenient(method);
      })) {
    return nullptr;
  }
  auto outcome = run_without_gil([&]() -> Result<FitResult> {
    return fit(y_owned, request.config, start_owned, method_owned, maxiter, request.exog ? &*request.exog : nullptr);
  });
  return finish_job(outcome, [](const FitResult& r) { return fit_result_to_pydict(r); });
}

PyObject* forecast_to_pydict(const ForecastResult& r) {
  return dict_of({{"mean", [&] { return float_list(r.mean); }},
                  {"variance", [&] { return float_list(r.variance); }},
                  {"ci_lower", [&] { return float_list(r.ci_lower); }},
                  {"ci_upper", [&] { return float_list(r.ci_upper); }}});
}

PyObject* sarimax_forecast(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr std::array kParams{"y",           "order",         "seasonal",           "params",
                                      "steps",       "alpha",         "exog",               "future_exog",
                                      "concentrate_scale", "trend",   "simple_differencing", "enforce_stationarity",
                                      "enforce_invertibility"};
  static const FunctionSpec desc{"sarimax_forecast", kParams, 4};
  std::array<PyObject*, kParams.size()> a{};
  if (!bind_arguments(desc, args, nargs, kwnames, a)) return nullptr;
  ModelArgs m;
  Array1D params_array;
  std::size_t steps = 10;
  double alpha = 0.05;
  PyArrayObject* future = nullptr;
  if (!convert_leading(a, m) || !convert_array1d(a[3], "params", params_array) ||
      !convert_size(a[4], "steps", 10, steps) || !convert_double(a[5], "alpha", 0.05, alpha) ||
      !convert_optional_array2d(a[6], "exog", m.exog) || !convert_optional_array2d(a[7], "future_exog", future) ||
      !convert_bool(a[8], "concentrate_scale", false, m.flags.concentrate_scale) ||
      !convert_optional_str(a[9], "trend", m.trend) ||
      !convert_bool(a[10], "simple_differencing", false, m.flags.simple_differencing) ||
      !convert_bool(a[11], "enforce_stationarity", true, m.flags.enforce_stationarity) ||
      !convert_bool(a[12], "enforce_invertibility", true, m.flags.enforce_invertibility)) {
    return nullptr;
  }
  if (!validate_alpha(alpha) || !validate_steps(steps)) return nullptr;
  std::span<const double> y, params;
  SingleRequest request;
  if (!view_and_prepare(m, params_array, y, params, request)) return nullptr;
  std::optional<Columns> future_cols;
  if (future != nullptr) {
    if (!validate_finite_array(future, "future_exog")) return nullptr;
    const auto given = static_cast<std::size_t>(PyArray_DIM(future, 1));
    if (given != request.config.n_exog) {
      PyErr_Format(PyExc_ValueError, "future_exog column count (%zu) must match exog column count (%zu)", given,
                   request.config.n_exog);
      return nullptr;
    }
    const auto rows = static_cast<std::size_t>(PyArray_DIM(future, 0));
    if (given > 0 && rows < steps) {
      // Every column has the array's row count: the first column is the first to fall short.
      PyErr_Format(PyExc_ValueError, "future_exog column %d has %zu rows but %zu forecast steps requested", 0, rows,
                   steps);
      return nullptr;
    }
    if (!allocate_or_raise([&] { future_cols = numpy2d_to_cols(future); })) return nullptr;
  } else if (request.config.n_exog > 0 && steps > 0) {
    PyErr_SetString(PyExc_ValueError, "model has exogenous variables: future_exog is required for forecasting");
    return nullptr;
  }
  std::vector<double> y_owned, params_owned;
  if (!copy_inputs(y, params, y_owned, params_owned)) return nullptr;
  auto outcome = run_without_gil([&]() -> Result<ForecastResult> {
    auto split = SarimaxParams::from_flat(params_owned, request.config);
    if (!split) return std::unexpected(std::move(split.error()));
    return forecast_pipeline(y_owned, request.config, *split, steps, alpha, request.exog ? &*request.exog : nullptr,
                             future_cols ? &*future_cols : nullptr);
  });
  return finish_job(outcome, [](const ForecastResult& r) { return forecast_to_pydict(r); });
}

PyObject* sarimax_rolling_forecast(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr std::array kParams{"y",     "order",   "seasonal",           "params",
                                      "start", "step",    "horizon",            "alpha",
                                      "exog",  "concentrate_scale", "trend",    "simple_differencing",
                                      "enforce_stationarity", "enforce_invertibility"};
  static const FunctionSpec desc{"sarimax_rolling_forecast", kParams, 5};
  std::array<PyObject*, kParams.size()> a{};
  if (!bind_arguments(desc, args, nargs, kwnames, a)) return nullptr;
  ModelArgs m;
  Array1D params_array;
  std::size_t start = 0, step = 1, horizon = 1;
  double alpha = 0.05;
  if (!convert_leading(a, m) || !convert_array1d(a[3], "params", params_array) ||
      !convert_size(a[4], "start", 0, start) || !convert_size(a[5], "step", 1, step) ||
      !convert_size(a[6], "horizon", 1, horizon) || !convert_double(a[7], "alpha", 0.05, alpha) ||
      !convert_optional_array2d(a[8], "exog", m.exog) ||
      !convert_bool(a[9], "concentrate_scale", false, m.flags.concentrate_scale) ||
      !convert_optional_str(a[10], "trend", m.trend) ||
      !convert_bool(a[11], "simple_differencing", false, m.flags.simple_differencing) ||
      !convert_bool(a[12], "enforce_stationarity", true, m.flags.enforce_stationarity) ||
      !convert_bool(a[13], "enforce_invertibility", true, m.flags.enforce_invertibility)) {
    return nullptr;
  }
  if (!validate_alpha(alpha)) return nullptr;
  if (horizon > 0 && !validate_steps(horizon)) return nullptr;
  std::span<const double> y, params;
  SingleRequest request;
  if (!view_and_prepare(m, params_array, y, params, request)) return nullptr;
  std::vector<double> y_owned, params_owned;
  if (!copy_inputs(y, params, y_owned, params_owned)) return nullptr;
  auto outcome = run_without_gil([&]() -> Result<RollingForecastOutput> {
    auto split = SarimaxParams::from_flat(params_owned, request.config);
    if (!split) return std::unexpected(std::move(split.error()));
    return rolling_forecast_pipeline(y_owned, request.config, *split, start, alpha, step, horizon,
                                     request.exog ? &*request.exog : nullptr);
  });
  return finish_job(outcome, [](const RollingForecastOutput& r) -> PyObject* {
    PyRef origins(PyList_New(static_cast<Py_ssize_t>(r.origins.size())));
    if (!origins) return nullptr;
    for (std::size_t i = 0; i < r.origins.size(); ++i) {
      PyObject* v = PyLong_FromSize_t(r.origins[i]);
      if (v == nullptr) return nullptr;
      PyList_SET_ITEM(origins.get(), static_cast<Py_ssize_t>(i), v);
    }
    return dict_of({{"origins", [&] { return origins.release(); }},
                    {"mean", [&] { return nested_float_list(r.mean); }},
                    {"variance", [&] { return nested_float_list(r.variance); }},
                    {"ci_lower", [&] { return nested_float_list(r.ci_lower); }},
                    {"ci_upper", [&] { return nested_float_list(r.ci_upper); }}});
  });
}

PyObject* sarimax_residuals(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr std::array kParams{"y",    "order",              "seasonal", "params",
                                      "exog", "concentrate_scale",  "trend",    "simple_differencing",
                                      "enforce_stationarity", "enforce_invertibility"};
  static const FunctionSpec desc{"sarimax_residuals", kParams, 4};
  std::array<PyObject*, kParams.size()> a{};
  if (!bind_arguments(desc, args, nargs, kwnames, a)) return nullptr;
  ModelArgs m;
  Array1D params_array;
  if (!convert_leading(a, m) || !convert_array1d(a[3], "params", params_array) ||
      !convert_optional_array2d(a[4], "exog", m.exog) ||
      !convert_bool(a[5], "concentrate_scale", false, m.flags.concentrate_scale) ||
      !convert_optional_str(a[6], "trend", m.trend) ||
      !convert_bool(a[7], "simple_differencing", false, m.flags.simple_differencing) ||
      !convert_bool(a[8], "enforce_stationarity", true, m.flags.enforce_stationarity) ||
      !convert_bool(a[9], "enforce_invertibility", true, m.flags.enforce_invertibility)) {
    return nullptr;
  }
  std::span<const double> y, params;
  SingleRequest request;
  if (!view_and_prepare(m, params_array, y, params, request)) return nullptr;
  std::vector<double> y_owned, params_owned;
  if (!copy_inputs(y, params, y_owned, params_owned)) return nullptr;
  auto outcome = run_without_gil([&]() -> Result<ResidualOutput> {
    auto split = SarimaxParams::from_flat(params_owned, request.config);
    if (!split) return std::unexpected(std::move(split.error()));
    return residuals_pipeline(y_owned, request.config, *split, request.exog ? &*request.exog : nullptr);
  });
  return finish_job(outcome, [](const ResidualOutput& r) {
    return dict_of({{"residuals", [&] { return float_list(r.residuals); }},
                    {"standardized_residuals", [&] { return float_list(r.standardized_residuals); }},
                    {"prediction_variances", [&] { return float_list(r.prediction_variances); }}});
  });
}

PyMethodDef kMethods[] = {
    {"version", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(version)),
     METH_FASTCALL | METH_KEYWORDS, "version()\n--\n\nSmoke-test function: returns the version string."},
    {"sarimax_loglike", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(sarimax_loglike)),
     METH_FASTCALL | METH_KEYWORDS,
     "sarimax_loglike(y, order, seasonal, params, exog=None, concentrate_scale=False, "
     "enforce_stationarity=True, enforce_invertibility=True, trend=None, simple_differencing=False)"
     "\n--\n\nCompute the SARIMAX concentrated (or full) log-likelihood."},
    {"sarimax_fit", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(sarimax_fit)),
     METH_FASTCALL | METH_KEYWORDS,
     "sarimax_fit(y, order, seasonal, start_params=None, exog=None, concentrate_scale=False, "
     "enforce_stationarity=True, enforce_invertibility=True, method=None, maxiter=None, trend=None, "
     "simple_differencing=False)"
     "\n--\n\nFit a SARIMAX model via MLE (L-BFGS-B default, with Nelder-Mead fallback).\n\nReturns a dict "
     "with: params, loglike, scale, aic, bic, n_obs, n_iter, converged, method."},
    {"sarimax_forecast", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(sarimax_forecast)),
     METH_FASTCALL | METH_KEYWORDS,
     "sarimax_forecast(y, order, seasonal, params, steps=10, alpha=0.05, exog=None, future_exog=None, "
     "concentrate_scale=False, trend=None, simple_differencing=False, enforce_stationarity=True, "
     "enforce_invertibility=True)"
     "\n--\n\nCompute h-step ahead forecast for a SARIMAX model.\n\nReturns a dict with: mean, variance, "
     "ci_lower, ci_upper."},
    {"sarimax_rolling_forecast",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(sarimax_rolling_forecast)),
     METH_FASTCALL | METH_KEYWORDS,
     "sarimax_rolling_forecast(y, order, seasonal, params, start, step=1, horizon=1, alpha=0.05, exog=None, "
     "concentrate_scale=False, trend=None, simple_differencing=False, enforce_stationarity=True, "
     "enforce_invertibility=True)"
     "\n--\n\nSingle-pass rolling-origin h-step forecasts with fixed parameters.\n\nOne Kalman filter pass "
     "over the full series; forecasts are propagated\nfrom the predicted-state snapshot at each origin `start, "
     "start+step, ...`.\nO(T + N*horizon) total. Returns a dict with: origins, mean, variance,\nci_lower, "
     "ci_upper (row-per-origin nested lists)."},
    {"sarimax_residuals", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(sarimax_residuals)),
     METH_FASTCALL | METH_KEYWORDS,
     "sarimax_residuals(y, order, seasonal, params, exog=None, concentrate_scale=False, trend=None, "
     "simple_differencing=False, enforce_stationarity=True, enforce_invertibility=True)"
     "\n--\n\nCompute residuals and standardized residuals for a SARIMAX model.\n\nReturns a dict with: "
     "residuals, standardized_residuals, prediction_variances."},
    {nullptr, nullptr, 0, nullptr},
};

int exec_module(PyObject* module) {
  if (!PyModule_Check(module)) {
    PyErr_SetString(PyExc_TypeError, "pelmora: execution slot received a non-module object");
    return -1;
  }
  if (PyArray_API == nullptr && _import_array() < 0) return -1;
  // Functions in registration order; the first failure leaves its error pending.
  PyRef name(PyModule_GetNameObject(module));
  if (!name) return -1;
  for (PyMethodDef* def = kMethods; def->ml_name != nullptr; ++def) {
    PyRef function(PyCFunction_NewEx(def, module, name.get()));
    if (!function) return -1;
    if (PyModule_AddObjectRef(module, def->ml_name, function.get()) < 0) return -1;
  }
  PyObject* fault = internal_fault_type();
  if (fault == nullptr || PyModule_AddObjectRef(module, "InternalFault", fault) < 0) return -1;
  return 0;
}

PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
#if PY_VERSION_HEX >= 0x030C0000
    // The internal-fault class is one process-wide object.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
    {0, nullptr},
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT,
    "pelmora",
    "Python module definition.",
    0,
    nullptr,
    kSlots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace pelmora::py

PyMODINIT_FUNC PyInit_pelmora(void) { return PyModuleDef_Init(&pelmora::py::kModule); }
