// Fuzz target for the two writers: the clean output and the quarantine file
// must read back as exactly what was written.
//
// For an ASCII delimiter and quote byte that differ and are neither CR nor
// LF, the clean output of a run, tokenized again under the same delimiter
// and quote with quote repair off, gives exactly the kept rows. The
// quarantine file, tokenized as comma-separated and double-quoted, gives
// its header and then, per record, the line number, the reason and the raw
// tokens joined by the delimiter text. Both outputs are well-formed UTF-8.
// The file operation, run on in-memory files, writes exactly those bytes
// and returns the stats of the in-memory run.
//
// Input layout: delimiter mode and selector, quote selector, flags, width
// selector, then the payload.
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "engine/error.hpp"
#include "engine/vornish.hpp"
#include "engine/writer.hpp"
#include "fuzz_support.hpp"
#include "parser/resilient_parser.hpp"

namespace {

using namespace vornish;
using namespace vornish::fuzz;

std::uint8_t usable(std::uint8_t byte, std::uint8_t fallback) {
  const auto ascii = static_cast<std::uint8_t>(byte & 0x7F);
  return ascii == '\r' || ascii == '\n' ? fallback : ascii;
}

constexpr std::string_view kBom = "\xEF\xBB\xBF";

// True when `got` is `want`, allowing for one thing the tokenizer does by
// design: a byte-order mark at the very start of a text is skipped, so a
// first field that began with U+FEFF comes back without it.
bool same_first_row(RowView got, const std::vector<std::string>& want) {
  if (same_row(got, want)) {
    return true;
  }
  if (want.empty() || want[0].substr(0, 3) != kBom || got.size() != want.size()) {
    return false;
  }
  std::vector<std::string> stripped = want;
  stripped[0].erase(0, 3);
  return same_row(got, stripped);
}

// An anonymous in-memory file, reachable by a path through /proc, so the
// file operation can be fuzzed without touching a disk.
class MemoryFile {
 public:
  explicit MemoryFile(const char* name) : fd_(memfd_create(name, MFD_CLOEXEC)) {
    FUZZ_CHECK(fd_ >= 0);
    path_ = "/proc/self/fd/" + std::to_string(fd_);
  }
  MemoryFile(const MemoryFile&) = delete;
  MemoryFile& operator=(const MemoryFile&) = delete;
  ~MemoryFile() { ::close(fd_); }

  const std::string& path() const noexcept { return path_; }

  void replace(std::string_view bytes) const {
    FUZZ_CHECK(::ftruncate(fd_, 0) == 0);
    FUZZ_CHECK(::pwrite(fd_, bytes.data(), bytes.size(), 0) == static_cast<ssize_t>(bytes.size()));
  }

  std::string contents() const {
    struct stat info {};
    FUZZ_CHECK(::fstat(fd_, &info) == 0);
    std::string out(static_cast<std::size_t>(info.st_size), '\0');
    FUZZ_CHECK(::pread(fd_, out.data(), out.size(), 0) == static_cast<ssize_t>(out.size()));
    return out;
  }

 private:
  int fd_;
  std::string path_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  OptionReader reader(data, size);
  VornishOptions options;
  const std::uint8_t delimiter_mode = reader.byte();
  const std::uint8_t delimiter_byte = usable(reader.interesting_byte(), ',');
  if ((delimiter_mode & 1) != 0) {
    options.delimiter = delimiter_byte;
  }
  options.quote_char = usable(reader.interesting_byte(), '"');
  if (options.delimiter == options.quote_char) {
    options.quote_char = delimiter_byte == '"' ? '\'' : '"';
  }
  const std::uint8_t flags = reader.byte();
  options.fill_ragged_rows = (flags & 1) != 0;
  options.merge_overflow = (flags & 2) != 0;
  options.repair_quotes = (flags & 4) != 0;
  const std::uint8_t width = reader.byte();
  if ((flags & 8) != 0) {
    options.expected_columns = width % 8u;
  }
  const ExactBuffer input(reader.rest());
  const std::string_view bytes = input.view();

  const VornishOutcome outcome = vornish_slice(bytes, options);
  const auto delimiter = static_cast<std::uint8_t>(outcome.stats.detected_delimiter);
  FUZZ_CHECK(outcome.stats.detected_delimiter < 0x80);

  // Clean output, the way the file writer builds it: one line per row.
  const CsvLineFormatter formatter(delimiter, options.quote_char);
  std::string clean;
  {
    KeptRows::Cursor cursor = outcome.rows.cursor();
    for (std::size_t k = 0; k < outcome.rows.size(); ++k) {
      formatter.append_row(clean, cursor.read(k));
    }
  }
  FUZZ_CHECK(is_valid_utf8(clean));
  FUZZ_CHECK(clean.empty() || clean.back() == '\n');

  // Quarantine file: always comma and double quote, whatever the run used.
  std::string quarantine(kQuarantineHeader);
  const std::string separator = byte_as_text(delimiter);
  for (const QuarantineRecord& record : outcome.quarantined) {
    std::vector<FieldView> raw;
    for (const std::string& token : record.raw_tokens) {
      raw.push_back(FieldView{token, is_ascii(token)});
    }
    append_quarantine_line(quarantine, record.line, record.reason, raw, separator);
  }
  FUZZ_CHECK(is_valid_utf8(quarantine));

  // The file operation writes exactly these bytes.
  {
    static const MemoryFile in_file("in");
    static const MemoryFile out_file("out");
    static const MemoryFile bad_file("bad");
    in_file.replace(bytes);
    out_file.replace("stale");
    bad_file.replace("stale");
    Result<VornishStats> result =
        vornish_file(in_file.path(), out_file.path(), bad_file.path(), options);
    FUZZ_CHECK(static_cast<bool>(result));
    const VornishStats& stats = result.value();
    const VornishStats& want = outcome.stats;
    FUZZ_CHECK(stats.total_rows == want.total_rows && stats.vornished_rows == want.vornished_rows);
    FUZZ_CHECK(stats.repaired_rows == want.repaired_rows);
    FUZZ_CHECK(stats.quarantined_rows == want.quarantined_rows);
    FUZZ_CHECK(stats.detected_delimiter == want.detected_delimiter);
    FUZZ_CHECK(stats.inferred_columns == want.inferred_columns);
    FUZZ_CHECK(out_file.contents() == clean);
    FUZZ_CHECK(bad_file.contents() == quarantine);
  }

  if (delimiter == options.quote_char) {
    return 0;  // a guessed delimiter that collides with the quote byte
  }

  {
    const ExactBuffer written(clean);
    ResilientParser reread(written.view(), delimiter, options.quote_char, false);
    KeptRows::Cursor cursor = outcome.rows.cursor();
    for (std::size_t k = 0; k < outcome.rows.size(); ++k) {
      const std::optional<RowView> got = reread.next_row();
      FUZZ_CHECK(got.has_value());
      const std::vector<std::string> want = copy_row(cursor.read(k));
      FUZZ_CHECK(k == 0 ? same_first_row(*got, want) : same_row(*got, want));
    }
    FUZZ_CHECK(!reread.next_row().has_value());
  }

  {
    const ExactBuffer written(quarantine);
    ResilientParser reread(written.view(), ',', '"', false);
    const std::optional<RowView> header = reread.next_row();
    FUZZ_CHECK(header && same_row(*header, {"line", "reason", "raw_content"}));
    for (const QuarantineRecord& record : outcome.quarantined) {
      std::string joined;
      for (std::size_t i = 0; i < record.raw_tokens.size(); ++i) {
        joined += (i == 0 ? "" : separator) + record.raw_tokens[i];
      }
      const std::optional<RowView> got = reread.next_row();
      FUZZ_CHECK(got.has_value());
      FUZZ_CHECK(same_row(*got, {std::to_string(record.line), record.reason, joined}));
    }
    FUZZ_CHECK(!reread.next_row().has_value());
  }
  return 0;
}
