// Streaming and parallel file repair.
//
// The input is cut into chunks at nominal offsets k * chunk_size. A chunk
// owns the rows that start inside it, so the cut is a pure function of the
// file and never of the schedule. Worker threads parse chunk k from a
// guessed row start (the first line start at or after its offset) into
// their own buffers; the calling thread commits chunks in input order and
// accepts a guess only when the parse of chunk k - 1 ended exactly there.
// Otherwise it parses the chunk again from the true start, but only until
// that parse reaches a row start the speculative one also had: from a
// common row start on, two parses are the same, so the rest of the
// speculative output is taken. Only the calling thread writes files.
#include "engine/stream.hpp"

#include <fcntl.h>
#include <sched.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <deque>
#include <new>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "engine/io.hpp"
#include "engine/work_queue.hpp"
#include "engine/writer.hpp"
#include "heuristics/counted_rows.hpp"
#include "parser/resilient_parser.hpp"

namespace vornish {
namespace {

constexpr std::uint8_t kLf = 0x0A;
constexpr std::uint8_t kCr = 0x0D;
// Output and quarantine text are handed to the system in blocks this large.
constexpr std::size_t kWriteBlock = std::size_t{1} << 20;
// Quarantine text held in memory before it goes to the spill file.
constexpr std::size_t kSpillThreshold = std::size_t{1} << 20;
// What is read at a time for the last row of a range, past its stop.
constexpr std::size_t kTailRead = std::size_t{64} << 10;
// Rows between two checkpoints of a speculative parse.
constexpr std::size_t kCheckpointEvery = 64;
// How often the calling thread looks up (signals, progress) while it waits.
constexpr auto kPollInterval = std::chrono::milliseconds(50);

bool has_nul(const std::string& path) noexcept { return path.find('\0') != std::string::npos; }

int open_retrying(const char* path, int flags, mode_t mode) noexcept {
  for (;;) {
    const int fd = ::open(path, flags, mode);
    if (fd >= 0 || errno != EINTR) {
      return fd;
    }
  }
}

// A descriptor owned by one object; closed by the destructor if still open.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) noexcept : fd_(fd) {}
  Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Fd& operator=(Fd&& other) noexcept {
    if (this != &other) {
      reset();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() { reset(); }

  int get() const noexcept { return fd_; }
  bool open() const noexcept { return fd_ >= 0; }
  void reset() noexcept {
    if (fd_ >= 0) {
      ::close(std::exchange(fd_, -1));
    }
  }
  // Closes and reports what the system says (a network file system may only
  // report a failed write here); EINTR still closed the descriptor.
  Status close() noexcept {
    if (fd_ < 0) {
      return Ok{};
    }
    if (::close(std::exchange(fd_, -1)) != 0 && errno != EINTR) {
      return VornishError::os(errno);
    }
    return Ok{};
  }

  Status write_all(std::string_view bytes) const noexcept { return write_fully(fd_, bytes); }

 private:
  int fd_ = -1;
};

// Text for a file, collected and written in large blocks.
class BlockWriter {
 public:
  explicit BlockWriter(Fd& fd) noexcept : fd_(fd) {}

  Status append(std::string_view text) {
    if (pending_.empty() && text.size() >= kWriteBlock) {
      return fd_.write_all(text);
    }
    pending_ += text;
    if (pending_.size() >= kWriteBlock) {
      return flush();
    }
    return Ok{};
  }
  Status flush() {
    if (pending_.empty()) {
      return Ok{};
    }
    Status s = fd_.write_all(pending_);
    pending_.clear();
    return s;
  }

 private:
  Fd& fd_;
  std::string pending_;
};

// The directory part of a path, for files that must live beside it.
std::string directory_of(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) {
    return ".";
  }
  return slash == 0 ? std::string("/") : path.substr(0, slash);
}

// Quarantine records waiting for the output to be complete: in memory up
// to a threshold, then in an unnamed temporary file.
class Spill {
 public:
  explicit Spill(std::string directory) : directory_(std::move(directory)) {}

  std::string& pending() noexcept { return pending_; }

  Status maybe_spill() {
    if (pending_.size() < kSpillThreshold) {
      return Ok{};
    }
    if (!fd_.open()) {
      if (Status s = create(); !s) {
        return s;
      }
    }
    Status s = fd_.write_all(pending_);
    pending_.clear();
    return s;
  }

  // Writes everything held, in order, to `out`.
  Status copy_to(BlockWriter& out) {
    if (fd_.open()) {
      if (::lseek(fd_.get(), 0, SEEK_SET) < 0) {
        return VornishError::os(errno);
      }
      std::string block(kWriteBlock, '\0');
      for (;;) {
        const ssize_t n = ::read(fd_.get(), block.data(), block.size());
        if (n < 0) {
          if (errno == EINTR) {
            continue;
          }
          return VornishError::os(errno);
        }
        if (n == 0) {
          break;
        }
        if (Status s = out.append({block.data(), static_cast<std::size_t>(n)}); !s) {
          return s;
        }
      }
    }
    return out.append(pending_);
  }

 private:
  // Unnamed where possible, so nothing is left behind by a crash; beside
  // the output first (known to be writable), else in the temporary folder.
  Status create() {
    const char* env = std::getenv("TMPDIR");
    const std::string tmp = env != nullptr && *env != '\0' ? env : "/tmp";
    int error = 0;
    for (const std::string& dir : {directory_, tmp}) {
      const int fd = open_retrying(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
      if (fd >= 0) {
        fd_ = Fd(fd);
        return Ok{};
      }
      error = errno;
      std::string name = dir + "/.vornish-quarantine-XXXXXX";
      const int named = ::mkostemp(name.data(), O_CLOEXEC);
      if (named >= 0) {
        ::unlink(name.c_str());
        fd_ = Fd(named);
        return Ok{};
      }
    }
    return VornishError::os(error);
  }

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
        clean_.append(*same);
        clean_.push_back('\n');
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

 private:
  // A row read as it stands: its bytes, decoded when they are in a code page.
  void append_line(std::string_view bytes) {
    if (code_page_ != nullptr) {
      utf8::append_code_page(clean_, bytes, *code_page_);
    } else {
      clean_.append(bytes);
    }
    clean_.push_back('\n');
  }

 public:
  std::string_view record_text(const Record& r) const noexcept {
    return std::string_view(quarantine_).substr(r.begin, r.end - r.begin);
  }
  const std::vector<Record>& records() const noexcept { return records_; }

 private:
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

class CountingVisitor final : public RowVisitor {
 public:
  void kept(RowView, std::size_t) override {}
  void quarantined(std::size_t, QuarantineReason, RowView, std::size_t) override {}
  bool needs_fields() const noexcept override { return false; }
};

void add_counts(VornishStats& into, const VornishStats& from) noexcept {
  into.total_rows += from.total_rows;
  into.vornished_rows += from.vornished_rows;
  into.repaired_rows += from.repaired_rows;
  into.quarantined_rows += from.quarantined_rows;
}

// Adds the counts `to` has beyond `from` (an earlier snapshot of it).
void add_counts_between(VornishStats& into, const VornishStats& from,
                        const VornishStats& to) noexcept {
  into.total_rows += to.total_rows - from.total_rows;
  into.vornished_rows += to.vornished_rows - from.vornished_rows;
  into.repaired_rows += to.repaired_rows - from.repaired_rows;
  into.quarantined_rows += to.quarantined_rows - from.quarantined_rows;
}

}  // namespace

void FileWindow::Free::operator()(char* p) const noexcept { std::free(p); }

void FileWindow::restart(std::uint64_t offset) noexcept {
  if (offset >= base_ && offset <= end()) {
    const auto skip = static_cast<std::size_t>(offset - base_);
    if (skip > 0) {
      std::memmove(data_.get(), data_.get() + skip, size_ - skip);
      size_ -= skip;
    }
    base_ = offset;
    return;
  }
  if (positional_) {
    base_ = offset;
    size_ = 0;
    eof_ = false;
  }
}

Status FileWindow::grow(std::size_t want) {
  if (eof_) {
    return Ok{};
  }
  const std::size_t target = size_ + std::max<std::size_t>(want, 1);
  if (target > capacity_) {
    const std::size_t capacity = std::max(target, capacity_ + capacity_ / 2);
    char* p = static_cast<char*>(std::realloc(data_.get(), capacity));
    if (p == nullptr) {
      return VornishError::out_of_memory();
    }
    static_cast<void>(data_.release());
    data_.reset(p);
    capacity_ = capacity;
  }
  while (size_ < target) {
    const std::size_t room = std::min(capacity_ - size_, std::size_t{1} << 30);
    ssize_t n = 0;
    if (source_ != nullptr) {
      Result<std::size_t> got = source_->read(data_.get() + size_, room);
      if (!got) {
        return got.error();
      }
      n = static_cast<ssize_t>(got.value());
    } else {
      n = positional_ ? ::pread(fd_, data_.get() + size_, room, static_cast<off_t>(end()))
                      : ::read(fd_, data_.get() + size_, room);
    }
    if (n < 0) {
      if (errno == EINTR) {
        continue;
      }
      return VornishError::os(errno);
    }
    if (n == 0) {
      eof_ = true;
      break;
    }
    size_ += static_cast<std::size_t>(n);
  }
  return Ok{};
}

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
    const std::size_t want = window.end() >= stop ? kTailRead : limits.read_size;
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

Result<std::optional<std::uint64_t>> guess_row_start(FileWindow& window, std::uint64_t offset,
                                                     std::uint64_t max_scan,
                                                     std::size_t read_size) {
  if (offset == 0) {
    return std::optional<std::uint64_t>(0);
  }
  // The byte before `offset` tells whether a line starts right there.
  window.restart(offset - 1);
  std::uint64_t q = offset;
  for (;;) {
    // Bytes q - 1 and q (when there is one) are needed to judge q.
    while (window.end() <= q && !window.at_eof()) {
      if (Status s = window.grow(read_size); !s) {
        return s.error();
      }
    }
    if (window.end() < q) {
      return std::optional<std::uint64_t>(window.end());  // the file ends before `offset`
    }
    const auto* d = reinterpret_cast<const unsigned char*>(window.view().data());
    const std::uint64_t base = window.base();
    const std::uint64_t end = window.end();
    for (; q < end; ++q) {
      const unsigned char before = d[q - 1 - base];
      if (before == kLf || (before == kCr && d[q - base] != kLf)) {
        return std::optional<std::uint64_t>(q);
      }
      if (q - offset > max_scan) {
        return std::optional<std::uint64_t>();
      }
    }
    if (window.at_eof()) {
      return std::optional<std::uint64_t>(end);  // a line end as the last byte is the end too
    }
    // Keep byte q - 1 in view for the next round.
    window.restart(q - 1);
    if (Status s = window.grow(read_size); !s) {
      return s.error();
    }
  }
}

std::size_t usable_cores() noexcept {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (::sched_getaffinity(0, sizeof set, &set) == 0) {
    return static_cast<std::size_t>(std::max(CPU_COUNT(&set), 1));
  }
  return std::max(std::thread::hardware_concurrency(), 1u);
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

namespace {

// One chunk on its way from a worker to the committing thread.
struct Chunk {
  Chunk(const VornishOptions& options, const Dialect& dialect, bool keep_quarantine, bool record)
      : sink(options, dialect, keep_quarantine, record), repair(options, dialect) {}

  std::uint64_t nominal = 0;
  std::uint64_t stop = kNoLimit;
  ChunkSink sink;
  RowRepair repair;
  std::optional<std::uint64_t> start;  // the guessed row start it was parsed from
  RangeEnd end;
  std::optional<VornishError> error;
  bool done = false;
  // Where some of its rows started and what had been produced by then: a
  // parse from the true start that meets one of these needs to go no
  // further, since from a common row start on both parses are the same.
  struct Checkpoint {
    std::uint64_t start;
    std::size_t line;
    std::size_t clean_size;
    std::size_t records;
    std::size_t log_entries;
    VornishStats counts;
  };
  std::vector<Checkpoint> checkpoints;

  void reset(const VornishOptions& options, const Dialect& dialect) {
    checkpoints.clear();
    sink.clear();
    repair = RowRepair(options, dialect);
    start.reset();
    end = RangeEnd{};
    error.reset();
    done = false;
  }
};

// The output target and how it is replaced.
struct Output {
  Fd fd;
  std::string path;       // what the caller named
  std::string temporary;  // non-empty while writing beside the input
  std::string target;     // what the temporary replaces
};

// The process's file mode creation mask, read without changing it (the
// umask() call would, for a moment other threads could see).
mode_t current_umask() noexcept {
  mode_t mask = 022;
  if (std::FILE* status = std::fopen("/proc/self/status", "re"); status != nullptr) {
    char line[256];
    while (std::fgets(line, sizeof line, status) != nullptr) {
      unsigned int value = 0;
      if (std::sscanf(line, "Umask: %o", &value) == 1) {
        mask = static_cast<mode_t>(value);
        break;
      }
    }
    std::fclose(status);
  }
  return mask;
}

Result<Output> create_output(const std::string& output_path, const struct stat& input,
                             bool always_beside) {
  if (has_nul(output_path)) {
    return VornishError::nul_in_path();
  }
  Output out;
  out.path = output_path;
  struct stat existing {};
  const bool exists = ::stat(output_path.c_str(), &existing) == 0;
  const bool same =
      exists && existing.st_dev == input.st_dev && existing.st_ino == input.st_ino;
  // A pipe or a device (/dev/null, /dev/stdout) is written where it is.
  const bool beside = same || (always_beside && !(exists && !S_ISREG(existing.st_mode)));
  if (!beside) {
    const int fd =
        open_retrying(output_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) {
      return VornishError::os(errno);
    }
    out.fd = Fd(fd);
    return out;
  }
  // The input is still being read: write beside it (through a link to the
  // file the link names) and rename over it at the end.
  out.target = output_path;
  if (char* real = ::realpath(output_path.c_str(), nullptr); real != nullptr) {
    out.target = real;
    std::free(real);
  }
  const std::string dir = directory_of(out.target);
  const std::string name = out.target.substr(out.target.rfind('/') + 1);
  std::string temporary = dir + "/." + name + ".vornish-XXXXXX";
  const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
  if (fd < 0) {
    return VornishError::os(errno);
  }
  out.fd = Fd(fd);
  out.temporary = temporary;
  // A new file gets the bits open() would give it; a replaced input keeps
  // its own.
  const mode_t mode = same ? (input.st_mode & 07777) : (0666 & ~current_umask());
  if (::fchmod(fd, mode) != 0) {
    const int error = errno;
    ::unlink(temporary.c_str());
    return VornishError::os(error);
  }
  return out;
}

// Removes the temporary output unless the run got to rename it.
class TemporaryGuard {
 public:
  explicit TemporaryGuard(const std::string& path) noexcept : path_(path) {}
  TemporaryGuard(const TemporaryGuard&) = delete;
  TemporaryGuard& operator=(const TemporaryGuard&) = delete;
  ~TemporaryGuard() {
    if (!path_.empty()) {
      ::unlink(path_.c_str());
    }
  }
  void release() noexcept { path_.clear(); }

 private:
  std::string path_;
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

  Status commit(const ChunkSink& sink, std::size_t first_line) {
    if (Status s = output_.append(sink.clean()); !s) {
      return s;
    }
    const RepairLog& log = sink.log();
    for (std::size_t i = 0; i < kRepairActions; ++i) {
      actions_[i] += log.counts()[i];
    }
    if (audit_ != nullptr) {
      if (Status s = audit_->write(log, 0, first_line - 1); !s) {
        return s;
      }
    }
    if (keep_quarantine_ && !sink.records().empty()) {
      std::string& pending = spill_.pending();
      for (const ChunkSink::Record& r : sink.records()) {
        pending += std::to_string(first_line + r.line - 1);
        pending += sink.record_text(r);
      }
      return spill_.maybe_spill();
    }
    return Ok{};
  }
  Status flush() { return output_.flush(); }

 private:
  BlockWriter output_;
  Spill& spill_;
  bool keep_quarantine_;
  AuditFile* audit_;
  ActionCounts& actions_;
};

// Worker threads parsing chunks speculatively; joined by the destructor,
// so on every path out of a run.
class Workers {
 public:
  Workers(std::size_t count, int fd, const VornishOptions& options, const Dialect& dialect,
          std::size_t chunk_size, const std::atomic<bool>& cancel)
      : fd_(fd), options_(options), dialect_(dialect), chunk_size_(chunk_size), cancel_(cancel) {
    queue_.start(
        count, [this] { return FileWindow(fd_, true); },
        [this](Chunk& chunk, FileWindow& window) { parse(chunk, window); });
  }
  Workers(const Workers&) = delete;
  Workers& operator=(const Workers&) = delete;
  ~Workers() { queue_.stop(); }

  void submit(Chunk* chunk) { queue_.submit(chunk); }

  // Waits at most a poll interval for `chunk`; true when it is done.
  bool wait(const Chunk& chunk) { return queue_.wait_for(chunk, kPollInterval); }

 private:
  // A speculative parse: a row reaching more than a chunk past its stop
  // most likely means the guessed start was inside a quoted field.
  void parse(Chunk& chunk, FileWindow& window) {
    const std::uint64_t overhang = std::max<std::uint64_t>(chunk_size_, 4096) * 2;
    const std::size_t read_size = std::max<std::size_t>(chunk_size_, 4096);
    // The first read covers the chunk and a little more, for its last row.
    Result<std::optional<std::uint64_t>> start =
        guess_row_start(window, chunk.nominal, overhang, read_size + kTailRead);
    if (!start) {
      chunk.error = start.error();
      return;
    }
    chunk.start = start.value();
    if (!chunk.start) {
      chunk.end.abandoned = true;
      return;
    }
    RangeLimits limits{overhang, &cancel_, read_size, {}};
    std::uint64_t last_start = kNoLimit;
    std::size_t rows = 0;
    limits.before_row = [&](std::uint64_t row_start, std::size_t line, const VornishStats& counts) {
      if (row_start != last_start) {
        last_start = row_start;
        if (rows++ % kCheckpointEvery == 0) {
          chunk.checkpoints.push_back({row_start, line, chunk.sink.clean().size(),
                                       chunk.sink.records().size(), chunk.sink.log().size(),
                                       counts});
        }
      }
      return true;
    };
    chunk.sink.read_from(&window);
    Result<RangeEnd> end = run_range(window, *chunk.start, chunk.stop, 1, options_, dialect_,
                                     chunk.repair, chunk.sink, limits);
    chunk.sink.read_from(nullptr);
    if (!end) {
      chunk.error = end.error();
      return;
    }
    chunk.end = end.value();
  }

  int fd_;
  const VornishOptions& options_;
  const Dialect& dialect_;
  std::size_t chunk_size_;
  const std::atomic<bool>& cancel_;
  // Last, so its threads are joined before the members they use go.
  WorkQueue<Chunk> queue_;
};

struct Progress {
  const ChunkHook& hook;
  std::uint64_t total;
  mutable std::uint64_t last = 0;
  bool report(std::uint64_t done) const {
    last = std::max(last, done);
    return !hook || hook(last, std::max(total, last));
  }
};

// The run after the dialect is settled, on the calling thread alone.
// Returns false when cancelled.
Result<bool> run_sequential(FileWindow& window, const VornishOptions& options,
                            const Dialect& dialect, bool keep_quarantine, bool record,
                            std::size_t chunk_size, Committer& committer, VornishStats& stats,
                            const Progress& progress) {
  ChunkSink sink(options, dialect, keep_quarantine, record);
  sink.read_from(&window);
  RowRepair repair(options, dialect);
  RangeLimits limits;
  limits.read_size = std::max<std::size_t>(chunk_size, 4096);
  std::uint64_t pos = 0;
  std::size_t line = 1;
  for (;;) {
    sink.clear();
    const std::uint64_t stop = pos + chunk_size;
    Result<RangeEnd> end =
        run_range(window, pos, stop, line, options, dialect, repair, sink, limits);
    if (!end) {
      return end.error();
    }
    pos = end.value().end;
    line = end.value().next_line;
    const bool last = window.at_eof() && pos >= window.end();
    if (last) {
      // The rows still held back are the footer.
      repair.finish(sink);
    }
    if (Status s = committer.commit(sink, 1); !s) {
      return s.error();
    }
    if (last) {
      break;
    }
    if (!progress.report(pos)) {
      return false;
    }
  }
  add_counts(stats, repair.stats());
  return true;
}

Result<bool> run_parallel(int fd, std::uint64_t size, FileWindow& window,
                          const VornishOptions& options, const Dialect& dialect,
                          bool keep_quarantine, bool record, const StreamOptions& stream,
                          Committer& committer, StreamRun& run, const Progress& progress) {
  const std::size_t chunk_size = stream.chunk_size;
  const std::uint64_t chunks = std::max<std::uint64_t>(1, (size + chunk_size - 1) / chunk_size);
  // Threads beyond the number of chunks would have nothing to do.
  const auto threads = static_cast<std::size_t>(std::min<std::uint64_t>(stream.threads, chunks));
  const std::size_t in_flight = threads * 2;
  std::atomic<bool> cancel{false};
  std::deque<std::unique_ptr<Chunk>> pending;
  // Committed chunks are used again: their buffers keep their capacity, so
  // a run of any length allocates (and faults in) about in_flight chunks.
  std::vector<std::unique_ptr<Chunk>> spare;
  // Declared after `pending`, so the threads are joined before the chunks
  // they may still be working on are freed.
  Workers workers(threads, fd, options, dialect, chunk_size, cancel);
  struct CancelOnExit {
    std::atomic<bool>& flag;
    ~CancelOnExit() { flag.store(true, std::memory_order_relaxed); }
  } cancel_on_exit{cancel};

  std::uint64_t next = 0;
  const auto dispatch = [&] {
    while (next < chunks && pending.size() < in_flight) {
      std::unique_ptr<Chunk> chunk;
      if (spare.empty()) {
        chunk = std::make_unique<Chunk>(options, dialect, keep_quarantine, record);
      } else {
        chunk = std::move(spare.back());
        spare.pop_back();
        chunk->reset(options, dialect);
      }
      chunk->nominal = next * chunk_size;
      chunk->stop = next + 1 == chunks ? kNoLimit : (next + 1) * chunk_size;
      workers.submit(chunk.get());
      pending.push_back(std::move(chunk));
      ++next;
    }
  };

  std::uint64_t true_start = 0;
  std::size_t line = 1;
  RangeLimits inline_limits;
  inline_limits.read_size = std::max<std::size_t>(chunk_size, 4096);
  ChunkSink redo(options, dialect, keep_quarantine, record);
  redo.read_from(&window);
  dispatch();
  while (!pending.empty()) {
    Chunk& chunk = *pending.front();
    while (!workers.wait(chunk)) {
      if (!progress.report(true_start)) {
        return false;
      }
    }
    if (chunk.error) {
      return *chunk.error;
    }
    const ChunkSink* committed = &chunk.sink;
    VornishStats counts = chunk.repair.stats();
    if (chunk.end.abandoned || chunk.end.cancelled || chunk.start != true_start) {
      // The guess was wrong: parse the chunk again from where its rows
      // really start, until that parse meets one of the first one's rows.
      ++run.reparsed_chunks;
      const bool usable = !chunk.end.abandoned && !chunk.end.cancelled;
      redo.clear();
      RowRepair redo_repair(options, dialect);
      RangeLimits limits = inline_limits;
      std::size_t met_at = 0;
      if (usable) {
        limits.before_row = [&](std::uint64_t row_start, std::size_t, const VornishStats&) {
          const std::vector<Chunk::Checkpoint>& cps = chunk.checkpoints;
          while (met_at < cps.size() && cps[met_at].start < row_start) {
            ++met_at;
          }
          return met_at == cps.size() || cps[met_at].start != row_start;
        };
      }
      Result<RangeEnd> end = run_range(window, true_start, chunk.stop, 1, options, dialect,
                                       redo_repair, redo, limits);
      if (!end) {
        return end.error();
      }
      RangeEnd met = end.value();
      counts = redo_repair.stats();
      if (met.stopped) {
        const Chunk::Checkpoint& cp = chunk.checkpoints[met_at];
        ++run.resynced_chunks;
        redo.append_tail(chunk.sink, cp.clean_size, cp.records, cp.log_entries, cp.line,
                         met.next_line);
        add_counts_between(counts, cp.counts, chunk.repair.stats());
        met.next_line = chunk.end.next_line - cp.line + met.next_line;
        met.end = chunk.end.end;
        met.stopped = false;
      }
      chunk.end = met;
      committed = &redo;
    }
    if (Status s = committer.commit(*committed, line); !s) {
      return s.error();
    }
    add_counts(run.stats, counts);
    true_start = chunk.end.end;
    line += chunk.end.next_line - 1;
    spare.push_back(std::move(pending.front()));
    pending.pop_front();
    if (!progress.report(true_start)) {
      return false;
    }
    dispatch();
  }
  return true;
}

}  // namespace

Result<StreamRun> stream_vornish_file(const std::string& input_path,
                                      const std::string& output_path,
                                      const std::optional<std::string>& quarantine_path,
                                      const VornishOptions& options,
                                      const StreamOptions& stream) {
  if (has_nul(input_path)) {
    return VornishError::nul_in_path();
  }
  struct stat info {};
  const int in = stream.source != nullptr ? -1
                                          : open_retrying(input_path.c_str(), O_RDONLY | O_CLOEXEC, 0);
  if (stream.source == nullptr && in < 0) {
    return VornishError::os(errno);
  }
  Fd input(in);
  if (stream.source != nullptr) {
    if (::stat(input_path.c_str(), &info) != 0) {
      info = {};
    }
  } else if (::fstat(in, &info) != 0) {
    return VornishError::os(errno);
  }
  const bool regular = stream.source == nullptr && S_ISREG(info.st_mode);
  const std::uint64_t size = regular ? static_cast<std::uint64_t>(info.st_size) : 0;
  const std::size_t chunk_size = std::max<std::size_t>(stream.chunk_size, 1);
  const std::size_t read_size = std::max<std::size_t>(chunk_size, 4096);

  // Settled before the output exists, as the whole-file run does, from as
  // much of the start as the heuristics turn out to need.
  FileWindow window = stream.source != nullptr ? FileWindow(*stream.source) : FileWindow(in, regular);
  // The heuristics read text: in a code page, the start decoded as a
  // transcoding source would hand it on.
  std::string decoded;
  const auto start_text = [&]() -> std::string_view {
    if (!options.code_page) return window.view();
    decoded.clear();
    utf8::append_code_page(decoded, window.view(), *options.code_page);
    return decoded;
  };
  do {
    if (Status s = window.grow(std::max<std::size_t>(read_size, window.view().size())); !s) {
      return s.error();
    }
  } while (!window.at_eof() && !settles_dialect(start_text(), options));
  const bool empty = window.at_eof() && window.view().empty();
  const Dialect dialect = empty ? Dialect{} : settle_dialect(start_text(), options);

  Result<Output> created = create_output(output_path, info, stream.source != nullptr);
  if (!created) {
    return created.error();
  }
  Output& output = created.value();
  TemporaryGuard temporary(output.temporary);

  const bool keep_quarantine = quarantine_path.has_value();
  Spill spill(directory_of(output.temporary.empty() ? output_path : output.target));
  std::optional<AuditFile> audit;
  if (stream.audit_path) {
    if (has_nul(*stream.audit_path)) {
      return VornishError::nul_in_path();
    }
    Result<AuditFile> made = AuditFile::create(*stream.audit_path);
    if (!made) {
      return made.error();
    }
    audit.emplace(std::move(made.value()));
  }
  const bool record = stream.record || audit.has_value();
  StreamRun run;
  Committer committer(output.fd, spill, keep_quarantine, audit ? &*audit : nullptr, run.actions);
  if (!empty) {
    run.stats.detected_delimiter = static_cast<char32_t>(dialect.delimiter);
    run.stats.inferred_columns = dialect.expected_columns;
  }
  const Progress progress{stream.between_chunks, size};
  // A preamble is counted off from the start of the file, so a file with one
  // is read on one thread.
  const bool parallel =
      stream.threads > 1 && regular && size > chunk_size && !counts_rows_in_order(options);
  Result<bool> finished = true;
  if (parallel) {
    try {
      StreamOptions parallel_options = stream;
      parallel_options.chunk_size = chunk_size;
      finished = run_parallel(in, size, window, options, dialect, keep_quarantine, record,
                              parallel_options, committer, run, progress);
    } catch (const std::system_error& e) {
      finished = VornishError::os(e.code().value());  // no thread could be started
    }
  } else if (!empty) {
    finished = run_sequential(window, options, dialect, keep_quarantine, record, chunk_size,
                              committer, run.stats, progress);
  }
  if (!finished) {
    return finished.error();
  }
  if (!finished.value()) {
    run.cancelled = true;
    return run;
  }
  if (Status s = committer.flush(); !s) {
    return s.error();
  }
  if (Status s = output.fd.close(); !s) {
    return s.error();
  }
  if (!output.temporary.empty()) {
    if (::rename(output.temporary.c_str(), output.target.c_str()) != 0) {
      return VornishError::os(errno);
    }
    temporary.release();
  }
  input.reset();
  if (audit) {
    if (Status s = audit->finish(); !s) {
      return s.error();
    }
  }

  if (quarantine_path) {
    if (has_nul(*quarantine_path)) {
      return VornishError::nul_in_path();
    }
    const int fd =
        open_retrying(quarantine_path->c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) {
      return VornishError::os(errno);
    }
    Fd quarantine(fd);
    BlockWriter writer(quarantine);
    if (Status s = writer.append(kQuarantineHeader); !s) {
      return s.error();
    }
    if (Status s = spill.copy_to(writer); !s) {
      return s.error();
    }
    if (Status s = writer.flush(); !s) {
      return s.error();
    }
    if (Status s = quarantine.close(); !s) {
      return s.error();
    }
  }
  progress.report(std::max(size, progress.last));
  return run;
}

}  // namespace vornish
