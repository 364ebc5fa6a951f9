// Engine throughput below the Python layer: dialect guessing, vornish_slice
// over a whole buffer, reading every kept row back through a cursor (the
// work behind each row a reader hands out), and vornish_file end to end.
// Splitting the run this way shows whether time goes to the heuristics,
// the row loop, the read-back or the writing.
//
// usage: pipeline_bench [--repeat=N] [--mode=all|dialect|slice|cursor|file]
//                       [--delimiter=C] [--quote=C] [--no-repair] [--json]
//                       FILE [OUTPUT [QUARANTINE]]
// OUTPUT and QUARANTINE default to /dev/null.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

#include "bench_util.hpp"
#include "engine/vornish.hpp"

namespace {

using vornish::bench::Args;
using vornish::bench::Measurement;

constexpr std::string_view kUsage =
    "usage: pipeline_bench [--repeat=N] [--mode=all|dialect|slice|cursor|file]\n"
    "                      [--delimiter=C] [--quote=C] [--no-repair] [--json]\n"
    "                      FILE [OUTPUT [QUARANTINE]]\n";

vornish::VornishOptions options_from(const Args& args) {
  vornish::VornishOptions options;
  if (args.delimiter) options.delimiter = static_cast<std::uint8_t>(*args.delimiter);
  options.quote_char = static_cast<std::uint8_t>(args.quote_char);
  options.repair_quotes = args.repair_quotes;
  return options;
}

}  // namespace

int main(int argc, char** argv) {
  const Args args = vornish::bench::parse_args(argc, argv, kUsage);
  if (!args.error.empty() || args.positional.size() > 3) {
    std::fputs(args.error.empty() ? kUsage.data() : args.error.c_str(), stderr);
    return 2;
  }
  const std::string& path = args.positional[0];
  const std::string output = args.positional.size() > 1 ? args.positional[1] : "/dev/null";
  const std::string quarantine = args.positional.size() > 2 ? args.positional[2] : "/dev/null";
  const bool all = args.mode == "all";

  std::string error;
  const std::string data = vornish::bench::load_file(path, error);
  if (!error.empty()) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  const auto slash = path.find_last_of('/');
  const std::string input = slash == std::string::npos ? path : path.substr(slash + 1);
  const vornish::VornishOptions options = options_from(args);
  auto emit = [&](Measurement m) {
    m.input = input;
    m.bytes = data.size();
    vornish::bench::report(m, args.json);
  };

  if (all || args.mode == "dialect") {
    Measurement m;
    m.name = "dialect";
    std::size_t sink = 0;
    m.timing = vornish::bench::time_runs(args.repeat, sink, [&] {
      const vornish::Dialect d = vornish::settle_dialect(data, options);
      m.fields = d.expected_columns;
      return d.expected_columns + d.delimiter;
    });
    emit(m);
  }
  if (all || args.mode == "slice") {
    Measurement m;
    m.name = "vornish_slice";
    std::size_t sink = 0;
    m.timing = vornish::bench::time_runs(args.repeat, sink, [&] {
      const vornish::VornishOutcome outcome = vornish::vornish_slice(data, options);
      m.rows = outcome.stats.total_rows;
      return outcome.rows.size() + outcome.quarantined.size();
    });
    emit(m);
  }
  if (all || args.mode == "cursor") {
    // Read-back only: the slice is made once, outside the timed part.
    const vornish::VornishOutcome outcome = vornish::vornish_slice(data, options);
    Measurement m;
    m.name = "cursor_read";
    std::size_t sink = 0;
    m.timing = vornish::bench::time_runs(args.repeat, sink, [&] {
      auto cursor = outcome.rows.cursor();
      std::size_t fields = 0;
      std::size_t text_bytes = 0;
      for (std::size_t i = 0; i < outcome.rows.size(); ++i) {
        const vornish::RowView row = cursor.read(i);
        fields += row.size();
        for (const auto& field : row) text_bytes += field.text.size();
      }
      m.rows = outcome.rows.size();
      m.fields = fields;
      return text_bytes;
    });
    emit(m);
  }
  if (all || args.mode == "file") {
    Measurement m;
    m.name = "vornish_file";
    std::size_t sink = 0;
    bool failed = false;
    m.timing = vornish::bench::time_runs(args.repeat, sink, [&] {
      auto result = vornish::vornish_file(path, output, quarantine, options);
      if (!result) {
        std::fprintf(stderr, "vornish_file failed: %s\n", result.error().message().c_str());
        failed = true;
        return std::size_t{0};
      }
      const vornish::VornishStats& stats = result.value();
      m.rows = stats.total_rows;
      return stats.vornished_rows;
    });
    if (failed) return 1;
    emit(m);
  }
  return 0;
}
