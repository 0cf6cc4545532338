#pragma once

// Every translation unit of the module shares the one NumPy API table imported at module
// execution (module.cpp defines PELMORA_IMPORT_NUMPY before including this).
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#define PY_ARRAY_UNIQUE_SYMBOL pelmora_ARRAY_API
#ifndef PELMORA_IMPORT_NUMPY
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>
