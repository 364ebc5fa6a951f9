// The engine's one error type and the result-or-error wrapper.
//
// Engine operations that touch files return Result<T>; nothing in the core
// throws for an expected failure. Texts live here and only here.
#pragma once

#include <string>
#include <type_traits>
#include <utility>
#include <variant>

namespace vornish {

class VornishError {
 public:
  enum class Kind : unsigned char { Io };
  // What an Io error carries: an OS error number, or one of the fixed kinds.
  enum class Cause : unsigned char {
    Os,
    WriteZero,
    NulInPath,
    OutOfMemory,
    // Compressed input that ends early or does not decode; the number is
    // the codec (engine/decompress.hpp).
    Truncated,
    Corrupt,
    // A source outside the engine failed and kept its own account of why
    // (a Python exception): whoever made the source reports it.
    SourceFailed,
  };

  static VornishError os(int error_number) noexcept { return {Cause::Os, error_number}; }
  static VornishError write_zero() noexcept { return {Cause::WriteZero, 0}; }
  static VornishError nul_in_path() noexcept { return {Cause::NulInPath, 0}; }
  static VornishError out_of_memory() noexcept { return {Cause::OutOfMemory, 0}; }
  static VornishError truncated(int codec) noexcept { return {Cause::Truncated, codec}; }
  static VornishError corrupt(int codec) noexcept { return {Cause::Corrupt, codec}; }
  static VornishError source_failed() noexcept { return {Cause::SourceFailed, 0}; }

  Kind kind() const noexcept { return Kind::Io; }
  Cause cause() const noexcept { return cause_; }
  // The OS error number for Cause::Os, the codec for Truncated and
  // Corrupt, else 0.
  int os_error() const noexcept { return os_error_; }

  // "<strerror text> (os error N)", "failed to write whole buffer",
  // "file name contained an unexpected NUL byte".
  std::string message() const;

 private:
  VornishError(Cause cause, int os_error) noexcept : cause_(cause), os_error_(os_error) {}
  Cause cause_;
  int os_error_;
};

// Marker for a Result that carries no value.
struct Ok {};

template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}        // NOLINT
  Result(VornishError error) : v_(std::in_place_index<1>, error) {}         // NOLINT

  explicit operator bool() const noexcept { return v_.index() == 0; }
  T& value() & { return std::get<0>(v_); }
  const T& value() const& { return std::get<0>(v_); }
  T&& value() && { return std::get<0>(std::move(v_)); }
  const VornishError& error() const { return std::get<1>(v_); }

 private:
  std::variant<T, VornishError> v_;
};

using Status = Result<Ok>;

}  // namespace vornish
