// PrefixSearch.fuzzy_match_video(term, max_dist=1, limit=None,
//                                include_prefix_nodes=None, min_score=None)
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "binding/_tessarin/arguments.h"
#include "binding/_tessarin/conversion.h"
#include "binding/_tessarin/exceptions.h"
#include "binding/_tessarin/methods.h"
#include "binding/_tessarin/prefix_search_type.h"
#include "binding/_tessarin/reference.h"
#include "query/prefix_search.h"

namespace tessarin::binding {
namespace {

constexpr const char* kNames[] = {"term", "max_dist", "limit", "include_prefix_nodes", "min_score"};
constexpr Signature kSignature{"PrefixSearch.fuzzy_match_video()", kNames, 5, 1};

// The identifiers are ASCII: hexadecimal digits and hyphens, or decimal.
OwnedRef score_tuple(const VideoScore& entry) {
  OwnedRef text = OwnedRef::consuming(PyUnicode_New(static_cast<Py_ssize_t>(entry.id.size()), 127));
  if (!text) return {};
  std::copy(entry.id.begin(), entry.id.end(), static_cast<char*>(PyUnicode_DATA(text.get())));
  OwnedRef score = OwnedRef::consuming(PyFloat_FromDouble(entry.score));
  if (!score) return {};
  OwnedRef tuple = OwnedRef::consuming(PyTuple_New(2));
  if (!tuple) return {};
  PyTuple_SET_ITEM(tuple.get(), 0, text.release());
  PyTuple_SET_ITEM(tuple.get(), 1, score.release());
  return tuple;
}

PyObject* fuzzy_match_video_impl(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
  PyObject* slots[5];
  if (!bind_arguments(kSignature, args, nargs, kwnames, slots)) return nullptr;
  const SharedBorrow borrow(self);

  std::u32string term;
  std::uint32_t max_dist = kDefaultMaxDist;
  std::optional<std::size_t> limit;
  std::optional<bool> include_prefix_nodes;
  std::optional<double> min_score;
  const bool converted =
      convert_argument("term", [&] { return to_text(slots[0], &term); }) &&
      convert_max_dist(slots[1], &max_dist) &&
      convert_optional("limit", slots[2], limit, to_usize) &&
      convert_optional("include_prefix_nodes", slots[3], include_prefix_nodes, to_bool) &&
      convert_optional("min_score", slots[4], min_score, to_f64);
  if (!converted) return nullptr;

  const Result<std::vector<VideoScore>> scores =
      borrow.get().fuzzy_match_video(term, max_dist, limit, include_prefix_nodes, min_score);
  if (!scores.ok()) return raise_error(scores.error());

  OwnedRef list = OwnedRef::consuming(PyList_New(static_cast<Py_ssize_t>(scores.value().size())));
  if (!list) return nullptr;
  Py_ssize_t i = 0;
  for (const VideoScore& entry : scores.value()) {
    OwnedRef tuple = score_tuple(entry);
    if (!tuple) return nullptr;
    PyList_SET_ITEM(list.get(), i++, tuple.release());
  }
  return list.release();
}

PyObject* fuzzy_match_video(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  return guarded([&] { return fuzzy_match_video_impl(self, args, nargs, kwnames); });
}

}  // namespace

PyMethodDef fuzzy_match_video_method() {
  return {"fuzzy_match_video", fastcall(fuzzy_match_video), METH_FASTCALL | METH_KEYWORDS,
          "fuzzy_match_video(term, max_dist=1, limit=None, include_prefix_nodes=None, "
          "min_score=None)\n--\n\n"};
}

}  // namespace tessarin::binding
