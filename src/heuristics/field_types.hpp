// What type a field's text can be read as, and reading it as that type.
//
// Pure functions of a byte view: nothing here allocates, keeps state
// between calls or knows about rows and files. A column's type is chosen
// from counts over all its cells (ColumnCounts), which add up across
// chunks in any order, so a file scanned on several threads settles the
// same types as one scanned on one.
//
// A cell is typed only where reading it back gives the same content: a
// leading zero (`007`), an integer beyond 64 bits, a date that fits two
// orders or a number that reads two ways keeps its column a string.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vornish {

// One bit per reading of a cell; a column takes a reading only when every
// one of its values has that bit.
enum FieldBit : unsigned {
  kBool,
  // Integers, by thousands separator: none, `,`, `.`, blank.
  kIntPlain,
  kIntCommaGroups,
  kIntDotGroups,
  kIntBlankGroups,
  // Numbers (integers included), by NumberFormat.
  kNumPoint,
  kNumPointComma,
  kNumComma,
  kNumCommaDot,
  kNumCommaBlank,
  // Dates, by DateFormat.
  kDateIso,
  kDateYmdSlash,
  kDateDmyDot,
  kDateDmySlash,
  kDateMdySlash,
  kStampNaive,
  kStampOffset,
  // Not readings but facts a column needs: a number holding `.`, `,` or a
  // blank (which reads differently with a decimal point or comma); a
  // timestamp with more than six fraction digits; one that nanoseconds
  // since 1970 in 64 bits cannot hold.
  kHasSeparator,
  kStampNanos,
  kStampBeyondNanos,
  kFieldBitCount,
};

using FieldMask = std::uint32_t;

constexpr FieldMask bit(FieldBit b) noexcept { return FieldMask{1} << b; }

// The decimal mark and thousands separator of a column's numbers.
enum class NumberFormat : std::uint8_t { Point, PointComma, Comma, CommaDot, CommaBlank };
inline constexpr std::size_t kNumberFormats = 5;

enum class DateFormat : std::uint8_t { Iso, YmdSlash, DmyDot, DmySlash, MdySlash };
inline constexpr std::size_t kDateFormats = 5;

enum class CellType : std::uint8_t { String, Bool, Int64, Float64, Date32, Timestamp };

struct ColumnType {
  CellType type = CellType::String;
  NumberFormat number = NumberFormat::Point;
  DateFormat date = DateFormat::Iso;
  bool nanos = false;  // timestamps: nanoseconds, otherwise microseconds
  bool utc = false;    // timestamps: the cells carry offsets; time zone UTC
  bool operator==(const ColumnType&) const = default;
};

// Blanks around a typed value are formatting: spaces and tabs.
constexpr bool is_type_blank(char c) noexcept { return c == ' ' || c == '\t'; }

// Inline, as the next two: both run once per cell of the table.
inline std::string_view trim_blanks(std::string_view text) noexcept {
  std::size_t b = 0;
  std::size_t e = text.size();
  while (b < e && is_type_blank(text[b])) {
    ++b;
  }
  while (e > b && is_type_blank(text[e - 1])) {
    --e;
  }
  return text.substr(b, e - b);
}

// The texts that stand for a missing value.
class NullMarkers {
 public:
  // NA, N/A, n/a, NULL, null, None, #N/A (and the empty cell, always).
  NullMarkers();
  explicit NullMarkers(std::vector<std::string> markers);
  bool matches(std::string_view text) const noexcept {
    if (text.empty() || text.size() > longest_) {
      return false;  // the empty cell is null without being a marker
    }
    const auto first = static_cast<unsigned char>(text.front());
    return ((first_bytes_[first / 64] >> (first % 64)) & 1) != 0 && listed(text);
  }

 private:
  bool listed(std::string_view text) const noexcept;

  std::vector<std::string> markers_;
  std::size_t longest_ = 0;
  std::array<std::uint64_t, 4> first_bytes_{};  // the markers' first bytes
};

// How a cell counts for its column.
enum class CellClass : std::uint8_t {
  Null,   // empty, or a null marker: null in every column
  Blank,  // blanks only, or a marker within blanks: null in typed columns, text otherwise
  Value,
};

// cell_class, leaving `text` trimmed when it is a value.
inline CellClass cell_class_trimming(std::string_view& text, const NullMarkers& nulls) noexcept {
  if (text.empty() || nulls.matches(text)) {
    return CellClass::Null;
  }
  if (!is_type_blank(text.front()) && !is_type_blank(text.back())) {
    return CellClass::Value;
  }
  text = trim_blanks(text);
  return text.empty() || nulls.matches(text) ? CellClass::Blank : CellClass::Value;
}

inline CellClass cell_class(std::string_view text, const NullMarkers& nulls) noexcept {
  return cell_class_trimming(text, nulls);
}

// The readings of a value's trimmed text.
FieldMask classify_field(std::string_view trimmed) noexcept;

// The same on every bit of `wanted` (and on the facts, where one of those
// is set), faster where a column has few readings left; bits outside
// `wanted` may be missing, which cannot change what a column of cells all
// outside them settles as.
FieldMask classify_field_among(std::string_view trimmed, FieldMask wanted) noexcept;

// A cell as the type its column is being built as reads it, found while
// the cell was classified, so that the builder need not parse it again.
// `Unread` leaves the cell to the builder's own reading (a cell outside the
// classifier's quick shapes, or one that does not read as the type).
struct CellValue {
  enum class State : std::uint8_t { Unread, Null, Value };
  State state = State::Unread;
  // The value's bytes: int64, a double's bits, int32 days, or 0/1.
  std::uint64_t bits = 0;
};

// classify_field_among, and the value of the cell as `as` reads it, when
// a column is built as `as`: `out` is then exactly what read_bool,
// read_int64, read_float64, read_date32 or read_timestamp give (strictly),
// or Unread. The lenient readings of a chosen type only read more cells,
// never a cell differently.
FieldMask classify_and_read(std::string_view trimmed, FieldMask wanted, const ColumnType& as,
                            CellValue& out) noexcept;

// What the cells of one column can be, counted; adds up across chunks.
struct ColumnCounts {
  std::uint64_t values = 0;
  std::array<std::uint64_t, kFieldBitCount> bits{};

  void add(FieldMask mask, std::uint64_t times = 1) noexcept {
    values += times;
    while (mask != 0) {
      bits[static_cast<std::size_t>(__builtin_ctz(mask))] += times;
      mask &= mask - 1;
    }
  }
  void merge(const ColumnCounts& other) noexcept;
  bool all(FieldBit b) const noexcept { return bits[b] == values; }
};

// What the caller says about number and date formats.
struct FormatHints {
  std::optional<char> decimal;    // '.' or ','
  std::optional<char> thousands;  // ',', '.', ' ', or '\0' for none
  std::optional<DateFormat> date;
};

// The narrowest type every value of the column reads as, with one format;
// a string when there is none, or when two readings would disagree.
ColumnType infer_column_type(const ColumnCounts& counts, const FormatHints& hints) noexcept;

// The readings a column of a type the caller chose is counted on: those
// complete_column_type weighs its formats by, and the type's own, which
// hand its cells' values on (see classify_and_read).
FieldMask chosen_readings(CellType chosen) noexcept;

// A type the caller chose, with the formats its cells read in best (or the
// hinted ones).
ColumnType complete_column_type(CellType chosen, bool nanos, bool utc, const ColumnCounts& counts,
                                const FormatHints& hints) noexcept;

// Readers of trimmed text; false when it does not read as that type.
// `lenient` integers allow leading zeros (a type the caller chose).
bool read_bool(std::string_view text, bool& out) noexcept;
bool read_int64(std::string_view text, NumberFormat format, bool lenient,
                std::int64_t& out) noexcept;
// Python's float() of the text with the format's separators taken out.
bool read_float64(std::string_view text, NumberFormat format, bool lenient, double& out) noexcept;
// Days since 1970-01-01.
bool read_date32(std::string_view text, DateFormat format, std::int32_t& out) noexcept;
// Since 1970-01-01T00:00:00 UTC. `offsets`: cells must carry an offset
// (`Z` or ±hh:mm); otherwise they must not, unless `either`.
bool read_timestamp(std::string_view text, bool nanos, bool offsets, bool either,
                    std::int64_t& out) noexcept;

}  // namespace vornish
