// The repair record: one entry for every change a run makes to the input,
// with the row's line and byte offset, the field, the action, and the row's
// bytes exactly as read.
//
// Every row loop writes through RowRepair (vornish.hpp) into the RepairLog
// its visitor holds, so the whole-buffer run, the streaming run and the
// Arrow batches record alike. Logs of pieces of a file (chunks parsed on
// other threads) count lines from 1 at their own start and are appended to
// the run's log in input order with their lines moved.
//
// Knows nothing of Python; the audit CSV file is written here, the Arrow
// form of the records next to the Arrow builder.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/error.hpp"
#include "engine/io.hpp"

namespace vornish {

enum class RepairAction : std::uint8_t {
  // The whole row.
  Padded,       // a short row filled with empty fields
  Merged,       // surplus fields joined into the last one
  Quarantined,  // set aside: too few or too many fields
  Preamble,     // set aside as a row of the preamble
  // One field, as read.
  StrayQuote,         // a quote inside a quoted field kept as text
  BareQuote,          // a quote inside an unquoted field read as text
  TextAfterQuote,     // text after a closing quote continued the field
  BlanksDropped,      // blanks right after a closing quote dropped
  UnterminatedQuote,  // a quote never closed took the rest of the input
  InvalidUtf8,        // bytes that are not UTF-8 replaced by U+FFFD
  Redecoded,          // bytes that are not UTF-8 decoded with the fallback code page
  // A cell of a typed table.
  TypeNull,  // did not read as the type chosen for its column: null
  // The whole row, set aside by an option of the front package.
  Comment,  // a comment line
  Footer,   // a row of the footer after the table
  Table,    // a row of another table than the one read
};

inline constexpr std::size_t kRepairActions = 15;

using ActionCounts = std::array<std::uint64_t, kRepairActions>;

// "padded", "stray_quote", ...: the names the records and counts carry.
std::string_view action_name(RepairAction action) noexcept;

struct RepairEntry {
  std::uint64_t line = 0;    // the line the row starts on
  std::uint64_t offset = 0;  // the row's first byte in the input
  std::uint32_t column = 0;  // 1-based position as read; 0: the whole row
  RepairAction action = RepairAction::Padded;
  // Padded, Merged, Quarantined: the fields the row had and the width
  // expected. Field changes: the quotes, blanks or bytes concerned, and
  // for InvalidUtf8 the U+FFFD they became.
  std::uint64_t amount = 0;
  std::uint64_t expected = 0;
  std::uint32_t row = 0;  // index of the row's bytes in the log
};

class RepairLog {
 public:
  // Without `keep_entries` only the counts are kept: a run that reports
  // them but writes no record holds nothing per change.
  explicit RepairLog(bool keep_entries = true) noexcept : keep_(keep_entries) {}

  // Starts a row's records; its bytes (up to its line end, not included)
  // are kept once for all of them.
  void begin_row(std::uint64_t line, std::uint64_t offset, std::string_view raw);
  // A record of the row begun last.
  void add(std::uint32_t column, RepairAction action, std::uint64_t amount,
           std::uint64_t expected = 0);
  // The row being handed to the visitor (its bytes as begin_row takes
  // them, borrowed until the next row), for records that a visitor makes
  // of it: add_to_row begins the row only when it has no records yet.
  void note_row(std::uint64_t line, std::uint64_t offset, std::string_view raw) noexcept {
    row_line_ = line;
    row_offset_ = offset;
    row_raw_ = raw;
    row_begun_ = false;
  }
  void add_to_row(std::uint32_t column, RepairAction action, std::uint64_t amount);

  bool keeps_entries() const noexcept { return keep_; }
  // The fallback code page that Redecoded records name.
  void set_fallback_name(std::string name) { fallback_name_ = std::move(name); }
  const std::string& fallback_name() const noexcept { return fallback_name_; }
  std::size_t size() const noexcept { return entries_.size(); }
  bool empty() const noexcept { return entries_.empty(); }
  const RepairEntry& operator[](std::size_t i) const noexcept { return entries_[i]; }
  std::string_view raw(const RepairEntry& entry) const noexcept;
  const ActionCounts& counts() const noexcept { return counts_; }

  // Appends the records of `other` from its entry `from` on (`other` keeps
  // its entries), their lines moved by `line_shift`, and counts them.
  void append(const RepairLog& other, std::size_t from, std::uint64_t line_shift);
  // Forgets the records, keeping the counts (once they are written out).
  void drop_entries() noexcept;
  // Forgets everything.
  void clear() noexcept;

 private:
  struct Span {
    std::uint64_t begin;
    std::uint64_t size;
  };
  bool keep_;
  std::string fallback_name_;
  std::uint64_t pending_line_ = 0;
  std::uint64_t pending_offset_ = 0;
  std::uint64_t row_line_ = 0;
  std::uint64_t row_offset_ = 0;
  std::string_view row_raw_;
  bool row_begun_ = false;
  std::vector<RepairEntry> entries_;
  std::vector<Span> rows_;
  std::string raw_;
  ActionCounts counts_{};
};

// The short human text of a record: "had 2 fields, expected 4", "3 bytes
// replaced", ...; `fallback` names the code page of Redecoded records.
void append_detail(std::string& out, const RepairEntry& entry, std::string_view fallback = {});

// `raw` as valid UTF-8 that gives the bytes back exactly: well-formed UTF-8
// stays as it is, a backslash is doubled, and every byte of an ill-formed
// sequence is written as \xNN (two lower-case hex digits).
void append_escaped_raw(std::string& out, std::string_view raw);

inline constexpr std::string_view kAuditHeader = "line,offset,column,action,detail,raw\n";

// One record as a line of the audit CSV file, its line moved by
// `line_shift`: the numbers plain (the column empty for a whole-row
// record), action plain, detail and raw always quoted.
void append_audit_line(std::string& out, const RepairLog& log, const RepairEntry& entry,
                       std::uint64_t line_shift = 0);

// The audit CSV file of a run, written as its records come.
class AuditFile {
 public:
  // Creates (or truncates) the file and writes the header.
  static Result<AuditFile> create(const std::string& path);

  // Writes the records of `log` from entry `from` on.
  Status write(const RepairLog& log, std::size_t from = 0, std::uint64_t line_shift = 0);
  // Flushes and closes, reporting the first failure.
  Status finish();

 private:
  explicit AuditFile(BufferedFile file) noexcept : file_(std::move(file)) {}
  Status flush_text();
  BufferedFile file_;
  std::string text_;
  std::string raw_;
};

}  // namespace vornish
