#include "lib/binding.hpp"

#include <cstring>

namespace pelmora::py {

bool bind_arguments(const FunctionSpec& desc, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, std::span<PyObject*> slots) {
  const std::size_t n_params = desc.params.size();
  for (PyObject*& slot : slots) slot = nullptr;
  if (nargs < 0 || static_cast<std::size_t>(nargs) > n_params) {
    PyErr_Format(PyExc_TypeError, "%s() takes at most %zu arguments (%zd given)", desc.name,
                 n_params, nargs);
    return false;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) slots[static_cast<std::size_t>(i)] = args[i];
  const Py_ssize_t n_kw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t i = 0; i < n_kw; ++i) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, i);
    std::size_t index = n_params;
    for (std::size_t j = 0; j < n_params; ++j) {
      if (PyUnicode_CompareWithASCIIString(key, desc.params[j]) == 0) {
        index = j;
        break;
      }
    }
    if (index == n_params) {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", desc.name, key);
      return false;
    }
    if (slots[index] != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", desc.name,
                   desc.params[index]);
      return false;
    }
    slots[index] = args[nargs + i];
  }
  for (std::size_t j = 0; j < desc.n_required; ++j) {
    if (slots[j] == nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zu)", desc.name,
                   desc.params[j], j + 1);
      return false;
    }
  }
  return true;
}

namespace {

bool is_native_float64(PyObject* object, int ndim) {
  if (!PyArray_Check(object)) return false;
  auto* array = reinterpret_cast<PyArrayObject*>(object);
  return PyArray_TYPE(array) == NPY_DOUBLE && PyArray_ISNOTSWAPPED(array) &&
         PyArray_NDIM(array) == ndim;
}

}  // namespace

bool convert_array1d(PyObject* object, const char* name, Array1D& out) {
  if (object == nullptr || !is_native_float64(object, 1)) {
    PyErr_Format(PyExc_TypeError, "argument '%s' must be a 1-D numpy.ndarray of float64, not %s",
                 name, object == nullptr ? "nothing" : Py_TYPE(object)->tp_name);
    return false;
  }
  out.array = reinterpret_cast<PyArrayObject*>(object);
  return true;
}

bool convert_optional_array1d(PyObject* object, const char* name, Array1D& out) {
  out.array = nullptr;
  if (object == nullptr || object == Py_None) return true;
  if (!is_native_float64(object, 1)) {
    PyErr_Format(PyExc_TypeError, "argument '%s' must be a 1-D numpy.ndarray of float64 or None, not %s", name,
                 Py_TYPE(object)->tp_name);
    return false;
  }
  out.array = reinterpret_cast<PyArrayObject*>(object);
  return true;
}

bool convert_size(PyObject* object, const char* name, std::size_t default_value, std::size_t& out) {
  if (object == nullptr) {
    out = default_value;
    return true;
  }
  if (!PyLong_Check(object)) {
    PyErr_Format(PyExc_TypeError, "argument '%s' must be int, not %s", name, Py_TYPE(object)->tp_name);
    return false;
  }
  const std::size_t value = PyLong_AsSize_t(object);  // OverflowError when negative
  if (value == static_cast<std::size_t>(-1) && PyErr_Occurred()) return false;
  out = value;
  return true;
}

bool convert_double(PyObject* object, const char* name, double default_value, double& out) {
  if (object == nullptr) {
    out = default_value;
    return true;
  }
  const double value = PyFloat_AsDouble(object);
  if (value == -1.0 && PyErr_Occurred()) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError, "argument '%s' must be float, not %s", name, Py_TYPE(object)->tp_name);
    return false;
  }
  out = value;
  return true;
}

bool convert_optional_u64(PyObject* object, const char* name, std::optional<std::uint64_t>& out) {
  out.reset();
  if (object == nullptr || object == Py_None) return true;
  if (!PyLong_Check(object)) {
    PyErr_Format(PyExc_TypeError, "argument '%s' must be int or None, not %s", name, Py_TYPE(object)->tp_name);
    return false;
  }
  // Negative values raise OverflowError here.
  const unsigned long long value = PyLong_AsUnsignedLongLong(object);
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  out = static_cast<std::uint64_t>(value);
  return true;
}

bool convert_optional_array2d(PyObject* object, const char* name, PyArrayObject*& out) {
  out = nullptr;
  if (object == nullptr || object == Py_None) return true;
  if (!is_native_float64(object, 2)) {
    PyErr_Format(PyExc_TypeError, "argument '%s' must be a 2-D numpy.ndarray of float64 or None, not %s",
                 name, Py_TYPE(object)->tp_name);
    return false;
  }
  out = reinterpret_cast<PyArrayObject*>(object);
  return true;
}

bool convert_sizes(PyObject* object, const char* name, std::size_t count, std::size_t* out) {
  if (object == nullptr || !PyTuple_Check(object)) {
    PyErr_Format(PyExc_TypeError, "argument '%s' must be a tuple of %zu integers, not %s", name,
                 count, object == nullptr ? "nothing" : Py_TYPE(object)->tp_name);
    return false;
  }
  const Py_ssize_t size = PyTuple_GET_SIZE(object);
  if (static_cast<std::size_t>(size) != count) {
    PyErr_Format(PyExc_ValueError, "argument '%s' must be a tuple of length %zu, got length %zd",
                 name, count, size);
    return false;
  }
  for (std::size_t i = 0; i < count; ++i) {
    PyObject* item = PyTuple_GET_ITEM(object, static_cast<Py_ssize_t>(i));
    if (!PyIndex_Check(item)) {
      PyErr_Format(PyExc_TypeError, "argument '%s' must hold integers; item %zu is %s", name, i,
                   Py_TYPE(item)->tp_name);
      return false;
    }
    PyRef index(PyNumber_Index(item));
    if (!index) return false;
    // Negative values raise OverflowError here, as do values beyond 64 bits.
    const unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    out[i] = static_cast<std::size_t>(value);
  }
  return true;
}

bool convert_bool(PyObject* object, const char* name, bool default_value, bool& out) {
  if (object == nullptr) {
    out = default_value;
    return true;
  }
  if (PyBool_Check(object) || PyArray_IsScalar(object, Bool)) {
    const int truth = PyObject_IsTrue(object);
    if (truth < 0) return false;
    out = truth != 0;
    return true;
  }
  PyErr_Format(PyExc_TypeError, "argument '%s' must be bool, not %s", name, Py_TYPE(object)->tp_name);
  return false;
}

bool convert_optional_str(PyObject* object, const char* name, PyObject*& out) {
  out = nullptr;
  if (object == nullptr || object == Py_None) return true;
  if (!PyUnicode_Check(object)) {
    PyErr_Format(PyExc_TypeError, "argument '%s' must be str or None, not %s", name,
                 Py_TYPE(object)->tp_name);
    return false;
  }
  out = object;
  return true;
}

std::optional<std::string> utf8_of(PyObject* text) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(text, &size);
  if (data == nullptr) {
    PyErr_Clear();
    return std::nullopt;
  }
  return std::string(data, static_cast<std::size_t>(size));
}

std::string utf8_lenient(PyObject* text) {
  if (auto exact = utf8_of(text)) return *exact;
  PyRef bytes(PyUnicode_AsEncodedString(text, "utf-8", "backslashreplace"));
  if (!bytes) {
    PyErr_Clear();
    return std::string();
  }
  return std::string(PyBytes_AS_STRING(bytes.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get())));
}

bool view_contiguous(const Array1D& array, std::span<const double>& out) {
  const npy_intp size = PyArray_SIZE(array.array);
  if (size == 0) {
    out = {};
    return true;
  }
  if (!PyArray_IS_C_CONTIGUOUS(array.array) || !PyArray_ISALIGNED(array.array)) {
    PyErr_SetString(PyExc_TypeError, "The given array is not contiguous or is misaligned.");
    return false;
  }
  out = std::span<const double>(static_cast<const double*>(PyArray_DATA(array.array)),
                                static_cast<std::size_t>(size));
  return true;
}

Columns numpy2d_to_cols(PyArrayObject* array) {
  const npy_intp rows = PyArray_DIM(array, 0);
  const npy_intp cols = PyArray_DIM(array, 1);
  const npy_intp row_stride = PyArray_STRIDE(array, 0);
  const npy_intp col_stride = PyArray_STRIDE(array, 1);
  const char* base = static_cast<const char*>(PyArray_DATA(array));
  Columns out(static_cast<std::size_t>(cols), std::vector<double>(static_cast<std::size_t>(rows)));
  for (npy_intp j = 0; j < cols; ++j) {
    double* column = out[static_cast<std::size_t>(j)].data();
    for (npy_intp i = 0; i < rows; ++i) {
      // memcpy: a strided view need not be aligned for double access.
      std::memcpy(&column[i], base + i * row_stride + j * col_stride, sizeof(double));
    }
  }
  return out;
}

void to_pyerr(const SarimaxError& error) {
  using Kind = SarimaxError::Kind;
  PyObject* type = (error.kind() == Kind::CholeskyFailed || error.kind() == Kind::OptimizationFailed)
                       ? PyExc_RuntimeError
                       : PyExc_ValueError;
  const std::string text = error.display();
  // From the whole text (user-supplied names may hold NUL characters), decoded leniently.
  PyRef message(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "backslashreplace"));
  if (!message) return;  // the decoding error is the pending one
  PyErr_SetObject(type, message.get());
}

PyObject* internal_fault_type() {
  // Process-wide and never freed: the class must outlive every module object that refers to it.
  static PyObject* type = nullptr;
  if (type == nullptr) {
    type = PyErr_NewExceptionWithDoc(
        "pelmora.InternalFault",
        "A fault inside pelmora's native code (a bug, or memory exhausted). It derives from "
        "BaseException so that ordinary `except Exception` handlers do not swallow it.",
        PyExc_BaseException, nullptr);
  }
  return type;
}

void raise_internal_fault(const std::string& description) {
  PyObject* type = internal_fault_type();
  if (type == nullptr) return;  // the creation failure is the pending error
  // An empty description means memory ran out while describing the fault.
  PyErr_SetString(type, description.empty() ? "internal fault in pelmora" : description.c_str());
}

}  // namespace pelmora::py
