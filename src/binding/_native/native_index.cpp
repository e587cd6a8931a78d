#include "binding/_native/native_index.h"

#include <cstdint>
#include <optional>
#include <span>

#include "binding/_native/errors.h"
#include "format/restore_checked.h"
#include "format/saved_form.h"

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

nb::bytes to_saved(const NativeIndex& self) {
  std::size_t size = 0;
  {
    const nb::gil_scoped_release unlocked;
    size = encoding::encoded_size(self.trie());
  }
  PyObject* bytes = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size));
  if (bytes == nullptr) throw nb::python_error();
  nb::bytes result = nb::steal<nb::bytes>(bytes);
  std::optional<Status> written;
  {
    // The new bytes object is not shared yet: writing it needs no lock.
    const nb::gil_scoped_release unlocked;
    written.emplace(encoding::encode_into(
        self.trie(), {reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(bytes)), size}));
  }
  if (!written->ok()) raise_error(written->error());
  return result;
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
  cls.def("to_saved", &to_saved,
          "The saved form, byte for byte what PrefixSearch.to_bytes writes.");
  cls.def_prop_ro("node_count", [](const NativeIndex& self) { return self.trie().node_count(); });
  cls.def_prop_ro("term_count", [](const NativeIndex& self) { return self.trie().term_count(); });
  cls.def_prop_ro("video_count", &video_count);
  cls.def_prop_ro("id_mode", &id_mode);
  cls.def_prop_ro("memory_bytes",
                  [](const NativeIndex& self) { return self.trie().memory_bytes(); });
  return cls;
}

}  // namespace tessarin::native
