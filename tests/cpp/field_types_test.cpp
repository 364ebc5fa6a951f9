#include "heuristics/field_types.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <initializer_list>
#include <string_view>

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

}  // namespace
}  // namespace vornish
