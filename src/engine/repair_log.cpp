#include "engine/repair_log.hpp"

#include <charconv>
#include <cstring>

#include "engine/quarantine_reason.hpp"
#include "parser/utf8.hpp"

namespace vornish {
namespace {

void append_number(std::string& out, std::uint64_t n) {
  char digits[24];
  const auto done = std::to_chars(digits, digits + sizeof digits, n);
  out.append(digits, done.ptr);
}

// "1 quote", "2 quotes".
void append_counted(std::string& out, std::uint64_t n, std::string_view one,
                    std::string_view many) {
  append_number(out, n);
  out.push_back(' ');
  out.append(n == 1 ? one : many);
}

}  // namespace

std::string_view action_name(RepairAction action) noexcept {
  switch (action) {
    case RepairAction::Padded:
      return "padded";
    case RepairAction::Merged:
      return "merged";
    case RepairAction::Quarantined:
      return "quarantined";
    case RepairAction::Preamble:
      return "preamble";
    case RepairAction::StrayQuote:
      return "stray_quote";
    case RepairAction::BareQuote:
      return "bare_quote";
    case RepairAction::TextAfterQuote:
      return "text_after_quote";
    case RepairAction::BlanksDropped:
      return "blanks_dropped";
    case RepairAction::UnterminatedQuote:
      return "unterminated_quote";
    case RepairAction::TypeNull:
      return "type_null";
    case RepairAction::Comment:
      return "comment";
    case RepairAction::Footer:
      return "footer";
    case RepairAction::Table:
      return "table";
    case RepairAction::InvalidUtf8:
      return "invalid_utf8";
    case RepairAction::Redecoded:
      break;
  }
  return "redecoded";
}

void RepairLog::begin_row(std::uint64_t line, std::uint64_t offset, std::string_view raw) {
  pending_line_ = line;
  pending_offset_ = offset;
  row_begun_ = row_begun_ || (line == row_line_ && offset == row_offset_);
  if (keep_) {
    rows_.push_back({raw_.size(), raw.size()});
    raw_.append(raw);
  }
}

void RepairLog::add_to_row(std::uint32_t column, RepairAction action, std::uint64_t amount) {
  if (!row_begun_) {
    begin_row(row_line_, row_offset_, row_raw_);
  }
  add(column, action, amount);
}

void RepairLog::add(std::uint32_t column, RepairAction action, std::uint64_t amount,
                    std::uint64_t expected) {
  ++counts_[static_cast<std::size_t>(action)];
  if (keep_) {
    entries_.push_back({pending_line_, pending_offset_, column, action, amount, expected,
                        static_cast<std::uint32_t>(rows_.size() - 1)});
  }
}

std::string_view RepairLog::raw(const RepairEntry& entry) const noexcept {
  const Span& span = rows_[entry.row];
  return std::string_view(raw_).substr(span.begin, span.size);
}

void RepairLog::append(const RepairLog& other, std::size_t from, std::uint64_t line_shift) {
  if (fallback_name_.empty()) fallback_name_ = other.fallback_name_;
  std::uint32_t last_row = ~std::uint32_t{0};
  for (std::size_t i = from; i < other.entries_.size(); ++i) {
    RepairEntry entry = other.entries_[i];
    ++counts_[static_cast<std::size_t>(entry.action)];
    if (!keep_) continue;
    if (entry.row != last_row) {
      last_row = entry.row;
      const std::string_view bytes = other.raw(entry);
      rows_.push_back({raw_.size(), bytes.size()});
      raw_.append(bytes);
    }
    entry.line += line_shift;
    entry.row = static_cast<std::uint32_t>(rows_.size() - 1);
    entries_.push_back(entry);
  }
}

void RepairLog::drop_entries() noexcept {
  entries_.clear();
  rows_.clear();
  raw_.clear();
}

void RepairLog::clear() noexcept {
  drop_entries();
  counts_ = {};
}

void append_detail(std::string& out, const RepairEntry& entry, std::string_view fallback) {
  switch (entry.action) {
    case RepairAction::Padded:
    case RepairAction::Merged:
      out += "had ";
      append_counted(out, entry.amount, "field", "fields");
      out += ", expected ";
      append_number(out, entry.expected);
      return;
    case RepairAction::Quarantined:
      out += reason_text(entry.amount < entry.expected ? QuarantineReason::TooFew
                                                       : QuarantineReason::Extra,
                         static_cast<std::size_t>(entry.expected));
      return;
    case RepairAction::Preamble:
      out += reason_text(QuarantineReason::Preamble, 0);
      return;
    case RepairAction::Comment:
      out += reason_text(QuarantineReason::Comment, 0);
      return;
    case RepairAction::Footer:
      out += reason_text(QuarantineReason::Footer, 0);
      return;
    case RepairAction::Table:
      out += reason_text(QuarantineReason::OtherTable, 0);
      return;
    case RepairAction::StrayQuote:
      append_counted(out, entry.amount, "quote", "quotes");
      out += " kept as text";
      return;
    case RepairAction::BareQuote:
      append_counted(out, entry.amount, "quote", "quotes");
      out += " read as text";
      return;
    case RepairAction::TextAfterQuote:
      append_counted(out, entry.amount, "byte", "bytes");
      out += " after the closing quote joined to the field";
      return;
    case RepairAction::BlanksDropped:
      append_counted(out, entry.amount, "blank", "blanks");
      out += " dropped after the closing quote";
      return;
    case RepairAction::UnterminatedQuote:
      out += "quote never closed: the field took the remaining ";
      append_counted(out, entry.amount, "byte", "bytes");
      return;
    case RepairAction::TypeNull: {
      static constexpr std::string_view kTypes[] = {"string", "bool", "int64", "float64",
                                                    "date32", "timestamp"};
      out += "not read as ";
      out += kTypes[entry.amount < 6 ? entry.amount : 0];
      out += ": null";
      return;
    }
    case RepairAction::InvalidUtf8:
      append_counted(out, entry.amount, "byte", "bytes");
      out += " replaced by ";
      append_number(out, entry.expected);
      out += " U+FFFD";
      return;
    case RepairAction::Redecoded:
      append_counted(out, entry.amount, "byte", "bytes");
      out += " decoded as ";
      out += fallback;
      return;
  }
}

namespace {

// The escaping rule of append_escaped_raw, in one pass that copies runs of
// plain ASCII whole; with `csv_quoted` a quote is also doubled, as inside a
// quoted CSV field (escaping itself never writes a quote).
void escape_raw(std::string& out, std::string_view raw, bool csv_quoted) {
  static constexpr char kHex[] = "0123456789abcdef";
  const char* p = raw.data();
  const std::size_t n = raw.size();
  std::size_t i = 0;
  constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
  constexpr std::uint64_t kHigh = 0x8080808080808080ULL;
  const auto holds = [](std::uint64_t word, unsigned char byte) {
    const std::uint64_t x = word ^ (kOnes * byte);
    return ((x - kOnes) & ~x & kHigh) != 0;
  };
  while (i < n) {
    std::size_t run = i;
    // Eight plain bytes at a time: no high bit, no backslash, no quote.
    for (std::uint64_t word = 0; run + 8 <= n; run += 8) {
      std::memcpy(&word, p + run, 8);
      if ((word & kHigh) != 0 || holds(word, '\\') || (csv_quoted && holds(word, '"'))) break;
    }
    while (run < n) {
      const auto c = static_cast<unsigned char>(p[run]);
      if (c >= 0x80 || c == '\\' || (csv_quoted && c == '"')) break;
      ++run;
    }
    out.append(p + i, run - i);
    i = run;
    if (i == n) break;
    const auto byte = static_cast<unsigned char>(p[i]);
    if (byte < 0x80) {
      out.push_back(static_cast<char>(byte));  // a backslash or a quote, doubled
      out.push_back(static_cast<char>(byte));
      ++i;
    } else if (const std::size_t len = utf8::sequence_length(raw.substr(i)); len > 0) {
      out.append(p + i, len);
      i += len;
    } else {
      out += "\\x";
      out.push_back(kHex[byte >> 4]);
      out.push_back(kHex[byte & 0x0F]);
      ++i;
    }
  }
}

// A record's line up to its raw column, which the caller appends.
void append_audit_head(std::string& out, const RepairEntry& entry, std::uint64_t line_shift,
                       std::string_view fallback) {
  append_number(out, entry.line + line_shift);
  out.push_back(',');
  append_number(out, entry.offset);
  out.push_back(',');
  if (entry.column != 0) append_number(out, entry.column);
  out.push_back(',');
  out += action_name(entry.action);
  // No detail text holds a quote.
  out += ",\"";
  append_detail(out, entry, fallback);
  out += "\",";
}

}  // namespace

void append_escaped_raw(std::string& out, std::string_view raw) { escape_raw(out, raw, false); }

void append_audit_line(std::string& out, const RepairLog& log, const RepairEntry& entry,
                       std::uint64_t line_shift) {
  append_audit_head(out, entry, line_shift, log.fallback_name());
  out.push_back('"');
  escape_raw(out, log.raw(entry), true);
  out += "\"\n";
}

Result<AuditFile> AuditFile::create(const std::string& path) {
  Result<BufferedFile> file = BufferedFile::create(path);
  if (!file) {
    return file.error();
  }
  AuditFile audit(std::move(file.value()));
  if (Status s = audit.file_.write_line(kAuditHeader); !s) {
    return s.error();
  }
  return audit;
}

Status AuditFile::write(const RepairLog& log, std::size_t from, std::uint64_t line_shift) {
  // The records of one row share its bytes: they are escaped once.
  std::uint32_t escaped_row = ~std::uint32_t{0};
  for (std::size_t i = from; i < log.size(); ++i) {
    const RepairEntry& entry = log[i];
    if (entry.row != escaped_row) {
      escaped_row = entry.row;
      raw_.assign(1, '"');
      escape_raw(raw_, log.raw(entry), true);
      raw_ += "\"\n";
    }
    append_audit_head(text_, entry, line_shift, log.fallback_name());
    text_ += raw_;
    // Handed over a few kilobytes at a time, not a line at a time.
    if (text_.size() >= BufferedFile::kBufferSize) {
      if (Status s = flush_text(); !s) {
        return s;
      }
    }
  }
  return flush_text();
}

Status AuditFile::flush_text() {
  Status s = text_.empty() ? Status(Ok{}) : file_.write_line(text_);
  text_.clear();
  return s;
}

Status AuditFile::finish() {
  if (Status s = file_.flush(); !s) {
    return s;
  }
  return file_.close();
}

}  // namespace vornish
