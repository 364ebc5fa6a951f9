// The repair pipeline: settle the dialect, walk every row once, keep, pad,
// merge or quarantine it, and count what happened.
//
// In memory only; file input and output are in vornish_file (bottom), which
// streams kept rows to the clean output as they are produced.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/error.hpp"
#include "engine/quarantine_reason.hpp"
#include "engine/repair_log.hpp"
#include "parser/resilient_parser.hpp"
#include "parser/row_audit.hpp"

namespace vornish {

struct VornishOptions {
  std::optional<std::uint8_t> delimiter;
  std::uint8_t quote_char = '"';
  bool fill_ragged_rows = true;
  bool merge_overflow = true;
  std::optional<std::size_t> expected_columns;
  bool repair_quotes = true;
  // Not one of the standard options: only the front package's dialect
  // detection turns it on.
  bool skip_initial_space = false;
  // Rows set aside as a preamble before the table starts; also only set by
  // the front's dialect detection.
  std::size_t skip_rows = 0;
  // The front's code page for bytes that are not UTF-8 (a mostly UTF-8
  // file with a few legacy rows); none: they become U+FFFD.
  std::shared_ptr<const utf8::Fallback> fallback;
  // The input is text in this single-byte code page, decoded field by
  // field (ResilientParser::set_code_page); none: UTF-8. Only the front
  // sets it, and never together with `fallback`.
  std::shared_ptr<const utf8::Fallback> code_page;
  // Rows whose first field starts with it are set aside as comments; empty
  // for none. Only the front package sets it.
  std::string comment;
  // The last rows of the input set aside as a footer. Only the front sets it.
  std::size_t skip_footer = 0;
  // Rows of the table past the preamble, header included; the rows after
  // them belong to other tables and are set aside. None: no limit.
  std::optional<std::size_t> table_rows;
  // The table's header spans two rows: the group names above and the column
  // names below become one row of joined names.
  bool join_header = false;
};

// Whether rows must be decided in input order from the start of the table
// (a preamble, a footer, a table's row limit or a joined header): such a run
// stays on one thread.
inline bool counts_rows_in_order(const VornishOptions& options) noexcept {
  return options.skip_rows > 0 || options.skip_footer > 0 || options.table_rows.has_value() ||
         options.join_header;
}

struct VornishStats {
  std::size_t total_rows = 0;
  std::size_t vornished_rows = 0;
  std::size_t repaired_rows = 0;
  std::size_t quarantined_rows = 0;
  char32_t detected_delimiter = U',';
  std::size_t inferred_columns = 0;
};

struct QuarantineRecord {
  std::size_t line = 0;
  std::string reason;
  Row raw_tokens;
};

// The delimiter and expected width of a run, from the options or guessed.
struct Dialect {
  std::uint8_t delimiter = ',';
  std::size_t expected_columns = 0;
};

// With `skip_rows`, both guesses read the buffer from the end of the
// preamble on, so its titles and notes cannot sway them.
Dialect settle_dialect(std::string_view buffer, const VornishOptions& options);

// The offset where the table starts: just past the first `skip_rows` rows
// as the run's parser under `delimiter` reads them (the end of `buffer`
// when it holds fewer).
std::size_t preamble_end(std::string_view buffer, std::uint8_t delimiter,
                         const VornishOptions& options);

// Brings rows to the expected width. Owns the scratch that padding and
// merging need, so shaping a row allocates nothing once warmed up.
class RowShaper {
 public:
  RowShaper(std::size_t expected_columns, std::uint8_t delimiter);
  // `raw` padded with empty fields or with its surplus fields merged into the
  // last one; `raw` itself when it already has the expected width (or E = 0).
  // The result stays valid until the next call or until `raw` dies.
  RowView shape(RowView raw);

 private:
  std::size_t expected_;
  std::string separator_;
  std::vector<FieldView> fields_;
  std::string merged_;
};

// Receives the rows of a repair run in input order.
class RowVisitor {
 public:
  virtual ~RowVisitor() = default;
  // A kept row, already shaped; `start` is the byte offset where it begins.
  virtual void kept(RowView row, std::size_t start) = 0;
  // A kept row left as the tokenizer read it, whose fields stand in the
  // input just as they would be written (ResilientParser::as_read): its
  // bytes from `start` up to `end`, the row's line end, are its own line.
  virtual void kept_as_read(RowView row, std::size_t start, std::size_t /*end*/) {
    kept(row, start);
  }
  // A row `raw` whose fields stand in the input as they would be written
  // (as for kept_as_read, its bytes from `start` up to `end`), padded or
  // merged into `shaped`: a visitor that writes rows can make the shaped
  // row from those bytes.
  virtual void kept_shaped_as_read(RowView shaped, RowView /*raw*/, std::size_t start,
                                   std::size_t /*end*/) {
    kept(shaped, start);
  }
  // The names of a two-row header joined into one row: kept, but made of
  // two rows, so not to be read again from where it starts.
  virtual void kept_header(RowView row, std::size_t start) { kept(row, start); }
  // A row set aside, unrepaired; `start` as for kept rows.
  virtual void quarantined(std::size_t line, QuarantineReason reason, RowView raw,
                           std::size_t start) = 0;
  // Asked before each row: true ends the loop early (the stats are then
  // partial). Lets a writer that has already failed skip the rest.
  virtual bool stop_requested() const noexcept { return false; }
  // False when only widths and starts matter: rows are then only counted,
  // never decoded, and the views handed over are empty.
  virtual bool needs_fields() const noexcept { return true; }
  // True when kept_as_read is worth its cost to the tokenizer.
  virtual bool wants_as_read() const noexcept { return false; }
  // True when the visitor takes kept rows that are as read and of the
  // expected width as bare spans (kept_verbatim), so that the tokenizer need
  // not cut them into fields at all. Only for visitors that want as_read.
  virtual bool wants_verbatim() const noexcept { return false; }
  // Such a row: its bytes from `start` up to `end`, its line end, are its
  // own line. Called only where wants_verbatim().
  virtual void kept_verbatim(std::size_t /*start*/, std::size_t /*end*/) {}
  // Where the run records its changes; none: nothing is recorded, and the
  // row loops do no work for it.
  virtual RepairLog* repair_log() noexcept { return nullptr; }
};

// The bytes a row was read from, for the repair record.
struct RowSource {
  // From the row's first byte through its line end, or up to the end of
  // the input for a last row without one.
  std::string_view bytes;
  std::size_t first_line = 1;
  // Whether `bytes` end with the row's line end (rather than inside an
  // unclosed quoted field that ran to the end of the input).
  bool line_end = false;
  // The tokenizer found that no rule changed a field of the row
  // (ResilientParser::changed()), so only its width can be on record.
  bool unchanged = false;
};

// The repair decision for one row: keep it, pad or merge it, or set it
// aside, and count it. Every row loop goes through it, so that a run over a
// whole buffer and a run over a file in pieces repair alike.
class RowRepair {
 public:
  RowRepair(const VornishOptions& options, const Dialect& dialect);
  // `row` has `width` fields (it is empty when the visitor only counts);
  // `start` is where it begins and `line_after` the parser's line counter
  // read right after it. `as_read_end`, when given, is the parser's
  // as_read_end() for a row it found as_read().
  // `source`, given where the visitor keeps a repair log, is what the
  // row's records are made from.
  void take(RowView row, std::size_t width, std::size_t start, std::size_t line_after,
            RowVisitor& visitor, std::optional<std::size_t> as_read_end = std::nullopt,
            const RowSource* source = nullptr);
  const VornishStats& stats() const noexcept { return stats_; }

  // The rows still held back at the end of the input are the footer: sets
  // them aside. Call once, when the input has no more rows.
  void finish(RowVisitor& visitor);
  // How many of the last rows are held back as the footer from now on (a
  // caller that reads a header first arms it after the header). Only while
  // none is held.
  void hold_back(std::size_t rows) noexcept {
    if (held_count_ == 0) footer_ = rows;
  }
  // Rows of the table still to come before the other tables start.
  std::optional<std::size_t> table_rows_left() const noexcept { return table_left_; }

  // The width a row must have to be kept untouched (0: any), while rows are
  // no longer set aside as the preamble; nothing otherwise.
  std::optional<std::size_t> untouched_width() const noexcept {
    // A comment can be of any width: every row is looked at.
    if (preamble_ > 0 || !comment_.empty() || footer_ > 0 || table_left_ || joining_ > 0) {
      return std::nullopt;
    }
    return expected_;
  }
  // Whether the row loop must read fields: a comment is told by its first,
  // and a joined header is made of its rows' names.
  bool needs_fields() const noexcept { return !comment_.empty() || joining_ > 0; }
  // A row of that width read as it stands (ResilientParser::next_row_verbatim):
  // kept as it is, and counted as take() would count it.
  void take_verbatim(std::size_t start, std::size_t end, RowVisitor& visitor) {
    ++stats_.total_rows;
    ++stats_.vornished_rows;
    visitor.kept_verbatim(start, end);
  }

 private:
  enum class Fate : std::uint8_t {
    Kept, Padded, Merged, Quarantined, Preamble, Comment, Footer, OtherTable
  };
  void record(const RowSource& source, std::size_t start, std::size_t width, Fate fate,
              RepairLog& log);
  // The decision for a row past the preamble that is not held back.
  void decide(RowView row, std::size_t width, std::size_t start, std::size_t line_after,
              RowVisitor& visitor, std::optional<std::size_t> as_read_end,
              const RowSource* source);
  void set_aside(RowView row, std::size_t width, std::size_t start, std::size_t line_after,
                 RowVisitor& visitor, const RowSource* source, Fate fate,
                 QuarantineReason reason);
  // The upper row of a two-row header, kept until the lower one comes.
  void keep_group_row(RowView row);
  RowView joined_names(RowView names);

  // A row held back while it may still be one of the last `footer_`: its
  // fields and bytes copied, since the parser's views move on.
  struct HeldRow {
    std::size_t start = 0;
    std::size_t width = 0;
    std::size_t line_after = 0;
    std::optional<std::size_t> as_read_end;
    bool has_source = false;
    RowSource source;
    std::string bytes;
    std::string text;
    std::vector<std::size_t> ends;
    std::vector<unsigned char> ascii;
    std::vector<FieldView> fields;
  };
  void hold(HeldRow& slot, RowView row, std::size_t width, std::size_t start,
            std::size_t line_after, std::optional<std::size_t> as_read_end,
            const RowSource* source);
  // Hands the held row to `decide` (or, at the end, to the footer).
  void release(HeldRow& slot, RowVisitor& visitor, bool footer);

  std::size_t expected_;
  bool fill_ragged_rows_;
  bool merge_overflow_;
  // Rows still to be set aside as the preamble.
  std::size_t preamble_;
  std::string comment_;
  std::size_t footer_;
  std::optional<std::size_t> table_left_;
  // Rows of a two-row header still to come (2, 1 or 0).
  std::size_t joining_;
  std::vector<std::string> groups_;
  std::string joined_text_;
  std::vector<FieldView> joined_;
  // A ring of the rows held back, oldest at held_head_.
  std::vector<HeldRow> held_;
  std::size_t held_head_ = 0;
  std::size_t held_count_ = 0;
  RowShaper shaper_;
  RowAuditor auditor_;
  bool redecodes_;
  VornishStats stats_;
};

// Whether a row loop feeding `visitor` must read rows with next_row_as_read:
// the visitor asks for it, or it keeps a repair log and the tokenizer can
// tell it which rows hold no change.
bool reads_as_read(RowVisitor& visitor, std::uint8_t delimiter, std::uint8_t quote_char) noexcept;

// How a row loop reads each row for its visitor and hands it to the repair
// decision: the loop over a whole buffer and the loop over a file window
// both go through it, and differ only in where their bytes come from. Rows
// the visitor can take as bare spans (RowVisitor::wants_verbatim) are not
// cut into fields.
class RowStep {
 public:
  RowStep(RowVisitor& visitor, const RowRepair& repair, const VornishOptions& options,
          const Dialect& dialect) noexcept;
  // Reads the next row; false once the input is used up.
  bool read(ResilientParser& parser, const RowRepair& repair);
  // Hands the row just read on. The parser reads `data`, whose first byte
  // is at offset `base` of the visitor's input; the row started at
  // `start_local` of `data`, on line `first_line`.
  void take(const ResilientParser& parser, std::string_view data, std::size_t start_local,
            std::uint64_t base, std::size_t first_line, RowRepair& repair, RowVisitor& visitor);

 private:
  bool logging_;
  bool needs_fields_;
  bool wants_as_read_;
  bool wants_verbatim_;
  bool verbatim_ = false;
  RowView row_;
  std::size_t width_ = 0;
  std::optional<std::size_t> as_read_end_;
};

// The row loop over a non-empty buffer with a settled dialect.
VornishStats repair_rows(std::string_view buffer, const VornishOptions& options,
                         const Dialect& dialect, RowVisitor& visitor);

// The kept rows of a run, held as the byte offsets where they start in the
// borrowed buffer: eight bytes a row. A row's fields are read again from
// the buffer (and shaped again) when it is asked for.
class KeptRows {
 public:
  KeptRows() = default;
  KeptRows(std::string_view buffer, const VornishOptions& options, const Dialect& dialect);

  std::size_t size() const noexcept { return starts_.size(); }
  bool empty() const noexcept { return starts_.empty(); }
  void push_back(std::size_t start) { starts_.push_back(start); }
  // The joined names of a two-row header, which no single row of the
  // buffer holds: kept as they are.
  void push_joined(RowView row, std::size_t start);
  void shrink_to_fit() { starts_.shrink_to_fit(); }

  // Reads kept rows back; the row views stay valid until its next read.
  // A cursor points at its KeptRows: that object must stay where it is (not
  // moved or destroyed) while the cursor is used.
  class Cursor {
   public:
    explicit Cursor(const KeptRows& rows);
    RowView read(std::size_t index);

   private:
    const KeptRows* rows_;
    ResilientParser parser_;
    RowShaper shaper_;
  };

  Cursor cursor() const { return Cursor(*this); }
  Row materialize(std::size_t index) const;

 private:
  std::string_view buffer_;
  std::uint8_t quote_char_ = '"';
  bool repair_quotes_ = true;
  bool skip_initial_space_ = false;
  std::shared_ptr<const utf8::Fallback> fallback_;
  Dialect dialect_;
  std::vector<std::uint64_t> starts_;
  struct Joined {
    std::size_t index = 0;
    Row text;
    std::vector<FieldView> fields;
  };
  // Shared, so that copies of the rows (and their cursors) read it alike.
  std::shared_ptr<const Joined> joined_;
};

struct VornishOutcome {
  KeptRows rows;
  std::vector<QuarantineRecord> quarantined;
  VornishStats stats;
};

// The outcome borrows `buffer`: keep it alive while reading `rows`.
VornishOutcome vornish_slice(std::string_view buffer, const VornishOptions& options);

// The same run for callers that drop the quarantined rows: they are counted
// in the stats but never copied, so `quarantined` stays empty and peak
// memory stays near the size of the buffer.
// With `log`, every change of the run is recorded there too.
VornishOutcome vornish_slice_kept(std::string_view buffer, const VornishOptions& options,
                                  RepairLog* log = nullptr);

// Reads `input_path` whole, repairs it, writes the clean CSV to `output_path`
// and, when given, the quarantined rows to `quarantine_path`.
Result<VornishStats> vornish_file(const std::string& input_path,
                                  const std::string& output_path,
                                  const std::optional<std::string>& quarantine_path,
                                  const VornishOptions& options);

}  // namespace vornish
