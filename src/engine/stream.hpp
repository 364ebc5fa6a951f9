// The file repair for inputs of any size: the file is read in chunks, rows
// are repaired and written as they come, and chunks may be parsed on
// several threads at once.
//
// Output bytes, quarantine bytes and stats are those of vornish_file for
// every input, chunk size and thread count. Memory stays near (threads + 1)
// chunks plus the longest row, whatever the size of the file.
//
// The pieces it is made of are in file_window (the bytes of a file),
// row_range (the row loop over a byte range), chunk_sink (a chunk's output
// and its commit), chunk_scheduler (chunks in order or on threads) and
// output_file (the files written); work_queue holds the thread limits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "engine/byte_source.hpp"
#include "engine/chunk_scheduler.hpp"
#include "engine/error.hpp"
#include "engine/row_range.hpp"
#include "engine/vornish.hpp"
#include "engine/work_queue.hpp"

namespace vornish {

struct StreamOptions {
  static constexpr std::size_t kDefaultChunkSize = vornish::kDefaultChunkSize;
  // 1: everything on the calling thread; more: that many parsing threads,
  // the calling thread writing.
  std::size_t threads = 1;
  std::size_t chunk_size = kDefaultChunkSize;
  ChunkHook between_chunks;
  // When set, the input's bytes come from here and `input_path` is only
  // looked at, to tell whether the output replaces it. Read forward only,
  // the source still feeds several parsing threads: the bytes of the chunks
  // in flight are held until they are committed. The output is always
  // written beside its place and renamed there once complete, so a source
  // failing late (a truncated compressed stream) leaves no partial output.
  ByteSource* source = nullptr;
  // Count the changes of the run by action (StreamRun::actions).
  bool record = false;
  // Also write every change to this audit CSV file, created (or truncated)
  // with the output and written as the rows are committed.
  std::optional<std::string> audit_path;
};

struct StreamRun {
  VornishStats stats;
  // The changes recorded, by action; zero unless StreamOptions::record or
  // an audit file was asked for.
  ActionCounts actions{};
  // The hook asked to stop: no stats, output left as described below.
  bool cancelled = false;
  // Chunks whose guessed start proved wrong and that were parsed again.
  std::size_t reparsed_chunks = 0;
  // Of those, the ones whose second parse met the first one's rows, so
  // only the part before the meeting point was parsed twice.
  std::size_t resynced_chunks = 0;
};

// vornish_file for large files. What differs from vornish_file is the order
// of effects only: the output is created once the start of the input has
// settled the dialect, before the input has been read to its end, so a read
// failure later on leaves a partial output. When the output is the input
// file itself it is written beside it and renamed over it once complete
// (keeping its permission bits); on failure or cancellation that file is
// removed and the input stays as it was. Otherwise a failed or cancelled
// run leaves the output holding what was written so far, and no quarantine
// file. Quarantined rows wait in a temporary file, never all in memory,
// until the output is complete. A file with a preamble (`options.skip_rows`)
// is read on one thread.
Result<StreamRun> stream_vornish_file(const std::string& input_path,
                                      const std::string& output_path,
                                      const std::optional<std::string>& quarantine_path,
                                      const VornishOptions& options,
                                      const StreamOptions& stream);

}  // namespace vornish
