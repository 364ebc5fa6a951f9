// Small helpers shared by the native benchmark programs: loading a file
// into memory, timing a callable several times, and printing results either
// as an aligned table line or as one JSON object per line for the Python
// drivers. Benchmarks only report; nothing here judges a timing.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

namespace vornish::bench {

// The whole file, or an empty string with `error` set.
std::string load_file(const std::string& path, std::string& error);

struct Timing {
  double best_s = 0.0;
  double median_s = 0.0;
  std::size_t runs = 0;
};

Timing summarize(std::vector<double> seconds);

// Runs `body` `repeat` times (at least once) and keeps the best and median
// wall time. The body must return something derived from all its work so
// the optimiser cannot drop it; the value of the last run is kept in `sink`.
template <class Body>
Timing time_runs(std::size_t repeat, std::size_t& sink, Body&& body) {
  std::vector<double> seconds;
  if (repeat == 0) repeat = 1;
  for (std::size_t i = 0; i < repeat; ++i) {
    const auto start = std::chrono::steady_clock::now();
    sink = body();
    const auto stop = std::chrono::steady_clock::now();
    seconds.push_back(std::chrono::duration<double>(stop - start).count());
  }
  return summarize(std::move(seconds));
}

// One measurement, printed by `report`.
struct Measurement {
  std::string name;      // e.g. "next_row"
  std::string input;     // file name
  std::size_t bytes = 0;
  std::size_t rows = 0;
  std::size_t fields = 0;
  Timing timing;
};

double megabytes_per_second(std::size_t bytes, double seconds) noexcept;

void report(const Measurement& m, bool json);

// Minimal JSON string escaping for file names.
std::string json_escape(std::string_view text);

// Parses "--flag=value" style and positional command-line arguments.
struct Args {
  std::vector<std::string> positional;
  std::size_t repeat = 3;
  bool json = false;
  bool repair_quotes = true;
  std::optional<char> delimiter;  // absent: the program's default
  char quote_char = '"';
  std::string mode = "all";
  std::string simd = "best";  // parser_bench only: the SimdLevel to force
  std::string error;  // set when parsing failed
};

Args parse_args(int argc, char** argv, std::string_view usage);

}  // namespace vornish::bench
