#include "build/arrow_batch.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace tessarin::builder {
namespace {

enum class Type : std::uint8_t {
  kInt8,
  kUInt8,
  kInt16,
  kUInt16,
  kInt32,
  kUInt32,
  kInt64,
  kUInt64,
  kUtf8,
  kLargeUtf8,
  kUtf8View,
  kBinary,
  kLargeBinary,
  kBinaryView,
  kFixed16,
  kUnknown,
};

Type type_of(const char* format) {
  const std::string_view f = format == nullptr ? std::string_view() : std::string_view(format);
  if (f == "c") return Type::kInt8;
  if (f == "C") return Type::kUInt8;
  if (f == "s") return Type::kInt16;
  if (f == "S") return Type::kUInt16;
  if (f == "i") return Type::kInt32;
  if (f == "I") return Type::kUInt32;
  if (f == "l") return Type::kInt64;
  if (f == "L") return Type::kUInt64;
  if (f == "u") return Type::kUtf8;
  if (f == "U") return Type::kLargeUtf8;
  if (f == "vu") return Type::kUtf8View;
  if (f == "z") return Type::kBinary;
  if (f == "Z") return Type::kLargeBinary;
  if (f == "vz") return Type::kBinaryView;
  if (f == "w:16") return Type::kFixed16;
  return Type::kUnknown;
}

bool is_integer(Type t) { return t <= Type::kUInt64; }
bool is_text(Type t) { return t == Type::kUtf8 || t == Type::kLargeUtf8 || t == Type::kUtf8View; }
bool is_binary(Type t) {
  return t == Type::kBinary || t == Type::kLargeBinary || t == Type::kBinaryView ||
         t == Type::kFixed16;
}

template <class T>
T load(const void* buffer, std::int64_t index) {
  T value;
  std::memcpy(&value,
              static_cast<const char*>(buffer) + index * static_cast<std::int64_t>(sizeof(T)),
              sizeof(T));
  return value;
}

// One column of a batch, read by row.
class Column {
 public:
  Column(const ArrowSchema& schema, const ArrowArray& array)
      : type_(type_of(schema.format)), array_(array) {}

  [[nodiscard]] Type type() const { return type_; }

  [[nodiscard]] bool null(std::int64_t row) const {
    if (array_.null_count == 0 || array_.buffers[0] == nullptr) return false;
    const auto bit = static_cast<std::uint64_t>(row + array_.offset);
    const unsigned byte = static_cast<const std::uint8_t*>(array_.buffers[0])[bit >> 3u];
    return ((byte >> (bit & 7u)) & 1u) == 0;
  }

  [[nodiscard]] std::int64_t signed_at(std::int64_t row) const {
    const std::int64_t i = row + array_.offset;
    const void* data = array_.buffers[1];
    switch (type_) {
      case Type::kInt8:
        return load<std::int8_t>(data, i);
      case Type::kUInt8:
        return load<std::uint8_t>(data, i);
      case Type::kInt16:
        return load<std::int16_t>(data, i);
      case Type::kUInt16:
        return load<std::uint16_t>(data, i);
      case Type::kInt32:
        return load<std::int32_t>(data, i);
      case Type::kUInt32:
        return load<std::uint32_t>(data, i);
      default:
        return load<std::int64_t>(data, i);
    }
  }
  [[nodiscard]] std::uint64_t unsigned_at(std::int64_t row) const {
    return load<std::uint64_t>(array_.buffers[1], row + array_.offset);
  }

  [[nodiscard]] std::string_view bytes_at(std::int64_t row) const {
    const std::int64_t i = row + array_.offset;
    switch (type_) {
      case Type::kUtf8:
      case Type::kBinary: {
        const auto begin = load<std::int32_t>(array_.buffers[1], i);
        const auto end = load<std::int32_t>(array_.buffers[1], i + 1);
        return {static_cast<const char*>(array_.buffers[2]) + begin,
                static_cast<std::size_t>(end - begin)};
      }
      case Type::kLargeUtf8:
      case Type::kLargeBinary: {
        const auto begin = load<std::int64_t>(array_.buffers[1], i);
        const auto end = load<std::int64_t>(array_.buffers[1], i + 1);
        return {static_cast<const char*>(array_.buffers[2]) + begin,
                static_cast<std::size_t>(end - begin)};
      }
      case Type::kUtf8View:
      case Type::kBinaryView: {
        // 16 bytes a view: length, then the bytes inline (up to 12) or a
        // 4-byte prefix, the data buffer's number and the offset in it.
        const char* view = static_cast<const char*>(array_.buffers[1]) + 16 * i;
        const auto length = load<std::int32_t>(view, 0);
        if (length <= 12) return {view + 4, static_cast<std::size_t>(length)};
        const auto buffer = load<std::int32_t>(view + 8, 0);
        const auto offset = load<std::int32_t>(view + 12, 0);
        return {static_cast<const char*>(array_.buffers[2 + buffer]) + offset,
                static_cast<std::size_t>(length)};
      }
      case Type::kFixed16:
        return {static_cast<const char*>(array_.buffers[1]) + 16 * i, 16};
      default:
        return {};
    }
  }

 private:
  Type type_;
  const ArrowArray& array_;
};

// A video identifier or a count as a Field.
Field field_at(const Column& column, std::int64_t row) {
  if (column.null(row)) return Field::missing();
  const Type t = column.type();
  if (t == Type::kUInt64) return Field::of_unsigned(column.unsigned_at(row));
  if (is_integer(t)) return Field::of_signed(column.signed_at(row));
  if (is_text(t)) return Field::of_text(column.bytes_at(row));
  return Field::of_bytes(column.bytes_at(row));
}

// A row's weight: an integer in 0 .. 2^32 - 1, else none (null or out of
// range).
std::optional<std::uint32_t> weight_at(const Column& column, std::int64_t row) {
  if (column.null(row)) return std::nullopt;
  if (column.type() == Type::kUInt64) {
    const std::uint64_t value = column.unsigned_at(row);
    if (value > 0xFFFFFFFFu) return std::nullopt;
    return static_cast<std::uint32_t>(value);
  }
  const std::int64_t value = column.signed_at(row);
  if (value < 0 || value > 0xFFFFFFFF) return std::nullopt;
  return static_cast<std::uint32_t>(value);
}

const char* kColumnNames[] = {"term", "video", "count", "problem", "weight"};

}  // namespace

std::optional<std::int64_t> child_named(const ArrowSchema& schema, std::string_view name) {
  for (std::int64_t k = 0; k < schema.n_children; ++k) {
    const char* child = schema.children[k]->name;
    if (child != nullptr && name == child) return k;
  }
  return std::nullopt;
}

Status check_columns(const ArrowSchema& schema, const ColumnChoice& columns) {
  if (schema.format == nullptr || std::string_view(schema.format) != "+s") {
    return value_error("expected a struct array (a record batch) of columns");
  }
  const std::int64_t chosen[] = {columns.term, columns.video, columns.count, columns.problem,
                                 columns.weight};
  for (int c = 0; c < 5; ++c) {
    if (c >= 2 && chosen[c] < 0) continue;
    if (chosen[c] < 0 || chosen[c] >= schema.n_children) {
      return value_error(std::string("the batch has no ") + kColumnNames[c] + " column");
    }
    const ArrowSchema& child = *schema.children[chosen[c]];
    const Type t = type_of(child.format);
    const bool fits = c == 0 || c == 3 ? is_text(t)
                      : c == 1         ? is_integer(t) || is_text(t) || is_binary(t)
                      : c == 2         ? is_integer(t) || is_text(t)
                                       : is_integer(t);
    if (!fits || child.dictionary != nullptr) {
      static constexpr const char* kWanted[] = {"text", "integers, text or 16-byte binary",
                                                "integers or decimal text", "text", "integers"};
      return value_error(std::string("the ") + kColumnNames[c] + " column has the Arrow type '" +
                         (child.format == nullptr ? "" : child.format) +
                         (child.dictionary != nullptr ? "' (dictionary-encoded)" : "'") +
                         "; expected " + kWanted[c]);
    }
  }
  return {};
}

bool add_batch(RecordBuilder& builder, const ArrowSchema& schema, const ArrowArray& batch,
               const ColumnChoice& columns, const IngestOptions& options, IngestReport& report) {
  const Column term(*schema.children[columns.term], *batch.children[columns.term]);
  const Column video(*schema.children[columns.video], *batch.children[columns.video]);
  const bool counted = columns.count >= 0;
  const Column count = counted ? Column(*schema.children[columns.count],
                                        *batch.children[columns.count])
                               : video;  // not read
  const bool checked = columns.problem >= 0;
  const Column problem = checked ? Column(*schema.children[columns.problem],
                                          *batch.children[columns.problem])
                                 : term;  // not read
  const bool weighed = columns.weight >= 0;
  const Column weight = weighed ? Column(*schema.children[columns.weight],
                                         *batch.children[columns.weight])
                                : term;  // not read
  const std::int64_t rows = batch.length;
  const Field one = Field::of_unsigned(1);
  // Rows go in groups whose terms are looked up together first
  // (TermTable::find_many), so that their memory reads overlap.
  constexpr std::int64_t kGroup = 32;
  std::array<std::string_view, kGroup> group_terms{};
  std::array<std::uint64_t, kGroup> group_hashes{};
  std::array<std::uint32_t, kGroup> group_ids{};
  std::array<VideoValue, kGroup> group_videos{};
  std::array<std::optional<Rejection>, kGroup> group_refusals{};
  RecordBuilder::Hint hint;
  for (std::int64_t row = 0; row < rows; ++row) {
    const auto in_group = static_cast<std::size_t>(row % kGroup);
    if (in_group == 0) {
      const auto n = static_cast<std::size_t>(std::min(kGroup, rows - row));
      for (std::size_t k = 0; k < n; ++k) {
        const auto r = row + static_cast<std::int64_t>(k);
        group_terms[k] = term.null(r) ? std::string_view() : term.bytes_at(r);
        group_hashes[k] = hash_bytes(group_terms[k]);
        group_refusals[k] = read_video(field_at(video, r), group_videos[k]);
        if (!group_refusals[k]) builder.prefetch_video(group_videos[k]);
      }
      builder.lookup_table().find_many(group_terms.data(), group_hashes.data(), n,
                                       group_ids.data());
    }
    hint.hash = group_hashes[in_group];
    hint.id = group_ids[in_group];
    std::optional<Rejection> refused;
    if (checked && !problem.null(row)) {
      const std::string_view said = problem.bytes_at(row);
      refused = Rejection{Fault::kUnreadable, "", std::string(said)};
    } else if (term.null(row)) {
      refused = missing_term();
    } else if (group_refusals[in_group]) {
      refused = std::move(group_refusals[in_group]);
    } else if (const std::optional<std::uint32_t> factor =
                   weighed ? weight_at(weight, row) : std::optional<std::uint32_t>(1);
               !factor) {
      refused = Rejection{Fault::kTime, "", "no time, or one that is not a time"};
    } else {
      const bool absent = !counted || (options.null_count_is_one && count.null(row));
      const std::uint64_t excluded = builder.excluded_records();
      refused = builder.add(group_terms[in_group], TermForm::kUnchecked, group_videos[in_group],
                            absent ? one : field_at(count, row), &hint, *factor);
      if (!refused && builder.excluded_records() != excluded) {
        ++report.excluded;
        continue;
      }
    }
    if (!refused) {
      ++report.added;
      continue;
    }
    ++report.refused;
    ++report.by_fault[static_cast<std::size_t>(refused->fault)];
    if (report.examples.size() < IngestReport::kExamples) {
      report.examples.push_back({report.rows + static_cast<std::size_t>(row), std::move(*refused)});
    }
    if (!options.skip) {
      report.rows += static_cast<std::size_t>(row);
      return false;
    }
  }
  report.rows += static_cast<std::size_t>(rows);
  return true;
}

}  // namespace tessarin::builder
