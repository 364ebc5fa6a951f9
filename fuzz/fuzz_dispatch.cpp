// Fuzz target for the tokenizer's run-time dispatch: every classification
// level this processor runs (AVX-512BW, AVX2, SSE2, scalar) must read any
// bytes into the same rows as the naive oracle tokenizer.
//
// Checked on every input, for every level: the fields of each row, their
// ASCII flags, the position and line after it, and whether it ended at a
// line end, equal those of the scalar level; the field-counting walk agrees
// with the full one, and so does the walk that also judges whether each
// row stands in the input as it would be written: that walk gives the
// same verdict at every level, and a row it calls so is one the writer's
// own check copies, as exactly those bytes; and a row read whole as it
// stands (next_row_verbatim) is such a row. Without initial-space skipping
// (which the oracle does not know), small inputs are also compared with
// the oracle. The UTF-8
// validator of each level, which the parser consults for every non-ASCII
// field, must also judge the whole payload as the replacing decoder does;
// and read as text in a single-byte code page, the payload must read as
// its transcription to UTF-8.
//
// Input layout: delimiter selector, quote selector, flags, then the payload.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "code_page.hpp"
#include "engine/writer.hpp"
#include "fuzz_support.hpp"
#include "parser/resilient_parser.hpp"
#include "parser/utf8.hpp"

namespace {

using vornish::ResilientParser;
using vornish::RowView;
using vornish::SimdLevel;
using namespace vornish::fuzz;

constexpr std::size_t kOracleLimit = std::size_t{1} << 16;
constexpr SimdLevel kWide[] = {SimdLevel::Avx512, SimdLevel::Avx2, SimdLevel::Sse2};

// The same bytes read as text in a single-byte code page read as their
// transcription to UTF-8 does, at every level: the same rows, flags,
// judgements and changes; a row read as it stands is its bytes decoded,
// and one read whole is one the judging walk reads as it stands. A
// delimiter or quote outside ASCII is a character of the code page, so
// there the transcription has no such byte to compare with.
void check_code_page(std::string_view bytes, std::uint8_t delimiter, std::uint8_t quote, bool repair,
                     bool skip_space) {
  if (delimiter >= 0x80 || quote >= 0x80) return;
  static const vornish::utf8::Fallback page = vornish::testing_support::test_code_page();
  const std::string text = vornish::testing_support::transcribed(bytes, page);
  for (const SimdLevel level : {SimdLevel::Avx512, SimdLevel::Avx2, SimdLevel::Sse2, SimdLevel::Scalar}) {
    if (!vornish::simd_level_supported(level)) continue;
    ResilientParser paged(bytes, delimiter, quote, repair, skip_space, level);
    paged.set_code_page(&page);
    ResilientParser whole(bytes, delimiter, quote, repair, skip_space, level);
    whole.set_code_page(&page);
    ResilientParser plain(text, delimiter, quote, repair, skip_space, level);
    for (;;) {
      const std::size_t start = paged.pos();
      const std::size_t text_start = plain.pos();
      const std::optional<RowView> got = paged.next_row_as_read();
      const std::optional<RowView> expected = plain.next_row_as_read();
      FUZZ_CHECK(got.has_value() == expected.has_value());
      if (!got) break;
      FUZZ_CHECK(got->size() == expected->size());
      for (std::size_t i = 0; i < got->size(); ++i) {
        FUZZ_CHECK((*got)[i].text == (*expected)[i].text);
        FUZZ_CHECK((*got)[i].ascii == (*expected)[i].ascii);
      }
      FUZZ_CHECK(paged.line() == plain.line());
      FUZZ_CHECK(paged.ended_at_line_end() == plain.ended_at_line_end());
      FUZZ_CHECK(paged.changed() == plain.changed());
      FUZZ_CHECK(paged.as_read() == plain.as_read());
      if (paged.as_read()) {
        std::string decoded;
        vornish::utf8::append_code_page(decoded, bytes.substr(start, paged.as_read_end() - start), page);
        FUZZ_CHECK(decoded == std::string_view(text).substr(text_start, plain.as_read_end() - text_start));
      }
      if (whole.next_row_verbatim(0)) {
        FUZZ_CHECK(paged.as_read());
        FUZZ_CHECK(whole.as_read_end() == paged.as_read_end());
      } else {
        FUZZ_CHECK(whole.next_row_as_read().has_value());
      }
      FUZZ_CHECK(whole.pos() == paged.pos());
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  OptionReader options(data, size);
  const std::uint8_t delimiter = options.interesting_byte();
  const std::uint8_t quote = options.interesting_byte();
  const std::uint8_t flags = options.byte();
  const bool repair = (flags & 1) != 0;
  const bool skip_space = (flags & 2) != 0;
  const ExactBuffer input(options.rest());
  const std::string_view bytes = input.view();

  const bool valid = is_valid_utf8(bytes);
  FUZZ_CHECK(vornish::utf8::validator_for(SimdLevel::Scalar)(bytes.data(), bytes.size()) == valid);
  for (const SimdLevel level : kWide) {
    if (vornish::simd_level_supported(level)) {
      FUZZ_CHECK(vornish::utf8::validator_for(level)(bytes.data(), bytes.size()) == valid);
    }
  }

  ResilientParser scalar(bytes, delimiter, quote, repair, skip_space, SimdLevel::Scalar);
  FUZZ_CHECK(scalar.simd_level() == SimdLevel::Scalar);
  std::vector<ResilientParser> wide;
  std::vector<ResilientParser> counters;
  std::vector<ResilientParser> judges;
  for (const SimdLevel level : kWide) {
    if (vornish::simd_level_supported(level)) {
      wide.emplace_back(bytes, delimiter, quote, repair, skip_space, level);
      FUZZ_CHECK(wide.back().simd_level() == level);
      counters.emplace_back(bytes, delimiter, quote, repair, skip_space, level);
    }
  }
  std::vector<ResilientParser> verbatims;
  judges.emplace_back(bytes, delimiter, quote, repair, skip_space, SimdLevel::Scalar);
  verbatims.emplace_back(bytes, delimiter, quote, repair, skip_space, SimdLevel::Scalar);
  for (const SimdLevel level : kWide) {
    if (vornish::simd_level_supported(level)) {
      judges.emplace_back(bytes, delimiter, quote, repair, skip_space, level);
      verbatims.emplace_back(bytes, delimiter, quote, repair, skip_space, level);
    }
  }
  const bool use_oracle = !skip_space && bytes.size() <= kOracleLimit;
  OracleTokenizer oracle(bytes, delimiter, quote, repair);

  for (;;) {
    const std::size_t start = scalar.pos();
    const std::optional<RowView> row = scalar.next_row();
    const std::optional<OracleRow> expected =
        use_oracle ? oracle.next() : std::optional<OracleRow>();
    if (use_oracle) {
      FUZZ_CHECK(row.has_value() == expected.has_value());
      if (row) {
        FUZZ_CHECK(same_row(*row, expected->fields));
        FUZZ_CHECK(scalar.pos() == expected->pos_after);
        FUZZ_CHECK(scalar.line() == expected->line_after);
      }
    }
    // The scalar row's views stay valid while the other parsers run.
    for (std::size_t k = 0; k < wide.size(); ++k) {
      const std::optional<RowView> got = wide[k].next_row();
      const std::optional<std::size_t> count = counters[k].skip_row();
      FUZZ_CHECK(got.has_value() == row.has_value());
      FUZZ_CHECK(count.has_value() == row.has_value());
      FUZZ_CHECK(wide[k].pos() == scalar.pos());
      FUZZ_CHECK(wide[k].line() == scalar.line());
      FUZZ_CHECK(counters[k].pos() == scalar.pos());
      FUZZ_CHECK(counters[k].line() == scalar.line());
      if (!got) {
        continue;
      }
      FUZZ_CHECK(wide[k].ended_at_line_end() == scalar.ended_at_line_end());
      FUZZ_CHECK(*count == row->size());
      FUZZ_CHECK(got->size() == row->size());
      for (std::size_t i = 0; i < row->size(); ++i) {
        FUZZ_CHECK((*got)[i].text == (*row)[i].text);
        FUZZ_CHECK((*got)[i].ascii == (*row)[i].ascii);
      }
    }
    for (ResilientParser& judge : judges) {
      const std::optional<RowView> got = judge.next_row_as_read();
      FUZZ_CHECK(got.has_value() == row.has_value());
      FUZZ_CHECK(judge.pos() == scalar.pos());
      FUZZ_CHECK(judge.line() == scalar.line());
      if (!got) {
        continue;
      }
      FUZZ_CHECK(got->size() == row->size());
      for (std::size_t i = 0; i < row->size(); ++i) {
        FUZZ_CHECK((*got)[i].text == (*row)[i].text);
        FUZZ_CHECK((*got)[i].ascii == (*row)[i].ascii);
      }
      FUZZ_CHECK(judge.as_read() == judges.front().as_read());
      if (judge.as_read()) {
        FUZZ_CHECK(judge.as_read_end() == judges.front().as_read_end());
        const auto same = vornish::verbatim_line(bytes, start, *got, delimiter, quote);
        FUZZ_CHECK(same.has_value());
        FUZZ_CHECK(*same == bytes.substr(start, judge.as_read_end() - start));
      }
    }
    // A row read whole as it stands is one the judges call as read, of
    // the width asked for (the row's own, any, or one more: declined);
    // one declined is left unread for the judging walk.
    const std::size_t ask = row ? (start + scalar.line()) % 3 : 0;
    const std::size_t width = !row ? 0 : ask == 0 ? row->size() : ask == 1 ? 0 : row->size() + 1;
    for (ResilientParser& verbatim : verbatims) {
      const std::size_t pos = verbatim.pos();
      const std::size_t line = verbatim.line();
      const std::optional<std::size_t> got = verbatim.next_row_verbatim(width);
      if (got) {
        FUZZ_CHECK(row.has_value() && ask != 2);
        FUZZ_CHECK(judges.front().as_read());
        FUZZ_CHECK(*got == row->size());
        FUZZ_CHECK(verbatim.as_read_end() == judges.front().as_read_end());
        FUZZ_CHECK(verbatim.ended_at_line_end() == scalar.ended_at_line_end());
      } else {
        FUZZ_CHECK(verbatim.pos() == pos && verbatim.line() == line);
        FUZZ_CHECK(verbatim.next_row_as_read().has_value() == row.has_value());
      }
      FUZZ_CHECK(verbatim.pos() == scalar.pos());
      FUZZ_CHECK(verbatim.line() == scalar.line());
    }
    if (!row) {
      break;
    }
  }
  check_code_page(bytes, delimiter, quote, repair, skip_space);
  return 0;
}
