// The chunk loop of the streaming repair: chunks of a file are parsed in
// order on the calling thread, or speculatively on worker threads and
// committed in input order by the calling thread, which alone writes.
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
// speculative output is taken.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>

#include "engine/error.hpp"
#include "engine/file_window.hpp"
#include "engine/vornish.hpp"

namespace vornish {

class Committer;
class HeldStream;

// Called on the calling thread between chunks with the bytes of the input
// done so far and its size (0 when unknown); false stops the run.
using ChunkHook = std::function<bool(std::uint64_t done, std::uint64_t total)>;

// Reports through the hook how far the run has got; what it reports never
// goes back.
struct Progress {
  const ChunkHook& hook;
  std::uint64_t total;
  mutable std::uint64_t last = 0;
  bool report(std::uint64_t done) const {
    last = std::max(last, done);
    return !hook || hook(last, std::max(total, last));
  }
};

// Chunks whose guessed start proved wrong and that were parsed again; of
// those, the ones whose second parse met the first one's rows, so only the
// part before the meeting point was parsed twice.
struct ChunkRetries {
  std::size_t reparsed_chunks = 0;
  std::size_t resynced_chunks = 0;
};

// The run after the dialect is settled, on the calling thread alone: adds
// its row counts to `stats`. Returns false when cancelled.
Result<bool> run_sequential(FileWindow& window, const VornishOptions& options,
                            const Dialect& dialect, bool keep_quarantine, bool record,
                            std::size_t chunk_size, Committer& committer, VornishStats& stats,
                            const Progress& progress);

// The same run with `thread_count` threads parsing chunks of a regular
// file (`fd`, `size` bytes), or of a forward-only input held as it is read
// (`held`; `fd` and `size` are then ignored): a chunk is handed out once
// the bytes up to its stop are held, so its worker knows whether it is the
// last, and the bytes before the oldest chunk still needed are let go as
// chunks are committed. `window` is the calling thread's, for chunks
// parsed again. Throws std::system_error when no thread can be started.
Result<bool> run_parallel(int fd, std::uint64_t size, HeldStream* held, FileWindow& window,
                          const VornishOptions& options, const Dialect& dialect,
                          bool keep_quarantine, bool record, std::size_t thread_count,
                          std::size_t chunk_size, Committer& committer, VornishStats& stats,
                          ChunkRetries& retries, const Progress& progress);

}  // namespace vornish
