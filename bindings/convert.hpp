#pragma once

// Shared by every Python module: conversions between Python objects and Values, the console
// sink that writes to sys.stdout/sys.stderr, and the translation of our errors into Python's
// exception classes. Include only from bindings/*.cpp.
#include "zolviai/core/value.hpp"

#include <pybind11/pybind11.h>

namespace zolviai::bindings {

// dict, list, tuple (as a list), str, int, float, bool, None and bytes. Anything else is a
// TypeError naming its type.
Value to_value(pybind11::handle object);
pybind11::object from_value(const Value& value);

// Called by every module's init: installs the sys.stdout console sink and the exception
// translator once per process.
void init_common();

} // namespace zolviai::bindings

namespace zolviai::bindings {

// A step's state argument: a dict, else the TypeError naming "state".
Value state_of(pybind11::handle state);

// Makes every public name (not starting with "_") of the module `from` a name of `to`.
void reexport_public_names(const char* from, pybind11::module_& to);

} // namespace zolviai::bindings
