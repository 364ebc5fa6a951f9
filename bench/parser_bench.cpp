// Tokenizer throughput: runs ResilientParser over whole files held in
// memory and prints MB/s for next_row (fields decoded and handed out as
// views), next_row_as_read (the same, each row also judged as read) and
// skip_row (fields only counted). A memchr scan for line feeds
// over the same buffer is printed beside them as the memory-bandwidth
// ceiling of a single forward pass.
//
// usage: parser_bench [--repeat=N] [--mode=all|next_row|as_read|skip_row|scan]
//                     [--simd=best|avx512|avx2|sse2|scalar]
//                     [--delimiter=C] [--quote=C] [--no-repair] [--json] FILE...
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

#include "bench_util.hpp"
#include "parser/resilient_parser.hpp"

namespace {

using vornish::ResilientParser;
using vornish::bench::Args;
using vornish::bench::Measurement;

constexpr std::string_view kUsage =
    "usage: parser_bench [--repeat=N] [--mode=all|next_row|as_read|skip_row|scan]\n"
    "                    [--simd=best|avx512|avx2|sse2|scalar]\n"
    "                    [--delimiter=C] [--quote=C] [--no-repair] [--json] FILE...\n";

std::string base_name(const std::string& path) {
  const auto slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::optional<vornish::SimdLevel> level_named(const std::string& name) {
  using vornish::SimdLevel;
  if (name == "best") return SimdLevel::Best;
  if (name == "avx512") return SimdLevel::Avx512;
  if (name == "avx2") return SimdLevel::Avx2;
  if (name == "sse2") return SimdLevel::Sse2;
  if (name == "scalar") return SimdLevel::Scalar;
  return std::nullopt;
}

ResilientParser make_parser(std::string_view data, const Args& args) {
  return ResilientParser(data, static_cast<std::uint8_t>(args.delimiter.value_or(',')),
                         static_cast<std::uint8_t>(args.quote_char), args.repair_quotes, false,
                         level_named(args.simd).value_or(vornish::SimdLevel::Best));
}

// next_row, or next_row_as_read, which also judges each row as read.
Measurement bench_next_row(std::string_view data, const Args& args, bool as_read) {
  Measurement m;
  m.name = as_read ? "next_row_as_read" : "next_row";
  m.bytes = data.size();
  std::size_t sink = 0;
  m.timing = vornish::bench::time_runs(args.repeat, sink, [&] {
    ResilientParser parser = make_parser(data, args);
    std::size_t rows = 0;
    std::size_t fields = 0;
    std::size_t text_bytes = 0;
    while (const auto row = as_read ? parser.next_row_as_read() : parser.next_row()) {
      ++rows;
      fields += row->size();
      for (const auto& field : *row) text_bytes += field.text.size();
    }
    m.rows = rows;
    m.fields = fields;
    return text_bytes + parser.line();
  });
  return m;
}

Measurement bench_skip_row(std::string_view data, const Args& args) {
  Measurement m;
  m.name = "skip_row";
  m.bytes = data.size();
  std::size_t sink = 0;
  m.timing = vornish::bench::time_runs(args.repeat, sink, [&] {
    ResilientParser parser = make_parser(data, args);
    std::size_t rows = 0;
    std::size_t fields = 0;
    while (const auto count = parser.skip_row()) {
      ++rows;
      fields += *count;
    }
    m.rows = rows;
    m.fields = fields;
    return fields + parser.line();
  });
  return m;
}

// Counting line feeds with memchr: what one pass over the buffer costs when
// nothing is tokenized.
Measurement bench_scan(std::string_view data, const Args& args) {
  Measurement m;
  m.name = "memchr_lf";
  m.bytes = data.size();
  std::size_t sink = 0;
  m.timing = vornish::bench::time_runs(args.repeat, sink, [&] {
    std::size_t lines = 0;
    const char* p = data.data();
    const char* const end = data.data() + data.size();
    while (p < end) {
      const void* hit = std::memchr(p, '\n', static_cast<std::size_t>(end - p));
      if (hit == nullptr) break;
      ++lines;
      p = static_cast<const char*>(hit) + 1;
    }
    m.rows = lines;
    return lines;
  });
  return m;
}

}  // namespace

int main(int argc, char** argv) {
  const Args args = vornish::bench::parse_args(argc, argv, kUsage);
  if (!args.error.empty()) {
    std::fputs(args.error.c_str(), stderr);
    std::fputc('\n', stderr);
    return 2;
  }
  const bool all = args.mode == "all";
  if (!all && args.mode != "next_row" && args.mode != "as_read" && args.mode != "skip_row" &&
      args.mode != "scan") {
    std::fprintf(stderr, "unknown mode %s\n%s", args.mode.c_str(), kUsage.data());
    return 2;
  }
  if (!level_named(args.simd)) {
    std::fprintf(stderr, "unknown level %s\n%s", args.simd.c_str(), kUsage.data());
    return 2;
  }
  for (const std::string& path : args.positional) {
    std::string error;
    const std::string data = vornish::bench::load_file(path, error);
    if (!error.empty()) {
      std::fprintf(stderr, "%s\n", error.c_str());
      return 1;
    }
    const std::string input = base_name(path);
    auto emit = [&](Measurement m) {
      m.input = input;
      vornish::bench::report(m, args.json);
    };
    if (all || args.mode == "scan") emit(bench_scan(data, args));
    if (all || args.mode == "next_row") emit(bench_next_row(data, args, false));
    if (all || args.mode == "as_read") emit(bench_next_row(data, args, true));
    if (all || args.mode == "skip_row") emit(bench_skip_row(data, args));
  }
  return 0;
}
