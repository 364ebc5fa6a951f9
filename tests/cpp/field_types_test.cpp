#include "heuristics/field_types.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <iterator>
#include <random>
#include <regex>
#include <string>
#include <string_view>
#include <vector>

namespace vornish {
namespace {

ColumnType infer(std::initializer_list<std::string_view> cells, FormatHints hints = {}) {
  ColumnCounts counts;
  const NullMarkers nulls;
  for (std::string_view cell : cells) {
    if (cell_class(cell, nulls) == CellClass::Value) {
      counts.add(classify_field(trim_blanks(cell)));
    }
  }
  return infer_column_type(counts, hints);
}

TEST(FieldTypes, ColumnTypesFollowTheWholeColumn) {
  EXPECT_EQ(infer({"1", "-2", " 3 "}).type, CellType::Int64);
  EXPECT_EQ(infer({"1", "2.5"}).type, CellType::Float64);
  EXPECT_EQ(infer({"1", "007"}).type, CellType::String);
  EXPECT_EQ(infer({"9223372036854775807"}).type, CellType::Int64);
  EXPECT_EQ(infer({"9223372036854775808"}).type, CellType::String);
  EXPECT_EQ(infer({"-9223372036854775808"}).type, CellType::Int64);
  EXPECT_EQ(infer({"true", "False"}).type, CellType::Bool);
  EXPECT_EQ(infer({"", "NA", "  "}).type, CellType::String);
  EXPECT_EQ(infer({"1,234", "5,678"}).type, CellType::String);
  EXPECT_EQ(infer({"1,234", "5,678"}, {'.', std::nullopt, std::nullopt}),
            (ColumnType{CellType::Int64, NumberFormat::PointComma}));
  EXPECT_EQ(infer({"1,234", "5,678"}, {',', std::nullopt, std::nullopt}),
            (ColumnType{CellType::Float64, NumberFormat::Comma}));
  EXPECT_EQ(infer({"1.234.567,5", "2"}), (ColumnType{CellType::Float64, NumberFormat::CommaDot}));
  EXPECT_EQ(infer({"1 234,5", "2"}), (ColumnType{CellType::Float64, NumberFormat::CommaBlank}));
  EXPECT_EQ(infer({"1,234.5", "12345.5"}).type, CellType::String);
  EXPECT_EQ(infer({"13/01/2024", "1/2/2024"}),
            (ColumnType{CellType::Date32, NumberFormat::Point, DateFormat::DmySlash}));
  EXPECT_EQ(infer({"01/02/2024"}).type, CellType::String);
  EXPECT_EQ(infer({"2024-01-01T00:00:00.1234567"}).nanos, true);
  EXPECT_EQ(infer({"2024-01-01T00:00:00Z", "2024-01-01 00:00:00+01:00"}).utc, true);
  EXPECT_EQ(infer({"2024-01-01T00:00:00Z", "2024-01-01 00:00:00"}).type, CellType::String);
  // Nanoseconds since 1970 end in 2262.
  EXPECT_EQ(infer({"2300-01-01T00:00:00.1234567"}).type, CellType::String);
  EXPECT_EQ(infer({"2300-01-01T00:00:00.123456"}).type, CellType::Timestamp);
}

TEST(FieldTypes, FloatsAreCorrectlyRounded) {
  double v = 0;
  ASSERT_TRUE(read_float64("0.1", NumberFormat::Point, false, v));
  EXPECT_EQ(v, 0.1);
  ASSERT_TRUE(read_float64("1e400", NumberFormat::Point, false, v));
  EXPECT_TRUE(std::isinf(v) && v > 0);
  ASSERT_TRUE(read_float64("-1e-400", NumberFormat::Point, false, v));
  EXPECT_TRUE(v == 0 && std::signbit(v));
  ASSERT_TRUE(read_float64("-0.0001e-320", NumberFormat::Point, false, v));
  EXPECT_TRUE(v == 0);
  ASSERT_TRUE(read_float64("1.234.567,25", NumberFormat::CommaDot, false, v));
  EXPECT_EQ(v, 1234567.25);
  ASSERT_TRUE(read_float64("+InFiNiTy", NumberFormat::Comma, false, v));
  EXPECT_TRUE(std::isinf(v));
  EXPECT_FALSE(read_float64("1e", NumberFormat::Point, false, v));
  EXPECT_FALSE(read_float64(".", NumberFormat::Point, false, v));
  EXPECT_FALSE(read_float64("1_000", NumberFormat::Point, false, v));
}

TEST(FieldTypes, ChosenTypesReadLeniently) {
  std::int64_t i = 0;
  EXPECT_FALSE(read_int64("007", NumberFormat::Point, false, i));
  ASSERT_TRUE(read_int64("007", NumberFormat::Point, true, i));
  EXPECT_EQ(i, 7);
  EXPECT_FALSE(read_int64("12345", NumberFormat::PointComma, false, i));
  ASSERT_TRUE(read_int64("12345", NumberFormat::PointComma, true, i));
  EXPECT_FALSE(read_int64("1,23", NumberFormat::PointComma, true, i));
  std::int32_t d = 0;
  ASSERT_TRUE(read_date32("1970-01-02", DateFormat::Iso, d));
  EXPECT_EQ(d, 1);
  ASSERT_TRUE(read_date32("29.02.2000", DateFormat::DmyDot, d));
  EXPECT_FALSE(read_date32("29.02.1900", DateFormat::DmyDot, d));
  std::int64_t t = 0;
  ASSERT_TRUE(read_timestamp("1970-01-01T01:00:00+01:00", false, true, false, t));
  EXPECT_EQ(t, 0);
  ASSERT_TRUE(read_timestamp("1969-12-31 23:59:59.5", false, false, false, t));
  EXPECT_EQ(t, -500000);
  EXPECT_FALSE(read_timestamp("1970-01-01T00:00:00Z", false, false, false, t));
  ASSERT_TRUE(read_timestamp("1970-01-01T00:00:00", true, true, true, t));
}

// Cells around the edges of the one-pass readers: where they must hand
// over to the exact path, and where their answer must be the exact one.
constexpr std::string_view kEdgeCells[] = {
    "0", "+0", "-0", "00", "007", "7", "-7", "+7", "123", "1234", "999999999999999999",
    "9223372036854775807", "9223372036854775808", "-9223372036854775808", "99999999999999999999",
    "0.0", "-0.0", "5.", ".5", "1.e5", "00.5", "1.234", "-1.234", "123.456", "1234.567", "1.2345",
    "12.50", "2782.02", "9007199254740992", "9007199254740993", "9007199254740993.0",
    "1e22", "1e23", "1.5e-22", "1e-23", "4.9e-324", "1e999", "1e0000", "1e", "1e+", "-1.251428e-02",
    "1,234", "1 234,5", "1.234.567,5", "inf", "-NaN", "true", "FALSE", "t",
    "2024-02-29", "2023-02-29", "2024-13-01", "2024-1-1", "13/01/2024", "01.02.2024",
    "2024-01-01T10:00:00", "2024-01-01 10:00:00.1234567", "2024-01-01t10:00:00+01:00",
    "2024-01-01T24:00:00", "2300-01-01T00:00:00.1234567", "2024-01-01X10:00:00", "2024-1-01T10:00:00",
};

TEST(FieldTypes, NarrowedClassificationAgreesOnTheReadingsLeft) {
  // Every reading a column can still have, alone and in the sets a column
  // narrows to; the facts count wherever a wanted reading is there.
  constexpr FieldMask kFacts = bit(kHasSeparator) | bit(kStampNanos) | bit(kStampBeyondNanos);
  std::vector<FieldMask> wanted = {
      bit(kNumPoint) | bit(kIntPlain),
      bit(kNumPoint) | bit(kNumPointComma),
      bit(kNumPoint) | bit(kIntPlain) | bit(kNumPointComma) | bit(kIntCommaGroups),
      bit(kNumPoint) | bit(kIntPlain) | bit(kNumComma),
      bit(kStampNaive) | bit(kStampOffset),
      bit(kHasSeparator) - 1,
  };
  for (unsigned b = 0; b < kHasSeparator; ++b) {
    wanted.push_back(FieldMask{1} << b);
  }
  for (const std::string_view cell : kEdgeCells) {
    const FieldMask all = classify_field(cell);
    for (const FieldMask w : wanted) {
      const FieldMask got = classify_field_among(cell, w);
      EXPECT_EQ(got & w, all & w) << cell << " among " << w;
      if ((all & w) != 0) {
        EXPECT_EQ(got & kFacts, all & kFacts) << cell << " among " << w;
      }
    }
  }
}

TEST(FieldTypes, NumbersReadAsTheCLibraryReadsThem) {
  // glibc's strtod rounds correctly, as Python's float() does.
  for (const std::string_view cell : kEdgeCells) {
    const std::string text(cell);
    double v = 0;
    const bool strict = (classify_field(cell) & bit(kNumPoint)) != 0;
    ASSERT_EQ(read_float64(cell, NumberFormat::Point, false, v), strict) << cell;
    if (strict && !std::isnan(v)) {
      const double expected = std::strtod(text.c_str(), nullptr);
      EXPECT_EQ(std::memcmp(&v, &expected, sizeof v), 0) << cell;
    }
    std::int64_t i = 0;
    const bool integer = (classify_field(cell) & bit(kIntPlain)) != 0;
    ASSERT_EQ(read_int64(cell, NumberFormat::Point, false, i), integer) << cell;
    if (integer) {
      EXPECT_EQ(i, std::strtoll(text.c_str(), nullptr, 10)) << cell;
    }
  }
}

TEST(FieldTypes, RandomDecimalsRoundCorrectly) {
  std::mt19937_64 rng(25);
  for (int k = 0; k < 200000; ++k) {
    std::string text = rng() % 3 == 0 ? "-" : "";
    const std::size_t int_digits = 1 + rng() % 12;
    text += static_cast<char>('1' + rng() % 9);
    for (std::size_t d = 1; d < int_digits; ++d) {
      text += static_cast<char>('0' + rng() % 10);
    }
    if (rng() % 4 != 0) {
      text += '.';
      for (std::size_t d = rng() % 10; d > 0; --d) {
        text += static_cast<char>('0' + rng() % 10);
      }
    }
    if (rng() % 2 == 0) {
      text += 'e' + std::to_string(static_cast<int>(rng() % 60) - 30);
    }
    double v = 0;
    ASSERT_TRUE(read_float64(text, NumberFormat::Point, false, v)) << text;
    const double expected = std::strtod(text.c_str(), nullptr);
    ASSERT_EQ(std::memcmp(&v, &expected, sizeof v), 0) << text;
  }
}

// What a column's own reader gives the cell, as CellValue bits.
bool read_as(std::string_view cell, const ColumnType& as, std::uint64_t& bits) {
  bits = 0;
  switch (as.type) {
    case CellType::Bool: {
      bool v = false;
      const bool ok = read_bool(cell, v);
      bits = v ? 1 : 0;
      return ok;
    }
    case CellType::Int64: {
      std::int64_t v = 0;
      const bool ok = read_int64(cell, as.number, false, v);
      bits = static_cast<std::uint64_t>(v);
      return ok;
    }
    case CellType::Float64: {
      double v = 0;
      const bool ok = read_float64(cell, as.number, false, v);
      std::memcpy(&bits, &v, sizeof v);
      return ok;
    }
    case CellType::Date32: {
      std::int32_t v = 0;
      const bool ok = read_date32(cell, as.date, v);
      bits = static_cast<std::uint32_t>(v);
      return ok;
    }
    case CellType::Timestamp: {
      std::int64_t v = 0;
      const bool ok = read_timestamp(cell, as.nanos, as.utc, false, v);
      bits = static_cast<std::uint64_t>(v);
      return ok;
    }
    case CellType::String:
      break;
  }
  return false;
}

// Texts in the shapes the word-at-a-time readers take, each also with one
// byte changed, dropped or doubled: every edge of a word (a digit run
// ending on its last byte or just past it, a separator one place off, a
// high or NUL byte inside it).
std::vector<std::string> word_shaped_cells(std::size_t count, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  const auto digits = [&rng](std::size_t n) {
    std::string d;
    for (std::size_t i = 0; i < n; ++i) {
      d += static_cast<char>('0' + rng() % 10);
    }
    return d;
  };
  const auto two = [&rng](unsigned below) {
    const unsigned v = static_cast<unsigned>(rng() % below);
    return std::string{static_cast<char>('0' + v / 10), static_cast<char>('0' + v % 10)};
  };
  static constexpr char kBytes[] = {'0', '9', '.', '-', ':', 'e', 'E', '+', 'T', 't', ' ',
                                    'Z', '/', 'a', '\0', '\x7f', '\xff', '\x80', '5'};
  std::vector<std::string> cells;
  while (cells.size() < count) {
    std::string text;
    switch (rng() % 5) {
      case 0:
        text = (rng() % 4 == 0 ? "-" : "") + digits(1 + rng() % 21);
        break;
      case 1:
        text = (rng() % 4 == 0 ? "-" : "") + digits(rng() % 12) + "." + digits(rng() % 12);
        if (rng() % 3 == 0) {
          text += (rng() % 2 == 0 ? "e" : "E") + std::string(rng() % 2 == 0 ? "-" : "") +
                  digits(1 + rng() % 3);
        }
        break;
      case 2:
        text = digits(4) + "-" + two(13) + "-" + two(32);
        break;
      case 3:
        text = digits(4) + "-" + two(13) + "-" + two(32) + "T "[rng() % 2] + two(25) + ":" +
               two(61) + ":" + two(61);
        if (rng() % 2 == 0) {
          text += "." + digits(1 + rng() % 10);
        }
        if (rng() % 3 == 0) {
          text += rng() % 2 == 0 ? std::string("Z") : "+-"[rng() % 2] + two(25) + ":" + two(60);
        }
        break;
      default:
        text = std::string(rng() % 2 == 0 ? "tRuE" : "False").substr(0, 4 + rng() % 2);
        break;
    }
    cells.push_back(text);
    for (int k = 0; k < 3 && !text.empty(); ++k) {
      std::string changed = text;
      const std::size_t at = rng() % changed.size();
      switch (rng() % 3) {
        case 0:
          changed[at] = kBytes[rng() % sizeof kBytes];
          break;
        case 1:
          changed.erase(at, 1);
          break;
        default:
          changed.insert(at, 1, changed[at]);
          break;
      }
      cells.push_back(changed);
    }
  }
  return cells;
}

// The rules written out once more, apart from the readers: which texts read
// as each type, and as what.
bool reference_int64(const std::string& t, std::int64_t& out) {
  static const std::regex shape("[+-]?(0|[1-9][0-9]*)");
  if (!std::regex_match(t, shape) || t == "-0") {
    return false;
  }
  errno = 0;
  out = std::strtoll(t.c_str(), nullptr, 10);
  return errno == 0;
}

bool reference_float64(const std::string& t, double& out) {
  static const std::regex shape("[+-]?(0|[1-9][0-9]*)?(\\.[0-9]*)?([eE][+-]?[0-9]+)?");
  static const std::regex digits_only("[+-]?[0-9]+");
  std::int64_t ignored = 0;
  if (!std::regex_match(t, shape) || t.substr(0, t.find_first_of("eE")).find_first_of("0123456789") == std::string::npos ||
      (std::regex_match(t, digits_only) && !reference_int64(t, ignored) && t != "-0")) {
    return false;
  }
  out = std::strtod(t.c_str(), nullptr);
  return true;
}

std::int64_t reference_days(int y, unsigned m, unsigned d) {
  using namespace std::chrono;
  return sys_days(year_month_day(year(y), month(m), day(d))).time_since_epoch().count();
}

bool reference_date(const std::string& t, std::int32_t& out) {
  static const std::regex shape("([0-9]{4})-([0-9]{1,2})-([0-9]{1,2})");
  std::smatch m;
  if (!std::regex_match(t, m, shape)) {
    return false;
  }
  const int y = std::stoi(m[1]);
  const auto mo = static_cast<unsigned>(std::stoi(m[2]));
  const auto d = static_cast<unsigned>(std::stoi(m[3]));
  using namespace std::chrono;
  if (y < 1 || !year_month_day(year(y), month(mo), day(d)).ok()) {
    return false;
  }
  out = static_cast<std::int32_t>(reference_days(y, mo, d));
  return true;
}

bool reference_stamp(const std::string& t, bool nanos, bool offsets, std::int64_t& out) {
  static const std::regex shape(
      "([0-9]{4}-[0-9]{1,2}-[0-9]{1,2})[Tt ]([0-9]{2}):([0-9]{2}):([0-9]{2})"
      "(\\.([0-9]{1,9}))?(([Zz])|([+-])([0-9]{2}):([0-9]{2}))?");
  std::smatch m;
  std::int32_t days = 0;
  if (!std::regex_match(t, m, shape) || !reference_date(m[1], days)) {
    return false;
  }
  const int h = std::stoi(m[2]);
  const int mi = std::stoi(m[3]);
  const int s = std::stoi(m[4]);
  std::string fraction = m[6];
  const bool offset = m[7].matched;
  if (h > 23 || mi > 59 || s > 59 || offset != offsets || (!nanos && fraction.size() > 6)) {
    return false;
  }
  std::int64_t shift = 0;
  if (m[9].matched) {
    const int oh = std::stoi(m[10]);
    const int om = std::stoi(m[11]);
    if (oh > 23 || om > 59) {
      return false;
    }
    shift = (m[9] == "-" ? -1 : 1) * (oh * 3600 + om * 60);
  }
  fraction.resize(9, '0');
  const std::int64_t seconds = std::int64_t{days} * 86400 + h * 3600 + mi * 60 + s - shift;
  const std::int64_t ns = std::stoll(fraction);
  if (!nanos) {
    out = seconds * 1000000 + ns / 1000;
    return true;
  }
  return !__builtin_mul_overflow(seconds, std::int64_t{1000000000}, &out) &&
         !__builtin_add_overflow(out, ns, &out);
}

TEST(FieldTypes, WordAtATimeReadersFollowTheWrittenRules) {
  for (const std::string& cell : word_shaped_cells(40000, 2525)) {
    std::int64_t i = 0;
    std::int64_t want_i = 0;
    const bool is_int = reference_int64(cell, want_i);
    ASSERT_EQ(read_int64(cell, NumberFormat::Point, false, i), is_int) << cell;
    if (is_int) {
      ASSERT_EQ(i, want_i) << cell;
    }
    double f = 0;
    double want_f = 0;
    const bool is_float = reference_float64(cell, want_f);
    ASSERT_EQ(read_float64(cell, NumberFormat::Point, false, f), is_float) << cell;
    if (is_float) {
      ASSERT_EQ(std::memcmp(&f, &want_f, sizeof f), 0) << cell;
    }
    std::int32_t d = 0;
    std::int32_t want_d = 0;
    const bool is_date = reference_date(cell, want_d);
    ASSERT_EQ(read_date32(cell, DateFormat::Iso, d), is_date) << cell;
    if (is_date) {
      ASSERT_EQ(d, want_d) << cell;
    }
    for (const bool nanos : {false, true}) {
      for (const bool offsets : {false, true}) {
        std::int64_t s = 0;
        std::int64_t want_s = 0;
        const bool is_stamp = reference_stamp(cell, nanos, offsets, want_s);
        ASSERT_EQ(read_timestamp(cell, nanos, offsets, false, s), is_stamp) << cell;
        if (is_stamp) {
          ASSERT_EQ(s, want_s) << cell;
        }
      }
    }
    bool b = false;
    std::string folded = cell;
    for (char& c : folded) {
      c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    ASSERT_EQ(read_bool(cell, b), folded == "true" || folded == "false") << cell;
    if (folded == "true" || folded == "false") {
      ASSERT_EQ(b, folded == "true") << cell;
    }
    // What a narrowed classification keeps agrees with the full one, whose
    // numbers are scanned by the general scanner.
    const FieldMask all = classify_field(cell);
    ASSERT_EQ((all & bit(kNumPoint)) != 0, is_float) << cell;
    ASSERT_EQ((all & bit(kIntPlain)) != 0, is_int) << cell;
    for (const FieldMask w : {bit(kNumPoint), bit(kNumPoint) | bit(kIntPlain),
                              bit(kNumPoint) | bit(kIntPlain) | bit(kNumComma), bit(kDateIso),
                              bit(kStampNaive), bit(kBool)}) {
      ASSERT_EQ(classify_field_among(cell, w) & w, all & w) << cell << " among " << w;
    }
  }
}

std::vector<std::string> differential_cells() {
  std::vector<std::string> cells(std::begin(kEdgeCells), std::end(kEdgeCells));
  for (const char* extra :
       {"2024-12-31", "2023-02-28", "2000-02-29", "1900-02-29", "1900-02-28", "0001-01-01",
        "9999-12-31", "1969-12-31", "-1.5e-308", "2.2250738585072014e-308", "1.7976931348623157e308",
        "123456789012345678", "-123456789012345678", "1234567890123456789", "4503599627370497.5",
        "0.30000000000000004", "1e-22", "-9.999999e22", "1.000000000000000000001", "1.5E+3",
        "-3.456789e-01", "1,234.5", "1.234", "12.345,6", "1969-12-31T23:59:59.999999",
        "2262-04-11T23:47:16.854775807", "2262-04-11T23:47:16.854775808", "1677-09-21T00:12:43.1",
        "2024-01-01T00:00:00Z", "2024-01-01T00:00:00-23:59", "2024-03-01 12:00:00.5",
        "True", "false", "tRuE"}) {
    cells.emplace_back(extra);
  }
  std::mt19937_64 rng(2512);
  for (int k = 0; k < 3000; ++k) {
    std::string text = rng() % 3 == 0 ? "-" : "";
    text += std::to_string(rng() % 100000000);
    if (rng() % 2 == 0) {
      text += '.' + std::to_string(rng() % 1000000);
    }
    if (rng() % 3 == 0) {
      text += 'e' + std::to_string(static_cast<int>(rng() % 50) - 25);
    }
    cells.push_back(text);
    char date[32];
    std::snprintf(date, sizeof date, "%04d-%02d-%02d", static_cast<int>(1 + rng() % 9999),
                  static_cast<int>(1 + rng() % 12), static_cast<int>(1 + rng() % 31));
    cells.emplace_back(date);
    std::snprintf(date + 10, sizeof date - 10, "T%02d:%02d:%02d.%0*d%s",
                  static_cast<int>(rng() % 24), static_cast<int>(rng() % 60),
                  static_cast<int>(rng() % 60), static_cast<int>(1 + rng() % 9),
                  static_cast<int>(rng() % 10), rng() % 2 == 0 ? "Z" : "");
    cells.emplace_back(date);
  }
  for (std::string& cell : word_shaped_cells(3000, 2526)) {
    cells.push_back(std::move(cell));
  }
  return cells;
}

TEST(FieldTypes, ClassifyingAndReadingGivesTheReadersValues) {
  // The value handed on while a cell is classified must be, bit for bit,
  // what the column's own reader gives it, and the classification the same
  // as without reading; a cell the quick shapes leave unread is read later.
  std::vector<ColumnType> types = {{CellType::Bool},
                                   {CellType::Date32, NumberFormat::Point, DateFormat::Iso},
                                   {CellType::Date32, NumberFormat::Point, DateFormat::DmySlash},
                                   {CellType::Timestamp},
                                   {CellType::Timestamp, NumberFormat::Point, DateFormat::Iso, true},
                                   {CellType::Timestamp, NumberFormat::Point, DateFormat::Iso, false,
                                    true},
                                   {CellType::Timestamp, NumberFormat::Point, DateFormat::Iso, true,
                                    true}};
  for (std::size_t f = 0; f < kNumberFormats; ++f) {
    types.push_back({CellType::Int64, static_cast<NumberFormat>(f)});
    types.push_back({CellType::Float64, static_cast<NumberFormat>(f)});
  }
  std::vector<FieldMask> wanted = {0,
                                   bit(kHasSeparator) - 1,
                                   bit(kNumPoint) | bit(kIntPlain),
                                   bit(kNumPoint) | bit(kNumPointComma),
                                   bit(kIntPlain) | bit(kNumComma) | bit(kNumCommaDot),
                                   bit(kStampNaive) | bit(kStampOffset)};
  for (unsigned b = 0; b < kHasSeparator; ++b) {
    wanted.push_back(FieldMask{1} << b);
  }
  std::size_t read = 0;
  for (const std::string& cell : differential_cells()) {
    for (const ColumnType& as : types) {
      for (const FieldMask w : wanted) {
        CellValue value;
        value.state = CellValue::State::Null;
        ASSERT_EQ(classify_and_read(cell, w, as, value), classify_field_among(cell, w)) << cell;
        ASSERT_NE(value.state, CellValue::State::Null) << cell;
        if (value.state == CellValue::State::Value) {
          ++read;
          std::uint64_t expected = 0;
          ASSERT_TRUE(read_as(cell, as, expected)) << cell;
          ASSERT_EQ(value.bits, expected) << cell << " as " << static_cast<int>(as.type);
        }
      }
    }
  }
  EXPECT_GT(read, 20000u);  // the quick shapes are met, not only the fallback
}

}  // namespace
}  // namespace vornish
