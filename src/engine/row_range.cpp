// One parser per window of bytes held: when a row runs into the end of what
// is held, the window keeps that row, grows, and a new parser starts at it.
#include "engine/row_range.hpp"

#include <algorithm>
#include <array>

#include "heuristics/counted_rows.hpp"
#include "parser/resilient_parser.hpp"

namespace vornish {
namespace {

class CountingVisitor final : public RowVisitor {
 public:
  void kept(RowView, std::size_t) override {}
  void quarantined(std::size_t, QuarantineReason, RowView, std::size_t) override {}
  bool needs_fields() const noexcept override { return false; }
};

}  // namespace

Result<RangeEnd> run_range(FileWindow& window, std::uint64_t begin, std::uint64_t stop,
                           std::size_t first_line, const VornishOptions& options,
                           const Dialect& dialect, RowRepair& repair, RowVisitor& visitor,
                           const RangeLimits& limits) {
  RangeEnd result{begin, first_line, false, false};
  std::uint64_t pos = begin;
  std::size_t line = first_line;
  RowStep step(visitor, repair, options, dialect);
  if (pos < window.base() || pos > window.end()) {
    window.restart(pos);
  }
  for (;;) {
    // Enough bytes for the first row to be judged: at the start of the file
    // the parser must see the whole byte-order mark if there is one.
    const std::size_t least = pos == 0 ? 3 : 1;
    if (window.end() - pos < least && !window.at_eof()) {
      if (Status s = window.grow(limits.read_size); !s) {
        return s.error();
      }
      continue;
    }
    const std::string_view data = window.view();
    const std::uint64_t base = window.base();
    ResilientParser parser(data, dialect.delimiter, options.quote_char, options.repair_quotes,
                           options.skip_initial_space);
    parser.set_fallback(options.fallback.get());
    parser.set_code_page(options.code_page.get());
    if (pos != 0) {
      parser.seek(static_cast<std::size_t>(pos - base));
    }
    parser.set_line(line);
    bool need_more = false;
    for (;;) {
      const std::uint64_t start = base + parser.pos();
      if (start >= stop) {
        pos = start;
        break;
      }
      if (visitor.stop_requested() ||
          (limits.cancel != nullptr && limits.cancel->load(std::memory_order_relaxed))) {
        result.cancelled = true;
        return result;
      }
      if (limits.before_row && !limits.before_row(start, line, repair.stats())) {
        result.end = start;
        result.next_line = line;
        result.stopped = true;
        return result;
      }
      const bool got = step.read(parser, repair);
      // A row that ran into the end of the bytes held may go on in the
      // bytes not yet read (an open quote, a CR whose LF comes next, the
      // closing-quote test looking ahead to the line end).
      if (!window.at_eof() && (!got || parser.pos() >= data.size())) {
        pos = start;
        need_more = true;
        break;
      }
      if (!got) {
        pos = start;  // the end of the file
        break;
      }
      step.take(parser, data, static_cast<std::size_t>(start - base), base, line, repair, visitor);
      line = parser.line();
    }
    if (!need_more) {
      result.end = pos;
      result.next_line = line;
      return result;
    }
    if (window.end() > std::max(stop, begin) &&
        window.end() - std::max(stop, begin) > limits.max_overhang) {
      result.abandoned = true;
      return result;
    }
    // Only the unfinished row is kept. It grows by at least what it already
    // holds, so a row of any length costs linear time; past `stop` only that
    // last row is wanted, so the reads there are small.
    window.restart(pos);
    const auto held = static_cast<std::size_t>(window.end() - pos);
    const std::size_t want = window.end() >= stop ? kLastRowRead : limits.read_size;
    if (Status s = window.grow(std::max(want, held)); !s) {
      return s.error();
    }
  }
}

Result<RangeEnd> find_range_end(FileWindow& window, std::uint64_t begin, std::uint64_t stop,
                                std::size_t first_line, const VornishOptions& options,
                                const Dialect& dialect, const RangeLimits& limits) {
  RowRepair repair(options, dialect);
  CountingVisitor counting;
  return run_range(window, begin, stop, first_line, options, dialect, repair, counting, limits);
}

bool settles_dialect(std::string_view prefix, const VornishOptions& options) {
  // Both heuristics read at most WidthTally::kCapacity counted rows after
  // the preamble, with the double quote and quote repair whatever the run
  // uses, and blanks skipped as the run skips them.
  const auto complete = [&](std::uint8_t delimiter, std::uint8_t preamble_delimiter) {
    std::string_view table = prefix;
    if (options.skip_rows > 0) {
      const std::size_t start = preamble_end(prefix, preamble_delimiter, options);
      if (start >= prefix.size()) {
        return false;  // the preamble itself is not all here yet
      }
      table = prefix.substr(start);
    }
    ResilientParser parser(table, delimiter, '"', true, options.skip_initial_space);
    for (std::size_t counted = 0; counted < WidthTally::kCapacity; ++counted) {
      if (!next_counted_width(parser) || parser.pos() >= table.size()) {
        return false;
      }
    }
    return true;
  };
  if (!options.delimiter) {
    // Sniffing sees the table as the comma finds it; the width is then
    // counted from where the sniffed delimiter finds it.
    for (const std::uint8_t candidate : std::array<std::uint8_t, 4>{',', ';', '\t', '|'}) {
      if (!complete(candidate, ',') || !complete(candidate, candidate)) {
        return false;
      }
    }
    return true;
  }
  return (options.expected_columns.has_value() && options.skip_rows == 0) ||
         complete(*options.delimiter, *options.delimiter);
}

void add_counts(VornishStats& into, const VornishStats& from) noexcept {
  into.total_rows += from.total_rows;
  into.vornished_rows += from.vornished_rows;
  into.repaired_rows += from.repaired_rows;
  into.quarantined_rows += from.quarantined_rows;
}

}  // namespace vornish
