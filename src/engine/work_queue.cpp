#include "engine/work_queue.hpp"

#include <sched.h>

#include <algorithm>

namespace vornish {

std::size_t usable_cores() noexcept {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (::sched_getaffinity(0, sizeof set, &set) == 0) {
    return static_cast<std::size_t>(std::max(CPU_COUNT(&set), 1));
  }
  return std::max(std::thread::hardware_concurrency(), 1u);
}

}  // namespace vornish
