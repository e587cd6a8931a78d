// PrefixSearch.from_internal_data_v2(node_shifts, child_labels, payloads,
//                                    child_transitions, video_index, video_top_n)
//
// Building's checks are the core's (index/from_arrays.h); the binding converts the
// arguments and, since payload tuples are Python objects, each present
// payload's elements between the core's shape checks and its assembly.
#include <cstdint>
#include <utility>
#include <vector>

#include "binding/_tessarin/arguments.h"
#include "binding/_tessarin/conversion.h"
#include "binding/_tessarin/exceptions.h"
#include "binding/_tessarin/methods.h"
#include "binding/_tessarin/prefix_search_type.h"
#include "binding/_tessarin/reference.h"
#include "index/from_arrays.h"

namespace tessarin::binding {
namespace {

constexpr const char* kNames[] = {"node_shifts",       "child_labels", "payloads",
                                  "child_transitions", "video_index",  "video_top_n"};
constexpr Signature kSignature{"PrefixSearch.from_internal_data_v2()", kNames, 6, 6};

// Stage 1 for `payloads`: the items, None kept as nullptr.
bool collect_payload_items(PyObject* object, std::vector<OwnedRef>& items) {
  if (!check_array(object)) return false;
  items.reserve(reserve_hint(object));
  return iterate_items(object, [&](PyObject* item) {
    items.push_back(item == Py_None ? OwnedRef() : OwnedRef::owning(item));
    return true;
  });
}

bool collect_video_index(PyObject* object, VideoIndexInput& videos) {
  if (!check_array(object)) return false;
  std::vector<std::uint8_t> entry;
  return iterate_items(object, [&](PyObject* item) {
    entry.clear();
    if (!to_byte_array(item, entry)) return false;
    videos.add(entry);
    return true;
  });
}

// One present payload, a 3-tuple (total_count, video_ids, video_counts),
// converted around the core's payload checks. Errors here carry no
// argument-name prefix. `ids` and `counts` are scratch space, reused from
// payload to payload.
bool convert_payload(PyObject* item, PayloadTable& table, std::vector<std::uint32_t>& ids,
                     std::vector<std::uint32_t>& counts) {
  if (!PyTuple_Check(item)) {
    raise_type_mismatch(item, kind::kTuple);
    return false;
  }
  const Status arity = check_payload_arity(static_cast<std::size_t>(PyTuple_GET_SIZE(item)));
  if (!arity.ok()) {
    raise_error(arity.error());
    return false;
  }
  std::uint32_t total_count = 0;
  if (!to_u32(PyTuple_GET_ITEM(item, 0), &total_count)) return false;
  ids.clear();
  counts.clear();
  if (!to_u32_array(PyTuple_GET_ITEM(item, 1), ids) ||
      !to_u32_array(PyTuple_GET_ITEM(item, 2), counts)) {
    return false;
  }
  const Status added = add_payload(table, total_count, ids, counts);
  if (!added.ok()) {
    raise_error(added.error());
    return false;
  }
  return true;
}

PyObject* from_internal_data_v2_impl(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* slots[6];
  if (!bind_arguments(kSignature, args, nargs, kwnames, slots)) return nullptr;

  BuildInput input;
  std::vector<OwnedRef> payload_items;
  const bool converted =
      convert_argument("node_shifts", [&] { return to_u32_array(slots[0], input.node_shifts); }) &&
      convert_argument("child_labels",
                       [&] { return to_label_array(slots[1], input.child_labels); }) &&
      convert_argument("payloads",
                       [&] { return collect_payload_items(slots[2], payload_items); }) &&
      convert_argument("child_transitions",
                       [&] { return to_u32_array(slots[3], input.child_transitions); }) &&
      convert_argument("video_index",
                       [&] { return collect_video_index(slots[4], input.video_index); }) &&
      convert_argument("video_top_n", [&] { return to_usize(slots[5], &input.video_top_n); });
  if (!converted) return nullptr;

  const Status shape =
      check_shape(input.node_shifts.size(), input.child_labels.size(), payload_items.size(),
                  input.child_transitions, input.node_shifts);
  if (!shape.ok()) return raise_error(shape.error());

  input.payloads.reserve(payload_items.size(), payload_items.size());
  std::vector<std::uint32_t> ids;
  std::vector<std::uint32_t> counts;
  for (const OwnedRef& item : payload_items) {
    if (!item) {
      input.payloads.push_absent();
    } else if (!convert_payload(item.get(), input.payloads, ids, counts)) {
      return nullptr;
    }
  }
  payload_items.clear();

  Result<Trie> trie = build(std::move(input));
  if (!trie.ok()) return raise_error(trie.error());
  return new_prefix_search(std::move(trie).value());
}

PyObject* from_internal_data_v2(PyObject* /*cls*/, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
  return guarded([&] { return from_internal_data_v2_impl(args, nargs, kwnames); });
}

}  // namespace

PyMethodDef from_internal_data_v2_method() {
  return {"from_internal_data_v2", fastcall(from_internal_data_v2),
          METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
          "from_internal_data_v2(node_shifts, child_labels, payloads, child_transitions, "
          "video_index, video_top_n)\n--\n\n"};
}

}  // namespace tessarin::binding
