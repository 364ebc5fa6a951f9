// The streaming file repair: settles the dialect from the start of the
// input, creates the output, runs the chunks and, once the output is
// complete, puts it in place and writes the quarantine file.
#include "engine/stream.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <system_error>
#include <utility>

#include "engine/chunk_sink.hpp"
#include "engine/held_stream.hpp"
#include "engine/output_file.hpp"
#include "engine/writer.hpp"

namespace vornish {

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
  // A preamble is counted off from the start of the file, so a file with one
  // is read on one thread.
  const bool threaded = stream.threads > 1 && !counts_rows_in_order(options);
  std::optional<HeldStream> held;
  if (stream.source != nullptr && threaded) {
    held.emplace(*stream.source);
  }
  FileWindow window = held                       ? FileWindow(*held)
                      : stream.source != nullptr ? FileWindow(*stream.source)
                                                 : FileWindow(in, regular);
  // The heuristics read text: in a code page, the start decoded as a
  // transcoding source would hand it on, again only when the window grew.
  std::string decoded;
  std::size_t decoded_from = 0;
  const auto start_text = [&]() -> std::string_view {
    if (!options.code_page) return window.view();
    if (decoded_from != window.view().size()) {
      decoded.clear();
      utf8::append_code_page(decoded, window.view(), *options.code_page);
      decoded_from = window.view().size();
    }
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
  const bool parallel = threaded && !empty && (held || (regular && size > chunk_size));
  Result<bool> finished = true;
  if (parallel) {
    try {
      ChunkRetries retries;
      finished = run_parallel(in, size, held ? &*held : nullptr, window, options, dialect, keep_quarantine, record,
                              stream.threads, chunk_size, committer, run.stats, retries,
                              progress);
      run.reparsed_chunks = retries.reparsed_chunks;
      run.resynced_chunks = retries.resynced_chunks;
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
