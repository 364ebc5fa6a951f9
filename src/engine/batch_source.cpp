// The whole-file batch source: a mapped file, one parser and one row
// shaper kept between calls, so each batch costs only its own rows.
//
// The row rules are those of repair_rows, applied one row at a time so
// that the loop can stop after any row and pick up there on the next call.
#include "engine/batch_source.hpp"

#include <algorithm>
#include <optional>
#include <unordered_set>
#include <utility>

#include "engine/mapped_input.hpp"

namespace vornish {
namespace {

class FileBatchSource final : public BatchSource {
 public:
  FileBatchSource(MappedInput input, const ArrowReadOptions& options)
      : input_(std::move(input)), options_(options) {}

  // Everything a consumer must know before the first batch.
  void settle() {
    const std::string_view buffer = input_.view();
    width_ = string_width_for(buffer.size());
    if (buffer.empty()) {
      // As the reader: no rows, and nothing guessed from nothing.
      done_ = true;
      builder_.emplace(0, width_, options_.limits);
      return;
    }
    dialect_ = settle_dialect(buffer, options_.repair);
    stats_.detected_delimiter = static_cast<char32_t>(dialect_.delimiter);
    stats_.inferred_columns = dialect_.expected_columns;

    std::size_t columns = dialect_.expected_columns;
    if (columns == 0) {
      // Rows keep their widths, so only the widest row tells how many
      // columns the table has.
      ResilientParser counter = make_parser();
      // Preamble rows are set aside, so their widths do not count.
      for (std::size_t skipped = 0; skipped < options_.repair.skip_rows && counter.skip_row();) {
        ++skipped;
      }
      while (const std::optional<std::size_t> width = counter.skip_row()) {
        columns = std::max(columns, *width);
      }
      input_.release_before(buffer.size());
    }
    parser_.emplace(make_parser());
    preamble_ = options_.repair.skip_rows;
    shaper_.emplace(dialect_.expected_columns, dialect_.delimiter);

    std::vector<std::string> header;
    if (options_.header) {
      RowView row;
      Step step = Step::Quarantined;
      while ((step = next_row(row)) == Step::Quarantined) {
      }
      if (step == Step::Kept) {
        header = to_row(row);
      } else {
        done_ = true;
      }
    }
    names_ = unique_column_names(header, columns);
    builder_.emplace(columns, width_, options_.limits);
  }

  std::span<const std::string> column_names() const noexcept override { return names_; }
  StringWidth string_width() const noexcept override { return width_; }
  const VornishStats& stats() const noexcept override { return stats_; }
  std::string failure() const override { return builder_->failure(); }

  Next next_batch(ArrowArray* out) override {
    if (builder_->failed()) {
      return Next::Failed;
    }
    while (!done_ && !builder_->has_ready()) {
      RowView row;
      const Step step = next_row(row);
      if (step == Step::End) {
        done_ = true;
        builder_->flush();
        input_.release_before(input_.view().size());
      } else if (step == Step::Kept) {
        builder_->kept(row, 0);
        if (builder_->failed()) {
          return Next::Failed;
        }
      }
    }
    if (!builder_->take_ready(out)) {
      return Next::End;
    }
    if (parser_) {
      // No view into the input outlives the row that made it, so every page
      // the parser has left behind is done with.
      input_.release_before(parser_->pos());
    }
    return Next::Batch;
  }

 private:
  enum class Step : unsigned char { Kept, Quarantined, End };

  ResilientParser make_parser() const {
    return ResilientParser(input_.view(), dialect_.delimiter, options_.repair.quote_char,
                           options_.repair.repair_quotes, options_.repair.skip_initial_space);
  }

  // One row through the repair rules, counted as repair_rows counts it.
  Step next_row(RowView& out) {
    const std::optional<RowView> parsed = parser_->next_row();
    if (!parsed) {
      return Step::End;
    }
    ++stats_.total_rows;
    if (preamble_ > 0) {
      // A preamble row is counted as set aside, as in every other run.
      --preamble_;
      ++stats_.quarantined_rows;
      return Step::Quarantined;
    }
    const std::size_t expected = dialect_.expected_columns;
    const std::size_t n = parsed->size();
    if (expected == 0 || n == expected) {
      ++stats_.vornished_rows;
      out = *parsed;
      return Step::Kept;
    }
    if (n < expected ? options_.repair.fill_ragged_rows : options_.repair.merge_overflow) {
      ++stats_.vornished_rows;
      ++stats_.repaired_rows;
      out = shaper_->shape(*parsed);
      return Step::Kept;
    }
    ++stats_.quarantined_rows;
    return Step::Quarantined;
  }

  MappedInput input_;
  ArrowReadOptions options_;
  Dialect dialect_;
  StringWidth width_ = StringWidth::Utf8;
  std::optional<ResilientParser> parser_;
  std::optional<RowShaper> shaper_;
  std::size_t preamble_ = 0;
  std::optional<ArrowBatchBuilder> builder_;
  std::vector<std::string> names_;
  VornishStats stats_;
  bool done_ = false;
};

}  // namespace

std::vector<std::string> unique_column_names(const std::vector<std::string>& header,
                                             std::size_t columns) {
  std::vector<std::string> names(columns);
  for (std::size_t i = 0; i < columns; ++i) {
    if (i < header.size() && !header[i].empty()) {
      names[i] = header[i];
    } else {
      names[i] = "column_" + std::to_string(i + 1);
    }
  }
  const std::unordered_set<std::string> in_header(names.begin(), names.end());
  std::unordered_set<std::string> given;
  for (std::string& name : names) {
    if (given.insert(name).second) {
      continue;
    }
    for (std::size_t suffix = 2;; ++suffix) {
      std::string candidate = name + "_" + std::to_string(suffix);
      if (in_header.count(candidate) == 0 && given.insert(candidate).second) {
        name = std::move(candidate);
        break;
      }
    }
  }
  return names;
}

Result<std::unique_ptr<BatchSource>> open_batch_source(const std::string& path,
                                                       const ArrowReadOptions& options) {
  Result<MappedInput> input = MappedInput::open(path);
  if (!input) {
    return input.error();
  }
  auto source = std::make_unique<FileBatchSource>(std::move(input).value(), options);
  source->settle();
  return std::unique_ptr<BatchSource>(std::move(source));
}

}  // namespace vornish
