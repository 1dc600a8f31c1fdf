// The parts of NumPy's C ABI this project reads, declared here because
// nothing of NumPy is included or linked: the array and descriptor records
// and the indices of the C-API table published in `_ARRAY_API`.
#pragma once

#include <cstdint>

#include "binding/python.hpp"

namespace zorvane::binding::numpy {

using npy_intp = Py_ssize_t;

// Leading fields of PyArrayObject, the same in NumPy 1.x and 2.x.
struct ArrayFields {
  PyObject_HEAD
  char* data;
  int nd;
  npy_intp* dimensions;
  npy_intp* strides;
  PyObject* base;
  PyObject* descr;
  int flags;
};

// PyArray_Descr up to the item size, NumPy 1.x (C feature version < 0x12).
struct DescrV1 {
  PyObject_HEAD
  PyTypeObject* typeobj;
  char kind;
  char type;
  char byteorder;
  char flags;
  int type_num;
  int elsize;
};

// PyArray_Descr up to the item size, NumPy 2.x (C feature version >= 0x12).
struct DescrV2 {
  PyObject_HEAD
  PyTypeObject* typeobj;
  char kind;
  char type;
  char byteorder;
  char former_flags;
  int type_num;
  std::uint64_t flags;
  npy_intp elsize;
};

inline constexpr unsigned kFeatureVersion2 = 0x12;  // NPY_2_0_API_VERSION

// Indices into the C-API table.
inline constexpr int kArrayTypeIndex = 2;                    // PyArray_Type
inline constexpr int kDescrFromTypeIndex = 45;               // PyArray_DescrFromType
inline constexpr int kNewFromDescrIndex = 94;                // PyArray_NewFromDescr
inline constexpr int kEquivTypesIndex = 182;                 // PyArray_EquivTypes
inline constexpr int kGetNDArrayCFeatureVersionIndex = 211;  // PyArray_GetNDArrayCFeatureVersion
inline constexpr int kSetBaseObjectIndex = 282;              // PyArray_SetBaseObject

inline constexpr int kNpyDouble = 12;              // NPY_DOUBLE
inline constexpr int kCContiguous = 0x0001;        // NPY_ARRAY_C_CONTIGUOUS
inline constexpr int kFContiguous = 0x0002;        // NPY_ARRAY_F_CONTIGUOUS
inline constexpr int kWriteable = 0x0400;          // NPY_ARRAY_WRITEABLE

using DescrFromType = PyObject* (*)(int);
using NewFromDescr = PyObject* (*)(PyTypeObject*, PyObject*, int, const npy_intp*, const npy_intp*, void*, int,
                                   PyObject*);
using EquivTypes = unsigned char (*)(PyObject*, PyObject*);
using GetNDArrayCFeatureVersion = unsigned (*)();
using SetBaseObject = int (*)(PyObject*, PyObject*);

[[nodiscard]] inline ArrayFields* fields(PyObject* array) noexcept { return reinterpret_cast<ArrayFields*>(array); }

}  // namespace zorvane::binding::numpy
