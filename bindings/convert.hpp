#pragma once

// The one header every binding file includes: the type casters between Python objects and our
// values (Value, result cells, chat messages), the set-up every module runs when it is
// imported, and small helpers. For bindings only: nothing of the C++ core includes it.
#include "zolviai/core/error.hpp"
#include "zolviai/core/value.hpp"
#include "zolviai/llm/chat_model.hpp"
#include "zolviai/sql/cell.hpp"

#include <pybind11/pybind11.h>

namespace zolviai::bindings {

// Called first by every module's init: looks up the Python exception classes and installs the
// exception translator and the sys.stdout console sink. Needs the GIL (an import holds it).
void init_common();

// ZOLVI_ALLOW_PRIVILEGED_ROLE=1 (or true, yes, on) in the host's environment: generated SQL may
// run as a role that can do more than read, when the caller does not say.
bool environment_allows_privileged_role();

// dict, list, tuple (as a list), str, int, float, bool, None and bytes. Anything else is a
// TypeError naming its type.
Value to_value(pybind11::handle object);
pybind11::object from_value(const Value& value);

// A result cell as the Python value the usual database clients hand out: None, bool, int,
// float, Decimal, str (text and UUIDs), bytes, date, time, datetime, timedelta, and for JSON
// what json.loads gives.
pybind11::object from_cell(const sql::Cell& cell);
// The cell a statement parameter binds as; a value of another type is the TypeError
// "can't adapt type '<type>'".
sql::Cell to_cell(pybind11::handle object);

// A message is {"role": ..., "content": ...} in Python. Either a map with those keys or a
// (role, content) pair is taken; each part is read with str(). A map without one of the keys
// is Python's KeyError, an object that is neither is the TypeError tuple() raises.
pybind11::object from_message(const llm::Message& message);
llm::Message to_message(pybind11::handle object);

// The name of the object's type, as Python's messages give it ("dict", "NoneType").
std::string type_name(pybind11::handle object);

// The TypeError of an argument of the wrong type: "Argument 'state' has incorrect type
// (expected dict, got list)".
TypeError argument_type_error(const char* name, const char* expected, pybind11::handle got);

// The attribute map of a settings object, as vars() gives it; the TypeError vars() raises
// for an object without one.
Value attributes_of(pybind11::handle object);

// A step's state argument: a dict, else the TypeError naming "state".
Value state_of(pybind11::handle state);

// Makes every public name (not starting with "_") of the module `from` a name of `to`.
void reexport_public_names(const char* from, pybind11::module_& to);

} // namespace zolviai::bindings

// The casters let bound functions take and return these types as they are. Their load
// raises the conversion's own error instead of answering false, so hosts see the message
// above rather than pybind11's overload mismatch; no binding overloads on these types.
namespace pybind11::detail {

template <class T, T (*to)(handle), object (*from)(const T&)>
struct converting_caster {
    PYBIND11_TYPE_CASTER(T, const_name("object"));

    bool load(handle src, bool /*convert*/) {
        value = to(src);
        return true;
    }
    static handle cast(const T& src, return_value_policy /*policy*/, handle /*parent*/) {
        return from(src).release();
    }
};

template <>
struct type_caster<zolviai::Value> : converting_caster<zolviai::Value, zolviai::bindings::to_value,
                                                       zolviai::bindings::from_value> {};

template <>
struct type_caster<zolviai::sql::Cell>
    : converting_caster<zolviai::sql::Cell, zolviai::bindings::to_cell,
                        zolviai::bindings::from_cell> {};

template <>
struct type_caster<zolviai::llm::Message>
    : converting_caster<zolviai::llm::Message, zolviai::bindings::to_message,
                        zolviai::bindings::from_message> {};

} // namespace pybind11::detail
