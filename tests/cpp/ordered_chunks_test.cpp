// Tests of the chunk schedule both threaded engines share: where a range is
// cut, how many chunks are out at once, that chunks come back in input order
// whatever order the workers finish them in, and the guessed chunk start.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "engine/ordered_chunks.hpp"
#include "engine/row_range.hpp"

namespace vornish {
namespace {

struct CutCase {
  std::uint64_t begin, limit, last_stop;
  std::size_t chunk_size, threads;
  std::uint64_t count;
  std::size_t used_threads;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> chunks;  // nominal, stop
};

TEST(OrderedChunks, CutsCoverTheRangeOnce) {
  const std::vector<CutCase> cases = {
      {0, 10, kNoLimit, 4, 2, 3, 2, {{0, 4}, {4, 8}, {8, kNoLimit}}},
      {0, 8, kNoLimit, 4, 8, 2, 2, {{0, 4}, {4, kNoLimit}}},
      // An empty range is still one chunk, so the run meets the file's end.
      {0, 0, kNoLimit, 4, 2, 1, 1, {{0, kNoLimit}}},
      // A range of a file: cut from its start, the last chunk ends at its stop.
      {100, 109, 109, 3, 4, 3, 3, {{100, 103}, {103, 106}, {106, 109}}},
      {5, 6, 6, 4096, 2, 1, 1, {{5, 6}}},
  };
  for (const CutCase& c : cases) {
    const ChunkCuts cuts(c.begin, c.limit, c.last_stop, c.chunk_size, c.threads);
    SCOPED_TRACE(testing::Message() << "begin " << c.begin << " limit " << c.limit);
    EXPECT_EQ(cuts.count(), c.count);
    EXPECT_EQ(cuts.threads(), c.used_threads);
    EXPECT_EQ(cuts.in_flight(), 2 * c.used_threads);
    ASSERT_EQ(c.chunks.size(), c.count);
    for (std::uint64_t k = 0; k < cuts.count(); ++k) {
      EXPECT_EQ(cuts.nominal(k), c.chunks[k].first);
      EXPECT_EQ(cuts.stop(k), c.chunks[k].second);
    }
  }
}

struct Job {
  std::uint64_t nominal = 0;
  std::uint64_t stop = 0;
  std::uint64_t worked = 0;  // what the worker saw
  std::optional<VornishError> error;
  bool done = false;
};

TEST(OrderedChunks, TakenInInputOrderWithABoundedNumberOut) {
  const ChunkCuts cuts(0, 1000, kNoLimit, 10, 3);  // 100 chunks, 6 out at a time
  std::atomic<int> out{0};
  std::atomic<int> most_out{0};
  OrderedChunks<Job> chunks(cuts);
  chunks.start([] { return 0; },
               [](Job& job, int&) {
                 // Later chunks finish first now and then.
                 if (job.nominal % 30 == 0) {
                   std::this_thread::sleep_for(std::chrono::milliseconds(2));
                 }
                 job.worked = job.nominal;
               });
  const auto dispatch = [&] {
    chunks.dispatch([&](std::uint64_t nominal, std::uint64_t stop) {
      const int now = ++out;
      int seen = most_out.load();
      while (now > seen && !most_out.compare_exchange_weak(seen, now)) {
      }
      auto job = std::make_unique<Job>();
      job->nominal = nominal;
      job->stop = stop;
      return job;
    });
  };
  dispatch();
  std::vector<std::uint64_t> taken;
  while (!chunks.empty()) {
    chunks.wait(chunks.front());
    std::unique_ptr<Job> job = chunks.pop_front();
    EXPECT_EQ(job->worked, job->nominal);
    taken.push_back(job->nominal);
    --out;
    dispatch();
  }
  ASSERT_EQ(taken.size(), 100u);
  for (std::size_t k = 0; k < taken.size(); ++k) {
    EXPECT_EQ(taken[k], k * 10);
  }
  EXPECT_EQ(most_out.load(), 6);
}

// A chunk left out when the schedule goes is still finished before any
// chunk is freed (ThreadSanitizer and AddressSanitizer see to the rest).
TEST(OrderedChunks, DroppedWithChunksOut) {
  std::atomic<bool> cancel{false};
  {
    OrderedChunks<Job> chunks(ChunkCuts(0, 100, kNoLimit, 1, 2));
    chunks.start([] { return 0; },
                 [&](Job& job, int&) {
                   while (!cancel.load()) {
                     std::this_thread::yield();
                   }
                   job.worked = 1;
                 });
    chunks.dispatch([](std::uint64_t nominal, std::uint64_t stop) {
      auto job = std::make_unique<Job>();
      job->nominal = nominal;
      job->stop = stop;
      return job;
    });
    cancel = true;
  }
  SUCCEED();
}

struct Guessed {
  std::uint64_t nominal = 0;
  std::optional<std::uint64_t> start;
  RangeEnd end;
  std::optional<VornishError> error;
};

TEST(OrderedChunks, GuessedStartIsTheNextLineStart) {
  char name[] = "/tmp/vornish-chunks-XXXXXX";
  const int fd = ::mkstemp(name);
  ASSERT_GE(fd, 0);
  ::unlink(name);
  const std::string text = "a,b\nccc,d\r\n" + std::string(100, 'x') + "\n";
  ASSERT_EQ(::write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  struct Case {
    std::uint64_t nominal;
    std::uint64_t overhang;
    std::optional<std::uint64_t> start;  // none: abandoned
  };
  const std::vector<Case> cases = {
      {0, 1000, 0},     {1, 1000, 4},  {4, 1000, 4},
      {5, 1000, 11},    {12, 1000, text.size()},
      {12, 50, std::nullopt},  // no line start within the overhang
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "nominal " << c.nominal << " overhang " << c.overhang);
    FileWindow window(fd, true);
    Guessed chunk;
    chunk.nominal = c.nominal;
    const bool go = guess_chunk_start(chunk, window, c.overhang, 16);
    EXPECT_EQ(go, c.start.has_value());
    EXPECT_FALSE(chunk.error.has_value());
    EXPECT_EQ(chunk.start, c.start);
    EXPECT_EQ(chunk.end.abandoned, !c.start.has_value());
  }
  ::close(fd);
}

TEST(OrderedChunks, GuessedStartCarriesAReadFailure) {
  FileWindow window(-1, true);  // reads fail with EBADF
  Guessed chunk;
  chunk.nominal = 10;
  EXPECT_FALSE(guess_chunk_start(chunk, window, 100, 16));
  ASSERT_TRUE(chunk.error.has_value());
  EXPECT_FALSE(chunk.end.abandoned);
}

}  // namespace
}  // namespace vornish
