// The EscancianoLobato type: instance record, properties, type creation.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "binding/error.hpp"
#include "binding/python.hpp"

namespace zorvane::lib {

// The result object: one test outcome and the count of property reads in
// progress (all ones would mark an exclusive writer, which never exists).
// The allocator hands out zeroed memory; initialise_result() constructs the
// fields in it before the object is returned.
struct ResultObject {
  PyObject_HEAD
  std::uint64_t p_tilde;
  double statistic;
  double pvalue;
  std::atomic<std::size_t> borrow_flag;
};

// Fills a freshly allocated result object.
void initialise_result(ResultObject* result, std::uint64_t p_tilde, double statistic, double pvalue) noexcept;

// The type, created on first call and kept for the life of the process.
// A failed creation: RuntimeError "An error occurred while initializing
// class EscancianoLobato" with the creation's exception as its cause.
[[nodiscard]] binding::Result<PyTypeObject*> escanciano_lobato_type();

// tp_new, in constructor.cpp.
PyObject* escanciano_lobato_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept;
// EscancianoLobato(...) itself, as the interpreter calls the type: the same
// binding and the same construction, without the argument tuple and keyword
// dictionary that calling through tp_new makes for every call.
PyObject* escanciano_lobato_vectorcall(PyObject* type, PyObject* const* args, std::size_t nargsf,
                                       PyObject* kwnames) noexcept;

}  // namespace zorvane::lib
