// Implementation of the benchmark helpers: file loading, timing summaries,
// result printing and argument parsing.
#include "bench_util.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>

namespace vornish::bench {

std::string load_file(const std::string& path, std::string& error) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  if (!in) {
    error = "cannot open " + path;
    return {};
  }
  const std::streamoff size = in.tellg();
  if (size < 0) {
    error = "cannot size " + path;
    return {};
  }
  std::string data(static_cast<std::size_t>(size), '\0');
  in.seekg(0);
  if (!in.read(data.data(), size)) {
    error = "cannot read " + path;
    return {};
  }
  return data;
}

Timing summarize(std::vector<double> seconds) {
  Timing t;
  if (seconds.empty()) return t;
  std::sort(seconds.begin(), seconds.end());
  t.runs = seconds.size();
  t.best_s = seconds.front();
  const std::size_t mid = seconds.size() / 2;
  t.median_s = seconds.size() % 2 == 1 ? seconds[mid] : (seconds[mid - 1] + seconds[mid]) / 2.0;
  return t;
}

double megabytes_per_second(std::size_t bytes, double seconds) noexcept {
  if (seconds <= 0.0) return 0.0;
  return static_cast<double>(bytes) / 1e6 / seconds;
}

std::string json_escape(std::string_view text) {
  std::string out;
  for (const char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out.push_back('\\');
      out.push_back(c);
    } else if (u < 0x20) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\u%04x", u);
      out += hex;
    } else {
      out.push_back(c);
    }
  }
  return out;
}

void report(const Measurement& m, bool json) {
  const double best = megabytes_per_second(m.bytes, m.timing.best_s);
  const double median = megabytes_per_second(m.bytes, m.timing.median_s);
  if (json) {
    std::printf(
        "{\"name\": \"%s\", \"input\": \"%s\", \"bytes\": %zu, \"rows\": %zu, "
        "\"fields\": %zu, \"runs\": %zu, \"best_s\": %.6f, \"median_s\": %.6f, "
        "\"best_mb_s\": %.2f, \"median_mb_s\": %.2f}\n",
        json_escape(m.name).c_str(), json_escape(m.input).c_str(), m.bytes, m.rows, m.fields,
        m.timing.runs, m.timing.best_s, m.timing.median_s, best, median);
  } else {
    std::printf("%-14s %-28s %9.1f MB %10zu rows  best %8.4f s %9.1f MB/s  median %8.4f s\n",
                m.name.c_str(), m.input.c_str(), static_cast<double>(m.bytes) / 1e6, m.rows,
                m.timing.best_s, best, m.timing.median_s);
  }
  std::fflush(stdout);
}

namespace {

bool single_byte(const std::string& value, char& out) {
  if (value == "\\t" || value == "tab") {
    out = '\t';
    return true;
  }
  if (value.size() != 1) return false;
  out = value[0];
  return true;
}

}  // namespace

Args parse_args(int argc, char** argv, std::string_view usage) {
  Args args;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const auto eq = arg.find('=');
    const std::string key = arg.substr(0, eq);
    const std::string value = eq == std::string::npos ? std::string() : arg.substr(eq + 1);
    if (arg == "-h" || arg == "--help") {
      args.error = std::string(usage);
    } else if (key == "--repeat") {
      char* end = nullptr;
      const unsigned long n = std::strtoul(value.c_str(), &end, 10);
      if (value.empty() || *end != '\0' || n == 0) args.error = "--repeat needs a positive count";
      args.repeat = n;
    } else if (arg == "--json") {
      args.json = true;
    } else if (arg == "--no-repair") {
      args.repair_quotes = false;
    } else if (key == "--delimiter") {
      char c = 0;
      if (!single_byte(value, c)) args.error = "--delimiter needs one byte (or tab)";
      args.delimiter = c;
    } else if (key == "--quote") {
      if (!single_byte(value, args.quote_char)) args.error = "--quote needs one byte";
    } else if (key == "--mode") {
      args.mode = value;
    } else if (key == "--simd") {
      args.simd = value;
    } else if (arg.rfind("--", 0) == 0) {
      args.error = "unknown option " + arg + "\n" + std::string(usage);
    } else {
      args.positional.push_back(arg);
    }
    if (!args.error.empty()) return args;
  }
  if (args.positional.empty()) args.error = std::string(usage);
  return args;
}

}  // namespace vornish::bench
