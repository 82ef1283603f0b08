// Python and NumPy C-API includes shared by every translation unit.
//
// All files reach NumPy's function table through the one pointer
// TARNWICK_ARRAY_API; only _tarnwick.cpp defines it (and fills it at import).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#define PY_ARRAY_UNIQUE_SYMBOL TARNWICK_ARRAY_API
#ifndef TARNWICK_DEFINE_ARRAY_API
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>

// Only the module entry points leave the shared object.
#define TARNWICK_EXPORT extern "C" __attribute__((visibility("default")))
