// Read-only file mappings with pages dropped behind the reader.
#include "engine/mapped_input.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

namespace vornish {
namespace {

std::size_t page_size() noexcept {
  const long size = ::sysconf(_SC_PAGESIZE);
  return size > 0 ? static_cast<std::size_t>(size) : 4096;
}

}  // namespace

Result<MappedInput> MappedInput::open(const std::string& path) {
  if (path.find('\0') != std::string::npos) {
    return VornishError::nul_in_path();
  }
  int fd = -1;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    return VornishError::os(errno);
  }
  struct stat info {};
  void* map = MAP_FAILED;
  std::size_t size = 0;
  if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0) {
    size = static_cast<std::size_t>(info.st_size);
    map = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
  }
  // The mapping keeps the file; the descriptor is not needed past here.
  ::close(fd);

  MappedInput input;
  if (map == MAP_FAILED) {
    // Directories, pipes, /proc files, empty files, or a mapping refused:
    // read as the reader reads, with its errors.
    Result<ByteBuffer> whole = read_whole_file(path);
    if (!whole) {
      return whole.error();
    }
    input.whole_ = std::move(whole).value();
    return input;
  }
  ::madvise(map, size, MADV_SEQUENTIAL);
  input.map_ = map;
  input.size_ = size;
  return input;
}

MappedInput::MappedInput(MappedInput&& other) noexcept
    : map_(std::exchange(other.map_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      released_(std::exchange(other.released_, 0)),
      whole_(std::move(other.whole_)) {}

MappedInput::~MappedInput() {
  if (map_ != nullptr) {
    ::munmap(map_, size_);
  }
}

std::string_view MappedInput::view() const noexcept {
  if (map_ != nullptr) {
    return {static_cast<const char*>(map_), size_};
  }
  return whole_.view();
}

void MappedInput::release_before(std::size_t offset) noexcept {
  if (map_ == nullptr) {
    return;
  }
  const std::size_t page = page_size();
  const std::size_t end = offset >= size_ ? size_ : offset / page * page;
  if (end <= released_) {
    return;
  }
  ::madvise(static_cast<char*>(map_) + released_, end - released_, MADV_DONTNEED);
  released_ = end;
}

}  // namespace vornish
