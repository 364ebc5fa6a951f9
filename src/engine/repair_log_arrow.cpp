#include "engine/repair_log_arrow.hpp"

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace vornish {
namespace {

constexpr std::size_t kColumns = 6;
constexpr std::array<const char*, kColumns> kNames = {"line",   "offset", "column",
                                                      "action", "detail", "raw"};
// int64, int64, int64, large_utf8, large_utf8, large_binary: 64-bit offsets,
// so no record set is too large for its column.
constexpr std::array<const char*, kColumns> kFormats = {"l", "l", "l", "U", "U", "Z"};

// --- Schema ---------------------------------------------------------------

void release_child_schema(ArrowSchema* schema) { schema->release = nullptr; }

struct SchemaData {
  std::array<ArrowSchema, kColumns> children{};
  std::array<ArrowSchema*, kColumns> pointers{};
};

void release_schema(ArrowSchema* schema) {
  auto* data = static_cast<SchemaData*>(schema->private_data);
  for (ArrowSchema& child : data->children) {
    if (child.release != nullptr) child.release(&child);
  }
  delete data;
  schema->release = nullptr;
}

// --- Arrays ---------------------------------------------------------------

struct ColumnData {
  std::vector<std::uint8_t> validity;
  std::vector<std::int64_t> values;  // integers, or offsets of text and bytes
  std::string bytes;
  std::array<const void*, 3> buffers{};
};

void release_column(ArrowArray* array) {
  delete static_cast<ColumnData*>(array->private_data);
  array->release = nullptr;
}

struct BatchData {
  std::array<ArrowArray, kColumns> children{};
  std::array<ArrowArray*, kColumns> pointers{};
  std::array<const void*, 1> buffers{};
};

void release_batch(ArrowArray* array) {
  auto* data = static_cast<BatchData*>(array->private_data);
  for (ArrowArray& child : data->children) {
    if (child.release != nullptr) child.release(&child);
  }
  delete data;
  array->release = nullptr;
}

ArrowArray integer_column(std::unique_ptr<ColumnData> data, std::int64_t length,
                          std::int64_t nulls) {
  data->buffers = {nulls > 0 ? data->validity.data() : nullptr, data->values.data(), nullptr};
  ColumnData* owned = data.release();
  return ArrowArray{length, nulls, 0, 2, 0, owned->buffers.data(), nullptr, nullptr,
                    &release_column, owned};
}

ArrowArray bytes_column(std::unique_ptr<ColumnData> data, std::int64_t length) {
  data->buffers = {nullptr, data->values.data(), data->bytes.data()};
  ColumnData* owned = data.release();
  return ArrowArray{length, 0, 0, 3, 0, owned->buffers.data(), nullptr, nullptr,
                    &release_column, owned};
}

}  // namespace

void export_repair_schema(ArrowSchema* out) {
  auto data = std::make_unique<SchemaData>();
  for (std::size_t i = 0; i < kColumns; ++i) {
    // Only the column may be null, for a record of the whole row.
    const std::int64_t flags = i == 2 ? ARROW_FLAG_NULLABLE : 0;
    data->children[i] = ArrowSchema{kFormats[i], kNames[i], nullptr, flags, 0,
                                    nullptr,     nullptr,   &release_child_schema, nullptr};
    data->pointers[i] = &data->children[i];
  }
  SchemaData* owned = data.release();
  *out = ArrowSchema{"+s", "", nullptr, 0, kColumns, owned->pointers.data(), nullptr,
                     &release_schema, owned};
}

void export_repair_batch(const RepairLog& log, ArrowArray* out) {
  const std::size_t n = log.size();
  std::array<std::unique_ptr<ColumnData>, kColumns> columns;
  for (auto& column : columns) {
    column = std::make_unique<ColumnData>();
  }
  columns[0]->values.reserve(n);
  columns[1]->values.reserve(n);
  columns[2]->values.reserve(n);
  columns[2]->validity.assign((n + 7) / 8, 0);
  for (std::size_t i = 3; i < kColumns; ++i) {
    columns[i]->values.reserve(n + 1);
    columns[i]->values.push_back(0);
  }
  std::int64_t null_columns = 0;
  std::string detail;
  for (std::size_t i = 0; i < n; ++i) {
    const RepairEntry& entry = log[i];
    columns[0]->values.push_back(static_cast<std::int64_t>(entry.line));
    columns[1]->values.push_back(static_cast<std::int64_t>(entry.offset));
    columns[2]->values.push_back(static_cast<std::int64_t>(entry.column));
    if (entry.column != 0) {
      columns[2]->validity[i / 8] = static_cast<std::uint8_t>(columns[2]->validity[i / 8] | (1u << (i % 8)));
    } else {
      ++null_columns;
    }
    columns[3]->bytes += action_name(entry.action);
    detail.clear();
    append_detail(detail, entry, log.fallback_name());
    columns[4]->bytes += detail;
    columns[5]->bytes += log.raw(entry);
    for (std::size_t c = 3; c < kColumns; ++c) {
      columns[c]->values.push_back(static_cast<std::int64_t>(columns[c]->bytes.size()));
    }
  }
  const auto length = static_cast<std::int64_t>(n);
  auto data = std::make_unique<BatchData>();
  // Each column owns itself from here on, so a failure below leaks nothing.
  data->children[0] = integer_column(std::move(columns[0]), length, 0);
  data->children[1] = integer_column(std::move(columns[1]), length, 0);
  data->children[2] = integer_column(std::move(columns[2]), length, null_columns);
  for (std::size_t c = 3; c < kColumns; ++c) {
    data->children[c] = bytes_column(std::move(columns[c]), length);
  }
  for (std::size_t c = 0; c < kColumns; ++c) {
    data->pointers[c] = &data->children[c];
  }
  BatchData* owned = data.release();
  *out = ArrowArray{length, 0, 0, 1, kColumns, owned->buffers.data(), owned->pointers.data(),
                    nullptr, &release_batch, owned};
}

}  // namespace vornish
