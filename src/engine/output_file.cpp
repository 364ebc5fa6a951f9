#include "engine/output_file.hpp"

#include <fcntl.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace vornish {
namespace {

// The process's file mode creation mask, read without changing it (the
// umask() call would, for a moment other threads could see).
mode_t current_umask() noexcept {
  mode_t mask = 022;
  if (std::FILE* status = std::fopen("/proc/self/status", "re"); status != nullptr) {
    char line[256];
    while (std::fgets(line, sizeof line, status) != nullptr) {
      unsigned int value = 0;
      if (std::sscanf(line, "Umask: %o", &value) == 1) {
        mask = static_cast<mode_t>(value);
        break;
      }
    }
    std::fclose(status);
  }
  return mask;
}

}  // namespace

int open_retrying(const char* path, int flags, mode_t mode) noexcept {
  for (;;) {
    const int fd = ::open(path, flags, mode);
    if (fd >= 0 || errno != EINTR) {
      return fd;
    }
  }
}

std::string directory_of(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) {
    return ".";
  }
  return slash == 0 ? std::string("/") : path.substr(0, slash);
}

Result<Output> create_output(const std::string& output_path, const struct stat& input,
                             bool always_beside) {
  if (has_nul(output_path)) {
    return VornishError::nul_in_path();
  }
  Output out;
  out.path = output_path;
  struct stat existing {};
  const bool exists = ::stat(output_path.c_str(), &existing) == 0;
  const bool same =
      exists && existing.st_dev == input.st_dev && existing.st_ino == input.st_ino;
  // A pipe or a device (/dev/null, /dev/stdout) is written where it is.
  const bool beside = same || (always_beside && !(exists && !S_ISREG(existing.st_mode)));
  if (!beside) {
    const int fd =
        open_retrying(output_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) {
      return VornishError::os(errno);
    }
    out.fd = Fd(fd);
    return out;
  }
  // The input is still being read: write beside it (through a link to the
  // file the link names) and rename over it at the end.
  out.target = output_path;
  if (char* real = ::realpath(output_path.c_str(), nullptr); real != nullptr) {
    out.target = real;
    std::free(real);
  }
  const std::string dir = directory_of(out.target);
  const std::string name = out.target.substr(out.target.rfind('/') + 1);
  std::string temporary = dir + "/." + name + ".vornish-XXXXXX";
  const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
  if (fd < 0) {
    return VornishError::os(errno);
  }
  out.fd = Fd(fd);
  out.temporary = temporary;
  // A new file gets the bits open() would give it; a replaced input keeps
  // its own.
  const mode_t mode = same ? (input.st_mode & 07777) : (0666 & ~current_umask());
  if (::fchmod(fd, mode) != 0) {
    const int error = errno;
    ::unlink(temporary.c_str());
    return VornishError::os(error);
  }
  return out;
}

}  // namespace vornish
