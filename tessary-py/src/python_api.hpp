#pragma once

// The one place that includes Python.h: always on the stable ABI of 3.11.
#ifndef Py_LIMITED_API
#define Py_LIMITED_API 0x030B0000
#endif
#define PY_SSIZE_T_CLEAN
#include <Python.h>
