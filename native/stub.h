// Placeholder entry points for families that are not built yet.
#pragma once
#include <Python.h>

#define MN_STUB_ENTRY(name)                                                                   \
  PyObject* name(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) {                        \
    PyErr_SetString(PyExc_NotImplementedError, #name " is not available in this build yet"); \
    return nullptr;                                                                           \
  }
