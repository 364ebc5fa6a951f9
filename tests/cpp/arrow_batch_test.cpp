// Tests of the Arrow batch builder, the schema export and the batch source.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "engine/arrow_batch.hpp"
#include "engine/batch_source.hpp"

namespace vornish {
namespace {

namespace fs = std::filesystem;

using Cell = std::optional<std::string>;
using Table = std::vector<std::vector<Cell>>;

template <class Offset>
void read_column(const ArrowArray& column, std::size_t index, Table& rows) {
  ASSERT_EQ(column.n_buffers, 3);
  ASSERT_EQ(column.offset, 0);
  ASSERT_NE(column.buffers[1], nullptr);
  ASSERT_NE(column.buffers[2], nullptr);
  const auto* offsets = static_cast<const Offset*>(column.buffers[1]);
  const auto* data = static_cast<const char*>(column.buffers[2]);
  const auto* validity = static_cast<const std::uint8_t*>(column.buffers[0]);
  EXPECT_EQ(offsets[0], 0);
  std::int64_t nulls = 0;
  for (std::int64_t r = 0; r < column.length; ++r) {
    ASSERT_LE(offsets[r], offsets[r + 1]) << "row " << r;
    const bool valid = validity == nullptr || ((validity[r / 8] >> (r % 8)) & 1) != 0;
    if (!valid) {
      ++nulls;
      EXPECT_EQ(offsets[r], offsets[r + 1]) << "a null cell holds no bytes";
      rows[static_cast<std::size_t>(r)][index] = std::nullopt;
    } else {
      rows[static_cast<std::size_t>(r)][index] =
          std::string(data + offsets[r], static_cast<std::size_t>(offsets[r + 1] - offsets[r]));
    }
  }
  EXPECT_EQ(nulls, column.null_count);
  if (column.null_count == 0) {
    EXPECT_EQ(column.buffers[0], nullptr) << "no bitmap without nulls";
  }
}

// A view column: a cell of up to 12 bytes in place, zero-padded; a longer
// one by its first 4 bytes, buffer index and offset into a data buffer whose
// size the last buffer gives.
void read_view_column(const ArrowArray& column, std::size_t index, Table& rows) {
  ASSERT_EQ(column.offset, 0);
  ASSERT_GE(column.n_buffers, 3);
  const auto variadic = static_cast<std::size_t>(column.n_buffers - 3);
  const auto* sizes = static_cast<const std::int64_t*>(column.buffers[column.n_buffers - 1]);
  const auto* validity = static_cast<const std::uint8_t*>(column.buffers[0]);
  const auto* views = static_cast<const unsigned char*>(column.buffers[1]);
  std::int64_t nulls = 0;
  for (std::int64_t r = 0; r < column.length; ++r) {
    const unsigned char* view = views + r * 16;
    std::int32_t size = 0;
    std::memcpy(&size, view, 4);
    ASSERT_GE(size, 0) << "row " << r;
    const bool valid = validity == nullptr || ((validity[r / 8] >> (r % 8)) & 1) != 0;
    if (!valid) {
      ++nulls;
      rows[static_cast<std::size_t>(r)][index] = std::nullopt;
      continue;
    }
    std::string text;
    if (size <= 12) {
      text.assign(reinterpret_cast<const char*>(view + 4), static_cast<std::size_t>(size));
      for (std::int32_t i = size; i < 12; ++i) {
        EXPECT_EQ(view[4 + i], 0) << "padding of row " << r;
      }
    } else {
      std::int32_t buffer = 0;
      std::int32_t offset = 0;
      std::memcpy(&buffer, view + 8, 4);
      std::memcpy(&offset, view + 12, 4);
      ASSERT_GE(buffer, 0);
      ASSERT_LT(static_cast<std::size_t>(buffer), variadic);
      ASSERT_LE(offset + size, sizes[buffer]) << "row " << r;
      const auto* data = static_cast<const char*>(column.buffers[2 + buffer]);
      text.assign(data + offset, static_cast<std::size_t>(size));
      EXPECT_EQ(std::memcmp(view + 4, text.data(), 4), 0) << "prefix of row " << r;
    }
    rows[static_cast<std::size_t>(r)][index] = std::move(text);
  }
  EXPECT_EQ(nulls, column.null_count);
}

// The rows of one batch, checking the layout on the way.
Table read_batch(const ArrowArray& batch, StringWidth width) {
  EXPECT_EQ(batch.n_buffers, 1);
  EXPECT_EQ(batch.null_count, 0);
  Table rows(static_cast<std::size_t>(batch.length),
             std::vector<Cell>(static_cast<std::size_t>(batch.n_children)));
  for (std::int64_t c = 0; c < batch.n_children; ++c) {
    const ArrowArray& column = *batch.children[c];
    EXPECT_EQ(column.length, batch.length);
    EXPECT_NE(column.release, nullptr);
    if (width == StringWidth::Utf8) {
      read_column<std::int32_t>(column, static_cast<std::size_t>(c), rows);
    } else if (width == StringWidth::View) {
      read_view_column(column, static_cast<std::size_t>(c), rows);
    } else {
      read_column<std::int64_t>(column, static_cast<std::size_t>(c), rows);
    }
  }
  return rows;
}

// Fields of a row as views; the strings must outlive the views.
std::vector<FieldView> views(const std::vector<std::string>& fields) {
  std::vector<FieldView> out;
  for (const std::string& f : fields) out.push_back(FieldView{f, true});
  return out;
}

struct Drained {
  std::vector<Table> batches;
  Table rows;
};

Drained drain(ArrowBatchBuilder& builder, StringWidth width) {
  Drained d;
  ArrowArray batch{};
  while (builder.take_ready(&batch)) {
    d.batches.push_back(read_batch(batch, width));
    d.rows.insert(d.rows.end(), d.batches.back().begin(), d.batches.back().end());
    batch.release(&batch);
    EXPECT_EQ(batch.release, nullptr);
  }
  return d;
}

TEST(ArrowBatchBuilder, CutsBatchesByRowsAndKeepsEveryRow) {
  for (StringWidth width : {StringWidth::Utf8, StringWidth::LargeUtf8, StringWidth::View}) {
    ArrowBatchBuilder builder(2, width, BatchLimits{3, 1 << 20});
    Table expected;
    for (int i = 0; i < 8; ++i) {
      const std::vector<std::string> row = {"r" + std::to_string(i), i % 2 ? "" : "é"};
      builder.kept(views(row), 0);
      expected.push_back({row[0], row[1]});
    }
    EXPECT_EQ(builder.pending_rows(), 2u);
    builder.flush();
    const Drained d = drain(builder, width);
    ASSERT_EQ(d.batches.size(), 3u);
    EXPECT_EQ(d.batches[0].size(), 3u);
    EXPECT_EQ(d.batches[2].size(), 2u);
    EXPECT_EQ(d.rows, expected);
  }
}

TEST(ArrowBatchBuilder, CutsBatchesByBytesAfterTheRowThatReachesTheBound) {
  ArrowBatchBuilder builder(1, StringWidth::Utf8, BatchLimits{1000, 10});
  for (const char* f : {"aaaa", "bbbb", "cccc", "dd"}) {
    const std::vector<std::string> row = {f};
    builder.kept(views(row), 0);
  }
  builder.flush();
  const Drained d = drain(builder, StringWidth::Utf8);
  ASSERT_EQ(d.batches.size(), 2u);
  EXPECT_EQ(d.batches[0].size(), 3u);  // 12 bytes: the third row crossed 10
  EXPECT_EQ(d.batches[1], (Table{{Cell("dd")}}));
}

TEST(ArrowBatchBuilder, FieldsOfEveryShortLengthArriveWhole) {
  // Short fields take the inline copies; each length has its own path, and
  // views change form past 12 bytes.
  for (StringWidth width : {StringWidth::Utf8, StringWidth::View}) {
    ArrowBatchBuilder builder(2, width);
    Table expected;
    for (std::size_t n = 0; n <= 40; ++n) {
      std::string field;
      for (std::size_t i = 0; i < n; ++i) field.push_back(static_cast<char>('a' + (i * 7 + n) % 26));
      const std::vector<std::string> row = {field, std::to_string(n)};
      builder.kept(views(row), 0);
      expected.push_back({row[0], row[1]});
    }
    builder.flush();
    EXPECT_EQ(drain(builder, width).rows, expected);
  }
}

TEST(ArrowBatchBuilder, AColumnHoldingMostOfABatchGrowsPastItsShare) {
  // Each column has room for its share of a batch's bytes up front; one
  // that takes nearly all of them moves its buffer in the middle of rows
  // whose later cells are still to be written.
  for (StringWidth width : {StringWidth::Utf8, StringWidth::LargeUtf8, StringWidth::View}) {
    ArrowBatchBuilder builder(3, width, BatchLimits{1 << 16, std::size_t{4} << 20});
    Table expected;
    for (std::size_t i = 0; i < 300; ++i) {
      const std::vector<std::string> row = {std::to_string(i),
                                            std::string(10000 + i, static_cast<char>('a' + i % 26)),
                                            i % 3 ? "x" : "a cell past twelve bytes"};
      builder.kept(views(row), 0);
      expected.push_back({row[0], row[1], row[2]});
    }
    builder.flush();
    const Drained d = drain(builder, width);
    EXPECT_EQ(d.batches.size(), 1u);
    EXPECT_EQ(d.rows, expected);
  }
}

TEST(ArrowBatchBuilder, ViewSchemaAndBatchesOfOnlyShortCells) {
  const std::vector<std::string> names = {"a"};
  ArrowSchema schema{};
  export_schema(names, StringWidth::View, &schema);
  EXPECT_STREQ(schema.children[0]->format, "vu");
  schema.release(&schema);
  // No cell reaches the data buffer, which is still there, empty.
  ArrowBatchBuilder builder(1, StringWidth::View);
  const std::vector<std::string> row = {"twelve bytes"};
  builder.kept(views(row), 0);
  builder.flush();
  ArrowArray batch{};
  ASSERT_TRUE(builder.take_ready(&batch));
  ASSERT_EQ(batch.children[0]->n_buffers, 4);
  EXPECT_EQ(static_cast<const std::int64_t*>(batch.children[0]->buffers[3])[0], 0);
  EXPECT_EQ(read_batch(batch, StringWidth::View), (Table{{Cell("twelve bytes")}}));
  batch.release(&batch);
}

TEST(ArrowBatchBuilder, MissingCellsAreNullAndSetTheirBits) {
  for (StringWidth width : {StringWidth::Utf8, StringWidth::View}) {
    ArrowBatchBuilder builder(3, width, BatchLimits{16, 1 << 20});
    const std::vector<std::vector<std::string>> rows = {
        {"a", "b", "c"}, {"d"}, {"e", ""}, {"f", "g", "h"}, {""}};
    for (const auto& row : rows) builder.kept(views(row), 0);
    builder.flush();
    ArrowArray batch{};
    ASSERT_TRUE(builder.take_ready(&batch));
    EXPECT_EQ(batch.children[0]->null_count, 0);
    EXPECT_EQ(batch.children[1]->null_count, 2);
    EXPECT_EQ(batch.children[2]->null_count, 3);
    const Table expected = {{Cell("a"), Cell("b"), Cell("c")},
                            {Cell("d"), std::nullopt, std::nullopt},
                            {Cell("e"), Cell(""), std::nullopt},
                            {Cell("f"), Cell("g"), Cell("h")},
                            {Cell(""), std::nullopt, std::nullopt}};
    EXPECT_EQ(read_batch(batch, width), expected);
    batch.release(&batch);
  }
}

TEST(ArrowBatchBuilder, ChildrenMovedOutOutliveTheirParent) {
  ArrowBatchBuilder builder(2, StringWidth::Utf8);
  const std::vector<std::string> row = {"left", "right"};
  builder.kept(views(row), 0);
  builder.flush();
  ArrowArray batch{};
  ASSERT_TRUE(builder.take_ready(&batch));
  // A consumer moves the second child out, then releases the parent first.
  ArrowArray moved = *batch.children[1];
  batch.children[1]->release = nullptr;
  batch.release(&batch);
  EXPECT_EQ(batch.release, nullptr);
  const auto* offsets = static_cast<const std::int32_t*>(moved.buffers[1]);
  EXPECT_EQ(std::string(static_cast<const char*>(moved.buffers[2]),
                        static_cast<std::size_t>(offsets[1])),
            "right");
  moved.release(&moved);
  EXPECT_EQ(moved.release, nullptr);
}

TEST(ArrowBatchBuilder, UnreleasedBatchesAndPartialRowsAreFreedWithTheBuilder) {
  // Checked for leaks under the sanitizer build.
  ArrowBatchBuilder builder(1, StringWidth::Utf8, BatchLimits{1, 1 << 20});
  const std::vector<std::string> row = {"x"};
  builder.kept(views(row), 0);
  builder.kept(views(row), 0);
  EXPECT_TRUE(builder.has_ready());
}

TEST(ArrowBatchBuilder, HoldsAHundredMegabyteField) {
  const std::string big(100u << 20, 'x');
  ArrowBatchBuilder builder(2, StringWidth::Utf8);
  const std::vector<FieldView> row = {FieldView{"small", true}, FieldView{big, true}};
  builder.kept(row, 0);
  builder.flush();
  ArrowArray batch{};
  ASSERT_TRUE(builder.take_ready(&batch));
  ASSERT_EQ(batch.length, 1);
  const ArrowArray& column = *batch.children[1];
  const auto* offsets = static_cast<const std::int32_t*>(column.buffers[1]);
  EXPECT_EQ(offsets[1], static_cast<std::int32_t>(big.size()));
  EXPECT_EQ(std::memcmp(column.buffers[2], big.data(), big.size()), 0);
  batch.release(&batch);
}

TEST(ArrowBatchBuilder, ARowWiderThanTheTableFailsWithoutLosingEarlierRows) {
  ArrowBatchBuilder builder(1, StringWidth::Utf8);
  const std::vector<std::string> ok = {"a"};
  const std::vector<std::string> wide = {"a", "b"};
  builder.kept(views(ok), 0);
  builder.kept(views(wide), 0);
  EXPECT_TRUE(builder.failed());
  EXPECT_TRUE(builder.stop_requested());
  EXPECT_STREQ(builder.failure(), "a row is wider than the table's columns");
  EXPECT_EQ(builder.pending_rows(), 1u);
}

TEST(StringWidth, ThirtyTwoBitOffsetsUntilThreeBytesPerInputByteCouldOverflow) {
  EXPECT_EQ(string_width_for(0), StringWidth::Utf8);
  EXPECT_EQ(string_width_for(715'827'882), StringWidth::Utf8);
  EXPECT_EQ(string_width_for(715'827'883), StringWidth::LargeUtf8);
}

TEST(ExportSchema, StructOfNullableStringsWithIndependentChildren) {
  const std::vector<std::string> names = {"id", "näme"};
  ArrowSchema schema{};
  export_schema(names, StringWidth::LargeUtf8, &schema);
  EXPECT_STREQ(schema.format, "+s");
  ASSERT_EQ(schema.n_children, 2);
  EXPECT_STREQ(schema.children[0]->format, "U");
  EXPECT_STREQ(schema.children[1]->name, "näme");
  EXPECT_EQ(schema.children[1]->flags, ARROW_FLAG_NULLABLE);
  ArrowSchema moved = *schema.children[1];
  schema.children[1]->release = nullptr;
  schema.release(&schema);
  EXPECT_EQ(schema.release, nullptr);
  EXPECT_STREQ(moved.name, "näme");
  moved.release(&moved);
  EXPECT_EQ(moved.release, nullptr);
}

TEST(UniqueColumnNames, EmptyAndRepeatedNames) {
  struct Case {
    std::vector<std::string> header;
    std::size_t columns;
    std::vector<std::string> names;
  };
  const std::vector<Case> cases = {
      {{}, 3, {"column_1", "column_2", "column_3"}},
      {{"a", "a", "", "a"}, 4, {"a", "a_2", "column_3", "a_3"}},
      {{"a", "a", "a_2"}, 3, {"a", "a_3", "a_2"}},
      {{"x"}, 3, {"x", "column_2", "column_3"}},
      {{"", "column_1"}, 2, {"column_1", "column_1_2"}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(unique_column_names(c.header, c.columns), c.names);
  }
}

class BatchSourceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("arrow_batch_test_" + std::to_string(::getpid()));
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string write(const std::string& name, const std::string& text) {
    const fs::path path = dir_ / name;
    std::ofstream(path, std::ios::binary) << text;
    return path.string();
  }

  struct Read {
    std::vector<std::string> names;
    Table rows;
    std::size_t batches = 0;
    VornishStats stats;
  };

  static Read read_all(BatchSource& source) {
    Read r;
    r.names.assign(source.column_names().begin(), source.column_names().end());
    ArrowArray batch{};
    while (source.next_batch(&batch) == BatchSource::Next::Batch) {
      const Table rows = read_batch(batch, source.string_width());
      r.rows.insert(r.rows.end(), rows.begin(), rows.end());
      ++r.batches;
      batch.release(&batch);
    }
    EXPECT_EQ(source.next_batch(&batch), BatchSource::Next::End) << "the end stays the end";
    r.stats = source.stats();
    return r;
  }

  fs::path dir_;
};

TEST_F(BatchSourceTest, RowsAndCountsMatchTheInMemoryRun) {
  const std::string table = "id,name\n1,Ada\n2\n3,Cy,Rome\n\"4\",\"Di\"x\"\n";
  for (const auto& [fill, preamble] : {std::pair{true, 0}, {false, 0}, {true, 2}, {false, 3}}) {
    // A preamble of odd widths that would sway the column count if counted.
    const std::string text =
        std::string(preamble > 0 ? "Export of 2026;a;b;c;d\nnotes\n\n" : "") + table;
    const std::string path = write("in.csv", text);
    ArrowReadOptions options;
    options.repair.fill_ragged_rows = fill;
    options.repair.skip_rows = static_cast<std::size_t>(preamble);
    options.header = false;
    options.limits = BatchLimits{2, 1 << 20};
    Result<std::unique_ptr<BatchSource>> source = open_batch_source(path, options);
    ASSERT_TRUE(source);
    const Read r = read_all(*source.value());

    const VornishOutcome outcome = vornish_slice_kept(text, options.repair);
    Table expected;
    for (std::size_t i = 0; i < outcome.rows.size(); ++i) {
      const Row row = outcome.rows.materialize(i);
      expected.emplace_back(row.begin(), row.end());
    }
    EXPECT_EQ(r.rows, expected);
    EXPECT_EQ(r.names, (std::vector<std::string>{"column_1", "column_2"}));
    EXPECT_EQ(r.batches, (expected.size() + 1) / 2);
    EXPECT_EQ(r.stats.total_rows, outcome.stats.total_rows);
    EXPECT_EQ(r.stats.vornished_rows, outcome.stats.vornished_rows);
    EXPECT_EQ(r.stats.repaired_rows, outcome.stats.repaired_rows);
    EXPECT_EQ(r.stats.quarantined_rows, outcome.stats.quarantined_rows);
    EXPECT_EQ(r.stats.detected_delimiter, outcome.stats.detected_delimiter);
    EXPECT_EQ(r.stats.inferred_columns, outcome.stats.inferred_columns);
  }
}

TEST_F(BatchSourceTest, DataBeginIsPastThePreambleAndTheHeader) {
  // A quoted line end in the preamble and in the header: the offset is a
  // row start, not a line start.
  const std::string preamble = "\"title\na\",b\nnotes\n";
  const std::string header = "id,\"na\nme\"\n";
  const std::string rows = "1,x\n2,y\n";
  struct Case {
    std::size_t skip_rows;
    bool header;
    std::string text;
    std::uint64_t begin;
  };
  const Case cases[] = {
      {0, false, header + rows, 0},
      {0, true, header + rows, header.size()},
      {2, false, preamble + header + rows, preamble.size()},
      {2, true, preamble + header + rows, preamble.size() + header.size()},
      {2, true, preamble, preamble.size()},  // nothing after the preamble
      {5, false, preamble, preamble.size()},  // fewer rows than the preamble
      {0, true, "", 0},
  };
  for (const Case& c : cases) {
    ArrowReadOptions options;
    options.repair.delimiter = ',';
    options.repair.skip_rows = c.skip_rows;
    options.header = c.header;
    Result<std::unique_ptr<BatchSource>> source = open_batch_source(write("p.csv", c.text), options);
    ASSERT_TRUE(source);
    EXPECT_EQ(source.value()->data_begin(), c.begin) << c.skip_rows << c.header;
    const Read r = read_all(*source.value());
    EXPECT_EQ(r.stats.quarantined_rows, std::min<std::size_t>(c.skip_rows, 2));
  }
}

TEST_F(BatchSourceTest, HeaderNamesAndRaggedRowsWithWidthsKept) {
  ArrowReadOptions options;
  options.repair.expected_columns = 0;
  const std::string path = write("ragged.csv", "a,b\n1\n2,3,4\n");
  Result<std::unique_ptr<BatchSource>> source = open_batch_source(path, options);
  ASSERT_TRUE(source);
  const Read r = read_all(*source.value());
  EXPECT_EQ(r.names, (std::vector<std::string>{"a", "b", "column_3"}));
  EXPECT_EQ(r.rows, (Table{{Cell("1"), std::nullopt, std::nullopt},
                           {Cell("2"), Cell("3"), Cell("4")}}));
  EXPECT_EQ(r.stats.total_rows, 3u);  // the header counts, as in the reader
}

TEST_F(BatchSourceTest, EmptyAndHeaderOnlyFiles) {
  ArrowReadOptions options;
  {
    Result<std::unique_ptr<BatchSource>> source = open_batch_source(write("e.csv", ""), options);
    ASSERT_TRUE(source);
    const Read r = read_all(*source.value());
    EXPECT_TRUE(r.names.empty());
    EXPECT_EQ(r.batches, 0u);
    EXPECT_EQ(r.stats.detected_delimiter, U',');
  }
  {
    options.repair.delimiter = ';';
    Result<std::unique_ptr<BatchSource>> source =
        open_batch_source(write("h.csv", "x;y;x\n"), options);
    ASSERT_TRUE(source);
    const Read r = read_all(*source.value());
    EXPECT_EQ(r.names, (std::vector<std::string>{"x", "y", "x_2"}));
    EXPECT_EQ(r.batches, 0u);
    EXPECT_EQ(r.stats.vornished_rows, 1u);
  }
}

TEST_F(BatchSourceTest, FileErrorsAreTheReadersErrors) {
  ArrowReadOptions options;
  Result<std::unique_ptr<BatchSource>> missing =
      open_batch_source((dir_ / "missing.csv").string(), options);
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().os_error(), ENOENT);
  Result<std::unique_ptr<BatchSource>> directory = open_batch_source(dir_.string(), options);
  ASSERT_FALSE(directory);
  EXPECT_EQ(directory.error().os_error(), EISDIR);
  Result<std::unique_ptr<BatchSource>> nul = open_batch_source(std::string("a\0b", 3), options);
  ASSERT_FALSE(nul);
  EXPECT_EQ(nul.error().cause(), VornishError::Cause::NulInPath);
}

// A table whose quoted fields hold line ends, so that most byte offsets
// lie inside a row that spans lines, plus ragged and overlong rows.
std::string quoted_breaks_table(std::size_t rows) {
  std::string text = "id,note,value\n";
  for (std::size_t i = 0; i < rows; ++i) {
    const std::string n = std::to_string(i);
    if (i % 3 == 0) {
      text += n + ",\"line\nbreak " + n + "\r\nand more\"," + n + "\n";
    } else if (i % 5 == 0) {
      text += n + ",short\n";
    } else if (i % 7 == 0) {
      text += n + ",a,b,c,d\n";
    } else {
      text += n + ",plain," + n + "\n";
    }
  }
  return text;
}

TEST_F(BatchSourceTest, RangesBetweenRowStartsGiveTheWholeFileRun) {
  const std::string text = quoted_breaks_table(400);
  const std::string path = write("ranges.csv", text);
  ArrowReadOptions whole_options;
  whole_options.limits = BatchLimits{7, 1 << 20};
  Result<std::unique_ptr<BatchSource>> whole_source = open_batch_source(path, whole_options);
  ASSERT_TRUE(whole_source);
  const Read whole = read_all(*whole_source.value());
  const VornishStats& settled = whole.stats;
  Dialect dialect{static_cast<std::uint8_t>(settled.detected_delimiter), settled.inferred_columns};

  for (const std::uint64_t every : {std::uint64_t{1}, std::uint64_t{37}, std::uint64_t{500}}) {
    Result<std::vector<RowStart>> starts = find_row_starts(path, whole_options.repair, dialect, every);
    ASSERT_TRUE(starts);
    ASSERT_GT(starts.value().size(), 2u);
    EXPECT_EQ(starts.value().front().offset, 0u);
    Table rows;
    VornishStats sum;
    for (std::size_t i = 0; i < starts.value().size(); ++i) {
      const RowStart& start = starts.value()[i];
      // A true row start is never inside a quoted field: it follows a line
      // end whose row is complete.
      if (start.offset > 0) {
        EXPECT_EQ(text[start.offset - 1], '\n') << "offset " << start.offset;
      }
      ArrowReadOptions options = whole_options;
      options.header = i == 0;
      ArrowReadOptions::Range range;
      range.begin = start.offset;
      if (i + 1 < starts.value().size()) {
        range.end = starts.value()[i + 1].offset;
      }
      range.first_line = start.line;
      range.dialect = dialect;
      range.columns = whole.names.size();
      options.range = range;
      Result<std::unique_ptr<BatchSource>> source = open_batch_source(path, options);
      ASSERT_TRUE(source);
      const Read part = read_all(*source.value());
      if (i == 0) {
        EXPECT_EQ(part.names, whole.names);
      }
      rows.insert(rows.end(), part.rows.begin(), part.rows.end());
      sum.total_rows += part.stats.total_rows;
      sum.vornished_rows += part.stats.vornished_rows;
      sum.repaired_rows += part.stats.repaired_rows;
      sum.quarantined_rows += part.stats.quarantined_rows;
    }
    EXPECT_EQ(rows, whole.rows) << "every " << every;
    EXPECT_EQ(sum.total_rows, whole.stats.total_rows);
    EXPECT_EQ(sum.vornished_rows, whole.stats.vornished_rows);
    EXPECT_EQ(sum.repaired_rows, whole.stats.repaired_rows);
    EXPECT_EQ(sum.quarantined_rows, whole.stats.quarantined_rows);
  }
}

TEST_F(BatchSourceTest, ARangeStartingMidFileReadsOnlyItsRows) {
  // The range edge falls right after the quoted line end of the second row,
  // which is no row start: the row it is in belongs to the range before.
  const std::string text = "a,b\n1,\"x\ny\"\n2,z\n3,w\n";
  const std::string path = write("mid.csv", text);
  const std::uint64_t second = text.find("1,");
  const std::uint64_t third = text.find("2,z");
  ArrowReadOptions options;
  options.header = false;
  ArrowReadOptions::Range range;
  range.dialect = Dialect{',', 2};
  range.columns = 2;
  range.begin = second;
  range.end = text.find("x\n") + 2;  // inside the quoted field
  range.first_line = 2;
  options.range = range;
  Result<std::unique_ptr<BatchSource>> source = open_batch_source(path, options);
  ASSERT_TRUE(source);
  Read r = read_all(*source.value());
  EXPECT_EQ(r.rows, (Table{{Cell("1"), Cell("x\ny")}}));

  options.range->begin = third;
  options.range->end.reset();
  options.range->first_line = 4;
  source = open_batch_source(path, options);
  ASSERT_TRUE(source);
  r = read_all(*source.value());
  EXPECT_EQ(r.rows, (Table{{Cell("2"), Cell("z")}, {Cell("3"), Cell("w")}}));
  EXPECT_EQ(r.stats.total_rows, 2u);
  EXPECT_EQ(r.stats.detected_delimiter, U',');
  EXPECT_EQ(r.stats.inferred_columns, 2u);
}

TEST_F(BatchSourceTest, AFileTruncatedBetweenBatchesEndsCleanly) {
  // Larger than one read, so most of it is read after the truncation.
  std::string text = "id,name,value\n";
  while (text.size() < (std::size_t{12} << 20)) {
    text += std::to_string(text.size()) + ",some name," + std::string(40, 'v') + "\n";
  }
  const std::string path = write("shrinks.csv", text);
  ArrowReadOptions options;
  options.repair.expected_columns = 3;
  options.limits = BatchLimits{1000, 1 << 20};
  Result<std::unique_ptr<BatchSource>> source = open_batch_source(path, options);
  ASSERT_TRUE(source);
  ArrowArray batch{};
  ASSERT_EQ(source.value()->next_batch(&batch), BatchSource::Next::Batch);
  batch.release(&batch);
  fs::resize_file(path, 1 << 20);
  std::int64_t rows = 1000;
  BatchSource::Next next;
  while ((next = source.value()->next_batch(&batch)) == BatchSource::Next::Batch) {
    rows += batch.length;
    batch.release(&batch);
  }
  // Whatever was read before the file shrank, and nothing past its old end.
  EXPECT_TRUE(next == BatchSource::Next::End || next == BatchSource::Next::Failed);
  EXPECT_LT(static_cast<std::size_t>(rows), text.size() / 50);
}

}  // namespace
}  // namespace vornish

namespace vornish {
namespace {

// Inputs whose rows are easy to split wrongly: the parallel source must
// give the one-thread rows and counts whatever the chunk size.
struct ParallelCase {
  const char* name;
  std::string text;
  bool header;
  std::optional<std::size_t> expected_columns;
  bool fill_ragged_rows;
  bool merge_overflow;
};

ParallelCase parallel_case(const char* name, std::string text, bool header = true,
                           std::optional<std::size_t> expected_columns = std::nullopt,
                           bool fill_ragged_rows = true, bool merge_overflow = true) {
  return {name, std::move(text), header, expected_columns, fill_ragged_rows, merge_overflow};
}

std::vector<ParallelCase> parallel_cases() {
  std::string crlf = "a,b\r\n";
  std::string lone_cr = "a,b\r";
  std::string open_quote = "a,b\n";
  std::string long_row = "a,b\n1,\"" + std::string(20000, 'x') + "\ny\"\n";
  std::string ragged = "a,b,c\n";
  for (int i = 0; i < 120; ++i) {
    const std::string n = std::to_string(i);
    crlf += n + ",\"q\r\n" + n + "\"\r\n";
    lone_cr += n + "," + n + "\r";
    open_quote += n + "," + n + "\n";
    long_row += n + ",z\n";
    ragged += i % 4 == 0 ? n + "\n" : i % 4 == 1 ? n + ",1,2,3,4\n" : n + ",1,2\n";
  }
  open_quote += "x,\"never closed\n" + open_quote;
  return {
      parallel_case("quoted line ends", quoted_breaks_table(150)),
      parallel_case("crlf inside and outside quotes", crlf),
      parallel_case("lone cr", lone_cr, false),
      parallel_case("unterminated quote takes the rest", open_quote),
      parallel_case("byte-order mark", "\xEF\xBB\xBF" + quoted_breaks_table(60)),
      parallel_case("byte-order mark without header", "\xEF\xBB\xBF" + crlf, false),
      parallel_case("row longer than the overhang", long_row),
      parallel_case("widths kept", ragged, true, 0),
      parallel_case("ragged rows quarantined", ragged, true, std::nullopt, false, false),
      parallel_case("quoted line ends without header", quoted_breaks_table(90), false, 3),
  };
}

TEST_F(BatchSourceTest, ParallelRowsAndCountsAreTheOneThreadOnes) {
  for (const ParallelCase& c : parallel_cases()) {
    const std::string path = write("parallel.csv", c.text);
    ArrowReadOptions options;
    options.header = c.header;
    options.repair.expected_columns = c.expected_columns;
    options.repair.fill_ragged_rows = c.fill_ragged_rows;
    options.repair.merge_overflow = c.merge_overflow;
    options.limits = BatchLimits{5, 1 << 20};
    options.threads = 1;
    Result<std::unique_ptr<BatchSource>> one = open_batch_source(path, options);
    ASSERT_TRUE(one) << c.name;
    const Read expected = read_all(*one.value());
    ASSERT_FALSE(expected.rows.empty()) << c.name;
    for (const std::size_t chunk : {std::size_t{1}, std::size_t{7}, std::size_t{64}, std::size_t{1000}}) {
      for (const std::size_t threads : {std::size_t{2}, std::size_t{3}, std::size_t{4}}) {
        options.threads = threads;
        options.chunk_size = chunk;
        Result<std::unique_ptr<BatchSource>> parallel = open_batch_source(path, options);
        ASSERT_TRUE(parallel) << c.name;
        // Every layout holds the same rows; read_all reads each as it is.
        const StringWidth layout = threads == 3 ? StringWidth::View : StringWidth::Utf8;
        ASSERT_TRUE(parallel.value()->choose_string_width(layout));
        const Read r = read_all(*parallel.value());
        const std::string where =
            std::string(c.name) + ", chunk " + std::to_string(chunk) + ", threads " +
            std::to_string(threads);
        EXPECT_EQ(r.names, expected.names) << where;
        EXPECT_EQ(r.rows, expected.rows) << where;
        EXPECT_EQ(r.stats.total_rows, expected.stats.total_rows) << where;
        EXPECT_EQ(r.stats.vornished_rows, expected.stats.vornished_rows) << where;
        EXPECT_EQ(r.stats.repaired_rows, expected.stats.repaired_rows) << where;
        EXPECT_EQ(r.stats.quarantined_rows, expected.stats.quarantined_rows) << where;
        EXPECT_EQ(r.stats.detected_delimiter, expected.stats.detected_delimiter) << where;
        EXPECT_EQ(r.stats.inferred_columns, expected.stats.inferred_columns) << where;
        if (chunk <= 7) {
          // Proof that the chunks were built apart: each ends its batch.
          EXPECT_GT(r.batches, expected.batches) << where;
        }
      }
    }
  }
}

TEST_F(BatchSourceTest, TheLayoutIsChosenOnlyBeforeTheFirstBatch) {
  std::string text = "a,b\n";
  for (int i = 0; i < 50; ++i) text += std::to_string(i) + ",a field longer than twelve bytes\n";
  const std::string path = write("layout.csv", text);
  for (const std::size_t threads : {std::size_t{1}, std::size_t{2}}) {
    ArrowReadOptions options;
    options.threads = threads;
    options.chunk_size = 64;
    options.limits = BatchLimits{8, 1 << 20};
    Result<std::unique_ptr<BatchSource>> source = open_batch_source(path, options);
    ASSERT_TRUE(source);
    BatchSource& s = *source.value();
    EXPECT_EQ(s.string_width(), StringWidth::Utf8);
    ASSERT_TRUE(s.choose_string_width(StringWidth::LargeUtf8));
    ASSERT_TRUE(s.choose_string_width(StringWidth::View));
    ArrowArray batch{};
    ASSERT_EQ(s.next_batch(&batch), BatchSource::Next::Batch);
    EXPECT_EQ(batch.children[1]->n_buffers, 4);
    const Table first = read_batch(batch, StringWidth::View);
    EXPECT_EQ(first[0][1], Cell("a field longer than twelve bytes"));
    batch.release(&batch);
    EXPECT_FALSE(s.choose_string_width(StringWidth::Utf8)) << "threads " << threads;
    EXPECT_TRUE(s.choose_string_width(StringWidth::View));
    EXPECT_EQ(s.string_width(), StringWidth::View);
  }
}

TEST_F(BatchSourceTest, ParallelRangeAndFailureAreTheOneThreadOnes) {
  const std::string text = quoted_breaks_table(200);
  const std::string path = write("range.csv", text);
  ArrowReadOptions options;
  options.header = false;
  options.limits = BatchLimits{4, 1 << 20};
  ArrowReadOptions::Range range;
  range.dialect = Dialect{',', 0};
  range.begin = text.find("\n10,") + 1;
  range.end = text.find("\n150,") + 1;
  range.first_line = 1;
  // Too narrow for the rows of four and five cells: the builder fails.
  for (const std::size_t columns : {std::size_t{5}, std::size_t{3}}) {
    range.columns = columns;
    options.range = range;
    options.threads = 1;
    Result<std::unique_ptr<BatchSource>> one = open_batch_source(path, options);
    ASSERT_TRUE(one);
    Table expected;
    ArrowArray batch{};
    BatchSource::Next end;
    while ((end = one.value()->next_batch(&batch)) == BatchSource::Next::Batch) {
      const Table rows = read_batch(batch, one.value()->string_width());
      expected.insert(expected.end(), rows.begin(), rows.end());
      batch.release(&batch);
    }
    ASSERT_EQ(end, columns == 5 ? BatchSource::Next::End : BatchSource::Next::Failed);
    options.threads = 3;
    options.chunk_size = 50;
    Result<std::unique_ptr<BatchSource>> parallel = open_batch_source(path, options);
    ASSERT_TRUE(parallel);
    Table rows;
    BatchSource::Next last;
    while ((last = parallel.value()->next_batch(&batch)) == BatchSource::Next::Batch) {
      const Table part = read_batch(batch, parallel.value()->string_width());
      rows.insert(rows.end(), part.begin(), part.end());
      batch.release(&batch);
    }
    EXPECT_EQ(last, end);
    if (end == BatchSource::Next::End) {
      EXPECT_EQ(rows, expected);
      EXPECT_EQ(parallel.value()->stats().total_rows, one.value()->stats().total_rows);
    } else {
      EXPECT_EQ(parallel.value()->failure(), one.value()->failure());
      EXPECT_EQ(parallel.value()->failure(), "a row is wider than the table's columns");
      EXPECT_EQ(parallel.value()->next_batch(&batch), BatchSource::Next::Failed);
      // Rows are handed out in order up to the failing one, in either run.
      ASSERT_LE(rows.size(), 20u);
      EXPECT_TRUE(std::equal(expected.begin(), expected.end(), rows.begin()) ||
                  std::equal(rows.begin(), rows.end(), expected.begin()));
    }
  }
}

TEST_F(BatchSourceTest, AParallelSourceDroppedHalfReadStopsItsWorkers) {
  std::string text = "id,name\n";
  while (text.size() < (std::size_t{2} << 20)) {
    text += std::to_string(text.size()) + ",\"some\nname\"\n";
  }
  const std::string path = write("dropped.csv", text);
  for (const std::size_t taken : {std::size_t{0}, std::size_t{1}, std::size_t{3}}) {
    ArrowReadOptions options;
    options.threads = 4;
    options.chunk_size = 4096;
    options.limits = BatchLimits{100, 1 << 20};
    Result<std::unique_ptr<BatchSource>> source = open_batch_source(path, options);
    ASSERT_TRUE(source);
    ArrowArray batch{};
    for (std::size_t i = 0; i < taken; ++i) {
      ASSERT_EQ(source.value()->next_batch(&batch), BatchSource::Next::Batch);
      batch.release(&batch);
    }
    // Joined here, with chunks built, waiting, or being built.
    source.value().reset();
  }
}

}  // namespace
}  // namespace vornish
