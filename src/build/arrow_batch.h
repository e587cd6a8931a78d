// Records from Arrow arrays, read in place through the Arrow C data
// interface (https://arrow.apache.org/docs/format/CDataInterface.html): the
// structs below are that interface's ABI, declared here as its
// documentation gives them, so no Arrow library is needed.
//
// A batch is a struct array whose children are columns. The term column is
// text (utf8, large utf8 or utf8 view); the video column integers of any
// width, text (decimal or UUID), or binary of 16 bytes; the count column
// integers or decimal text, or absent (every row counts 1). Values are
// checked as record_checks.h says. A null term or video is refused; a null
// count counts 1 when `null_count_is_one` (a CSV line without its count),
// else it is refused. An optional problem column (text) refuses the rows
// where it is not null (kUnreadable, its text the message): what the source
// found wrong with them (a line that is not JSON). An optional weight
// column (integers in 0 .. 2^32 - 1) multiplies each row's count; a null
// weight refuses the row (kTime: the source had no time to weigh it by).
// A refused row is counted by its kind of fault; a row whose term the
// builder keeps out is counted as excluded.
//
// Thread safety: reads the arrays only; the builder is the caller's.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "build/record_builder.h"
#include "util/result.h"

extern "C" {
// NOLINTBEGIN: the C data interface, exactly as its specification declares it.
#ifndef ARROW_C_DATA_INTERFACE
#define ARROW_C_DATA_INTERFACE
struct ArrowSchema {
  const char* format;
  const char* name;
  const char* metadata;
  int64_t flags;
  int64_t n_children;
  struct ArrowSchema** children;
  struct ArrowSchema* dictionary;
  void (*release)(struct ArrowSchema*);
  void* private_data;
};

struct ArrowArray {
  int64_t length;
  int64_t null_count;
  int64_t offset;
  int64_t n_buffers;
  int64_t n_children;
  const void** buffers;
  struct ArrowArray** children;
  struct ArrowArray* dictionary;
  void (*release)(struct ArrowArray*);
  void* private_data;
};
#endif
#ifndef ARROW_C_STREAM_INTERFACE
#define ARROW_C_STREAM_INTERFACE
struct ArrowArrayStream {
  int (*get_schema)(struct ArrowArrayStream*, struct ArrowSchema* out);
  int (*get_next)(struct ArrowArrayStream*, struct ArrowArray* out);
  const char* (*get_last_error)(struct ArrowArrayStream*);
  void (*release)(struct ArrowArrayStream*);
  void* private_data;
};
#endif
// NOLINTEND
}

namespace tessarin::builder {

// Which children of the batch hold the columns; count, problem and weight
// -1 when absent.
struct ColumnChoice {
  std::int64_t term = 0;
  std::int64_t video = 1;
  std::int64_t count = 2;
  std::int64_t problem = -1;
  std::int64_t weight = -1;
};

// The position of the child named `name`, if any.
[[nodiscard]] std::optional<std::int64_t> child_named(const ArrowSchema& schema,
                                                      std::string_view name);
// Whether the batch's columns can be read (types as above); the message
// names the column and its Arrow format string.
[[nodiscard]] Status check_columns(const ArrowSchema& schema, const ColumnChoice& columns);

struct IngestOptions {
  bool skip = false;               // a refused row is counted and passed, not the end
  bool null_count_is_one = false;  // a null count counts 1
};

// A refused row: its number (from 0 over the rows of the report) and why.
struct RefusedRow {
  std::size_t row = 0;
  Rejection rejection;
};

// What the rows of one or more batches did.
struct IngestReport {
  static constexpr std::size_t kExamples = 5;

  std::size_t rows = 0;  // rows read (when a refused row stopped: those before it)
  std::size_t added = 0;
  std::size_t excluded = 0;  // taken, but their terms are kept out
  std::size_t refused = 0;
  std::array<std::size_t, kFaultKinds> by_fault{};
  std::vector<RefusedRow> examples;  // the first few refused rows
};

// Adds the rows of one batch (checked by check_columns) and counts them in
// `report`. Returns false when a refused row stopped the batch (without
// `options.skip`); the rows before it stay added.
bool add_batch(RecordBuilder& builder, const ArrowSchema& schema, const ArrowArray& batch,
               const ColumnChoice& columns, const IngestOptions& options, IngestReport& report);

}  // namespace tessarin::builder
