#include "engine/codec.hpp"

namespace vornish {

std::string_view codec_name(Codec codec) noexcept {
  switch (codec) {
    case Codec::Gzip:
      return "gzip";
    case Codec::Bzip2:
      return "bzip2";
    case Codec::Xz:
      return "xz";
    case Codec::Zstd:
      return "zstd";
  }
  return "compressed";
}

}  // namespace vornish
