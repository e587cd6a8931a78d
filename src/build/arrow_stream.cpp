#include "build/arrow_stream.h"

#include <cstring>

#include "build/arrow_prefetch.h"

namespace tessarin::builder {
namespace {

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

// One batch in; whether the reading goes on.
bool ingest(RecordBuilder& builder, const ArrowSchema& schema, const ArrowArray& batch,
            const ColumnChoice& columns, const IngestOptions& options,
            const AfterBatch& after_batch, StreamOutcome& outcome) {
  if (!add_batch(builder, schema, batch, columns, options, outcome.report)) {
    outcome.end = StreamEnd::kRefused;
    return false;
  }
  if (after_batch && !after_batch(outcome.report.rows)) {
    outcome.end = StreamEnd::kStopped;
    return false;
  }
  return true;
}

}  // namespace

Result<ColumnChoice> resolve_columns(const ArrowSchema& schema, const ColumnNames& names) {
  std::optional<Error> failure;
  const auto find = [&](const std::string& name) -> std::int64_t {
    if (const std::optional<std::int64_t> at = child_named(schema, name)) return *at;
    if (!failure) {
      std::string listed;
      for (std::int64_t k = 0; k < schema.n_children; ++k) {
        const char* child = schema.children[k]->name;
        listed += (k > 0 ? ", " : "") + std::string(child == nullptr ? "" : child);
      }
      failure = value_error("the data has no column '" + name + "' (its columns: " + listed + ")");
    }
    return -1;
  };
  ColumnChoice choice;
  choice.term = find(names.term);
  choice.video = find(names.video);
  choice.count = names.count ? find(*names.count) : -1;
  choice.problem = names.problem ? find(*names.problem) : -1;
  choice.weight = names.weight ? find(*names.weight) : -1;
  if (failure) return *failure;
  if (Status checked = check_columns(schema, choice); !checked.ok()) return checked.error();
  return choice;
}

Result<StreamOutcome> add_stream(RecordBuilder& builder, ArrowArrayStream& stream,
                                 const ColumnNames& names, const IngestOptions& options,
                                 const AfterBatch& after_batch) {
  StreamOutcome outcome;
  Released<ArrowSchema> schema;
  if (const int code = stream.get_schema(&stream, &schema.value); code != 0) {
    const char* message =
        stream.get_last_error != nullptr ? stream.get_last_error(&stream) : nullptr;
    outcome.end = StreamEnd::kSourceFailed;
    outcome.source_error = message != nullptr ? message : std::strerror(code);
    return outcome;
  }
  Result<ColumnChoice> columns = resolve_columns(schema.value, names);
  if (!columns.ok()) return columns.error();
  ArrowPrefetch prefetch(&stream);
  while (true) {
    Released<ArrowArray> batch;
    if (prefetch.next(batch.value, outcome.source_error) != 0) {
      outcome.end = StreamEnd::kSourceFailed;
      break;
    }
    if (batch.value.release == nullptr) break;  // the end of the stream
    if (!ingest(builder, schema.value, batch.value, columns.value(), options, after_batch,
                outcome)) {
      break;
    }
  }
  return outcome;
}

Result<StreamOutcome> add_array(RecordBuilder& builder, const ArrowSchema& schema,
                                const ArrowArray& array, const ColumnNames& names,
                                const IngestOptions& options, const AfterBatch& after_batch) {
  Result<ColumnChoice> columns = resolve_columns(schema, names);
  if (!columns.ok()) return columns.error();
  StreamOutcome outcome;
  ingest(builder, schema, array, columns.value(), options, after_batch, outcome);
  return outcome;
}

}  // namespace tessarin::builder
