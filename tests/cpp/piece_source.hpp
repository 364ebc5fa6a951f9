// A byte source that hands out its bytes a few at a time, as a pipe or a
// decoder may: for the tests of the stages that wrap sources.
#pragma once

#include <algorithm>
#include <cstring>
#include <string>

#include "engine/byte_source.hpp"

namespace vornish::testing_support {

class Pieces final : public ByteSource {
 public:
  Pieces(std::string data, std::size_t piece) : data_(std::move(data)), piece_(piece) {}
  Result<std::size_t> read(char* out, std::size_t size) override {
    const std::size_t n = std::min({size, piece_, data_.size() - at_});
    std::memcpy(out, data_.data() + at_, n);
    at_ += n;
    return n;
  }

 private:
  std::string data_;
  std::size_t piece_;
  std::size_t at_ = 0;
};

}  // namespace vornish::testing_support
