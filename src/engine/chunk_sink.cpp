#include "engine/chunk_sink.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace vornish {
namespace {

// Quarantine text held in memory before it goes to the spill file.
constexpr std::size_t kSpillThreshold = std::size_t{1} << 20;

}  // namespace

Status Spill::maybe_spill() {
  if (pending_.size() < kSpillThreshold) {
    return Ok{};
  }
  if (!fd_.open()) {
    if (Status s = create(); !s) {
      return s;
    }
  }
  Status s = fd_.write_all(pending_);
  pending_.clear();
  return s;
}

Status Spill::copy_to(BlockWriter& out) {
  if (fd_.open()) {
    if (::lseek(fd_.get(), 0, SEEK_SET) < 0) {
      return VornishError::os(errno);
    }
    std::string block(kWriteBlock, '\0');
    for (;;) {
      const ssize_t n = ::read(fd_.get(), block.data(), block.size());
      if (n < 0) {
        if (errno == EINTR) {
          continue;
        }
        return VornishError::os(errno);
      }
      if (n == 0) {
        break;
      }
      if (Status s = out.append({block.data(), static_cast<std::size_t>(n)}); !s) {
        return s;
      }
    }
  }
  return out.append(pending_);
}

Status Spill::create() {
  const char* env = std::getenv("TMPDIR");
  const std::string tmp = env != nullptr && *env != '\0' ? env : "/tmp";
  int error = 0;
  for (const std::string& dir : {directory_, tmp}) {
    const int fd = open_retrying(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd >= 0) {
      fd_ = Fd(fd);
      return Ok{};
    }
    error = errno;
    std::string name = dir + "/.vornish-quarantine-XXXXXX";
    const int named = ::mkostemp(name.data(), O_CLOEXEC);
    if (named >= 0) {
      ::unlink(name.c_str());
      fd_ = Fd(named);
      return Ok{};
    }
  }
  return VornishError::os(error);
}

Status Committer::commit(const ChunkSink& sink, std::size_t first_line) {
  if (Status s = output_.append(sink.clean()); !s) {
    return s;
  }
  const RepairLog& log = sink.log();
  for (std::size_t i = 0; i < kRepairActions; ++i) {
    actions_[i] += log.counts()[i];
  }
  if (audit_ != nullptr) {
    if (Status s = audit_->write(log, 0, first_line - 1); !s) {
      return s;
    }
  }
  if (keep_quarantine_ && !sink.records().empty()) {
    std::string& pending = spill_.pending();
    for (const ChunkSink::Record& r : sink.records()) {
      pending += std::to_string(first_line + r.line - 1);
      pending += sink.record_text(r);
    }
    return spill_.maybe_spill();
  }
  return Ok{};
}

}  // namespace vornish
