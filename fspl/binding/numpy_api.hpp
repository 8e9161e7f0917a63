// numpy's C API for the binding's translation units.  numpy exports it as a
// table of function pointers, filled once by import_numpy() at module
// initialisation (module.cpp defines KELVORA_FSPL_IMPORTS_NUMPY before this
// header, the other translation units share its table).
#pragma once

#include <Python.h>

#define NPY_NO_DEPRECATED_API NPY_2_0_API_VERSION
#define NPY_TARGET_VERSION NPY_2_0_API_VERSION
#define PY_ARRAY_UNIQUE_SYMBOL kelvora_fspl_numpy_api
#ifndef KELVORA_FSPL_IMPORTS_NUMPY
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>
#include <numpy/arrayscalars.h>
