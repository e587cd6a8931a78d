#include "binding/_native/index_builder.h"

#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#ifdef __GLIBC__
#include <malloc.h>
#endif
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "binding/_native/errors.h"
#include "binding/_native/native_index.h"
#include "build/arrow_batch.h"
#include "build/arrow_prefetch.h"
#include "build/record_builder.h"
#include "index/from_arrays.h"

namespace nb = nanobind;

namespace tessarin::native {
namespace {

using builder::Fault;
using builder::NormalizeStep;
using builder::Rejection;
using builder::VideoKind;
using builder::VideoValue;

constexpr std::uint64_t kU32Max = 0xFFFFFFFFu;

nb::object owned(PyObject* object) {
  if (object == nullptr) throw nb::python_error();
  return nb::steal(object);
}

// The message of the exception being raised, which is cleared.
std::string take_error_message() {
  const nb::python_error error;  // fetches and clears it
  return error.what();
}

struct NativeBuilder {
  builder::RecordBuilder core;
  nb::object normalize;  // str -> str for non-ASCII terms, or None
  std::atomic<bool> busy{false};
};

// Marks a builder in use for the duration of a call that may release the
// interpreter lock.
class Busy {
 public:
  explicit Busy(NativeBuilder& self) : self_(self) {
    if (self.busy.exchange(true))
      raise(PyExc_RuntimeError, "the builder is in use by another call");
  }
  ~Busy() { self_.busy.store(false); }
  Busy(const Busy&) = delete;
  Busy& operator=(const Busy&) = delete;

 private:
  NativeBuilder& self_;
};

std::vector<NormalizeStep> steps_of(const std::vector<std::string>& names) {
  std::vector<NormalizeStep> steps;
  for (const std::string& name : names) {
    if (name == "nfkc") {
      steps.push_back(NormalizeStep::kNfkc);
    } else if (name == "casefold") {
      steps.push_back(NormalizeStep::kCasefold);
    } else if (name == "spaces") {
      steps.push_back(NormalizeStep::kSpaces);
    } else {
      raise(PyExc_ValueError, ("unknown normalisation step '" + name + "'").c_str());
    }
  }
  return steps;
}

void init(NativeBuilder* self, const std::vector<std::string>& steps, nb::object normalize,
          std::size_t min_compaction) {
  std::vector<NormalizeStep> parsed = steps_of(steps);
  if (!parsed.empty() && normalize.is_none()) {
    raise(PyExc_ValueError, "normalisation steps need a normaliser for non-ASCII terms");
  }
  auto* made = new (self) NativeBuilder();
  made->normalize = normalize;
  // Called with or without the lock: it takes the lock itself.
  made->core = builder::RecordBuilder(
      std::move(parsed),
      [made](std::string_view term) -> Result<std::string> {
        const nb::gil_scoped_acquire locked;
        PyObject* text =
            PyUnicode_DecodeUTF8(term.data(), static_cast<Py_ssize_t>(term.size()), "strict");
        if (text == nullptr) return value_error(take_error_message());
        const nb::object argument = nb::steal(text);
        PyObject* result = PyObject_CallOneArg(made->normalize.ptr(), argument.ptr());
        if (result == nullptr) return value_error("the normaliser failed: " + take_error_message());
        const nb::object normalized = nb::steal(result);
        Py_ssize_t size = 0;
        const char* utf8 =
            PyUnicode_Check(result) != 0 ? PyUnicode_AsUTF8AndSize(result, &size) : nullptr;
        if (utf8 == nullptr) {
          if (PyErr_Occurred() != nullptr) PyErr_Clear();
          return value_error("the normaliser did not return a str of characters");
        }
        return std::string(utf8, static_cast<std::size_t>(size));
      },
      std::max<std::size_t>(min_compaction, 1));
}

// A record as the fast path reads it, or nothing when it is not of the
// plain types (the Python side then converts or refuses it).
struct Plain {
  std::string_view term;
  VideoValue video;
  std::int64_t count = 0;
};

bool small_natural(PyObject* object, std::int64_t& out) {
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(object, &overflow);
  if (value == -1 && PyErr_Occurred() != nullptr) {
    PyErr_Clear();
    return false;
  }
  if (overflow != 0 || value < 0 || static_cast<std::uint64_t>(value) > kU32Max) return false;
  out = value;
  return true;
}

bool read_plain(PyObject* record, PyObject* uuid_type, Plain& out) {
  if (!PyTuple_CheckExact(record) || PyTuple_GET_SIZE(record) != 3) return false;
  PyObject* term = PyTuple_GET_ITEM(record, 0);
  PyObject* video = PyTuple_GET_ITEM(record, 1);
  PyObject* count = PyTuple_GET_ITEM(record, 2);
  if (!PyUnicode_CheckExact(term) || !PyLong_CheckExact(count)) return false;
  if (!small_natural(count, out.count)) return false;
  if (PyLong_CheckExact(video)) {
    std::int64_t value = 0;
    if (!small_natural(video, value)) return false;
    out.video.kind = VideoKind::kInt;
    out.video.integer = static_cast<std::uint32_t>(value);
  } else if (PyBytes_CheckExact(video) && PyBytes_GET_SIZE(video) == 16) {
    out.video.kind = VideoKind::kUuid;
    std::memcpy(out.video.uuid.data(), PyBytes_AS_STRING(video), 16);
  } else if (uuid_type != nullptr && Py_TYPE(video) == reinterpret_cast<PyTypeObject*>(uuid_type)) {
    PyObject* bytes = PyObject_GetAttrString(video, "bytes");
    if (bytes == nullptr) {
      PyErr_Clear();
      return false;
    }
    const nb::object held = nb::steal(bytes);
    if (!PyBytes_CheckExact(bytes) || PyBytes_GET_SIZE(bytes) != 16) return false;
    out.video.kind = VideoKind::kUuid;
    std::memcpy(out.video.uuid.data(), PyBytes_AS_STRING(bytes), 16);
  } else {
    return false;
  }
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(term, &size);
  if (utf8 == nullptr) {  // a lone surrogate: the Python side names it
    PyErr_Clear();
    return false;
  }
  out.term = {utf8, static_cast<std::size_t>(size)};
  return true;
}

nb::object kind_name(const NativeBuilder& self) {
  switch (self.core.kind()) {
    case VideoKind::kInt:
      return nb::str("int");
    case VideoKind::kUuid:
      return nb::str("uuid");
    default:
      return nb::none();
  }
}

// add_records(records, slow): see _native.pyi.
void add_records(NativeBuilder& self, nb::handle records, nb::handle slow) {
  const Busy busy(self);
  const nb::object uuid_module = nb::module_::import_("uuid");
  const nb::object uuid_type = uuid_module.attr("UUID");
  const nb::object iterator = owned(PyObject_GetIter(records.ptr()));
  while (true) {
    PyObject* next = PyIter_Next(iterator.ptr());
    if (next == nullptr) {
      if (PyErr_Occurred() != nullptr) throw nb::python_error();
      return;
    }
    const nb::object record = nb::steal(next);
    const std::uint64_t number = self.core.records() + 1;
    Plain plain;
    nb::object converted;  // keeps the slow path's values alive
    std::optional<Rejection> refused;
    if (read_plain(next, uuid_type.ptr(), plain)) {
      refused = self.core.add(plain.term, plain.video, plain.count, true);
      if (!refused) continue;
    }
    // The Python side converts an unusual record, or raises the error that
    // names it; what it returns is plain.
    converted = slow(number, record, kind_name(self), nb::none());
    if (!read_plain(converted.ptr(), uuid_type.ptr(), plain)) {
      raise(PyExc_SystemError, "the builder's slow path returned a record it cannot read");
    }
    refused = self.core.add(plain.term, plain.video, plain.count, true);
    if (refused) {
      slow(number, record, kind_name(self), nb::str(refused->message.c_str()));
      raise(PyExc_ValueError, refused->message.c_str());  // slow() raises before this
    }
  }
}

// Calls `capsule_method` of `data`; the capsule's pointer, named `name`.
template <class T>
T* capsule_pointer(const nb::object& capsule, const char* name) {
  void* pointer = PyCapsule_GetPointer(capsule.ptr(), name);
  if (pointer == nullptr) throw nb::python_error();
  return static_cast<T*>(pointer);
}

struct ArrowReport {
  std::size_t rows = 0;
  std::size_t added = 0;
  std::size_t refused = 0;
  std::vector<std::size_t> by_fault = std::vector<std::size_t>(builder::kFaultKinds, 0);
  std::vector<std::tuple<std::size_t, int, std::string>> examples;  // row, fault, message
};

constexpr std::size_t kExamples = 5;

nb::tuple report_tuple(const ArrowReport& r) {
  nb::list examples;
  for (const auto& [row, fault, message] : r.examples) {
    examples.append(nb::make_tuple(row, fault, nb::str(message.c_str())));
  }
  nb::list by_fault;
  for (const std::size_t n : r.by_fault) by_fault.append(n);
  return nb::make_tuple(r.rows, r.added, r.refused, by_fault, examples);
}

// Owns an ArrowSchema or ArrowArray until released.
template <class T>
struct Released {
  T value{};
  Released() = default;
  ~Released() {
    if (value.release != nullptr) value.release(&value);
  }
  Released(const Released&) = delete;
  Released& operator=(const Released&) = delete;
};

builder::ColumnChoice choose(const ArrowSchema& schema, const std::string& term,
                             const std::string& video, const std::optional<std::string>& count) {
  builder::ColumnChoice choice;
  const auto find = [&](const std::string& name) {
    const std::optional<std::int64_t> at = builder::child_named(schema, name);
    if (!at) {
      std::string names;
      for (std::int64_t k = 0; k < schema.n_children; ++k) {
        names += (k > 0 ? ", " : "") +
                 std::string(schema.children[k]->name == nullptr ? "" : schema.children[k]->name);
      }
      raise(PyExc_ValueError,
            ("the data has no column '" + name + "' (its columns: " + names + ")").c_str());
    }
    return *at;
  };
  choice.term = find(term);
  choice.video = find(video);
  choice.count = count ? find(*count) : -1;
  const Status checked = builder::check_columns(schema, choice);
  if (!checked.ok()) raise_error(checked.error());
  return choice;
}

// One batch into the builder, without the lock; updates the report.
void ingest(NativeBuilder& self, const ArrowSchema& schema, const ArrowArray& batch,
            const builder::ColumnChoice& choice, bool skip, bool null_count_is_one,
            ArrowReport& report) {
  builder::BatchReport part;
  {
    const nb::gil_scoped_release released;
    builder::add_batch(self.core, schema, batch, choice, skip, null_count_is_one, part);
  }
  for (std::size_t k = 0; k < builder::kFaultKinds; ++k) report.by_fault[k] += part.by_fault[k];
  if (part.first && report.examples.size() < kExamples) {
    report.examples.emplace_back(report.rows + part.first->first,
                                 static_cast<int>(part.first->second.fault),
                                 part.first->second.message);
  }
  report.rows += skip || !part.first ? static_cast<std::size_t>(batch.length) : part.first->first;
  report.added += part.added;
  report.refused += part.refused;
}

// add_arrow(data, term, video, count, skip, null_count_is_one, on_batch):
// see _native.pyi.
nb::tuple add_arrow(NativeBuilder& self, nb::handle data, const std::string& term,
                    const std::string& video, const std::optional<std::string>& count, bool skip,
                    bool null_count_is_one, nb::handle on_batch) {
  const Busy busy(self);
  ArrowReport report;
  const auto after_batch = [&] {
    if (!on_batch.is_none()) on_batch(report.rows);
  };
  if (nb::hasattr(data, "__arrow_c_stream__")) {
    const nb::object capsule = data.attr("__arrow_c_stream__")();
    auto* stream = capsule_pointer<ArrowArrayStream>(capsule, "arrow_array_stream");
    const auto stream_error = [&](int code) {
      const char* message =
          stream->get_last_error != nullptr ? stream->get_last_error(stream) : nullptr;
      raise(PyExc_OSError, (std::string("reading the Arrow stream failed: ") +
                            (message != nullptr ? message : std::strerror(code)))
                               .c_str());
    };
    Released<ArrowSchema> schema;
    int code = 0;
    {
      const nb::gil_scoped_release released;
      code = stream->get_schema(stream, &schema.value);
    }
    if (code != 0) stream_error(code);
    const builder::ColumnChoice choice = choose(schema.value, term, video, count);
    // The next batch is read while this one is added. Whatever ends the
    // loop, the reading thread is stopped without the interpreter lock,
    // which a stream made in Python needs to finish its batch.
    builder::ArrowPrefetch prefetch(stream);
    struct StopUnlocked {
      builder::ArrowPrefetch& prefetch;
      ~StopUnlocked() {
        const nb::gil_scoped_release released;
        prefetch.stop();
      }
    } const stop_unlocked{prefetch};
    while (true) {
      Released<ArrowArray> batch;
      std::string error;
      {
        const nb::gil_scoped_release released;
        code = prefetch.next(batch.value, error);
      }
      if (code != 0) {
        raise(PyExc_OSError, ("reading the Arrow stream failed: " + error).c_str());
      }
      if (batch.value.release == nullptr) break;  // the end of the stream
      ingest(self, schema.value, batch.value, choice, skip, null_count_is_one, report);
      if (!skip && report.refused > 0) break;
      after_batch();
    }
    return report_tuple(report);
  }
  if (!nb::hasattr(data, "__arrow_c_array__")) {
    raise(PyExc_TypeError,
          "add_arrow() takes Arrow data: an object with __arrow_c_stream__ or __arrow_c_array__");
  }
  const nb::tuple capsules = nb::cast<nb::tuple>(data.attr("__arrow_c_array__")());
  auto* schema = capsule_pointer<ArrowSchema>(nb::borrow(capsules[0]), "arrow_schema");
  auto* batch = capsule_pointer<ArrowArray>(nb::borrow(capsules[1]), "arrow_array");
  const builder::ColumnChoice choice = choose(*schema, term, video, count);
  ingest(self, *schema, *batch, choice, skip, null_count_is_one, report);
  after_batch();
  return report_tuple(report);
}

// The arrays of the index, as BuildInput holds them, in Python lists.
nb::tuple arrays(NativeBuilder& self, std::size_t video_top_n) {
  const Busy busy(self);
  std::optional<BuildInput> input;
  {
    const nb::gil_scoped_release released;
    input.emplace(self.core.lay_out(video_top_n, [](std::size_t, std::size_t) {}));
  }
  const std::size_t n = input->child_labels.size();
  nb::list shifts;
  nb::list labels;
  nb::list payloads;
  nb::list transitions;
  nb::list videos;
  for (std::size_t i = 0; i < n; ++i) {
    shifts.append(input->node_shifts[i]);
    const char32_t c = input->child_labels[i];
    labels.append(c == 0 ? nb::str("") : owned(PyUnicode_FromOrdinal(static_cast<int>(c))));
    if (!input->payloads.present(i)) {
      payloads.append(nb::none());
      continue;
    }
    const PayloadView p = input->payloads.view(i);
    nb::list ids;
    nb::list counts;
    for (const std::uint32_t id : p.video_ids) ids.append(id);
    for (const std::uint32_t count : p.video_counts) counts.append(count);
    payloads.append(nb::make_tuple(p.total_count, ids, counts));
  }
  for (const std::uint32_t child : input->child_transitions) transitions.append(child);
  const std::span<const std::uint8_t> table = input->video_index.bytes();
  const std::size_t width = input->video_index.all_16() ? 16 : 4;
  for (std::size_t at = 0; at < input->video_index.count() * width; at += width) {
    videos.append(nb::bytes(reinterpret_cast<const char*>(table.data() + at), width));
  }
  return nb::make_tuple(shifts, labels, payloads, transitions, videos);
}

// build(video_top_n, progress, release) -> NativeIndex: see _native.pyi. A
// failed allocation surfaces as MemoryError (std::bad_alloc).
NativeIndex build(NativeBuilder& self, std::size_t video_top_n, nb::handle progress, bool release) {
  const Busy busy(self);
  const auto report = [&](const char* step, std::size_t done, std::size_t total) {
    if (progress.is_none()) return;
    const nb::gil_scoped_acquire locked;
    try {
      progress(step, done, total);
    } catch (nb::python_error& error) {
      error.discard_as_unraisable("tessarin build progress");
    }
  };
  std::optional<Trie> built;
  {
    const nb::gil_scoped_release released;
    built.emplace(self.core.build(
        video_top_n, [&](std::size_t done, std::size_t total) { report("build", done, total); },
        release));
#ifdef __GLIBC__
    // The builder's tables and the layout's scratch are freed by now, much
    // of it to the heap (the larger blocks went back to the system already):
    // hand that back too, before the index is saved beside itself.
    malloc_trim(0);
#endif
  }
  return NativeIndex(std::move(*built));
}

const char* kFaultNames[] = {"missing",    "video range", "video text", "video bytes",
                             "count",      "mixed kinds", "empty term", "term U+0000",
                             "term UTF-8", "normaliser"};

}  // namespace

void bind_index_builder(nb::module_& module) {
  static_assert(std::size(kFaultNames) == builder::kFaultKinds);
  nb::list faults;
  for (const char* name : kFaultNames) faults.append(nb::str(name));
  module.attr("FAULTS") = nb::tuple(faults);
  nb::class_<NativeBuilder> cls(module, "NativeBuilder", nb::is_final(),
                                "Collects records and builds an index from them.");
  cls.def("__init__", &init, nb::arg("steps") = std::vector<std::string>(),
          nb::arg("normalize") = nb::none(), nb::arg("min_compaction") = std::size_t{1} << 22);
  cls.def("add_records", &add_records, nb::arg("records"), nb::arg("slow"));
  cls.def("add_arrow", &add_arrow, nb::arg("data"), nb::arg("term") = "term",
          nb::arg("video") = "video", nb::arg("count").none() = "count", nb::arg("skip") = false,
          nb::arg("null_count_is_one") = false, nb::arg("on_batch").none() = nb::none());
  cls.def("arrays", &arrays, nb::arg("video_top_n"));
  cls.def("build", &build, nb::arg("video_top_n"), nb::arg("progress").none() = nb::none(),
          nb::arg("release") = false);
  cls.def_prop_ro("records", [](const NativeBuilder& self) { return self.core.records(); });
  cls.def_prop_ro("terms", [](const NativeBuilder& self) { return self.core.terms(); });
  cls.def_prop_ro("videos", [](const NativeBuilder& self) { return self.core.videos(); });
  cls.def_prop_ro("id_mode", [](const NativeBuilder& self) { return kind_name(self); });
  cls.def_prop_ro("memory_bytes",
                  [](const NativeBuilder& self) { return self.core.memory_bytes(); });
}

}  // namespace tessarin::native
