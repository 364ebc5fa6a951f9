// A file's bytes for one forward pass, mapped read-only where the file
// allows it.
//
// A mapping lets a consumer that streams batches out keep its memory near
// the size of what it has produced: pages behind the parse position are
// handed back to the kernel (they are file-backed, so nothing is lost and
// a later read would fault them in again). Files that cannot be mapped
// (pipes, /proc files, empty files) are read whole instead, with the
// errors of read_whole_file, so every caller sees the reader's errors.
//
// A mapped file that another process truncates while it is read raises
// SIGBUS, as every mapping of a shrinking file does.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "engine/error.hpp"
#include "engine/io.hpp"

namespace vornish {

class MappedInput {
 public:
  static Result<MappedInput> open(const std::string& path);

  MappedInput(MappedInput&& other) noexcept;
  MappedInput& operator=(MappedInput&&) = delete;
  MappedInput(const MappedInput&) = delete;
  ~MappedInput();

  std::string_view view() const noexcept;
  bool mapped() const noexcept { return map_ != nullptr; }

  // The bytes before `offset` will not be read again: their pages leave
  // the resident set. Does nothing for a file that was read whole.
  void release_before(std::size_t offset) noexcept;

 private:
  MappedInput() = default;
  void* map_ = nullptr;
  std::size_t size_ = 0;
  std::size_t released_ = 0;
  ByteBuffer whole_;
};

}  // namespace vornish
