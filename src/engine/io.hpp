// Whole-file reading and buffered file writing over POSIX descriptors.
//
// Every failure is a VornishError value; EINTR is retried; descriptors are
// closed by destructors on every path.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "engine/byte_source.hpp"
#include "engine/error.hpp"

namespace vornish {

// Bytes of a whole file, in an anonymous mapping of their own: large
// buffers sit on 2 MiB pages, so filling them costs one page fault per
// 2 MiB rather than one per 4 KiB, and no zero-fill a std::string would
// pay for.
class ByteBuffer {
 public:
  ByteBuffer() = default;
  ByteBuffer(ByteBuffer&& other) noexcept;
  ByteBuffer& operator=(ByteBuffer&& other) noexcept;
  ByteBuffer(const ByteBuffer&) = delete;
  ByteBuffer& operator=(const ByteBuffer&) = delete;
  ~ByteBuffer();

  std::string_view view() const noexcept { return {data_, size_}; }
  std::size_t size() const noexcept { return size_; }

 private:
  friend Result<ByteBuffer> read_whole_file(const std::string& path);
  friend Result<ByteBuffer> read_whole_source(ByteSource& source);
  // Maps room for at least `capacity` bytes; false when there is no memory.
  bool reserve(std::size_t capacity) noexcept;
  // Keeps only the pages that hold the first `used` bytes.
  void trim(std::size_t used) noexcept;
  void release() noexcept;

  char* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t mapped_ = 0;  // length of the mapping at data_
};

// Reads the file at `path` from start to end. A path holding a NUL byte is
// refused before any system call.
Result<ByteBuffer> read_whole_file(const std::string& path);

// Reads `source` to its end.
Result<ByteBuffer> read_whole_source(ByteSource& source);

// The first bytes of a file, for guessing its dialect without reading it all.
struct FileHead {
  std::string bytes;
  bool whole = false;  // the file ended within them
};

// Reads at most `max_bytes` from the start of `path` (errors as for
// read_whole_file).
Result<FileHead> read_file_head(const std::string& path, std::size_t max_bytes);

// Reads at most `max_bytes` from `source`.
Result<FileHead> read_source_head(ByteSource& source, std::size_t max_bytes);

// Writes all of `bytes` to `fd`, retrying after EINTR and short writes; a
// write that makes no progress is WriteZero.
Status write_fully(int fd, std::string_view bytes) noexcept;

// A file opened for writing (created, truncated, mode 0666 less umask)
// behind an 8192-byte buffer.
class BufferedFile {
 public:
  static constexpr std::size_t kBufferSize = 8192;

  static Result<BufferedFile> create(const std::string& path);

  BufferedFile(BufferedFile&& other) noexcept;
  BufferedFile& operator=(BufferedFile&&) = delete;
  BufferedFile(const BufferedFile&) = delete;
  ~BufferedFile();

  // Hands one complete line to the buffer: it is emptied first when the line
  // does not fit, and a line at least as long as the buffer bypasses it.
  Status write_line(std::string_view line);
  // The same as write_line with `text` and an LF as the line, without
  // assembling that line first.
  Status write_line_lf(std::string_view text);
  // Empties the buffer into the file.
  Status flush();
  // Closes the file and reports what the system says about it (a network
  // file system may only report a failed write here). Does not flush; the
  // destructor closes a file that is still open and ignores the outcome.
  Status close();

 private:
  BufferedFile(int fd, std::unique_ptr<char[]> buffer) noexcept;
  Status write_all(std::string_view bytes);

  int fd_ = -1;
  std::size_t used_ = 0;
  std::unique_ptr<char[]> buffer_;
};

}  // namespace vornish
