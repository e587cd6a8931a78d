// Binding and converting the arguments of PrefixSearch's methods.
//
// bind_arguments() serves METH_FASTCALL|METH_KEYWORDS methods whose
// parameters may all be given by position or by keyword. It fills one slot
// per parameter with a borrowed reference to the argument given for it, or
// nullptr when it was not given. It refuses, with the host's wording for
// Python functions and the method named as "PrefixSearch.name()": more
// positional arguments than parameters, a keyword naming no parameter, a
// parameter given twice, and missing required parameters (all of them
// named).
//
// The convert_* helpers then convert one slot each with a converter of
// conversion.h, adding the argument-name prefix to a TypeError.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <optional>

#include "binding/_tessarin/conversion.h"
#include "binding/_tessarin/exceptions.h"

namespace tessarin::binding {

struct Signature {
  const char* full_name;     // "PrefixSearch.fuzzy_match()"
  const char* const* names;  // parameter names, in order
  std::size_t count;         // number of parameters
  std::size_t required;      // the first `required` parameters have no default
};

bool bind_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject** slots);

// Converts parameter `name` with convert(); on failure adds the
// argument-name prefix to a TypeError.
template <class F>
bool convert_argument(const char* name, F&& convert) {
  if (convert()) return true;
  prefix_argument_error(name);
  return false;
}

// Whether an optional parameter was given a value: None counts as not given.
inline bool given(PyObject* slot) { return slot != nullptr && slot != Py_None; }

// An optional parameter (default None): converted with convert(object,
// &value) when given, left empty otherwise.
template <class T, class F>
bool convert_optional(const char* name, PyObject* slot, std::optional<T>& out, F convert) {
  if (!given(slot)) return true;
  return convert_argument(name, [&] {
    T value{};
    if (!convert(slot, &value)) return false;
    out = value;
    return true;
  });
}

// The queries' max_dist: 1 when not given; None is not accepted.
constexpr std::uint32_t kDefaultMaxDist = 1;
inline bool convert_max_dist(PyObject* slot, std::uint32_t* max_dist) {
  *max_dist = kDefaultMaxDist;
  return slot == nullptr || convert_argument("max_dist", [&] { return to_u32(slot, max_dist); });
}

}  // namespace tessarin::binding
