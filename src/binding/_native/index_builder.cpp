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
#include "build/arrow_stream.h"
#include "build/integer_text.h"
#include "build/record_builder.h"
#include "index/from_arrays.h"

namespace nb = nanobind;

namespace tessarin::native {
namespace {

using builder::Field;
using builder::NormalizeStep;
using builder::Rejection;

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
          std::size_t min_compaction, const std::vector<std::string>& exclude_terms,
          const std::vector<std::string>& exclude_patterns, std::uint64_t min_count) {
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
      std::max<std::size_t>(min_compaction, 1),
      builder::TermSelection{builder::TermFilter(exclude_terms, exclude_patterns), min_count});
}

// A record's values as the core takes them, and the new references that
// keep their text alive (a UUID's bytes, a wide int's digits, a term's
// bytes with lone surrogates).
struct Values {
  std::string_view term;
  builder::TermForm form = builder::TermForm::kValidUtf8;
  Field video;
  Field count;
  std::size_t holding = 0;  // most records hold none
  PyObject* held[6];        // NOLINT: the first `holding` are set

  Values() = default;  // NOLINT(cppcoreguidelines-pro-type-member-init)
  ~Values() {
    if (holding != 0) release();
  }
  Values(const Values&) = delete;
  Values& operator=(const Values&) = delete;

  void release() {
    for (std::size_t k = 0; k < holding; ++k) Py_DECREF(held[k]);
  }
  // Keeps a new reference (throws when it is null: the error is set). At
  // most three per reading of a record, and two readings.
  PyObject* hold(PyObject* object) {
    if (object == nullptr) throw nb::python_error();
    held[holding++] = object;
    return object;
  }
};

// An exact int as a Field: 64 bits, or its digits when wider.
inline void int_field(PyObject* object, Field& out, Values& values) {
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(object, &overflow);  // an int: no error
  if (overflow == 0) {
    out.form = Field::Form::kSigned;
    out.signed_value = value;
    return;
  }
  PyObject* digits = values.hold(PyObject_Str(object));
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(digits, &size);
  if (text == nullptr) throw nb::python_error();
  out = Field::of_integer_text({text, static_cast<std::size_t>(size)});
}

// Reads a (term, video, count) tuple of the types the core takes as they
// are: str; int, bytes or uuid.UUID; int. Anything else: false (the
// package converts it first).
bool read_record(PyObject* record, PyObject* uuid_type, Values& out) {
  if (!PyTuple_CheckExact(record) || PyTuple_GET_SIZE(record) != 3) return false;
  PyObject* term = PyTuple_GET_ITEM(record, 0);
  PyObject* video = PyTuple_GET_ITEM(record, 1);
  PyObject* count = PyTuple_GET_ITEM(record, 2);
  if (!PyUnicode_CheckExact(term) || !PyLong_CheckExact(count)) return false;
  if (PyLong_CheckExact(video)) {
    int_field(video, out.video, out);
  } else if (PyBytes_CheckExact(video)) {
    out.video = Field::of_bytes(
        {PyBytes_AS_STRING(video), static_cast<std::size_t>(PyBytes_GET_SIZE(video))});
  } else if (Py_TYPE(video) == reinterpret_cast<PyTypeObject*>(uuid_type)) {
    PyObject* bytes = out.hold(PyObject_GetAttrString(video, "bytes"));
    if (!PyBytes_Check(bytes)) return false;
    out.video = Field::of_bytes(
        {PyBytes_AS_STRING(bytes), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes))});
  } else {
    return false;
  }
  int_field(count, out.count, out);
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(term, &size);
  if (utf8 != nullptr) {
    out.term = {utf8, static_cast<std::size_t>(size)};
    out.form = builder::TermForm::kValidUtf8;
    return true;
  }
  // Lone surrogates: the core names them.
  PyErr_Clear();
  PyObject* bytes = out.hold(PyUnicode_AsEncodedString(term, "utf-8", "surrogatepass"));
  out.term = {PyBytes_AS_STRING(bytes), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes))};
  out.form = builder::TermForm::kLoneSurrogates;
  return true;
}

nb::object kind_name(const NativeBuilder& self) {
  const std::optional<IdMode> kind = self.core.kind();
  if (!kind) return nb::none();
  return nb::str(*kind == IdMode::Int32 ? "int" : "uuid");
}

nb::str text(std::string_view value) {
  PyObject* made =
      PyUnicode_DecodeUTF8(value.data(), static_cast<Py_ssize_t>(value.size()), "replace");
  if (made == nullptr) throw nb::python_error();
  return nb::steal<nb::str>(made);
}

nb::tuple refusal_tuple(std::size_t number, const nb::object& record, const Rejection& refused) {
  return nb::make_tuple(number, record, static_cast<int>(refused.fault), text(refused.value),
                        text(refused.message));
}

// add_records(records, plain): see _native.pyi.
nb::object add_records(NativeBuilder& self, nb::handle records, nb::handle plain) {
  const Busy busy(self);
  const nb::object uuid_type = nb::module_::import_("uuid").attr("UUID");
  const nb::object iterator = owned(PyObject_GetIter(records.ptr()));
  while (true) {
    PyObject* next = PyIter_Next(iterator.ptr());
    if (next == nullptr) {
      if (PyErr_Occurred() != nullptr) throw nb::python_error();
      return nb::none();
    }
    const nb::object record = nb::steal(next);
    const std::uint64_t number = self.core.records() + self.core.excluded_records() + 1;
    Values values;
    nb::object converted;
    if (!read_record(next, uuid_type.ptr(), values)) {
      converted = plain(number, record);
      if (!read_record(converted.ptr(), uuid_type.ptr(), values)) {
        raise(PyExc_SystemError, "the package converted a record into types the core cannot read");
      }
    }
    if (std::optional<Rejection> refused =
            self.core.add(values.term, values.form, values.video, values.count)) {
      return refusal_tuple(number, record, *refused);
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

nb::tuple outcome_tuple(const builder::StreamOutcome& outcome) {
  const builder::IngestReport& r = outcome.report;
  nb::list examples;
  for (const builder::RefusedRow& example : r.examples) {
    examples.append(nb::make_tuple(example.row, static_cast<int>(example.rejection.fault),
                                   text(example.rejection.value), text(example.rejection.message)));
  }
  nb::list by_fault;
  for (const std::size_t n : r.by_fault) by_fault.append(n);
  const nb::object failed = outcome.end == builder::StreamEnd::kSourceFailed
                                ? nb::object(text(outcome.source_error))
                                : nb::none();
  return nb::make_tuple(r.rows, r.added, r.excluded, r.refused, by_fault, examples, failed);
}

// add_arrow(data, term, video, count, skip, null_count_is_one, on_batch,
// problem, weight): see _native.pyi.
nb::tuple add_arrow(NativeBuilder& self, nb::handle data, const std::string& term,
                    const std::string& video, const std::optional<std::string>& count, bool skip,
                    bool null_count_is_one, nb::handle on_batch,
                    const std::optional<std::string>& problem,
                    const std::optional<std::string>& weight) {
  const Busy busy(self);
  const builder::ColumnNames names{term, video, count, problem, weight};
  const builder::IngestOptions options{skip, null_count_is_one};
  std::optional<nb::python_error> raised;
  builder::AfterBatch after_batch;
  if (!on_batch.is_none()) {
    after_batch = [&](std::size_t rows) {
      const nb::gil_scoped_acquire locked;
      try {
        on_batch(rows);
        return true;
      } catch (nb::python_error& error) {
        raised.emplace(std::move(error));
        return false;
      }
    };
  }
  std::optional<Result<builder::StreamOutcome>> outcome;
  if (nb::hasattr(data, "__arrow_c_stream__")) {
    const nb::object capsule = data.attr("__arrow_c_stream__")();
    auto* stream = capsule_pointer<ArrowArrayStream>(capsule, "arrow_array_stream");
    const nb::gil_scoped_release released;
    outcome.emplace(builder::add_stream(self.core, *stream, names, options, after_batch));
  } else if (nb::hasattr(data, "__arrow_c_array__")) {
    const nb::tuple capsules = nb::cast<nb::tuple>(data.attr("__arrow_c_array__")());
    auto* schema = capsule_pointer<ArrowSchema>(nb::borrow(capsules[0]), "arrow_schema");
    auto* array = capsule_pointer<ArrowArray>(nb::borrow(capsules[1]), "arrow_array");
    const nb::gil_scoped_release released;
    outcome.emplace(builder::add_array(self.core, *schema, *array, names, options, after_batch));
  } else {
    raise(PyExc_TypeError,
          "add_arrow() takes Arrow data: an object with __arrow_c_stream__ or __arrow_c_array__");
  }
  if (raised) throw nb::python_error(*raised);
  if (!outcome->ok()) raise_error(outcome->error());
  return outcome_tuple(outcome->value());
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

// parse_integer(text): see _native.pyi.
nb::object parse_integer(const std::string& text) {
  const builder::IntegerText parsed = builder::parse_integer_text(text);
  switch (parsed.status) {
    case builder::IntegerStatus::kInRange:
      return nb::int_(parsed.value);
    case builder::IntegerStatus::kOutOfRange:
      return nb::int_(-1);
    case builder::IntegerStatus::kNotInteger:
      break;
  }
  return nb::none();
}

}  // namespace

void bind_index_builder(nb::module_& module) {
  nb::list faults;
  for (std::size_t k = 0; k < builder::kFaultKinds; ++k) {
    faults.append(text(builder::fault_name(static_cast<builder::Fault>(k))));
  }
  module.attr("FAULTS") = nb::tuple(faults);
  module.def("parse_integer", &parse_integer, nb::arg("text"));
  nb::class_<NativeBuilder> cls(module, "NativeBuilder", nb::is_final(),
                                "Collects records and builds an index from them.");
  cls.def("__init__", &init, nb::arg("steps") = std::vector<std::string>(),
          nb::arg("normalize") = nb::none(), nb::arg("min_compaction") = std::size_t{1} << 22,
          nb::arg("exclude_terms") = std::vector<std::string>(),
          nb::arg("exclude_patterns") = std::vector<std::string>(),
          nb::arg("min_count") = std::uint64_t{0});
  cls.def("add_records", &add_records, nb::arg("records"), nb::arg("plain"));
  cls.def("add_arrow", &add_arrow, nb::arg("data"), nb::arg("term") = "term",
          nb::arg("video") = "video", nb::arg("count").none() = "count", nb::arg("skip") = false,
          nb::arg("null_count_is_one") = false, nb::arg("on_batch").none() = nb::none(),
          nb::arg("problem").none() = nb::none(), nb::arg("weight").none() = nb::none());
  cls.def("arrays", &arrays, nb::arg("video_top_n"));
  cls.def("build", &build, nb::arg("video_top_n"), nb::arg("progress").none() = nb::none(),
          nb::arg("release") = false);
  cls.def_prop_ro("records", [](const NativeBuilder& self) { return self.core.records(); });
  cls.def_prop_ro("pairs", [](const NativeBuilder& self) { return self.core.pairs(); });
  cls.def_prop_ro("excluded_records",
                  [](const NativeBuilder& self) { return self.core.excluded_records(); });
  cls.def_prop_ro("excluded_terms",
                  [](const NativeBuilder& self) { return self.core.excluded_terms(); });
  cls.def_prop_ro("dropped_terms",
                  [](const NativeBuilder& self) { return self.core.dropped_terms(); });
  cls.def_prop_ro("terms", [](const NativeBuilder& self) { return self.core.terms(); });
  cls.def_prop_ro("videos", [](const NativeBuilder& self) { return self.core.videos(); });
  cls.def_prop_ro("id_mode", [](const NativeBuilder& self) { return kind_name(self); });
  cls.def_prop_ro("memory_bytes",
                  [](const NativeBuilder& self) { return self.core.memory_bytes(); });
}

}  // namespace tessarin::native
