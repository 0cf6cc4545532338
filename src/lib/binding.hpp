#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <optional>
#include <span>
#include <string>

#include "error/error.hpp"
#include "lib/job.hpp"
#include "lib/numpy_api.hpp"
#include "types/linalg.hpp"

namespace pelmora::py {

// Owned reference; releases on scope exit.
class PyRef {
 public:
  explicit PyRef(PyObject* object = nullptr) : object_(object) {}
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  ~PyRef() { Py_XDECREF(object_); }
  PyObject* get() const { return object_; }
  PyObject* release() {
    PyObject* o = object_;
    object_ = nullptr;
    return o;
  }
  explicit operator bool() const { return object_ != nullptr; }

 private:
  PyObject* object_;
};

// Per-function descriptor of the argument layer: every parameter may be passed by position or
// by keyword; the first n_required have no default.
struct FunctionSpec {
  const char* name;
  std::span<const char* const> params;
  std::size_t n_required;
};

// Binds positional and keyword arguments to the descriptor's slots (borrowed references,
// null when omitted). On failure sets TypeError and returns false.
bool bind_arguments(const FunctionSpec& desc, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, std::span<PyObject*> slots);

// A float64 array of one dimension, not yet checked for contiguity.
struct Array1D {
  PyArrayObject* array = nullptr;
};

// Converters: each returns false with the Python error set. `name` is the parameter name.
bool convert_array1d(PyObject* object, const char* name, Array1D& out);
bool convert_optional_array2d(PyObject* object, const char* name, PyArrayObject*& out);
bool convert_sizes(PyObject* object, const char* name, std::size_t count, std::size_t* out);
bool convert_bool(PyObject* object, const char* name, bool default_value, bool& out);
// A float64 array of one dimension, or None/omitted (array left null).
bool convert_optional_array1d(PyObject* object, const char* name, Array1D& out);
// A non-negative Python integer (default when omitted).
bool convert_size(PyObject* object, const char* name, std::size_t default_value, std::size_t& out);
// Anything the interpreter converts to a float (default when omitted).
bool convert_double(PyObject* object, const char* name, double default_value, double& out);
// A non-negative Python integer, or None/omitted (absent).
bool convert_optional_u64(PyObject* object, const char* name, std::optional<std::uint64_t>& out);
// A str or None (null when omitted), kept as the object: messages quote it as given.
bool convert_optional_str(PyObject* object, const char* name, PyObject*& out);
// UTF-8 text of a str; absent when it cannot be encoded (lone surrogates), with no error set.
std::optional<std::string> utf8_of(PyObject* text);
// UTF-8 text of a str, with unencodable characters written as backslash escapes.
std::string utf8_lenient(PyObject* text);

// Views an array as contiguous memory; TypeError "The given array is not contiguous or is
// misaligned." otherwise (an empty array always passes).
bool view_contiguous(const Array1D& array, std::span<const double>& out);

// Columns of a 2-D array, honouring any strides (negative included).
Columns numpy2d_to_cols(PyArrayObject* array);

// Sets the Python exception of a core error: RuntimeError for CholeskyFailed and
// OptimizationFailed, ValueError for every other kind; the message is the display text.
void to_pyerr(const SarimaxError& error);

// Raises the internal-fault exception (derives from BaseException, not Exception).
void raise_internal_fault(const std::string& description);

// The internal-fault exception class, created on first use; null with an error set on failure.
PyObject* internal_fault_type();

// Runs `make` (which copies Python-owned data into owned vectors) and turns an allocation
// failure into MemoryError. False with the error set on failure.
template <typename Make>
bool allocate_or_raise(Make&& make) {
  try {
    std::forward<Make>(make)();
    return true;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return false;
  }
}

// Runs `job` with the interpreter lock released. The job must not touch Python objects.
template <typename Job>
auto run_without_gil(Job&& job) -> Guarded<decltype(job())> {
  Guarded<decltype(job())> outcome = std::unexpected(std::string());
  Py_BEGIN_ALLOW_THREADS
  outcome = guard_job(std::forward<Job>(job));
  Py_END_ALLOW_THREADS
  return outcome;
}

}  // namespace pelmora::py
