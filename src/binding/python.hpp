// The one way this project includes the CPython headers.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
