// One chunk's output on its way to the files: ChunkSink collects the clean
// text, quarantine records and repair records of a chunk's rows in memory
// (rows that need no rewriting copied whole from the window); Committer
// writes committed chunks in input order to the output, the quarantine
// spill and the audit file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/file_window.hpp"
#include "engine/output_file.hpp"
#include "engine/repair_log.hpp"
#include "engine/vornish.hpp"
#include "engine/writer.hpp"
#include "parser/resilient_parser.hpp"

namespace vornish {

// Quarantine records waiting for the output to be complete: in memory up
// to a threshold, then in an unnamed temporary file.
class Spill {
 public:
  explicit Spill(std::string directory) : directory_(std::move(directory)) {}

  std::string& pending() noexcept { return pending_; }

  // Moves what is held to the spill file once it is large enough.
  Status maybe_spill();
  // Writes everything held, in order, to `out`.
  Status copy_to(BlockWriter& out);

 private:
  // Unnamed where possible, so nothing is left behind by a crash; beside
  // the output first (known to be writable), else in the temporary folder.
  Status create();

  std::string directory_;
  std::string pending_;
  Fd fd_;
};

// Collects one chunk's results in memory: its clean output text, its
// quarantine records without their line numbers (those are only known
// relative to the chunk's start until the chunks before it are committed).
class ChunkSink final : public RowVisitor {
 public:
  ChunkSink(const VornishOptions& options, const Dialect& dialect, bool keep_quarantine,
            bool record)
      : formatter_(dialect.delimiter, options.quote_char),
        separator_(byte_as_text(dialect.delimiter)),
        delimiter_(dialect.delimiter),
        quote_char_(options.quote_char),
        keep_quarantine_(keep_quarantine),
        judged_(ResilientParser::judges_as_read(dialect.delimiter, options.quote_char)),
        record_(record),
        reasons_(dialect.expected_columns),
        code_page_(options.code_page.get()) {
    if (options.fallback) log_.set_fallback_name(options.fallback->name());
  }

  // The window the rows come from, so that a row needing no rewriting is
  // copied from it rather than formatted; none: every row is formatted.
  void read_from(const FileWindow* window) noexcept { window_ = window; }

  struct Record {
    std::size_t line;   // counted from 1 at the chunk's start
    std::size_t begin;  // of the text after the line number in quarantine_
    std::size_t end;
  };

  // Where the tokenizer judges rows, the ones it did not call as read (and
  // every shaped row) are exactly those verbatim_line would refuse.
  void kept(RowView row, std::size_t start) override {
    if (window_ != nullptr && !judged_ && start >= window_->base() && start < window_->end()) {
      if (const auto same = verbatim_line(window_->view(), start - window_->base(), row,
                                          delimiter_, quote_char_)) {
        append_line(*same);
        return;
      }
    }
    formatter_.append_row(clean_, row);
  }

  bool wants_as_read() const noexcept override { return window_ != nullptr && judged_; }

  // The tokenizer has already seen all that verbatim_line would check.
  void kept_as_read(RowView row, std::size_t start, std::size_t end) override {
    if (window_ == nullptr || row.empty() || start < window_->base() || end > window_->end()) {
      kept(row, start);
      return;
    }
    append_line(window_->view().substr(start - window_->base(), end - start));
  }

  // A padded row is its own bytes and a delimiter for each field added. A
  // merged row whose merged fields are all unquoted is its own bytes with
  // those fields between quotes: joined, they hold a delimiter and no quote.
  void kept_shaped_as_read(RowView shaped, RowView raw, std::size_t start,
                           std::size_t end) override {
    if (window_ == nullptr || raw.empty() || start < window_->base() || end > window_->end()) {
      kept(shaped, start);
      return;
    }
    const std::string_view bytes = window_->view().substr(start - window_->base(), end - start);
    if (raw.size() < shaped.size()) {
      append_text(bytes);
      clean_.append(shaped.size() - raw.size(), static_cast<char>(delimiter_));
      clean_.push_back('\n');
      return;
    }
    // Where the first merged field starts in the row's bytes, when it is
    // one of them (a row held back for a footer has copies instead).
    const auto row_at = reinterpret_cast<std::uintptr_t>(bytes.data());
    const auto merged_at = reinterpret_cast<std::uintptr_t>(raw[shaped.size() - 1].text.data());
    const std::size_t kept_bytes = merged_at - row_at;
    if (merged_at < row_at || kept_bytes > bytes.size() ||
        bytes.find(static_cast<char>(quote_char_), kept_bytes) != std::string_view::npos) {
      kept(shaped, start);
      return;
    }
    append_text(bytes.substr(0, kept_bytes));
    clean_.push_back(static_cast<char>(quote_char_));
    append_text(bytes.substr(kept_bytes));
    clean_.push_back(static_cast<char>(quote_char_));
    clean_.push_back('\n');
  }

  // Rows that need no rewriting are not even cut into fields: the tokenizer
  // only finds where they end, and they are copied whole from the window.
  bool wants_verbatim() const noexcept override { return wants_as_read(); }
  void kept_verbatim(std::size_t start, std::size_t end) override {
    append_line(window_->view().substr(start - window_->base(), end - start));
  }

  void quarantined(std::size_t line, QuarantineReason reason, RowView raw,
                   std::size_t /*start*/) override {
    if (!keep_quarantine_) {
      return;
    }
    // Formatted with the line number 0, whose one digit is then left out.
    const std::size_t begin = quarantine_.size();
    append_quarantine_line(quarantine_, 0, reasons_.of(reason), raw, separator_);
    records_.push_back({line, begin + 1, quarantine_.size()});
  }

  // The chunk's own log keeps its records until the chunk is committed, so
  // it holds at most a chunk's worth; lines count from the chunk's start.
  RepairLog* repair_log() noexcept override { return record_ ? &log_ : nullptr; }
  const RepairLog& log() const noexcept { return log_; }

  void clear() {
    clean_.clear();
    quarantine_.clear();
    records_.clear();
    log_.clear();
  }

  // Appends what `other` produced from its clean offset `clean_from` and its
  // record `record_from` on, moving those records' lines by `line_shift`.
  void append_tail(const ChunkSink& other, std::size_t clean_from, std::size_t record_from,
                   std::size_t log_from, std::size_t line_from, std::size_t line_to) {
    clean_.append(other.clean_, clean_from);
    // Unsigned wrap-around moves lines back as well as forward.
    log_.append(other.log_, log_from, std::uint64_t{line_to} - std::uint64_t{line_from});
    for (std::size_t i = record_from; i < other.records_.size(); ++i) {
      const Record& r = other.records_[i];
      const std::size_t begin = quarantine_.size();
      quarantine_ += other.record_text(r);
      records_.push_back({r.line - line_from + line_to, begin, quarantine_.size()});
    }
  }

  const std::string& clean() const noexcept { return clean_; }
  std::string_view record_text(const Record& r) const noexcept {
    return std::string_view(quarantine_).substr(r.begin, r.end - r.begin);
  }
  const std::vector<Record>& records() const noexcept { return records_; }

 private:
  // A row read as it stands: its bytes, decoded when they are in a code page.
  void append_text(std::string_view bytes) {
    if (code_page_ != nullptr) {
      utf8::append_code_page(clean_, bytes, *code_page_);
    } else {
      clean_.append(bytes);
    }
  }
  void append_line(std::string_view bytes) {
    append_text(bytes);
    clean_.push_back('\n');
  }

  CsvLineFormatter formatter_;
  std::string separator_;
  std::uint8_t delimiter_;
  std::uint8_t quote_char_;
  const FileWindow* window_ = nullptr;
  bool keep_quarantine_;
  bool judged_;
  bool record_;
  ReasonTexts reasons_;
  const utf8::Fallback* code_page_;
  std::string clean_;
  std::string quarantine_;
  std::vector<Record> records_;
  RepairLog log_;
};

// Writes committed chunks: clean text to the output, quarantine records
// with their line numbers made absolute to the spill, repair records to the
// audit file; counts the actions recorded.
class Committer {
 public:
  Committer(Fd& output, Spill& spill, bool keep_quarantine, AuditFile* audit,
            ActionCounts& actions)
      : output_(output),
        spill_(spill),
        keep_quarantine_(keep_quarantine),
        audit_(audit),
        actions_(actions) {}

  Status commit(const ChunkSink& sink, std::size_t first_line);
  Status flush() { return output_.flush(); }

 private:
  BlockWriter output_;
  Spill& spill_;
  bool keep_quarantine_;
  AuditFile* audit_;
  ActionCounts& actions_;
};

}  // namespace vornish
