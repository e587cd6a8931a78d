// Records from Arrow data: a stream of batches (the C stream interface,
// https://arrow.apache.org/docs/format/CStreamInterface.html) or one
// array, its columns found by name, its batches added in turn
// (arrow_batch.h), the totals kept over all of them.
//
// A stream's next batch is read while the builder adds the one before
// (ArrowPrefetch). The reading stops at the end of the stream, at the first
// refused row (without IngestOptions::skip), when `after_batch` says so, or
// when the stream fails; what was added stays added.
//
// Errors: a column that is missing or of a type the batch reader cannot
// read is an Error (kValue) before any row is read; a failing stream is an
// outcome (StreamEnd::kSourceFailed) with the stream's own message.
//
// Thread safety: one call at a time per builder. The stream's callbacks run
// on a reading thread and on the caller's, never at once; a caller holding a
// lock that the stream's producer needs must not hold it during the call.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>

#include "build/arrow_batch.h"
#include "build/record_builder.h"
#include "util/result.h"

namespace tessarin::builder {

// The columns to read, by name; no count column: every row counts 1; a
// problem or weight column: see arrow_batch.h.
struct ColumnNames {
  std::string term = "term";
  std::string video = "video";
  std::optional<std::string> count = "count";
  std::optional<std::string> problem;
  std::optional<std::string> weight;
};

// The columns of a batch, by name, checked (check_columns()); "the data
// has no column 'x' (its columns: a, b)" when one is missing.
[[nodiscard]] Result<ColumnChoice> resolve_columns(const ArrowSchema& schema,
                                                   const ColumnNames& names);

enum class StreamEnd : std::uint8_t {
  kFinished,      // every row was read
  kRefused,       // a refused row stopped the reading
  kStopped,       // after_batch() asked to stop
  kSourceFailed,  // the stream reported an error: source_error
};

struct StreamOutcome {
  IngestReport report;
  StreamEnd end = StreamEnd::kFinished;
  std::string source_error;  // the stream's message (kSourceFailed)
};

// Called after each batch that did not stop at a refused row, with the
// rows read so far; false stops the reading.
using AfterBatch = std::function<bool(std::size_t rows)>;

// The rows of every batch of `stream`, which must outlive the call.
[[nodiscard]] Result<StreamOutcome> add_stream(RecordBuilder& builder, ArrowArrayStream& stream,
                                               const ColumnNames& names,
                                               const IngestOptions& options,
                                               const AfterBatch& after_batch);

// The rows of one batch (a struct array and its schema).
[[nodiscard]] Result<StreamOutcome> add_array(RecordBuilder& builder, const ArrowSchema& schema,
                                              const ArrowArray& array, const ColumnNames& names,
                                              const IngestOptions& options,
                                              const AfterBatch& after_batch);

}  // namespace tessarin::builder
