// The file batch source: one bounded window over the file, read with
// positional reads, and one row repair kept between calls, so each batch
// costs only its own rows and memory stays near one read plus the longest
// row.
//
// Rows go through run_range, the row loop of the streaming repair, which
// takes a row only once it is complete; a batch ends by stopping that loop
// before the next row, and the next call starts it again there. With more
// than one thread, everything after the header goes to ParallelBatches
// instead, which is started by the first batch asked for, so that a stream
// nobody reads never starts a thread.
#include "engine/batch_source.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <optional>
#include <unordered_set>
#include <utility>

#include "engine/parallel_batches.hpp"
#include "engine/row_range.hpp"
#include "engine/work_queue.hpp"

namespace vornish {
namespace {

// What is asked for per read.
constexpr std::size_t kReadSize = std::size_t{4} << 20;

// The scan builds the batches as it reads only for tables of at most this
// many bytes: it holds all of them until the types are settled, which a
// consumer taking the whole table does anyway, but one taking a batch at a
// time from a bigger file would not want.
constexpr std::uint64_t kHoldAtMost = std::uint64_t{256} << 20;
// The types the scan builds with are guessed from this much of the table
// (or its first chunk, when that is smaller).
constexpr std::uint64_t kGuessFrom = std::uint64_t{1} << 20;

class Descriptor {
 public:
  explicit Descriptor(int fd) noexcept : fd_(fd) {}
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  ~Descriptor() {
    if (fd_ >= 0) {
      ::close(fd_);
    }
  }
  int get() const noexcept { return fd_; }

 private:
  int fd_;
};

// Only the widths of kept rows: a preamble's rows are set aside by the
// repair and never reach it.
class WidestRow final : public RowVisitor {
 public:
  void kept(RowView row, std::size_t /*start*/) override { widest = std::max(widest, row.size()); }
  void quarantined(std::size_t, QuarantineReason, RowView, std::size_t) override {}
  std::size_t widest = 0;
};

class FileBatchSource final : public BatchSource {
 public:
  FileBatchSource(int fd, bool regular, std::uint64_t size, const ArrowReadOptions& options)
      : fd_(fd),
        regular_(regular),
        size_(size),
        window_(options.source ? FileWindow(*options.source, options.source_offset)
                               : FileWindow(fd, regular)),
        options_(options),
        recording_(options.record || options.keep_records || options.audit_path.has_value()),
        log_(options.keep_records || options.audit_path.has_value()) {
    if (options.repair.fallback) log_.set_fallback_name(options.repair.fallback->name());
  }

  // Everything a consumer must know before the first batch.
  Status settle() {
    if (options_.audit_path) {
      if (options_.audit_path->find('\0') != std::string::npos) {
        return VornishError::nul_in_path();
      }
      Result<AuditFile> made = AuditFile::create(*options_.audit_path);
      if (!made) {
        return made.error();
      }
      audit_.emplace(std::move(made.value()));
    }
    std::size_t columns = 0;
    if (options_.range) {
      const ArrowReadOptions::Range& range = *options_.range;
      dialect_ = range.dialect;
      pos_ = range.begin;
      line_ = range.first_line;
      stop_ = range.end.value_or(kNoLimit);
      columns = std::max(range.columns, dialect_.expected_columns);
      // Nothing else is known of the file's start, so nothing is guessed.
      width_ = width_for(regular_ ? size_ : kNoLimit);
      stats_.detected_delimiter = static_cast<char32_t>(dialect_.delimiter);
      stats_.inferred_columns = dialect_.expected_columns;
    } else {
      // As much of the start as the heuristics turn out to need; a stream
      // that cannot be read again is held whole, as the reader holds it.
      do {
        if (Status s = window_.grow(std::max(kReadSize, window_.view().size())); !s) {
          return s.error();
        }
      } while (!window_.at_eof() && (!regular_ || !settles_dialect(window_.view(), options_.repair)));
      width_ = width_for(regular_ ? std::max<std::uint64_t>(size_, window_.end()) : window_.end());
      if (window_.at_eof() && window_.view().empty()) {
        // As the reader: no rows, and nothing guessed from nothing.
        done_ = true;
        types_ = std::make_shared<TableTypes>();
        builder_.emplace(0, width_, options_.limits);
        return Ok{};
      }
      dialect_ = settle_dialect(window_.view(), options_.repair);
      stats_.detected_delimiter = static_cast<char32_t>(dialect_.delimiter);
      stats_.inferred_columns = dialect_.expected_columns;
      columns = dialect_.expected_columns;
      if (columns == 0) {
        // Rows keep their widths, so only the widest row tells how many
        // columns the table has.
        Result<std::size_t> widest = widest_row();
        if (!widest) {
          return widest.error();
        }
        columns = widest.value();
      }
    }
    repair_.emplace(options_.repair, dialect_);

    std::vector<std::string> header;
    if (options_.header) {
      // The footer is among the rows after the header.
      repair_->hold_back(0);
      want_header_ = true;
      if (Status s = advance(); !s) {
        return s.error();
      }
      want_header_ = false;
      repair_->hold_back(options_.repair.skip_footer);
      header = std::move(header_);
    } else if (options_.repair.skip_rows > 0 && !options_.range) {
      // Only so that data_begin() is known: the preamble's rows are set
      // aside and counted as they would be with the first batch.
      want_preamble_ = true;
      if (Status s = advance(); !s) {
        return s.error();
      }
      want_preamble_ = false;
    }
    data_begin_ = pos_;
    names_ = unique_column_names(header, columns);
    plan_parallel(columns);
    if (Status s = settle_column_types(columns); !s) {
      return s.error();
    }
    if (plan_) {
      plan_->types = types_;
    }
    builder_.emplace(columns, width_, options_.limits, types_);
    builder_->set_log(recording_ ? &log_ : nullptr);
    return Ok{};
  }

  std::shared_ptr<const TableTypes> table_types() const noexcept override { return types_; }
  const std::vector<std::string>& unmatched_types() const noexcept override { return unmatched_; }
  const std::vector<ColumnCounts>& type_counts() const noexcept override { return counts_; }
  std::vector<std::uint64_t> nulled_cells() const override {
    std::vector<std::uint64_t> nulled = builder_->nulled();
    const auto add = [&nulled](const std::vector<std::uint64_t>& more) {
      for (std::size_t i = 0; i < nulled.size() && i < more.size(); ++i) {
        nulled[i] += more[i];
      }
    };
    if (parallel_) {
      add(parallel_->nulled());
    }
    if (held_) {
      add(held_->nulled());
    }
    return nulled;
  }

  std::span<const std::string> column_names() const noexcept override { return names_; }
  StringWidth string_width() const noexcept override { return width_; }
  bool choose_string_width(StringWidth width) override {
    if (width == width_) {
      return true;
    }
    if (asked_) {
      return false;
    }
    width_ = width;
    // Batches the scan built in the other layout are built again.
    held_.reset();
    builder_.emplace(builder_->columns(), width_, options_.limits, types_);
    builder_->set_log(recording_ ? &log_ : nullptr);
    if (plan_) {
      plan_->width = width_;
    }
    return true;
  }
  const VornishStats& stats() const noexcept override { return stats_; }
  RepairLog& repair_log() noexcept override { return log_; }
  std::uint64_t data_begin() const noexcept override { return data_begin_; }
  std::string failure() const override {
    if (read_error_) {
      return read_error_->message();
    }
    return parallel_ ? parallel_->failure() : builder_->failure();
  }

  Next next_batch(ArrowArray* out) override {
    asked_ = true;
    if (builder_->failed() || read_error_) {
      return Next::Failed;
    }
    const Next next = held_ ? next_held(out) : plan_ ? next_parallel(out) : next_sequential(out);
    if (next == Next::Failed) {
      return next;
    }
    if (Status s = write_records(next == Next::End); !s) {
      if (next == Next::Batch) {
        out->release(out);
        out->release = nullptr;
      }
      read_error_ = s.error();
      return Next::Failed;
    }
    return next;
  }

 private:
  // Receives the rows of the loop: the header while one is wanted, then the
  // batch rows.
  class Rows final : public RowVisitor {
   public:
    explicit Rows(FileBatchSource& source) noexcept : source_(source) {}
    RepairLog* repair_log() noexcept override {
      return source_.recording_ ? &source_.log_ : nullptr;
    }
    void kept(RowView row, std::size_t start) override {
      if (source_.want_header_) {
        source_.header_ = to_row(row);
        source_.header_taken_ = true;
      } else {
        source_.builder_->kept(row, start);
      }
    }
    void quarantined(std::size_t, QuarantineReason, RowView, std::size_t) override {}

   private:
    FileBatchSource& source_;
  };

  Next next_sequential(ArrowArray* out) {
    if (!done_ && !builder_->has_ready()) {
      if (Status s = advance(); !s) {
        read_error_ = s.error();
        return Next::Failed;
      }
      if (builder_->failed()) {
        return Next::Failed;
      }
      if (done_) {
        builder_->flush();
      }
    }
    return builder_->take_ready(out) ? Next::Batch : Next::End;
  }

  // Hands the records made so far to the audit file, keeping them only
  // when the caller wants them too; `last` closes the file.
  Status write_records(bool last) {
    if (!audit_) {
      return Ok{};
    }
    if (Status s = audit_->write(log_, written_); !s) {
      return s;
    }
    written_ = log_.size();
    if (!options_.keep_records) {
      log_.drop_entries();
      written_ = 0;
    }
    if (last) {
      Status s = audit_->finish();
      audit_.reset();
      return s;
    }
    return Ok{};
  }

  StringWidth width_for(std::uint64_t input_size) const noexcept {
    if (options_.string_layout) {
      return *options_.string_layout;
    }
    return options_.large_strings ? StringWidth::LargeUtf8 : string_width_for(input_size);
  }

  // Runs rows from where the last call stopped until a batch is ready, the
  // header has been read, or the rows of the file (or range) are done.
  Status advance() {
    if (done_) {
      return Ok{};
    }
    Rows rows(*this);
    RangeLimits limits;
    limits.read_size = kReadSize;
    limits.before_row = [this](std::uint64_t, std::size_t, const VornishStats& counts) {
      if (want_header_) {
        return !header_taken_;
      }
      if (want_preamble_) {
        return counts.total_rows < options_.repair.skip_rows;
      }
      return !builder_->has_ready() && !builder_->failed();
    };
    Result<RangeEnd> ran = run_range(window_, pos_, stop_, line_, options_.repair, dialect_,
                                     *repair_, rows, limits);
    publish_counts();
    if (!ran) {
      done_ = true;
      return ran.error();
    }
    pos_ = ran.value().end;
    line_ = ran.value().next_line;
    if (!ran.value().stopped) {
      done_ = true;
      // The rows still held back are the footer.
      repair_->finish(rows);
      publish_counts();
    }
    return Ok{};
  }

  void publish_counts() {
    const VornishStats& counted = repair_->stats();
    stats_.total_rows = counted.total_rows;
    stats_.vornished_rows = counted.vornished_rows;
    stats_.repaired_rows = counted.repaired_rows;
    stats_.quarantined_rows = counted.quarantined_rows;
    if (held_) {
      const VornishStats& more = held_->counts();
      stats_.total_rows += more.total_rows;
      stats_.vornished_rows += more.vornished_rows;
      stats_.repaired_rows += more.repaired_rows;
      stats_.quarantined_rows += more.quarantined_rows;
    }
    if (parallel_) {
      const VornishStats& more = parallel_->counts();
      stats_.total_rows += more.total_rows;
      stats_.vornished_rows += more.vornished_rows;
      stats_.repaired_rows += more.repaired_rows;
      stats_.quarantined_rows += more.quarantined_rows;
    }
  }

  Next next_held(ArrowArray* out) {
    const bool batch = held_->next(out, recording_ ? &log_ : nullptr);
    publish_counts();
    return batch ? Next::Batch : Next::End;
  }

  // Types before the first batch: the rows of the table (past the header)
  // are scanned, a stream that cannot be read again from the bytes held.
  Status settle_column_types(std::size_t columns) {
    ScanPlan scan;
    scan.fd = fd_.get();
    scan.held = regular_ ? nullptr : &window_;
    scan.options = options_.repair;
    // The scan starts past the header, with the table's rows left as they
    // are now; it holds back the same footer, so footer rows are not typed.
    scan.options.join_header = false;
    scan.options.table_rows = repair_->table_rows_left();
    scan.dialect = dialect_;
    scan.columns = columns;
    scan.begin = pos_;
    scan.stop = done_ ? pos_ : stop_;
    scan.size = size_;
    scan.threads = scan.options.skip_footer > 0 || scan.options.table_rows
                       ? 1
                       : std::min(options_.threads.value_or(usable_cores()), kMaxThreads);
    scan.chunk_size =
        std::max<std::size_t>(options_.chunk_size.value_or(kDefaultChunkSize), 1);
    const std::uint64_t rows_span = std::min(stop_, size_) - std::min(pos_, std::min(stop_, size_));
    if (plan_ && options_.types.infer && !options_.types.counts && rows_span <= kHoldAtMost) {
      return settle_and_build(scan);
    }
    Result<SettledTypes> settled = settle_types(options_.types, names_, scan);
    if (!settled) {
      return settled.error();
    }
    adopt(std::move(settled.value()));
    return Ok{};
  }

  void adopt(SettledTypes settled) {
    types_ = std::move(settled.types);
    unmatched_ = std::move(settled.unmatched);
    counts_ = std::move(settled.counts);
  }

  // The types guessed from the table's first rows, then the scan of every
  // row building the batches with them as it goes, on the threads the
  // batches would use: where the guess holds, each row is tokenized once.
  // Where a chunk's counts change the guess, the chunks after it are built
  // with the new one, and those built with types other than the settled
  // ones are built again.
  Status settle_and_build(const ScanPlan& scan) {
    bool scanned = false;
    NullMarkers nulls;
    std::vector<FieldMask> full;
    std::vector<ColumnCounts> first_rows;
    ScanPlan sample = scan;
    sample.columns = names_.size();
    sample.threads = 1;
    sample.stop = scan.begin + std::min<std::uint64_t>({kGuessFrom, plan_->chunk_size,
                                                        scan.stop - scan.begin});
    Result<SettledTypes> guess = settle_types_with(
        options_.types, names_,
        [&](const NullMarkers& n, const std::vector<FieldMask>& f) -> Result<std::vector<ColumnCounts>> {
          scanned = true;
          nulls = n;
          full = f;
          Result<std::vector<ColumnCounts>> counted = scan_column_types(sample, n, f);
          if (counted) {
            first_rows = counted.value();
            first_rows.resize(sample.columns);
          }
          return counted;
        });
    if (!guess) {
      return guess.error();
    }
    if (!scanned) {
      adopt(std::move(guess.value()));
      return Ok{};
    }
    const std::shared_ptr<const TableTypes> guessed = guess.value().types;
    const auto settle_from = [this](const std::vector<ColumnCounts>& counts) {
      return settle_types_with(options_.types, names_,
                               [&counts](const NullMarkers&, const std::vector<FieldMask>&)
                                   -> Result<std::vector<ColumnCounts>> { return counts; });
    };
    const auto guess_from = [&](const std::vector<ColumnCounts>& seen) {
      std::vector<ColumnCounts> both = first_rows;
      for (std::size_t i = 0; i < both.size() && i < seen.size(); ++i) {
        both[i].merge(seen[i]);
      }
      Result<SettledTypes> settled = settle_from(both);
      return settled ? settled.value().types : nullptr;
    };
    const auto settle_whole = [&](const std::vector<ColumnCounts>& counts) {
      Result<SettledTypes> settled = settle_from(counts);
      return settled ? settled.value().types : nullptr;
    };
    BuildPlan build;
    build.scan = scan;
    build.scan.options = plan_->options;
    build.scan.columns = names_.size();
    build.scan.threads = plan_->threads;
    build.scan.chunk_size = plan_->chunk_size;
    build.width = width_;
    build.limits = options_.limits;
    build.record = recording_;
    build.first_line = line_;
    Result<ScanAndBuild> built =
        scan_and_build(build, guessed, nulls, full, guess_from, settle_whole);
    if (!built) {
      return built.error();
    }
    Result<SettledTypes> settled = settle_from(built.value().counts);
    if (!settled) {
      return settled.error();
    }
    adopt(std::move(settled.value()));
    // Built with the types these same counts settle.
    held_ = std::move(built.value().held);
    return Ok{};
  }

  // Whether the rows after the header are worth several threads. A preamble
  // is counted off from the start of the file, so a file with one stays on
  // one thread, as in the streaming repair; so does one with a footer or a
  // table's row limit (counted to the end), and anything that cannot be
  // read at any offset.
  void plan_parallel(std::size_t columns) {
    const std::size_t threads = std::min(options_.threads.value_or(usable_cores()), kMaxThreads);
    const std::size_t chunk_size =
        std::max<std::size_t>(options_.chunk_size.value_or(kDefaultChunkSize), 1);
    const std::uint64_t limit = std::min(stop_, size_);
    VornishOptions rest = options_.repair;
    // A two-row header has been joined by now; the rows after it are rows.
    if (options_.header) rest.join_header = false;
    if (done_ || threads <= 1 || !regular_ || counts_rows_in_order(rest) || limit <= pos_ ||
        limit - pos_ <= chunk_size) {
      return;
    }
    ParallelPlan plan;
    plan.fd = fd_.get();
    plan.options = rest;
    plan.dialect = dialect_;
    plan.columns = columns;
    plan.width = width_;
    plan.limits = options_.limits;
    plan.begin = pos_;
    plan.stop = stop_;
    plan.size = size_;
    plan.threads = threads;
    plan.chunk_size = chunk_size;
    plan.types = types_;
    plan.log = recording_ ? &log_ : nullptr;
    plan.first_line = line_;
    plan_ = plan;
  }

  Next next_parallel(ArrowArray* out) {
    if (!parallel_) {
      Result<std::unique_ptr<ParallelBatches>> started = ParallelBatches::start(*plan_);
      if (!started) {
        read_error_ = started.error();
        return Next::Failed;
      }
      parallel_ = std::move(started.value());
    }
    const Next next = parallel_->next(out);
    publish_counts();
    return next;
  }

  // The count-only pass for E = 0. A regular file is read through a window
  // of its own, so the one the batches use keeps the start it has read;
  // anything else is already held whole.
  Result<std::size_t> widest_row() {
    RowRepair repair(options_.repair, dialect_);
    WidestRow widest;
    if (!regular_) {
      Result<RangeEnd> ran =
          run_range(window_, 0, kNoLimit, 1, options_.repair, dialect_, repair, widest);
      if (!ran) {
        return ran.error();
      }
      return widest.widest;
    }
    FileWindow window(fd_.get(), true);
    RangeLimits limits;
    limits.read_size = kReadSize;
    Result<RangeEnd> ran =
        run_range(window, 0, kNoLimit, 1, options_.repair, dialect_, repair, widest, limits);
    if (!ran) {
      return ran.error();
    }
    return widest.widest;
  }

  Descriptor fd_;
  bool regular_;
  std::uint64_t size_;
  FileWindow window_;
  ArrowReadOptions options_;
  bool recording_;
  RepairLog log_;
  std::optional<AuditFile> audit_;
  std::size_t written_ = 0;
  Dialect dialect_;
  StringWidth width_ = StringWidth::Utf8;
  std::optional<RowRepair> repair_;
  std::optional<ArrowBatchBuilder> builder_;
  std::vector<std::string> names_;
  std::shared_ptr<const TableTypes> types_;
  std::vector<std::string> unmatched_;
  std::vector<ColumnCounts> counts_;
  VornishStats stats_;
  std::uint64_t pos_ = 0;
  std::uint64_t data_begin_ = 0;
  std::uint64_t stop_ = kNoLimit;
  std::size_t line_ = 1;
  bool done_ = false;
  bool asked_ = false;  // next_batch has been called
  bool want_header_ = false;
  bool want_preamble_ = false;
  bool header_taken_ = false;
  std::vector<std::string> header_;
  std::optional<VornishError> read_error_;
  std::optional<ParallelPlan> plan_;
  // The batches the type scan built, when it could.
  std::unique_ptr<HeldBatches> held_;
  // Last, so that its workers stop before anything they read is gone.
  std::unique_ptr<ParallelBatches> parallel_;
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

namespace {

Result<int> open_for_reading(const std::string& path) {
  if (path.find('\0') != std::string::npos) {
    return VornishError::nul_in_path();
  }
  int fd = -1;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    return VornishError::os(errno);
  }
  return fd;
}

// The row-start pass over a window, wherever its bytes come from.
Result<std::vector<RowStart>> row_starts_in(FileWindow& window, const VornishOptions& options,
                                            const Dialect& dialect, std::uint64_t every) {
  RangeLimits limits;
  limits.read_size = kReadSize;
  std::vector<RowStart> starts{RowStart{}};
  const std::uint64_t step = std::max<std::uint64_t>(every, 1);
  for (;;) {
    const RowStart from = starts.back();
    const std::uint64_t stop = from.offset > kNoLimit - step ? kNoLimit : from.offset + step;
    Result<RangeEnd> ran =
        find_range_end(window, from.offset, stop, from.line, options, dialect, limits);
    if (!ran) {
      return ran.error();
    }
    const RangeEnd& end = ran.value();
    if (end.end <= from.offset || (window.at_eof() && end.end >= window.end())) {
      return starts;
    }
    starts.push_back(RowStart{end.end, end.next_line});
  }
}

}  // namespace

Result<std::vector<RowStart>> find_row_starts(const std::string& path,
                                              const VornishOptions& options,
                                              const Dialect& dialect, std::uint64_t every) {
  Result<int> opened = open_for_reading(path);
  if (!opened) {
    return opened.error();
  }
  const Descriptor fd(opened.value());
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0) {
    return VornishError::os(errno);
  }
  FileWindow window(fd.get(), S_ISREG(info.st_mode));
  return row_starts_in(window, options, dialect, every);
}

Result<std::vector<RowStart>> find_row_starts(ByteSource& source, const VornishOptions& options,
                                              const Dialect& dialect, std::uint64_t every) {
  FileWindow window(source);
  return row_starts_in(window, options, dialect, every);
}

Result<std::unique_ptr<BatchSource>> open_batch_source(const std::string& path,
                                                       const ArrowReadOptions& options) {
  if (options.source) {
    auto source = std::make_unique<FileBatchSource>(-1, false, 0, options);
    if (Status s = source->settle(); !s) {
      return s.error();
    }
    return std::unique_ptr<BatchSource>(std::move(source));
  }
  Result<int> opened = open_for_reading(path);
  if (!opened) {
    return opened.error();
  }
  const int fd = opened.value();
  struct stat info {};
  if (::fstat(fd, &info) != 0) {
    const int error = errno;
    ::close(fd);
    return VornishError::os(error);
  }
  const bool regular = S_ISREG(info.st_mode);
  auto source = std::make_unique<FileBatchSource>(
      fd, regular, regular ? static_cast<std::uint64_t>(info.st_size) : 0, options);
  if (Status s = source->settle(); !s) {
    return s.error();
  }
  return std::unique_ptr<BatchSource>(std::move(source));
}

}  // namespace vornish
