#pragma once

// For the Python bindings only.
#include <Python.h>
#include <string>

namespace zolviai::pyexec {

// Runs code with name_space as its globals and locals and returns what it printed. The
// caller holds the GIL; an error of the code propagates as the Python exception itself
// (standard output is restored first). name_space is a dict (a plain pointer because
// pybind11's types are hidden to other libraries).
std::string execute_code_in(PyObject* name_space, const std::string& source);

} // namespace zolviai::pyexec
