// Record batches of string columns, built in place from parsed fields.
//
// Every exported struct carries its own private data, so that a consumer
// may release the parent and each child in any order, on any thread: the
// C data interface allows moving a child out of its parent and releasing
// it on its own.
//
// Buffers are mappings of their own rather than heap blocks: a batch is
// freed whenever the consumer pleases, interleaved with its own
// allocations, and a mapping goes back to the system the moment it is
// released instead of leaving holes in the heap. Growing and shrinking are
// remaps, which move pages rather than bytes.
#include "engine/arrow_batch.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <optional>
#include <type_traits>
#include <utility>

namespace vornish {
namespace {

constexpr std::size_t kInt32Max = static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max());
constexpr std::size_t kFirstDataCapacity = std::size_t{64} << 10;

// Most fields are a few bytes long, where a call to memcpy costs more than
// the copy. Reads and writes stay within the `n` bytes of each side.
inline void copy_field(char* dst, const char* src, std::size_t n) noexcept {
  if (n >= 8 && n <= 16) {
    std::uint64_t head = 0;
    std::uint64_t tail = 0;
    std::memcpy(&head, src, 8);
    std::memcpy(&tail, src + n - 8, 8);
    std::memcpy(dst, &head, 8);
    std::memcpy(dst + n - 8, &tail, 8);
  } else if (n >= 4 && n < 8) {
    std::uint32_t head = 0;
    std::uint32_t tail = 0;
    std::memcpy(&head, src, 4);
    std::memcpy(&tail, src + n - 4, 4);
    std::memcpy(dst, &head, 4);
    std::memcpy(dst + n - 4, &tail, 4);
  } else if (n > 0 && n < 4) {
    dst[0] = src[0];
    dst[n / 2] = src[n / 2];
    dst[n - 1] = src[n - 1];
  } else if (n > 16) {
    std::memcpy(dst, src, n);
  }
}

const char* format_of(StringWidth width) noexcept {
  switch (width) {
    case StringWidth::Utf8:
      return "u";
    case StringWidth::LargeUtf8:
      return "U";
    case StringWidth::View:
      return "vu";
  }
  return "u";
}

// One cell of a view column. Both forms share the length in front; what
// follows is the text itself (12 bytes, zero-padded) or the first 4 bytes,
// the data buffer's index and the offset in it.
struct alignas(8) ViewCell {
  std::int32_t size = 0;
  char bytes[12] = {};
};
static_assert(sizeof(ViewCell) == 16);
constexpr std::size_t kViewInline = 12;

template <class Word>
inline Word load(const char* from) noexcept {
  Word word;
  std::memcpy(&word, from, sizeof(word));
  return word;
}

// The cell of a text of at most 12 bytes, made in two registers: built
// byte by byte on the stack and then read as a whole, it would be read
// before the processor had merged the small stores, a stall per cell.
// Reads and writes stay within the `n` bytes of the text and the cell.
inline void store_inline_cell(char* to, const char* text, std::size_t n) noexcept {
  std::uint64_t head = 0;  // the text's bytes 0 to 7
  std::uint64_t tail = 0;  // its bytes 8 to 11
  if (n >= 8) {
    head = load<std::uint64_t>(text);
    // The last four bytes, less those that head holds already.
    tail = std::uint64_t{load<std::uint32_t>(text + n - 4)} >> (8 * (12 - n));
  } else if (n >= 4) {
    head = load<std::uint32_t>(text) |
           std::uint64_t{load<std::uint32_t>(text + n - 4)} << (8 * (n - 4));
  } else if (n > 0) {
    head = static_cast<std::uint64_t>(static_cast<unsigned char>(text[0])) |
           static_cast<std::uint64_t>(static_cast<unsigned char>(text[n / 2])) << (8 * (n / 2)) |
           static_cast<std::uint64_t>(static_cast<unsigned char>(text[n - 1])) << (8 * (n - 1));
  }
  const std::uint64_t first = static_cast<std::uint32_t>(n) | head << 32;
  const std::uint64_t second = head >> 32 | tail << 32;
  std::memcpy(to, &first, 8);
  std::memcpy(to + 8, &second, 8);
}

// Bytes per row of the offsets (or views) buffer.
std::size_t slot_size(StringWidth width) noexcept {
  switch (width) {
    case StringWidth::Utf8:
      return 4;
    case StringWidth::LargeUtf8:
      return 8;
    case StringWidth::View:
      return sizeof(ViewCell);
  }
  return 4;
}

const char* format_of(const ColumnType* type, StringWidth width) noexcept {
  if (type == nullptr) {
    return format_of(width);
  }
  switch (type->type) {
    case CellType::String:
      return format_of(width);
    case CellType::Bool:
      return "b";
    case CellType::Int64:
      return "l";
    case CellType::Float64:
      return "g";
    case CellType::Date32:
      return "tdD";
    case CellType::Timestamp:
      if (type->nanos) {
        return type->utc ? "tsn:UTC" : "tsn:";
      }
      return type->utc ? "tsu:UTC" : "tsu:";
  }
  return format_of(width);
}

// Bytes per value of a fixed-width column; 0 for strings and booleans.
std::size_t value_size(const ColumnType* type) noexcept {
  if (type == nullptr) {
    return 0;
  }
  switch (type->type) {
    case CellType::Int64:
    case CellType::Float64:
    case CellType::Timestamp:
      return 8;
    case CellType::Date32:
      return 4;
    case CellType::String:
    case CellType::Bool:
      break;
  }
  return 0;
}

bool is_string(const ColumnType* type) noexcept {
  return type == nullptr || type->type == CellType::String;
}

// --- Schema --------------------------------------------------------------

struct ChildSchemaData {
  std::string name;
};

void release_child_schema(ArrowSchema* schema) {
  delete static_cast<ChildSchemaData*>(schema->private_data);
  schema->private_data = nullptr;
  schema->release = nullptr;
}

struct TableSchemaData {
  std::vector<ArrowSchema> children;
  std::vector<ArrowSchema*> pointers;
};

void release_table_schema(ArrowSchema* schema) {
  auto* data = static_cast<TableSchemaData*>(schema->private_data);
  for (ArrowSchema* child : data->pointers) {
    if (child->release != nullptr) {
      child->release(child);
    }
  }
  delete data;
  schema->private_data = nullptr;
  schema->release = nullptr;
}

// --- Arrays --------------------------------------------------------------

struct ColumnArrayData {
  // The mappings first; a view column's fourth buffer is `variadic_size`.
  const void* buffers[4] = {nullptr, nullptr, nullptr, nullptr};
  std::size_t lengths[3] = {0, 0, 0};  // of the mappings
  std::int64_t variadic_size = 0;
};

void release_column_array(ArrowArray* array) {
  auto* data = static_cast<ColumnArrayData*>(array->private_data);
  for (std::size_t i = 0; i < 3; ++i) {
    if (data->buffers[i] != nullptr) {
      ::munmap(const_cast<void*>(data->buffers[i]), data->lengths[i]);
    }
  }
  delete data;
  array->private_data = nullptr;
  array->release = nullptr;
}

struct BatchArrayData {
  const void* buffers[1] = {nullptr};  // a struct batch has no nulls of its own
  std::vector<ArrowArray> children;
  std::vector<ArrowArray*> pointers;
};

void release_batch_array(ArrowArray* array) {
  auto* data = static_cast<BatchArrayData*>(array->private_data);
  for (ArrowArray* child : data->pointers) {
    if (child->release != nullptr) {
      child->release(child);
    }
  }
  delete data;
  array->private_data = nullptr;
  array->release = nullptr;
}

}  // namespace

StringWidth string_width_for(std::size_t input_size) noexcept {
  return input_size <= kInt32Max / 3 ? StringWidth::Utf8 : StringWidth::LargeUtf8;
}

void export_schema(std::span<const std::string> names, StringWidth width, ArrowSchema* out,
                   const TableTypes* types) {
  auto data = std::make_unique<TableSchemaData>();
  data->children.resize(names.size());
  data->pointers.resize(names.size());
  // Each child owns its name before the parent owns anything, so a failed
  // allocation half-way leaks nothing.
  std::vector<std::unique_ptr<ChildSchemaData>> child_data;
  child_data.reserve(names.size());
  for (const std::string& name : names) {
    child_data.push_back(std::make_unique<ChildSchemaData>(ChildSchemaData{name}));
  }
  for (std::size_t i = 0; i < names.size(); ++i) {
    ArrowSchema& child = data->children[i];
    ChildSchemaData* owned = child_data[i].release();
    const ColumnType* type = types == nullptr ? nullptr : types->of(i);
    child = ArrowSchema{format_of(type, width), owned->name.c_str(), nullptr, ARROW_FLAG_NULLABLE,
                        0, nullptr, nullptr, &release_child_schema, owned};
    data->pointers[i] = &child;
  }
  *out = ArrowSchema{"+s", "", nullptr, 0, static_cast<int64_t>(names.size()),
                     data->pointers.data(), nullptr, &release_table_schema, data.get()};
  static_cast<void>(data.release());
}

namespace {

std::size_t whole_pages(std::size_t n) noexcept {
  static const std::size_t page = [] {
    const long size = ::sysconf(_SC_PAGESIZE);
    return size > 0 ? static_cast<std::size_t>(size) : std::size_t{4096};
  }();
  return (std::max<std::size_t>(n, 1) + page - 1) / page * page;
}

}  // namespace

void ArrowBatchBuilder::Bytes::reserve(std::size_t n) {
  if (n <= capacity) {
    return;
  }
  const std::size_t length = whole_pages(n);
  void* p = data == nullptr
                ? ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0)
                : ::mremap(data, capacity, length, MREMAP_MAYMOVE);
  if (p == MAP_FAILED) {
    throw std::bad_alloc();
  }
  data = static_cast<char*>(p);
  capacity = length;
}

void ArrowBatchBuilder::Bytes::grow(std::size_t extra) {
  reserve(std::max(size + extra, capacity * 2));
}

char* ArrowBatchBuilder::Bytes::release_shrunk(std::size_t& length) noexcept {
  // Room never written costs nothing resident, but it would stay reserved
  // address space for the table's whole life. Shrinking in place never
  // moves the mapping.
  const std::size_t needed = whole_pages(size);
  if (needed < capacity && ::mremap(data, capacity, needed, 0) != MAP_FAILED) {
    capacity = needed;
  }
  length = capacity;
  char* owned = std::exchange(data, nullptr);
  size = 0;
  capacity = 0;
  return owned;
}

void ArrowBatchBuilder::Bytes::free() noexcept {
  if (data != nullptr) {
    ::munmap(data, capacity);
  }
  data = nullptr;
  size = 0;
  capacity = 0;
}

ArrowBatchBuilder::ArrowBatchBuilder(std::size_t columns, StringWidth width, BatchLimits limits,
                                     std::shared_ptr<const TableTypes> types)
    : columns_(columns), width_(width), limits_(limits), types_(std::move(types)),
      nulled_(columns, 0) {
  limits_.max_rows = std::max<std::size_t>(limits_.max_rows, 1);
  limits_.max_bytes = std::max<std::size_t>(limits_.max_bytes, 1);
  if (types_ && types_->text_only) {
    types_.reset();
  }
  if (types_) {
    for (std::size_t i = 0; i < columns_.size(); ++i) {
      static const ColumnType kText{};
      const ColumnType* type = types_->of(i);
      Column& column = columns_[i];
      column.type = type != nullptr ? type : &kText;
      column.chosen = i < types_->chosen.size() && types_->chosen[i];
      switch (value_size(column.type)) {
        case 4:
          column.place = Column::Place::Value4;
          break;
        case 8:
          column.place = Column::Place::Value8;
          break;
        default:
          column.place = is_string(column.type) ? Column::Place::NullableText : Column::Place::Bits;
      }
    }
  }
}

ArrowBatchBuilder::~ArrowBatchBuilder() {
  for (Column& column : columns_) {
    column.offsets.free();
    column.data.free();
    column.validity.free();
  }
  for (ArrowArray& batch : ready_) {
    if (batch.release != nullptr) {
      batch.release(&batch);
    }
  }
}

void ArrowBatchBuilder::start_batch() {
  const std::size_t offset_size = slot_size(width_);
  for (Column& column : columns_) {
    column.nulls = 0;
    if (!is_string(column.type)) {
      // Values are written in place, at the row's index.
      const std::size_t size = value_size(column.type);
      column.data.reserve(size == 0 ? limits_.max_rows / 8 + 1 : limits_.max_rows * size);
      if (size == 0) {
        std::memset(column.data.data, 0, limits_.max_rows / 8 + 1);
      }
      continue;
    }
    // Reserved for a full batch: the row loop then writes offsets without
    // a capacity check, and pages never written cost no memory.
    column.offsets.reserve((limits_.max_rows + 1) * offset_size);
    if (width_ != StringWidth::View) {
      std::memset(column.offsets.data, 0, offset_size);
    }
    // Room for the column's share of a full batch up front: growing by
    // copies would cost as much again as the copies of the fields, while
    // room that is never written costs no memory.
    column.data.reserve(std::max({column.data_hint, kFirstDataCapacity,
                                  limits_.max_bytes / columns_.size() + kFirstDataCapacity}));
    column.nulls = 0;
  }
  started_ = true;
}

void ArrowBatchBuilder::clear_valid(Column& column) {
  if (column.validity.data == nullptr) {
    // The first null of this column in this batch: every earlier row valid.
    const std::size_t bytes = limits_.max_rows / 8 + 1;
    column.validity.reserve(bytes);
    std::memset(column.validity.data, 0xFF, bytes);
    column.validity.size = bytes;
  }
  auto* bits = reinterpret_cast<unsigned char*>(column.validity.data);
  bits[rows_ / 8] = static_cast<unsigned char>(bits[rows_ / 8] & ~(1u << (rows_ % 8)));
  ++column.nulls;
}

inline void ArrowBatchBuilder::put_value(Column& column, const CellValue& cell) {
  switch (column.place) {
    case Column::Place::Value8: {
      std::uint64_t value = cell.bits;
      if (cell.state == CellValue::State::Null) {
        clear_valid(column);
        value = 0;  // a null's slot holds zero
      }
      std::memcpy(column.data.data + rows_ * 8, &value, 8);
      return;
    }
    case Column::Place::Value4: {
      auto days = static_cast<std::int32_t>(static_cast<std::uint32_t>(cell.bits));
      if (cell.state == CellValue::State::Null) {
        clear_valid(column);
        days = 0;
      }
      std::memcpy(column.data.data + rows_ * 4, &days, 4);
      return;
    }
    default: {
      if (cell.state == CellValue::State::Null) {
        clear_valid(column);
        return;
      }
      auto* bits = reinterpret_cast<unsigned char*>(column.data.data);
      const auto set = static_cast<unsigned>(cell.bits & 1u) << (rows_ % 8);
      bits[rows_ / 8] = static_cast<unsigned char>(bits[rows_ / 8] | set);
    }
  }
}

void ArrowBatchBuilder::append_typed(std::size_t index, Column& column, std::string_view text) {
  const ColumnType& type = *column.type;
  const CellClass kind = cell_class(text, types_->nulls);
  if (kind != CellClass::Value) {
    clear_valid(column);
    if (value_size(column.type) != 0) {
      std::memset(column.data.data + rows_ * value_size(column.type), 0, value_size(column.type));
    }
    return;
  }
  const std::string_view trimmed = trim_blanks(text);
  bool ok = false;
  char* slot = column.data.data + rows_ * value_size(column.type);
  switch (type.type) {
    case CellType::String:
      return;
    case CellType::Bool: {
      bool value = false;
      ok = read_bool(trimmed, value);
      if (ok && value) {
        auto* bits = reinterpret_cast<unsigned char*>(column.data.data);
        bits[rows_ / 8] = static_cast<unsigned char>(bits[rows_ / 8] | (1u << (rows_ % 8)));
      }
      break;
    }
    case CellType::Int64: {
      std::int64_t value = 0;
      ok = read_int64(trimmed, type.number, column.chosen, value);
      std::memcpy(slot, &value, 8);
      break;
    }
    case CellType::Float64: {
      double value = 0;
      ok = read_float64(trimmed, type.number, column.chosen, value);
      std::memcpy(slot, &value, 8);
      break;
    }
    case CellType::Date32: {
      std::int32_t value = 0;
      ok = read_date32(trimmed, type.date, value);
      std::memcpy(slot, &value, 4);
      break;
    }
    case CellType::Timestamp: {
      std::int64_t value = 0;
      // A UTC column the caller chose takes cells without an offset as UTC.
      ok = read_timestamp(trimmed, type.nanos, type.utc, column.chosen && type.utc, value);
      std::memcpy(slot, &value, 8);
      break;
    }
  }
  if (!ok) {
    clear_valid(column);
    ++nulled_[index];
    if (log_ != nullptr) {
      log_->add_to_row(static_cast<std::uint32_t>(index + 1), RepairAction::TypeNull,
                       static_cast<std::uint64_t>(type.type));
    }
  }
}

template <class Slot>
void ArrowBatchBuilder::set_null(Column& column) {
  if (!is_string(column.type)) {
    clear_valid(column);
    if (value_size(column.type) != 0) {
      std::memset(column.data.data + rows_ * value_size(column.type), 0, value_size(column.type));
    }
    return;
  }
  clear_valid(column);
  if constexpr (std::is_same_v<Slot, ViewCell>) {
    std::memset(column.offsets.data + rows_ * sizeof(ViewCell), 0, sizeof(ViewCell));
  } else {
    const auto end = static_cast<Slot>(column.data.size);
    std::memcpy(column.offsets.data + (rows_ + 1) * sizeof(Slot), &end, sizeof(Slot));
  }
}

template <class Slot>
void ArrowBatchBuilder::put_text(Column& column, std::size_t row, std::string_view text) {
  const char* bytes = text.data();
  const std::size_t size = text.size();
  Bytes& data = column.data;
  if constexpr (std::is_same_v<Slot, ViewCell>) {
    char* to = column.offsets.data + row * sizeof(ViewCell);
    if constexpr (std::endian::native == std::endian::little) {
      if (size <= kViewInline) {
        store_inline_cell(to, bytes, size);
        return;
      }
      data.grow_for(size);
      // The length, the first four bytes, buffer 0 and the offset.
      const std::uint64_t first =
          static_cast<std::uint32_t>(size) | std::uint64_t{load<std::uint32_t>(bytes)} << 32;
      const std::uint64_t second = std::uint64_t{static_cast<std::uint32_t>(data.size)} << 32;
      std::memcpy(to, &first, 8);
      std::memcpy(to + 8, &second, 8);
    } else {
      ViewCell cell;
      cell.size = static_cast<std::int32_t>(size);
      if (size <= kViewInline) {
        copy_field(cell.bytes, bytes, size);
        std::memcpy(to, &cell, sizeof(ViewCell));
        return;
      }
      data.grow_for(size);
      std::memcpy(cell.bytes, bytes, 4);
      const auto offset = static_cast<std::int32_t>(data.size);
      std::memcpy(cell.bytes + 8, &offset, 4);  // the buffer index before it stays 0
      std::memcpy(to, &cell, sizeof(ViewCell));
    }
    std::memcpy(data.data + data.size, bytes, size);
    data.size += size;
  } else {
    data.grow_for(size);
    copy_field(data.data + data.size, bytes, size);
    data.size += size;
    const auto end = static_cast<Slot>(data.size);
    std::memcpy(column.offsets.data + (row + 1) * sizeof(Slot), &end, sizeof(Slot));
  }
}

template <class Slot>
std::optional<std::size_t> ArrowBatchBuilder::open_row(RowView row) {
  if (row.size() > columns_.size()) {
    failed_ = true;
    failure_ = "a row is wider than the table's columns";
    return std::nullopt;
  }
  if (!started_) {
    start_batch();
  }
  std::size_t row_bytes = 0;
  for (const FieldView& field : row) {
    row_bytes += field.text.size();
  }
  if constexpr (sizeof(Slot) == 4 || std::is_same_v<Slot, ViewCell>) {
    // No string column holds more than the batch's bytes, so only a batch
    // near the limit needs each column looked at. Checked before anything
    // is written, so that a refused row leaves every column as it was.
    if (bytes_ + row_bytes > kInt32Max) {
      for (std::size_t i = 0; i < row.size(); ++i) {
        if (is_string(columns_[i].type) && columns_[i].data.size + row[i].text.size() > kInt32Max) {
          return std::nullopt;
        }
      }
    }
  }
  return row_bytes;
}

template <class Slot>
bool ArrowBatchBuilder::append(RowView row) {
  if (!types_) {
    return append_text<Slot>(row);
  }
  if (!open_row<Slot>(row)) {
    return false;
  }
  // Only the cells written count towards the batch's bytes: not the nulls
  // of string columns.
  std::size_t row_bytes = 0;
  for (std::size_t i = 0; i < row.size(); ++i) {
    Column& column = columns_[i];
    const std::string_view text = row[i].text;
    switch (column.place) {
      case Column::Place::Text:
        break;
      case Column::Place::NullableText:
        if (cell_class(text, types_->nulls) == CellClass::Null) {
          set_null<Slot>(column);
          continue;
        }
        break;
      default:
        // Nearly every cell was read while it was classified.
        if (values_ != nullptr && values_[i].state != CellValue::State::Unread) {
          put_value(column, values_[i]);
        } else {
          append_typed(i, column, text);
        }
        row_bytes += text.size();
        continue;
    }
    put_text<Slot>(column, rows_, text);
    row_bytes += text.size();
  }
  for (std::size_t i = row.size(); i < columns_.size(); ++i) {
    set_null<Slot>(columns_[i]);
  }
  ++rows_;
  bytes_ += row_bytes;
  return true;
}

template <class Slot>
bool ArrowBatchBuilder::append_text(RowView row) {
  const std::optional<std::size_t> row_bytes = open_row<Slot>(row);
  if (!row_bytes) {
    return false;
  }
  Column* column = columns_.data();
  for (const FieldView& field : row) {
    put_text<Slot>(*column, rows_, field.text);
    ++column;
  }
  for (std::size_t i = row.size(); i < columns_.size(); ++i) {
    set_null<Slot>(columns_[i]);
  }
  ++rows_;
  bytes_ += *row_bytes;
  return true;
}

void ArrowBatchBuilder::kept(RowView row, std::size_t /*start*/) {
  if (failed_) {
    return;
  }
  const auto append_row = [&] {
    switch (width_) {
      case StringWidth::Utf8:
        return append<std::int32_t>(row);
      case StringWidth::LargeUtf8:
        return append<std::int64_t>(row);
      case StringWidth::View:
        return append<ViewCell>(row);
    }
    return false;
  };
  bool appended = append_row();
  if (!appended && !failed_ && rows_ > 0) {
    // 32-bit offsets would overflow: the row opens the next batch instead.
    close_batch();
    appended = append_row();
  }
  if (!appended) {
    if (!failed_) {
      failed_ = true;
      failure_ = width_ == StringWidth::View
                     ? "a field is too large for a string view; string_layout='large_string' "
                       "holds it"
                     : "a field is too large for 32-bit string offsets";
    }
    return;
  }
  if (rows_ >= limits_.max_rows || bytes_ >= limits_.max_bytes) {
    close_batch();
  }
}

void ArrowBatchBuilder::flush() {
  if (rows_ > 0) {
    close_batch();
  }
}

void ArrowBatchBuilder::close_batch() {
  const std::size_t offset_size = slot_size(width_);
  const auto length = static_cast<int64_t>(rows_);
  // Everything that can fail is allocated before any buffer changes hands.
  auto batch = std::make_unique<BatchArrayData>();
  batch->children.resize(columns_.size());
  batch->pointers.resize(columns_.size());
  std::vector<std::unique_ptr<ColumnArrayData>> column_data(columns_.size());
  for (auto& data : column_data) {
    data = std::make_unique<ColumnArrayData>();
  }
  ready_.emplace_back();

  for (std::size_t i = 0; i < columns_.size(); ++i) {
    Column& column = columns_[i];
    column.data_hint = column.data.size;
    column.offsets.size = (width_ == StringWidth::View ? rows_ : rows_ + 1) * offset_size;
    column.validity.size = std::min(column.validity.size, rows_ / 8 + 1);
    ColumnArrayData* data = column_data[i].release();
    data->buffers[0] =
        column.nulls > 0 ? column.validity.release_shrunk(data->lengths[0]) : nullptr;
    column.validity.free();
    int64_t buffers = 3;
    if (is_string(column.type)) {
      data->buffers[1] = column.offsets.release_shrunk(data->lengths[1]);
      data->variadic_size = static_cast<std::int64_t>(column.data.size);
      data->buffers[2] = column.data.release_shrunk(data->lengths[2]);
      if (width_ == StringWidth::View) {
        data->buffers[3] = &data->variadic_size;
        buffers = 4;
      }
    } else {
      const std::size_t size = value_size(column.type);
      column.data.size = size == 0 ? rows_ / 8 + 1 : rows_ * size;
      data->buffers[1] = column.data.release_shrunk(data->lengths[1]);
      buffers = 2;
    }
    batch->children[i] = ArrowArray{length, static_cast<int64_t>(column.nulls), 0, buffers, 0,
                                    data->buffers, nullptr, nullptr, &release_column_array, data};
    batch->pointers[i] = &batch->children[i];
    column.nulls = 0;
  }
  ready_.back() = ArrowArray{length, 0, 0, 1, static_cast<int64_t>(columns_.size()),
                             batch->buffers, batch->pointers.data(), nullptr,
                             &release_batch_array, batch.get()};
  static_cast<void>(batch.release());
  rows_ = 0;
  bytes_ = 0;
  started_ = false;
}

bool ArrowBatchBuilder::take_ready(ArrowArray* out) noexcept {
  if (ready_.empty()) {
    return false;
  }
  *out = ready_.front();
  ready_.pop_front();
  return true;
}

}  // namespace vornish
