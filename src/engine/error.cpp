// Texts of the engine's error values.
//
// Every message a VornishError can carry is produced here, so the Python
// layer and the tests see one wording.
#include "engine/error.hpp"

#include "engine/codec.hpp"

#include <cerrno>
#include <cstring>
#include <string>

namespace vornish {
namespace {

std::string os_text(int error_number) {
  char scratch[256];
  // The GNU strerror_r either fills `scratch` or hands back a static text;
  // unlike strerror it is safe from any thread.
  const char* text = strerror_r(error_number, scratch, sizeof scratch);
  std::string out = text != nullptr ? text : "Unknown error";
  out += " (os error ";
  out += std::to_string(error_number);
  out += ')';
  return out;
}

}  // namespace

std::string VornishError::message() const {
  switch (cause_) {
    case Cause::Os:
      return os_text(os_error_);
    case Cause::WriteZero:
      return "failed to write whole buffer";
    case Cause::NulInPath:
      return "file name contained an unexpected NUL byte";
    case Cause::OutOfMemory:
      return os_text(ENOMEM);
    case Cause::Truncated:
      return std::string("truncated ") + std::string(codec_name(static_cast<Codec>(os_error_))) +
             " data: the compressed stream ends before its end marker";
    case Cause::Corrupt:
      return std::string("corrupt ") + std::string(codec_name(static_cast<Codec>(os_error_))) +
             " data: the compressed stream does not decode";
    case Cause::SourceFailed:
      return "the input source failed";
  }
  return "unknown error";
}

}  // namespace vornish
