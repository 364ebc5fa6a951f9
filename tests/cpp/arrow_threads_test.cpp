// Arrow batches released on threads other than the one that built them, as
// consumers do (a pyarrow table dropped on a worker, a child column moved
// out and freed on its own). Run under ThreadSanitizer by tests/tsan.sh.
#include <gtest/gtest.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/arrow_batch.hpp"
#include "engine/batch_source.hpp"

namespace vornish {
namespace {

namespace fs = std::filesystem;

std::vector<FieldView> views(const std::vector<std::string>& fields) {
  std::vector<FieldView> out;
  for (const std::string& f : fields) out.push_back(FieldView{f, true});
  return out;
}

std::string cell(const ArrowArray& child, std::int64_t row) {
  const auto* offsets = static_cast<const std::int32_t*>(child.buffers[1]);
  return std::string(static_cast<const char*>(child.buffers[2]) + offsets[row],
                     static_cast<std::size_t>(offsets[row + 1] - offsets[row]));
}

// A hand-over queue between a producing and a consuming thread.
class Queue {
 public:
  void push(ArrowArray batch) {
    {
      std::lock_guard lock(mutex_);
      items_.push_back(batch);
    }
    ready_.notify_one();
  }
  void close() {
    {
      std::lock_guard lock(mutex_);
      closed_ = true;
    }
    ready_.notify_all();
  }
  bool pop(ArrowArray& out) {
    std::unique_lock lock(mutex_);
    ready_.wait(lock, [&] { return closed_ || !items_.empty(); });
    if (items_.empty()) return false;
    out = items_.front();
    items_.pop_front();
    return true;
  }

 private:
  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<ArrowArray> items_;
  bool closed_ = false;
};

TEST(ArrowThreads, BatchesAndChildrenReleasedOnOtherThreads) {
  constexpr int kRows = 2000;
  ArrowBatchBuilder builder(3, StringWidth::Utf8, BatchLimits{7, 1 << 20});
  for (int i = 0; i < kRows; ++i) {
    const std::vector<std::string> row = {std::to_string(i), "x", i % 3 ? "y" : "é"};
    // Every fifth row is short, so some columns carry a validity bitmap.
    builder.kept(i % 5 ? RowView(views(row)) : RowView(views(row)).first(1), 0);
  }
  builder.flush();
  std::vector<ArrowArray> batches;
  ArrowArray batch{};
  while (builder.take_ready(&batch)) batches.push_back(batch);
  ASSERT_GT(batches.size(), 100u);

  // Each batch: its second child moved out and released on one thread, the
  // parent (with the other children) on another, in no fixed order.
  std::vector<ArrowArray> moved(batches.size());
  for (std::size_t b = 0; b < batches.size(); ++b) {
    moved[b] = *batches[b].children[1];
    batches[b].children[1]->release = nullptr;
  }
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (std::size_t b = static_cast<std::size_t>(t); b < batches.size(); b += 4) {
        if (t % 2 == 0) {
          EXPECT_EQ(cell(*batches[b].children[0], 0), std::to_string(b * 7));
          batches[b].release(&batches[b]);
        } else {
          moved[b].release(&moved[b]);
        }
      }
    });
  }
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (std::size_t b = static_cast<std::size_t>(t); b < batches.size(); b += 4) {
        if (t % 2 == 0) {
          moved[b].release(&moved[b]);
        } else {
          batches[b].release(&batches[b]);
        }
      }
    });
  }
  for (std::thread& t : threads) t.join();
  for (std::size_t b = 0; b < batches.size(); ++b) {
    EXPECT_EQ(batches[b].release, nullptr);
    EXPECT_EQ(moved[b].release, nullptr);
  }
}

TEST(ArrowThreads, ConsumerReleasesWhileTheBuilderKeepsFilling) {
  ArrowBatchBuilder builder(2, StringWidth::LargeUtf8, BatchLimits{3, 64});
  Queue queue;
  std::int64_t consumed = 0;
  std::thread consumer([&] {
    ArrowArray batch{};
    while (queue.pop(batch)) {
      consumed += batch.length;
      batch.release(&batch);
    }
  });
  for (int i = 0; i < 3000; ++i) {
    const std::vector<std::string> row = {std::string(static_cast<std::size_t>(i % 50), 'a'),
                                          std::to_string(i)};
    builder.kept(views(row), 0);
    ArrowArray batch{};
    while (builder.take_ready(&batch)) queue.push(batch);
  }
  builder.flush();
  ArrowArray batch{};
  while (builder.take_ready(&batch)) queue.push(batch);
  queue.close();
  consumer.join();
  EXPECT_EQ(consumed, 3000);
}

TEST(ArrowThreads, BatchSourceBatchesFreedOnAnotherThreadAfterTheSourceIsGone) {
  const fs::path dir = fs::temp_directory_path() /
                       ("vornish-arrow-threads-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  const fs::path path = dir / "in.csv";
  {
    std::ofstream out(path, std::ios::binary);
    out << "a,b\n";
    for (int i = 0; i < 5000; ++i) out << i << ",\"v" << i << "\"\n";
  }
  // One thread, and several building chunks of about a hundred rows.
  for (const std::size_t threads : {std::size_t{1}, std::size_t{3}}) {
    ArrowReadOptions options;
    options.limits = BatchLimits{128, 1 << 20};
    options.threads = threads;
    options.chunk_size = 1000;
    std::vector<ArrowArray> batches;
    {
      Result<std::unique_ptr<BatchSource>> source = open_batch_source(path.string(), options);
      ASSERT_TRUE(source);
      ArrowArray batch{};
      while (source.value()->next_batch(&batch) == BatchSource::Next::Batch) {
        batches.push_back(batch);
      }
    }
    std::int64_t rows = 0;
    std::thread releaser([&] {
      for (ArrowArray& b : batches) {
        rows += b.length;
        b.release(&b);
      }
    });
    releaser.join();
    EXPECT_EQ(rows, 5000);
  }
  fs::remove_all(dir);
}

TEST(ArrowThreads, ParallelSourceHandsOutToAConsumerThreadAndIsDroppedMidway) {
  const fs::path dir = fs::temp_directory_path() /
                       ("vornish-arrow-parallel-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  const fs::path path = dir / "in.csv";
  {
    std::ofstream out(path, std::ios::binary);
    out << "a,b\n";
    for (int i = 0; i < 20000; ++i) out << i << ",\"v\n" << i << "\"\n";
  }
  for (const int stop_after : {-1, 3}) {
    ArrowReadOptions options;
    options.limits = BatchLimits{50, 1 << 20};
    options.threads = 3;
    options.chunk_size = 2000;
    Result<std::unique_ptr<BatchSource>> source = open_batch_source(path.string(), options);
    ASSERT_TRUE(source);
    // The source is driven from one thread and its batches freed on
    // another while the workers go on building.
    Queue queue;
    std::int64_t rows = 0;
    std::thread consumer([&] {
      ArrowArray batch{};
      while (queue.pop(batch)) {
        rows += batch.length;
        batch.release(&batch);
      }
    });
    std::thread driver([&] {
      ArrowArray batch{};
      for (int taken = 0; taken != stop_after &&
                          source.value()->next_batch(&batch) == BatchSource::Next::Batch;
           ++taken) {
        queue.push(batch);
      }
      source.value().reset();
      queue.close();
    });
    driver.join();
    consumer.join();
    if (stop_after < 0) {
      EXPECT_EQ(rows, 20000);
    } else {
      EXPECT_EQ(rows, 150);
    }
  }
  fs::remove_all(dir);
}

// The rows of a typed table of an int64 (or string) column `a` and a string
// column `b`, as text, whatever the batches' boundaries.
std::vector<std::string> typed_rows(BatchSource& source) {
  std::vector<std::string> rows;
  ArrowArray batch{};
  while (source.next_batch(&batch) == BatchSource::Next::Batch) {
    const ArrowArray& a = *batch.children[0];
    const ArrowArray& b = *batch.children[1];
    const auto* ints = static_cast<const std::int64_t*>(a.buffers[1]);
    for (std::int64_t r = 0; r < batch.length; ++r) {
      const auto* valid = static_cast<const std::uint8_t*>(a.buffers[0]);
      const bool null = valid != nullptr && ((valid[r / 8] >> (r % 8)) & 1) == 0;
      const std::string text = a.n_buffers == 3 ? cell(a, r) : std::to_string(ints[r]);
      rows.push_back((null ? std::string("null") : text) + "|" + cell(b, r));
    }
    batch.release(&batch);
  }
  return rows;
}

// The threaded type scan builds the batches as it reads (types guessed from
// the first chunk) and hands them out from the consumer's thread; with a
// cell that no guess foresaw they are built again. Either way the rows are
// one thread's, and a source dropped midway frees what it held.
TEST(ArrowThreads, TypedBatchesBuiltByTheScanEqualOneThreads) {
  const fs::path dir = fs::temp_directory_path() /
                       ("vornish-arrow-typed-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  const fs::path path = dir / "in.csv";
  for (const bool spoiled : {false, true}) {
    {
      std::ofstream out(path, std::ios::binary);
      out << "a,b\n";
      for (int i = 0; i < 20000; ++i) {
        out << (i % 7 == 0 ? std::string("NA") : std::to_string(i)) << ",\"v\n" << i << "\"\n";
      }
      if (spoiled) out << "0x1F,end\n";
    }
    ArrowReadOptions options;
    options.limits = BatchLimits{50, 1 << 20};
    options.types.infer = true;
    options.threads = 1;
    Result<std::unique_ptr<BatchSource>> one = open_batch_source(path.string(), options);
    ASSERT_TRUE(one);
    const std::vector<std::string> expected = typed_rows(*one.value());
    ASSERT_EQ(expected.size(), spoiled ? 20001U : 20000U);
    EXPECT_EQ(one.value()->table_types()->columns[0].type,
              spoiled ? CellType::String : CellType::Int64);
    for (const std::size_t threads : {2U, 3U, 4U}) {
      options.threads = threads;
      options.chunk_size = 1000 + 997 * threads;
      Result<std::unique_ptr<BatchSource>> many = open_batch_source(path.string(), options);
      ASSERT_TRUE(many);
      EXPECT_EQ(typed_rows(*many.value()), expected) << threads;
      EXPECT_EQ(many.value()->stats().total_rows, one.value()->stats().total_rows);
      // Dropped after two batches, from another thread.
      Result<std::unique_ptr<BatchSource>> dropped = open_batch_source(path.string(), options);
      ASSERT_TRUE(dropped);
      std::thread([&] {
        ArrowArray batch{};
        for (int i = 0; i < 2; ++i) {
          ASSERT_EQ(dropped.value()->next_batch(&batch), BatchSource::Next::Batch);
          batch.release(&batch);
        }
        dropped.value().reset();
      }).join();
    }
  }
  fs::remove_all(dir);
}

}  // namespace
}  // namespace vornish
