// PrefixSearch.fuzzy_match(term, max_dist=1, limit=None)
//
// The core's walk reports each match to a visitor that builds the result
// list directly: one (term, 1, distance) tuple per reported node, the term
// made from the walk's code points.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "binding/_tessarin/arguments.h"
#include "binding/_tessarin/conversion.h"
#include "binding/_tessarin/exceptions.h"
#include "binding/_tessarin/methods.h"
#include "binding/_tessarin/prefix_search_type.h"
#include "binding/_tessarin/reference.h"
#include "search/matcher.h"

namespace tessarin::binding {
namespace {

constexpr const char* kNames[] = {"term", "max_dist", "limit"};
constexpr Signature kSignature{"PrefixSearch.fuzzy_match()", kNames, 3, 1};

// The tuple (term, 1, distance). Only terminal nodes are reported, so the
// second element, the node's terminal flag, is always 1.
OwnedRef match_tuple(std::u32string_view term, std::uint32_t distance) {
  OwnedRef text = OwnedRef::consuming(PyUnicode_FromKindAndData(
      PyUnicode_4BYTE_KIND, term.data(), static_cast<Py_ssize_t>(term.size())));
  if (!text) return {};
  OwnedRef terminal = OwnedRef::consuming(PyLong_FromLong(1));
  if (!terminal) return {};
  OwnedRef dist = OwnedRef::consuming(PyLong_FromUnsignedLong(distance));
  if (!dist) return {};
  OwnedRef tuple = OwnedRef::consuming(PyTuple_New(3));
  if (!tuple) return {};
  PyTuple_SET_ITEM(tuple.get(), 0, text.release());
  PyTuple_SET_ITEM(tuple.get(), 1, terminal.release());
  PyTuple_SET_ITEM(tuple.get(), 2, dist.release());
  return tuple;
}

PyObject* fuzzy_match_impl(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  PyObject* slots[3];
  if (!bind_arguments(kSignature, args, nargs, kwnames, slots)) return nullptr;
  const SharedBorrow borrow(self);

  std::u32string term;
  std::uint32_t max_dist = kDefaultMaxDist;
  std::optional<std::size_t> limit;
  const bool converted = convert_argument("term", [&] { return to_text(slots[0], &term); }) &&
                         convert_max_dist(slots[1], &max_dist) &&
                         convert_optional("limit", slots[2], limit, to_usize);
  if (!converted) return nullptr;

  OwnedRef list = OwnedRef::consuming(PyList_New(0));
  if (!list) return nullptr;
  bool failed = false;
  const Result<std::size_t> matched = tessarin::fuzzy_match(
      borrow.get().trie(), term, max_dist, limit,
      [&](std::size_t /*node*/, std::uint32_t distance, std::u32string_view path) {
        OwnedRef tuple = match_tuple(path, distance);
        if (!tuple || PyList_Append(list.get(), tuple.get()) != 0) {
          failed = true;
          return Walk::kStop;
        }
        return Walk::kGoOn;
      });
  if (failed) return nullptr;
  if (!matched.ok()) return raise_error(matched.error());
  return list.release();
}

PyObject* fuzzy_match(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] { return fuzzy_match_impl(self, args, nargs, kwnames); });
}

}  // namespace

PyMethodDef fuzzy_match_method() {
  return {"fuzzy_match", fastcall(fuzzy_match), METH_FASTCALL | METH_KEYWORDS,
          "fuzzy_match(term, max_dist=1, limit=None)\n--\n\n"};
}

}  // namespace tessarin::binding
