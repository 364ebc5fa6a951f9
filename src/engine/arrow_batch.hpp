// Kept rows into Arrow record batches of string columns.
//
// ArrowBatchBuilder copies each field of a row straight into its column's
// data buffer and writes one offset; nothing is allocated per field (the
// buffers grow geometrically, offsets are reserved for a whole batch).
// Batches are cut by row count and by bytes, so a consumer that reads them
// one at a time holds a bounded amount. A finished batch is an ArrowArray
// that owns all its buffers: its release callback (and each child's, which
// a consumer may move out and release on its own) frees them, on any
// thread, at any time, and leaves `release` null behind.
//
// Knows nothing of files or Python; the stream on top lives in batch_source.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "engine/arrow_abi.hpp"
#include "engine/vornish.hpp"
#include "heuristics/field_types.hpp"

namespace vornish {

// How string columns are laid out: utf8 ("u", 32-bit offsets), large_utf8
// ("U", 64-bit offsets) or utf8_view ("vu": 16 bytes per cell, a cell of at
// most 12 bytes held in place, a longer one as its length, first 4 bytes and
// position in one data buffer per column and batch). Consumers with a view
// layout of their own take the last without converting it.
enum class StringWidth : std::uint8_t { Utf8, LargeUtf8, View };

// The narrowest width that can hold every field of an input of `input_size`
// bytes: a field's text is at most three times its bytes (an invalid byte
// becomes U+FFFD), so below about 715 MB 32-bit offsets always suffice.
StringWidth string_width_for(std::size_t input_size) noexcept;

struct BatchLimits {
  std::size_t max_rows = std::size_t{1} << 16;
  // Field bytes of all columns together; a batch ends after the row that
  // reaches it (so one huge row makes one huge batch, never a split row).
  std::size_t max_bytes = std::size_t{32} << 20;
};

// What a pull of one batch gave: a batch, the end of the rows, or a failure.
enum class BatchNext : unsigned char { Batch, End, Failed };

// What the columns of a table hold. With `text_only` every column is a
// string column holding every cell as it is (no cell is null); otherwise
// each column has its type, null markers are null everywhere, and in typed
// columns so are blank cells and, for a type the caller chose, cells that
// do not read as it.
struct TableTypes {
  bool text_only = true;
  std::vector<ColumnType> columns;
  // Per column: the caller chose the type (leading zeros and ungrouped
  // digits then read too).
  std::vector<bool> chosen;
  NullMarkers nulls;

  const ColumnType* of(std::size_t column) const noexcept {
    return text_only || column >= columns.size() ? nullptr : &columns[column];
  }
};

// Fills `out` with a struct schema ("+s") of nullable columns named
// `names`: strings, or the types of `types` when given. The schema owns
// copies of the names; its release frees them.
void export_schema(std::span<const std::string> names, StringWidth width, ArrowSchema* out,
                   const TableTypes* types = nullptr);

class ArrowBatchBuilder final : public RowVisitor {
 public:
  ArrowBatchBuilder(std::size_t columns, StringWidth width, BatchLimits limits = {},
                    std::shared_ptr<const TableTypes> types = nullptr);
  ~ArrowBatchBuilder() override;
  ArrowBatchBuilder(const ArrowBatchBuilder&) = delete;
  ArrowBatchBuilder& operator=(const ArrowBatchBuilder&) = delete;

  // Appends a row; cells beyond its width are null. A row wider than the
  // table, or a field that 32-bit offsets cannot reach, is refused and
  // remembered in failed(): the caller chose the width or column count
  // wrongly, which is a fault of the caller, not of the input.
  void kept(RowView row, std::size_t start) override;
  void quarantined(std::size_t, QuarantineReason, RowView, std::size_t) override {}
  // A run through repair_rows stops once a batch is complete and waiting, so
  // a pull-style caller never holds more than one finished batch.
  bool stop_requested() const noexcept override { return !ready_.empty() || failed_; }

  // Ends the batch being filled (when it holds rows) so that it can be taken.
  void flush();
  bool has_ready() const noexcept { return !ready_.empty(); }
  // Moves the oldest finished batch into `out`, which the caller then owns.
  // Returns false, leaving `out` untouched, when none is ready.
  bool take_ready(ArrowArray* out) noexcept;

  std::size_t columns() const noexcept { return columns_.size(); }
  std::size_t pending_rows() const noexcept { return rows_; }
  bool failed() const noexcept { return failed_; }
  const char* failure() const noexcept { return failure_; }
  // Per column, the cells that did not read as the type the caller chose
  // and became null.
  const std::vector<std::uint64_t>& nulled() const noexcept { return nulled_; }
  // Where such cells are recorded, as the row's records; none: nowhere.
  void set_log(RepairLog* log) noexcept { log_ = log; }
  // Per column, the current row's cells as already read for this builder's
  // types (see classify_and_read), refreshed before each row; none: every
  // cell is read here.
  void set_values(const CellValue* values) noexcept { values_ = values; }

 private:
  // A mapped byte buffer whose ownership passes to a finished batch.
  struct Bytes {
    char* data = nullptr;
    std::size_t size = 0;
    std::size_t capacity = 0;  // the mapping's length, whole pages
    void reserve(std::size_t n);
    // Inline, since the row loop calls it for every field and it almost
    // never grows anything.
    void grow_for(std::size_t extra) {
      if (size + extra > capacity) {
        grow(extra);
      }
    }
    void grow(std::size_t extra);
    // Hands the mapping over, trimmed to whole pages; `length` receives
    // the length to unmap.
    char* release_shrunk(std::size_t& length) noexcept;
    void free() noexcept;
  };
  struct Column {
    Bytes offsets;  // or the views, 16 bytes per cell
    Bytes data;
    Bytes validity;  // empty until the batch's first null in this column
    std::size_t nulls = 0;
    std::size_t data_hint = 0;  // the previous batch's data size
    // Null for a string column of the text-only kind.
    const ColumnType* type = nullptr;
    bool chosen = false;
    // What each cell costs to place, settled once: the row loop would
    // otherwise look through `type` for it at every cell.
    enum class Place : std::uint8_t { Text, NullableText, Bits, Value4, Value8 };
    Place place = Place::Text;
  };

  // Writes a string cell at `row`: its text and offset, or its view.
  template <class Slot>
  static void put_text(Column& column, std::size_t row, std::string_view text);
  // Fails the builder on a row wider than the table and starts the batch;
  // the row's bytes, or nothing when a column would pass 32-bit offsets.
  template <class Slot>
  std::optional<std::size_t> open_row(RowView row);
  template <class Slot>
  bool append(RowView row);
  // append for a table of text only: no cell is typed or null.
  template <class Slot>
  bool append_text(RowView row);
  template <class Slot>
  void set_null(Column& column);
  void clear_valid(Column& column);
  // A typed cell the classification left unread, read from its text.
  void append_typed(std::size_t index, Column& column, std::string_view text);
  // A value the classification read, placed at the current row.
  void put_value(Column& column, const CellValue& cell);
  void start_batch();
  void close_batch();

  std::vector<Column> columns_;
  StringWidth width_;
  BatchLimits limits_;
  std::size_t rows_ = 0;
  std::size_t bytes_ = 0;
  bool started_ = false;
  bool failed_ = false;
  const char* failure_ = "";
  std::deque<ArrowArray> ready_;
  std::shared_ptr<const TableTypes> types_;
  std::vector<std::uint64_t> nulled_;
  RepairLog* log_ = nullptr;
  const CellValue* values_ = nullptr;
};

}  // namespace vornish
