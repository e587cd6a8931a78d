#include "binding/_native/native_index.h"

#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <span>

#include "binding/_native/errors.h"
#include "format/mapped_form.h"
#include "format/restore_checked.h"
#include "format/saved_form.h"
#include "search/walked_arrays.h"
#include "util/page_touch.h"

namespace nb = nanobind;

namespace tessarin::native {
namespace {

// A buffer export held for as long as the decoder reads it; the exporter
// (bytes, bytearray, mmap, ...) cannot resize or close it meanwhile.
class BufferView {
 public:
  explicit BufferView(nb::handle object) {
    if (PyObject_GetBuffer(object.ptr(), &view_, PyBUF_SIMPLE) != 0) throw nb::python_error();
  }
  ~BufferView() { PyBuffer_Release(&view_); }
  BufferView(const BufferView&) = delete;
  BufferView& operator=(const BufferView&) = delete;

  [[nodiscard]] std::span<const std::uint8_t> bytes() const {
    return {static_cast<const std::uint8_t*>(view_.buf), static_cast<std::size_t>(view_.len)};
  }

 private:
  Py_buffer view_{};
};

NativeIndex from_saved(nb::handle data) {
  const BufferView view(data);
  std::optional<Result<Trie>> restored;
  {
    const nb::gil_scoped_release unlocked;
    restored.emplace(restore_checked(view.bytes()));
  }
  if (!restored->ok()) raise_error(restored->error());
  return NativeIndex(std::move(restored->value()));
}

// A buffer export held for as long as an index reads the memory: the
// exporter stays alive and cannot be resized or closed. Released under the
// interpreter lock, whichever thread drops the last index that reads it.
class HeldBuffer {
 public:
  explicit HeldBuffer(nb::handle object) {
    if (PyObject_GetBuffer(object.ptr(), &view_, PyBUF_SIMPLE) != 0) throw nb::python_error();
  }
  ~HeldBuffer() {
    const PyGILState_STATE state = PyGILState_Ensure();
    PyBuffer_Release(&view_);
    PyGILState_Release(state);
  }
  HeldBuffer(const HeldBuffer&) = delete;
  HeldBuffer& operator=(const HeldBuffer&) = delete;

  [[nodiscard]] std::span<const std::uint8_t> bytes() const {
    return {static_cast<const std::uint8_t*>(view_.buf), static_cast<std::size_t>(view_.len)};
  }

 private:
  Py_buffer view_{};
};

// An index file's mapped form: bytes `offset` to `offset + length` of
// `data`, read in place when `keep` (the caller vouches that nobody changes
// them: bytes, or a mapping of its own) and they are aligned for it, else
// copied into memory of the index's own.
NativeIndex from_mapped(nb::handle data, std::size_t offset, std::size_t length, bool keep,
                        bool verify, bool trusted) {
  auto held = std::make_shared<HeldBuffer>(data);
  const std::span<const std::uint8_t> whole = held->bytes();
  if (offset > whole.size() || length > whole.size() - offset) {
    raise(PyExc_ValueError, "the index's form lies outside the buffer");
  }
  std::span<const std::uint8_t> form = whole.subspan(offset, length);
  std::optional<Result<Trie>> read;
  {
    const nb::gil_scoped_release unlocked;
    ArrayOwner owner = held;
    if (!keep || reinterpret_cast<std::uintptr_t>(form.data()) % 8 != 0) {
      std::shared_ptr<std::uint64_t[]> copy =
          std::make_unique_for_overwrite<std::uint64_t[]>(length / 8 + 1);
      if (length != 0) std::memcpy(copy.get(), form.data(), length);
      form = {reinterpret_cast<const std::uint8_t*>(copy.get()), length};
      owner = std::move(copy);
    }
    read.emplace(format::read_mapped(form, std::move(owner), verify, trusted));
  }
  if (!read->ok()) raise_error(read->error());
  return NativeIndex(std::move(read->value()));
}

template <class Measure, class Write>
nb::bytes new_bytes(Measure&& measure, Write&& write) {
  std::size_t size = 0;
  {
    const nb::gil_scoped_release unlocked;
    size = measure();
  }
  PyObject* bytes = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size));
  if (bytes == nullptr) throw nb::python_error();
  nb::bytes result = nb::steal<nb::bytes>(bytes);
  std::optional<Status> written;
  {
    // The new bytes object is not shared yet: writing it needs no lock.
    const nb::gil_scoped_release unlocked;
    written.emplace(write(
        std::span<std::uint8_t>(reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(bytes)), size)));
  }
  if (!written->ok()) raise_error(written->error());
  return result;
}

nb::bytes to_saved(const NativeIndex& self) {
  return new_bytes(
      [&] { return encoding::encoded_size(self.trie()); },
      [&](std::span<std::uint8_t> out) { return encoding::encode_into(self.trie(), out); });
}

nb::bytes to_mapped(const NativeIndex& self) {
  std::optional<Result<format::MappedPlan>> plan;
  {
    const nb::gil_scoped_release unlocked;
    plan.emplace(format::plan_mapped(self.trie()));
  }
  if (!plan->ok()) raise_error(plan->error());
  return new_bytes(
      [&] { return plan->value().size(); },
      [&](std::span<std::uint8_t> out) { return format::write_mapped(plan->value(), out); });
}

nb::tuple populate_walked(const NativeIndex& self) {
  Populated done;
  {
    const nb::gil_scoped_release unlocked;
    done = populate_pages(walked_arrays(self.trie()));
  }
  const char* way = done.way == PopulateWay::kPopulate ? "populate"
                    : done.way == PopulateWay::kRead   ? "read"
                                                       : "none";
  return nb::make_tuple(done.bytes, way);
}

const char* id_mode(const NativeIndex& self) {
  return self.trie().id_mode() == IdMode::Int32 ? "int" : "uuid";
}

std::size_t video_count(const NativeIndex& self) {
  const Trie& trie = self.trie();
  return trie.id_mode() == IdMode::Int32 ? trie.video_int_ids().size() : trie.video_uuids().size();
}

}  // namespace

nb::class_<NativeIndex> bind_native_index(nb::module_& module) {
  nb::class_<NativeIndex> cls(module, "NativeIndex", nb::is_final(),
                              "An immutable index, shared by every thread that queries it.");
  cls.def_static("from_saved", &from_saved, nb::arg("data"),
                 "Decodes a saved form (any contiguous buffer), checking that its arrays hold "
                 "together; raises the corrupt-index error if not.");
  cls.def_static("from_mapped", &from_mapped, nb::arg("data"), nb::arg("offset"), nb::arg("length"),
                 nb::arg("keep"), nb::arg("verify"), nb::arg("trusted") = false,
                 "The index in an index file's mapped form, bytes offset to offset + length of "
                 "data (any contiguous buffer): read in place, the buffer held for as long as "
                 "the index lives, when keep is true (the caller vouches that nobody changes "
                 "it), else copied. Checks its checksums (with verify) and structure; raises "
                 "the corrupt-index error if they fail. With trusted, checks nothing: only for "
                 "bytes that passed those checks before and cannot have changed since.");
  cls.def("to_saved", &to_saved,
          "The saved form, byte for byte what PrefixSearch.to_bytes writes.");
  cls.def("to_mapped", &to_mapped, "The mapped form, as an index file of version 2 holds it.");
  cls.def("populate_walked", &populate_walked,
          "Maps every page of the arrays a query reads (the node arrays, the stored search "
          "aids, the payloads and the video table) into this process's page tables, "
          "so that the first queries fault none: (bytes covered, 'populate' or 'read' for "
          "how, 'none' for nothing to map). Reads only; the lock released meanwhile.");
  cls.def_prop_ro("node_count", [](const NativeIndex& self) { return self.trie().node_count(); });
  cls.def_prop_ro("term_count", [](const NativeIndex& self) { return self.trie().term_count(); });
  cls.def_prop_ro("video_count", &video_count);
  cls.def_prop_ro("id_mode", &id_mode);
  cls.def_prop_ro("stored_aids",
                  [](const NativeIndex& self) { return self.trie().stored_aids() != nullptr; });
  cls.def_prop_ro("memory_bytes",
                  [](const NativeIndex& self) { return self.trie().memory_bytes(); });
  return cls;
}

}  // namespace tessarin::native
