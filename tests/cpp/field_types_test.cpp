#include "heuristics/field_types.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <random>
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

}  // namespace
}  // namespace vornish
