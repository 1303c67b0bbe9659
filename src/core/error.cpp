#include "zolviai/core/error.hpp"

#include "zolviai/core/python_repr.hpp"

namespace zolviai {

KeyError::KeyError(std::string key) : Error(python::repr_text(key)), key_(std::move(key)) {}

} // namespace zolviai
