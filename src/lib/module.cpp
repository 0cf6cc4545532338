// The CPython module `pelmora`: registration and the Python-facing functions. Every function
// has the same shape: bind, convert, validate in the documented order, copy, release the lock,
// call the core on plain vectors, re-acquire, convert the value or raise the error.

#define PELMORA_IMPORT_NUMPY
#include "lib/numpy_api.hpp"

#include <array>
#include <vector>

#include "lib/binding.hpp"
#include "lib/validation.hpp"
#include "params/params.hpp"
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

PyObject* sarimax_loglike(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr std::array kParams{"y",        "order",
                                      "seasonal", "params",
                                      "exog",     "concentrate_scale",
                                      "enforce_stationarity", "enforce_invertibility",
                                      "trend",    "simple_differencing"};
  static const FunctionSpec desc{"sarimax_loglike", kParams, 4};
  std::array<PyObject*, kParams.size()> a{};
  if (!bind_arguments(desc, args, nargs, kwnames, a)) return nullptr;

  Array1D y_array, params_array;
  std::size_t order[3], seasonal[4];
  PyArrayObject* exog = nullptr;
  ModelFlags flags;
  PyObject* trend = nullptr;
  // Conversion in parameter order; the flags interleave with `trend` as the signature has them.
  if (!convert_array1d(a[0], "y", y_array) || !convert_sizes(a[1], "order", 3, order) ||
      !convert_sizes(a[2], "seasonal", 4, seasonal) || !convert_array1d(a[3], "params", params_array) ||
      !convert_optional_array2d(a[4], "exog", exog) ||
      !convert_bool(a[5], "concentrate_scale", false, flags.concentrate_scale) ||
      !convert_bool(a[6], "enforce_stationarity", true, flags.enforce_stationarity) ||
      !convert_bool(a[7], "enforce_invertibility", true, flags.enforce_invertibility) ||
      !convert_optional_str(a[8], "trend", trend) ||
      !convert_bool(a[9], "simple_differencing", false, flags.simple_differencing)) {
    return nullptr;
  }
  std::span<const double> y, params;
  if (!view_contiguous(y_array, y) || !view_contiguous(params_array, params)) return nullptr;
  SingleRequest request;
  if (!prepare_single_request(y, exog, order, seasonal, flags, trend, request)) return nullptr;

  std::vector<double> y_owned, params_owned;
  if (!allocate_or_raise([&] {
        y_owned.assign(y.begin(), y.end());
        params_owned.assign(params.begin(), params.end());
      })) {
    return nullptr;
  }
  auto outcome = run_without_gil([&]() -> Result<double> {
    auto split = SarimaxParams::from_flat(params_owned, request.config);
    if (!split) return std::unexpected(std::move(split.error()));
    const Columns* exog_cols = request.exog ? &*request.exog : nullptr;
    auto evaluated = kalman_eval(y_owned, *split, request.config, exog_cols);
    if (!evaluated) return std::unexpected(std::move(evaluated.error()));
    return evaluated->loglike;
  });
  if (!outcome) {
    raise_internal_fault(outcome.error());
    return nullptr;
  }
  if (!*outcome) {
    to_pyerr(outcome->error());
    return nullptr;
  }
  return PyFloat_FromDouble(**outcome);
}

PyMethodDef kMethods[] = {
    {"version", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(version)),
     METH_FASTCALL | METH_KEYWORDS, "version()\n--\n\nSmoke-test function: returns the version string."},
    {"sarimax_loglike", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(sarimax_loglike)),
     METH_FASTCALL | METH_KEYWORDS,
     "sarimax_loglike(y, order, seasonal, params, exog=None, concentrate_scale=False, "
     "enforce_stationarity=True, enforce_invertibility=True, trend=None, simple_differencing=False)"
     "\n--\n\nCompute the SARIMAX concentrated (or full) log-likelihood."},
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
