// Fuzz target for the streaming, parallel file repair: random bytes under
// random options, chunk sizes and thread counts.
//
// Checked on every input: stream_vornish_file never crashes, hangs or reads
// past what it holds, and (unless FUZZ_CRASH_ONLY is set in the
// environment) its output bytes, quarantine bytes and stats are exactly
// those of the whole-buffer vornish_file on the same file, as are its
// error or success; its audit file holds the whole-buffer run's repair
// records, each giving back its row's bytes, and its counts by action
// agree with the stats.
//
// Input layout: flags (delimiter given, padding, merging, quote repair,
// blanks skipped, width given, with a quarantine file), delimiter, quote,
// width, preamble rows, chunk size, threads, then the payload. The files
// live in /dev/shm (or $TMPDIR) under names unique to the process, reused
// for every input.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>

#include "engine/stream.hpp"
#include "engine/vornish.hpp"
#include "fuzz_support.hpp"

namespace {

using namespace vornish;
using namespace vornish::fuzz;

bool g_crash_only = false;
std::string g_input, g_output, g_quarantine, g_ref_output, g_ref_quarantine, g_audit;

std::string read_all(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void write_all(const std::string& path, std::string_view bytes) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  FUZZ_CHECK(f != nullptr);
  FUZZ_CHECK(bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size());
  FUZZ_CHECK(std::fclose(f) == 0);
}

bool same_stats(const VornishStats& a, const VornishStats& b) {
  return a.total_rows == b.total_rows && a.vornished_rows == b.vornished_rows &&
         a.repaired_rows == b.repaired_rows && a.quarantined_rows == b.quarantined_rows &&
         a.detected_delimiter == b.detected_delimiter && a.inferred_columns == b.inferred_columns;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  g_crash_only = crash_only_mode();
  std::string dir = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
  if (const char* tmp = std::getenv("TMPDIR"); tmp != nullptr && *tmp != '\0') {
    dir = tmp;
  }
  const std::string stem = dir + "/fuzz_stream." + std::to_string(::getpid());
  g_input = stem + ".in";
  g_output = stem + ".out";
  g_quarantine = stem + ".q";
  g_ref_output = stem + ".ref.out";
  g_ref_quarantine = stem + ".ref.q";
  g_audit = stem + ".audit";
  std::atexit([] {
    for (const std::string* p : {&g_input, &g_output, &g_quarantine, &g_ref_output,
                                 &g_ref_quarantine, &g_audit}) {
      ::unlink(p->c_str());
    }
  });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  OptionReader reader(data, size);
  const std::uint8_t flags = reader.byte();
  VornishOptions options;
  const std::uint8_t delimiter = reader.interesting_byte();
  if ((flags & 1) != 0) {
    options.delimiter = delimiter;
  }
  options.quote_char = reader.interesting_byte();
  options.fill_ragged_rows = (flags & 2) != 0;
  options.merge_overflow = (flags & 4) != 0;
  options.repair_quotes = (flags & 8) == 0;
  options.skip_initial_space = (flags & 16) != 0;
  const std::uint8_t width = reader.byte();
  if ((flags & 32) != 0) {
    options.expected_columns = width % 8u;
  }
  const bool with_quarantine = (flags & 64) == 0;
  const std::uint8_t preamble = reader.byte();
  options.skip_rows = preamble < 0xC0 ? 0 : preamble % 4u;
  StreamOptions stream;
  stream.chunk_size = 1 + static_cast<std::size_t>(reader.byte()) +
                      (static_cast<std::size_t>(reader.byte() & 1) << 8);
  stream.threads = 1 + reader.byte() % 4u;
  stream.audit_path = g_audit;
  write_all(g_input, reader.rest());
  // A file left by the previous input must not pass for one this run wrote.
  for (const std::string* p :
       {&g_output, &g_quarantine, &g_ref_output, &g_ref_quarantine, &g_audit}) {
    ::unlink(p->c_str());
  }

  const std::optional<std::string> quarantine =
      with_quarantine ? std::optional<std::string>(g_quarantine) : std::nullopt;
  const Result<StreamRun> run =
      stream_vornish_file(g_input, g_output, quarantine, options, stream);
  if (g_crash_only) {
    return 0;
  }
  FUZZ_CHECK(!run || !run.value().cancelled);

  const std::optional<std::string> ref_quarantine =
      with_quarantine ? std::optional<std::string>(g_ref_quarantine) : std::nullopt;
  const Result<VornishStats> reference =
      vornish_file(g_input, g_ref_output, ref_quarantine, options);
  FUZZ_CHECK(static_cast<bool>(run) == static_cast<bool>(reference));
  if (!reference) {
    FUZZ_CHECK(run.error().message() == reference.error().message());
    return 0;
  }
  FUZZ_CHECK(same_stats(run.value().stats, reference.value()));
  FUZZ_CHECK(read_all(g_output) == read_all(g_ref_output));
  if (with_quarantine) {
    FUZZ_CHECK(read_all(g_quarantine) == read_all(g_ref_quarantine));
  }

  const std::string input(reader.rest());
  RepairLog log;
  static_cast<void>(vornish_slice_kept(input, options, &log));
  std::string expected(kAuditHeader);
  std::uint64_t last_offset = 0;
  for (std::size_t i = 0; i < log.size(); ++i) {
    const RepairEntry& entry = log[i];
    append_audit_line(expected, log, entry);
    FUZZ_CHECK(entry.offset >= last_offset);
    last_offset = entry.offset;
    FUZZ_CHECK(input.compare(entry.offset, log.raw(entry).size(), log.raw(entry)) == 0);
  }
  FUZZ_CHECK(read_all(g_audit) == expected);
  FUZZ_CHECK(run.value().actions == log.counts());
  const auto count = [&](RepairAction action) { return log.counts()[static_cast<std::size_t>(action)]; };
  FUZZ_CHECK(count(RepairAction::Padded) + count(RepairAction::Merged) ==
             reference.value().repaired_rows);
  FUZZ_CHECK(count(RepairAction::Quarantined) + count(RepairAction::Preamble) ==
             reference.value().quarantined_rows);
  return 0;
}
