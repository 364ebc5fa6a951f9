// The repair pipeline: one parser walks the whole buffer, and every row is
// kept, padded, merged or quarantined on the spot.
//
// The row loop (repair_rows) is shared by the in-memory outcome, which keeps
// only where each kept row starts, and by the file operation, which formats
// kept rows straight into the output buffer; so no run ever holds all rows
// as strings. Nothing here fails except file input and output, which come
// back as VornishError values.
#include "engine/vornish.hpp"

#include <algorithm>
#include <optional>
#include <utility>

#include "engine/io.hpp"
#include "engine/writer.hpp"
#include "heuristics/columns.hpp"
#include "heuristics/sniff.hpp"

namespace vornish {

std::size_t preamble_end(std::string_view buffer, std::uint8_t delimiter,
                         const VornishOptions& options) {
  ResilientParser parser(buffer, delimiter, options.quote_char, options.repair_quotes,
                         options.skip_initial_space);
  std::size_t skipped = 0;
  while (skipped < options.skip_rows && parser.skip_row()) {
    ++skipped;
  }
  return parser.pos();
}

Dialect settle_dialect(std::string_view buffer, const VornishOptions& options) {
  Dialect dialect;
  // The width is guessed under the delimiter of the run, so that comes first.
  // Without a preamble both guesses see the whole buffer, as they always did.
  std::string_view table = buffer;
  if (options.skip_rows > 0) {
    // Row boundaries hardly depend on the delimiter; the comma's serve to
    // find the table for sniffing, the run's own ones for the width.
    table = buffer.substr(preamble_end(buffer, options.delimiter.value_or(','), options));
  }
  dialect.delimiter = options.delimiter ? *options.delimiter
                                        : sniff_delimiter(table, options.skip_initial_space);
  if (options.skip_rows > 0 && !options.delimiter) {
    table = buffer.substr(preamble_end(buffer, dialect.delimiter, options));
  }
  dialect.expected_columns = options.expected_columns
                                 ? *options.expected_columns
                                 : infer_column_count(table, dialect.delimiter,
                                                      options.skip_initial_space);
  return dialect;
}

RowShaper::RowShaper(std::size_t expected_columns, std::uint8_t delimiter)
    : expected_(expected_columns), separator_(byte_as_text(delimiter)) {}

RowView RowShaper::shape(RowView raw) {
  const std::size_t n = raw.size();
  if (expected_ == 0 || n == expected_) {
    return raw;
  }
  // The slots are sized once: a resize per short row went through the
  // library's general insert, a visible share of a run with many of them.
  if (fields_.size() < expected_) {
    fields_.resize(expected_);
  }
  if (n < expected_) {
    std::copy(raw.begin(), raw.end(), fields_.begin());
    std::fill(fields_.begin() + static_cast<std::ptrdiff_t>(n),
              fields_.begin() + static_cast<std::ptrdiff_t>(expected_), FieldView{});
    return RowView(fields_.data(), expected_);
  }
  // Fields E-1 .. n-1 become one, joined by the delimiter as text; with
  // E = 1 that is the whole row.
  const std::size_t keep = expected_ - 1;
  std::copy(raw.begin(), raw.begin() + static_cast<std::ptrdiff_t>(keep), fields_.begin());
  merged_.clear();
  bool ascii = separator_.size() == 1;
  for (std::size_t i = keep; i < n; ++i) {
    if (i != keep) {
      merged_ += separator_;
    }
    merged_ += raw[i].text;
    ascii = ascii && raw[i].ascii;
  }
  fields_[keep] = FieldView{merged_, ascii};
  return RowView(fields_.data(), expected_);
}

RowRepair::RowRepair(const VornishOptions& options, const Dialect& dialect)
    : expected_(dialect.expected_columns),
      fill_ragged_rows_(options.fill_ragged_rows),
      merge_overflow_(options.merge_overflow),
      preamble_(options.skip_rows),
      comment_(options.comment),
      footer_(options.skip_footer),
      table_left_(options.table_rows),
      joining_(options.join_header ? 2 : 0),
      shaper_(dialect.expected_columns, dialect.delimiter),
      auditor_(dialect.delimiter, options.quote_char, options.repair_quotes,
               options.skip_initial_space),
      redecodes_(options.fallback != nullptr) {
  auditor_.set_code_page(options.code_page.get());
  stats_.detected_delimiter = static_cast<char32_t>(dialect.delimiter);
  stats_.inferred_columns = dialect.expected_columns;
}

namespace {

// A row's bytes as its records keep them: without its line end.
std::string_view row_bytes(const RowSource& source) noexcept {
  std::string_view raw = source.bytes;
  if (source.line_end && !raw.empty()) {
    const char last = raw.back();
    raw.remove_suffix(1);
    if (last == '\n' && !raw.empty() && raw.back() == '\r') raw.remove_suffix(1);
  }
  return raw;
}

}  // namespace

void RowRepair::take(RowView row, std::size_t width, std::size_t start, std::size_t line_after,
                     RowVisitor& visitor, std::optional<std::size_t> as_read_end,
                     const RowSource* source) {
  ++stats_.total_rows;
  RepairLog* log = source != nullptr ? visitor.repair_log() : nullptr;
  if (preamble_ > 0) {
    if (log) log->note_row(source->first_line, start, row_bytes(*source));
    // Set aside whole, so nothing of it is lost, with its own line.
    --preamble_;
    if (log) record(*source, start, width, Fate::Preamble, *log);
    visitor.quarantined(line_after, QuarantineReason::Preamble, row, start);
    ++stats_.quarantined_rows;
    return;
  }
  // The header's rows come first, so deciding them at once keeps the order.
  if (footer_ == 0 || joining_ > 0) {
    decide(row, width, start, line_after, visitor, as_read_end, source);
    return;
  }
  // Whether a row is one of the last `footer_` is known only `footer_` rows
  // later: the ring holds that many, and the oldest is decided when a new
  // one comes.
  if (held_.size() < footer_ && held_count_ == held_.size()) {
    held_.emplace_back();
  }
  if (held_count_ < held_.size()) {
    hold(held_[(held_head_ + held_count_) % held_.size()], row, width, start, line_after,
         as_read_end, source);
    ++held_count_;
    return;
  }
  HeldRow& oldest = held_[held_head_];
  release(oldest, visitor, false);
  hold(oldest, row, width, start, line_after, as_read_end, source);
  held_head_ = (held_head_ + 1) % held_.size();
}

void RowRepair::hold(HeldRow& slot, RowView row, std::size_t width, std::size_t start,
                     std::size_t line_after, std::optional<std::size_t> as_read_end,
                     const RowSource* source) {
  slot.start = start;
  slot.width = width;
  slot.line_after = line_after;
  slot.as_read_end = as_read_end;
  slot.has_source = source != nullptr;
  if (source != nullptr) {
    slot.bytes.assign(source->bytes);
    slot.source = *source;
    slot.source.bytes = {};
  }
  slot.text.clear();
  slot.ends.clear();
  slot.ascii.clear();
  for (const FieldView& field : row) {
    slot.text += field.text;
    slot.ends.push_back(slot.text.size());
    slot.ascii.push_back(field.ascii ? 1 : 0);
  }
}

void RowRepair::release(HeldRow& slot, RowVisitor& visitor, bool footer) {
  const RowSource* source = nullptr;
  if (slot.has_source) {
    slot.source.bytes = slot.bytes;
    source = &slot.source;
  }
  // The views are made only now: the ring may have moved its slots.
  slot.fields.resize(slot.ends.size());
  std::size_t begin = 0;
  for (std::size_t i = 0; i < slot.ends.size(); ++i) {
    slot.fields[i] = FieldView{std::string_view(slot.text).substr(begin, slot.ends[i] - begin),
                               slot.ascii[i] != 0};
    begin = slot.ends[i];
  }
  const RowView row(slot.fields);
  if (footer) {
    set_aside(row, slot.width, slot.start, slot.line_after, visitor, source, Fate::Footer,
              QuarantineReason::Footer);
  } else {
    decide(row, slot.width, slot.start, slot.line_after, visitor, slot.as_read_end, source);
  }
}

void RowRepair::finish(RowVisitor& visitor) {
  for (; held_count_ > 0; --held_count_) {
    release(held_[held_head_], visitor, true);
    held_head_ = (held_head_ + 1) % held_.size();
  }
  held_head_ = 0;
}

void RowRepair::set_aside(RowView row, std::size_t width, std::size_t start,
                          std::size_t line_after, RowVisitor& visitor, const RowSource* source,
                          Fate fate, QuarantineReason reason) {
  RepairLog* log = source != nullptr ? visitor.repair_log() : nullptr;
  if (log) {
    log->note_row(source->first_line, start, row_bytes(*source));
    record(*source, start, width, fate, *log);
  }
  visitor.quarantined(line_after, reason, row, start);
  ++stats_.quarantined_rows;
}

void RowRepair::keep_group_row(RowView row) {
  // Each group name stands over the empty cells after it, up to the next.
  groups_.resize(row.size());
  std::string_view group;
  for (std::size_t i = 0; i < row.size(); ++i) {
    if (!row[i].text.empty()) group = row[i].text;
    groups_[i].assign(group);
  }
}

RowView RowRepair::joined_names(RowView names) {
  joined_text_.clear();
  std::vector<std::size_t> ends;
  ends.reserve(names.size());
  for (std::size_t i = 0; i < names.size(); ++i) {
    // Past the group row's last cell its last group still stands.
    const std::string_view group =
        groups_.empty() ? std::string_view{} : std::string_view(groups_[std::min(i, groups_.size() - 1)]);
    const std::string_view name = names[i].text;
    joined_text_ += group;
    if (!group.empty() && !name.empty()) joined_text_ += ' ';
    joined_text_ += name;
    ends.push_back(joined_text_.size());
  }
  joined_.resize(names.size());
  std::size_t begin = 0;
  for (std::size_t i = 0; i < names.size(); ++i) {
    const std::string_view text = std::string_view(joined_text_).substr(begin, ends[i] - begin);
    const bool ascii = std::all_of(text.begin(), text.end(),
                                   [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    joined_[i] = FieldView{text, ascii};
    begin = ends[i];
  }
  return joined_;
}

void RowRepair::decide(RowView row, std::size_t width, std::size_t start, std::size_t line_after,
                       RowVisitor& visitor, std::optional<std::size_t> as_read_end,
                       const RowSource* source) {
  if (table_left_) {
    if (*table_left_ == 0) {
      set_aside(row, width, start, line_after, visitor, source, Fate::OtherTable,
                QuarantineReason::OtherTable);
      return;
    }
    --*table_left_;
  }
  if (!comment_.empty() && !row.empty() && row[0].text.starts_with(comment_)) {
    set_aside(row, width, start, line_after, visitor, source, Fate::Comment,
              QuarantineReason::Comment);
    return;
  }
  RepairLog* log = source != nullptr ? visitor.repair_log() : nullptr;
  if (log) log->note_row(source->first_line, start, row_bytes(*source));
  if (joining_ == 2) {
    // The group row is the upper half of the header the next row completes.
    joining_ = 1;
    keep_group_row(row);
    // Read but not written on its own: the names row carries it.
    if (log) record(*source, start, width, Fate::Kept, *log);
    return;
  }
  if (joining_ == 1) {
    joining_ = 0;
    const RowView names = (expected_ == 0 || width == expected_) ? row : shaper_.shape(row);
    if (log) {
      const bool as_is = expected_ == 0 || width == expected_;
      record(*source, start, width,
             as_is ? Fate::Kept : (width < expected_ ? Fate::Padded : Fate::Merged), *log);
    }
    visitor.kept_header(joined_names(names), start);
    ++stats_.vornished_rows;
    if (expected_ != 0 && width != expected_) ++stats_.repaired_rows;
    return;
  }
  if (expected_ == 0 || width == expected_) {
    if (log) record(*source, start, width, Fate::Kept, *log);
    if (as_read_end) {
      visitor.kept_as_read(row, start, *as_read_end);
    } else {
      visitor.kept(row, start);
    }
    ++stats_.vornished_rows;
    return;
  }
  const bool too_few = width < expected_;
  if (too_few ? fill_ragged_rows_ : merge_overflow_) {
    if (log) record(*source, start, width, too_few ? Fate::Padded : Fate::Merged, *log);
    // A counted-only row carries no fields, so there is nothing to shape.
    if (row.size() != width) {
      visitor.kept(row, start);
    } else if (as_read_end) {
      visitor.kept_shaped_as_read(shaper_.shape(row), row, start, *as_read_end);
    } else {
      visitor.kept(shaper_.shape(row), start);
    }
    ++stats_.vornished_rows;
    ++stats_.repaired_rows;
  } else {
    if (log) record(*source, start, width, Fate::Quarantined, *log);
    // Read right after the row: for a row ended by a line end that is the
    // line where the next row starts.
    visitor.quarantined(line_after, too_few ? QuarantineReason::TooFew : QuarantineReason::Extra,
                        row, start);
    ++stats_.quarantined_rows;
  }
}

void RowRepair::record(const RowSource& source, std::size_t start, std::size_t width, Fate fate,
                       RepairLog& log) {
  const std::span<const FieldNote> notes =
      source.unchanged ? std::span<const FieldNote>{} : auditor_.audit(source.bytes);
  if (notes.empty() && fate == Fate::Kept) {
    return;
  }
  log.begin_row(source.first_line, start, row_bytes(source));
  for (const FieldNote& note : notes) {
    // FieldChange and the field actions name the same changes.
    static constexpr RepairAction kActionOf[] = {
        RepairAction::StrayQuote,     RepairAction::BlanksDropped,
        RepairAction::TextAfterQuote, RepairAction::BareQuote,
        RepairAction::UnterminatedQuote, RepairAction::InvalidUtf8};
    const bool redecoded = note.change == FieldChange::InvalidUtf8 && redecodes_;
    log.add(static_cast<std::uint32_t>(note.column),
            redecoded ? RepairAction::Redecoded : kActionOf[static_cast<std::size_t>(note.change)],
            note.amount, note.replacements);
  }
  switch (fate) {
    case Fate::Kept:
      break;
    case Fate::Padded:
      log.add(0, RepairAction::Padded, width, expected_);
      break;
    case Fate::Merged:
      log.add(0, RepairAction::Merged, width, expected_);
      break;
    case Fate::Quarantined:
      log.add(0, RepairAction::Quarantined, width, expected_);
      break;
    case Fate::Preamble:
      log.add(0, RepairAction::Preamble, width, expected_);
      break;
    case Fate::Comment:
      log.add(0, RepairAction::Comment, width, expected_);
      break;
    case Fate::Footer:
      log.add(0, RepairAction::Footer, width, expected_);
      break;
    case Fate::OtherTable:
      log.add(0, RepairAction::Table, width, expected_);
      break;
  }
}

bool reads_as_read(RowVisitor& visitor, std::uint8_t delimiter, std::uint8_t quote_char) noexcept {
  if (!visitor.needs_fields() && visitor.repair_log() == nullptr) return false;
  return visitor.wants_as_read() || (visitor.repair_log() != nullptr &&
                                     ResilientParser::judges_as_read(delimiter, quote_char));
}

RowStep::RowStep(RowVisitor& visitor, const RowRepair& repair, const VornishOptions& options,
                 const Dialect& dialect) noexcept
    : logging_(visitor.repair_log() != nullptr),
      // A log needs the rows' fields only to learn which rows are as read.
      needs_fields_(visitor.needs_fields() || logging_ || repair.needs_fields()),
      wants_as_read_(reads_as_read(visitor, dialect.delimiter, options.quote_char)),
      wants_verbatim_(wants_as_read_ && visitor.wants_verbatim()) {}

bool RowStep::read(ResilientParser& parser, const RowRepair& repair) {
  verbatim_ = false;
  row_ = {};
  width_ = 0;
  as_read_end_.reset();
  if (wants_verbatim_) {
    // A verbatim row is as read and of the expected width: nothing to record.
    if (const std::optional<std::size_t> width = repair.untouched_width();
        width && parser.next_row_verbatim(*width)) {
      verbatim_ = true;
      return true;
    }
  }
  if (needs_fields_) {
    const std::optional<RowView> parsed =
        wants_as_read_ ? parser.next_row_as_read() : parser.next_row();
    if (!parsed) {
      return false;
    }
    row_ = *parsed;
    width_ = row_.size();
    if (parser.as_read()) {
      as_read_end_ = parser.as_read_end();
    }
    return true;
  }
  const std::optional<std::size_t> width = parser.skip_row();
  if (!width) {
    return false;
  }
  width_ = *width;
  return true;
}

void RowStep::take(const ResilientParser& parser, std::string_view data, std::size_t start_local,
                   std::uint64_t base, std::size_t first_line, RowRepair& repair,
                   RowVisitor& visitor) {
  const auto start = static_cast<std::size_t>(base + start_local);
  if (verbatim_) {
    repair.take_verbatim(start, static_cast<std::size_t>(base + parser.as_read_end()), visitor);
    return;
  }
  std::optional<std::size_t> as_read_end;
  if (as_read_end_) {
    as_read_end = static_cast<std::size_t>(base + *as_read_end_);
  }
  if (logging_) {
    const RowSource source{data.substr(start_local, parser.pos() - start_local), first_line,
                           parser.ended_at_line_end(), wants_as_read_ && !parser.changed()};
    repair.take(row_, width_, start, parser.line(), visitor, as_read_end, &source);
  } else {
    repair.take(row_, width_, start, parser.line(), visitor, as_read_end);
  }
}

VornishStats repair_rows(std::string_view buffer, const VornishOptions& options,
                         const Dialect& dialect, RowVisitor& visitor) {
  ResilientParser parser(buffer, dialect.delimiter, options.quote_char, options.repair_quotes,
                         options.skip_initial_space);
  parser.set_fallback(options.fallback.get());
  parser.set_code_page(options.code_page.get());
  RowRepair repair(options, dialect);
  RowStep step(visitor, repair, options, dialect);
  while (!visitor.stop_requested()) {
    const std::size_t start = parser.pos();
    const std::size_t first_line = parser.line();
    if (!step.read(parser, repair)) {
      break;
    }
    step.take(parser, buffer, start, 0, first_line, repair, visitor);
  }
  if (!visitor.stop_requested()) repair.finish(visitor);
  return repair.stats();
}

KeptRows::KeptRows(std::string_view buffer, const VornishOptions& options, const Dialect& dialect)
    : buffer_(buffer),
      quote_char_(options.quote_char),
      repair_quotes_(options.repair_quotes),
      skip_initial_space_(options.skip_initial_space),
      fallback_(options.fallback),
      dialect_(dialect) {}

KeptRows::Cursor::Cursor(const KeptRows& rows)
    : rows_(&rows),
      parser_(rows.buffer_, rows.dialect_.delimiter, rows.quote_char_, rows.repair_quotes_,
              rows.skip_initial_space_),
      shaper_(rows.dialect_.expected_columns, rows.dialect_.delimiter) {
  parser_.set_fallback(rows.fallback_.get());
}

RowView KeptRows::Cursor::read(std::size_t index) {
  // A row is a pure function of where it starts, so reading it again from
  // there gives the fields the run saw. Only kept rows are stored, and a
  // kept row of the wrong width was padded or merged, so shaping it again
  // repeats exactly that repair.
  if (index >= rows_->starts_.size()) {
    return {};
  }
  if (rows_->joined_ && index == rows_->joined_->index) {
    return rows_->joined_->fields;
  }
  const auto start = static_cast<std::size_t>(rows_->starts_[index]);
  if (parser_.pos() != start) {
    parser_.seek(start);
  }
  const std::optional<RowView> row = parser_.next_row();
  if (!row) {
    return {};
  }
  return shaper_.shape(*row);
}

void KeptRows::push_joined(RowView row, std::size_t start) {
  auto joined = std::make_shared<Joined>();
  joined->index = starts_.size();
  joined->text = to_row(row);
  for (std::size_t i = 0; i < joined->text.size(); ++i) {
    joined->fields.push_back(FieldView{joined->text[i], row[i].ascii});
  }
  joined_ = std::move(joined);
  starts_.push_back(start);
}

Row KeptRows::materialize(std::size_t index) const {
  Cursor cursor(*this);
  return to_row(cursor.read(index));
}

namespace {

// Collects the in-memory outcome: starts of kept rows, owned copies of
// quarantined ones.
class OutcomeCollector final : public RowVisitor {
 public:
  OutcomeCollector(VornishOutcome& outcome, std::size_t expected, bool keep_quarantined,
                   RepairLog* log)
      : outcome_(outcome),
        keep_quarantined_(keep_quarantined),
        log_(log),
        reasons_(expected) {}

  RepairLog* repair_log() noexcept override { return log_; }

  void kept(RowView /*row*/, std::size_t start) override { outcome_.rows.push_back(start); }
  void kept_header(RowView row, std::size_t start) override {
    outcome_.rows.push_joined(row, start);
  }
  bool needs_fields() const noexcept override { return keep_quarantined_; }

  void quarantined(std::size_t line, QuarantineReason reason, RowView raw,
                   std::size_t /*start*/) override {
    if (!keep_quarantined_) {
      return;
    }
    outcome_.quarantined.push_back(QuarantineRecord{line, reasons_.of(reason), to_row(raw)});
  }

 private:
  VornishOutcome& outcome_;
  bool keep_quarantined_;
  RepairLog* log_;
  ReasonTexts reasons_;
};

// Streams kept rows into the clean output as they come. Quarantined rows are
// only noted (where they start, their line and reason) and read again from
// the input once the output is complete, so they cost a few words each
// rather than their text. Stops the run at the first failed write.
class FileWriter final : public RowVisitor {
 public:
  FileWriter(BufferedFile& output, std::string_view input, const VornishOptions& options,
             const Dialect& dialect, bool keep_quarantine)
      : output_(output),
        input_(input),
        delimiter_(dialect.delimiter),
        quote_char_(options.quote_char),
        formatter_(dialect.delimiter, options.quote_char),
        separator_(byte_as_text(dialect.delimiter)),
        keep_quarantine_(keep_quarantine),
        judged_(ResilientParser::judges_as_read(dialect.delimiter, options.quote_char)),
        reasons_(dialect.expected_columns) {}

  // Where the tokenizer judges rows, the ones it did not call as read (and
  // every shaped row) are exactly those verbatim_line would refuse.
  void kept(RowView row, std::size_t start) override {
    if (!judged_) {
      if (const auto same = verbatim_line(input_, start, row, delimiter_, quote_char_)) {
        write_input_line(*same);
        return;
      }
    }
    line_.clear();
    formatter_.append_row(line_, row);
    note(output_.write_line(line_));
  }

  // The tokenizer has already seen all that verbatim_line would check.
  void kept_as_read(RowView row, std::size_t start, std::size_t end) override {
    if (row.empty()) {
      kept(row, start);
      return;
    }
    kept_verbatim(start, end);
  }

  void quarantined(std::size_t line, QuarantineReason reason, RowView /*raw*/,
                   std::size_t start) override {
    if (keep_quarantine_) {
      quarantined_.push_back({start, line, reason});
    }
  }

  void kept_verbatim(std::size_t start, std::size_t end) override {
    write_input_line(input_.substr(start, end - start));
  }

  bool stop_requested() const noexcept override { return error_.has_value(); }
  bool wants_as_read() const noexcept override { return judged_; }
  bool wants_verbatim() const noexcept override { return judged_; }

  const std::optional<VornishError>& error() const noexcept { return error_; }

  // Writes the quarantine file's records, re-reading each row from `buffer`.
  Status write_quarantine(std::string_view buffer, const VornishOptions& options,
                          const Dialect& dialect, BufferedFile& file) {
    ResilientParser parser(buffer, dialect.delimiter, options.quote_char, options.repair_quotes,
                         options.skip_initial_space);
    for (const QuarantinedAt& q : quarantined_) {
      parser.seek(q.start);
      const std::optional<RowView> raw = parser.next_row();
      line_.clear();
      append_quarantine_line(line_, q.line, reasons_.of(q.reason), raw ? *raw : RowView{},
                             separator_);
      if (Status s = file.write_line(line_); !s) {
        return s;
      }
    }
    return Ok{};
  }

 private:
  // `same` lies in the input; an LF right after it completes the line in
  // place, and any other line end (or none) becomes an LF.
  void write_input_line(std::string_view same) {
    const char* end = same.data() + same.size();
    if (end != input_.data() + input_.size() && *end == '\n') {
      note(output_.write_line(std::string_view(same.data(), same.size() + 1)));
    } else {
      note(output_.write_line_lf(same));
    }
  }

  void note(const Status& s) {
    if (!s) {
      error_ = s.error();
    }
  }

  BufferedFile& output_;
  std::string_view input_;
  std::uint8_t delimiter_;
  std::uint8_t quote_char_;
  CsvLineFormatter formatter_;
  std::string separator_;
  bool keep_quarantine_;
  bool judged_;
  ReasonTexts reasons_;
  struct QuarantinedAt {
    std::size_t start;
    std::size_t line;
    QuarantineReason reason;
  };
  std::string line_;
  std::vector<QuarantinedAt> quarantined_;
  std::optional<VornishError> error_;
};

// Flushes and closes, reporting the first failure.
Status finish(BufferedFile& file) {
  if (Status s = file.flush(); !s) {
    return s;
  }
  return file.close();
}

VornishOutcome slice(std::string_view buffer, const VornishOptions& options,
                     bool keep_quarantined, RepairLog* log) {
  VornishOutcome outcome;
  if (buffer.empty()) {
    // Nothing to guess from: the defaults stand, whatever the options say.
    return outcome;
  }
  const Dialect dialect = settle_dialect(buffer, options);
  outcome.rows = KeptRows(buffer, options, dialect);
  OutcomeCollector collector(outcome, dialect.expected_columns, keep_quarantined, log);
  outcome.stats = repair_rows(buffer, options, dialect, collector);
  outcome.rows.shrink_to_fit();
  return outcome;
}

}  // namespace

VornishOutcome vornish_slice(std::string_view buffer, const VornishOptions& options) {
  return slice(buffer, options, true, nullptr);
}

VornishOutcome vornish_slice_kept(std::string_view buffer, const VornishOptions& options,
                                  RepairLog* log) {
  return slice(buffer, options, false, log);
}

Result<VornishStats> vornish_file(const std::string& input_path,
                                  const std::string& output_path,
                                  const std::optional<std::string>& quarantine_path,
                                  const VornishOptions& options) {
  // Read whole before the output is created: the output may be the input.
  Result<ByteBuffer> input = read_whole_file(input_path);
  if (!input) {
    return input.error();
  }
  const std::string_view buffer = input.value().view();

  VornishStats stats;
  // Settled before the output exists, so nothing is truncated for a run
  // that cannot even start.
  std::optional<Dialect> dialect;
  if (!buffer.empty()) {
    dialect = settle_dialect(buffer, options);
  }
  Result<BufferedFile> created = BufferedFile::create(output_path);
  if (!created) {
    return created.error();
  }
  BufferedFile& output = created.value();
  std::optional<FileWriter> writer;
  if (dialect) {
    writer.emplace(output, buffer, options, *dialect, quarantine_path.has_value());
    stats = repair_rows(buffer, options, *dialect, *writer);
    if (writer->error()) {
      return *writer->error();
    }
  }
  if (Status s = finish(output); !s) {
    return s.error();
  }

  if (quarantine_path) {
    Result<BufferedFile> q = BufferedFile::create(*quarantine_path);
    if (!q) {
      return q.error();
    }
    BufferedFile& quarantine = q.value();
    if (Status s = quarantine.write_line(kQuarantineHeader); !s) {
      return s.error();
    }
    if (writer) {
      if (Status s = writer->write_quarantine(buffer, options, *dialect, quarantine); !s) {
        return s.error();
      }
    }
    if (Status s = finish(quarantine); !s) {
      return s.error();
    }
  }
  return stats;
}

}  // namespace vornish
