// Argument binding and conversion for every callable of the module.
//
// A callable is declared as data: a constexpr Signature holding its display
// name and one Param per parameter (name, conversion kind, default). One
// binder matches the call's positional and keyword arguments to the
// parameters, for the fast calling convention and for tuple + dict alike,
// and raises every binding TypeError; then one converter per kind turns
// each argument into a C++ value, in parameter order. Entry points never
// check arguments themselves: adding one is adding a table.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <variant>

#include "engine/vornish.hpp"
#include "python/barrier.hpp"

namespace vornish::binding {

// What a parameter accepts and what it is handed on as.
enum class Kind : std::uint8_t {
  Text,           // str -> its UTF-8 bytes
  OptionalText,   // None or str -> absent or UTF-8 bytes ("" stays present)
  DelimiterByte,  // None or str -> absent (None, "") or the first UTF-8 byte
  QuoteByte,      // str -> the first UTF-8 byte, '"' for ""
  Switch,         // bool or a NumPy boolean scalar -> true/false
  OptionalCount,  // None or an integer -> absent or a number below 2**32
  Object,         // anything, untouched
  // The front package's own knobs; the backend's callables never use them.
  OptionalPositive,  // None or an integer of at least 1 -> absent or that number
  OptionalCallable,  // None or a callable -> the object itself
  Count,             // an integer of at least 0 -> that number
};

// The value of a parameter the call leaves unfilled.
enum class Default : std::uint8_t { Required, None, True, False, DoubleQuote, Zero };

struct Param {
  const char* name;
  Kind kind;
  Default fallback;
  // Only by keyword, after every positional-or-keyword parameter.
  bool keyword_only = false;
};

template <std::size_t N>
struct Signature {
  const char* display;  // "name()" as the binding messages show it
  std::array<Param, N> params;
};

// Table sanity, checked at compile time: required parameters come first,
// and each default is one its kind can stand for.
template <std::size_t N>
consteval bool well_formed(const Signature<N>& sig) {
  bool optional_seen = false;
  bool keyword_only_seen = false;
  for (const Param& p : sig.params) {
    if (keyword_only_seen && !p.keyword_only) {
      return false;
    }
    keyword_only_seen = p.keyword_only;
    if (p.fallback == Default::Required) {
      if (optional_seen || p.keyword_only) {
        return false;
      }
      continue;
    }
    optional_seen = true;
    switch (p.kind) {
      case Kind::Text:
        return false;
      case Kind::OptionalText:
      case Kind::DelimiterByte:
      case Kind::OptionalCount:
      case Kind::Object:
      case Kind::OptionalPositive:
      case Kind::OptionalCallable:
        if (p.fallback != Default::None) {
          return false;
        }
        break;
      case Kind::QuoteByte:
        if (p.fallback != Default::DoubleQuote) {
          return false;
        }
        break;
      case Kind::Switch:
        if (p.fallback != Default::True && p.fallback != Default::False) {
          return false;
        }
        break;
      case Kind::Count:
        if (p.fallback != Default::Zero) {
          return false;
        }
        break;
    }
  }
  return true;
}

// One call's arguments, in either calling convention.
struct CallArgs {
  PyObject* const* positional = nullptr;
  Py_ssize_t npositional = 0;
  PyObject* kwnames = nullptr;  // fast convention: tuple of names, values follow the positionals
  PyObject* kwargs = nullptr;   // tuple + dict convention: the dict, or null

  static CallArgs fast(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return {args, nargs, kwnames, nullptr};
  }
  static CallArgs tuple(PyObject* args, PyObject* kwargs) noexcept;
};

// One converted argument. Text views point into the UTF-8 form of a str
// that the Bound holding them keeps alive.
class Arg {
 public:
  using Value = std::variant<std::monostate, std::string_view, std::optional<std::string_view>,
                             std::optional<std::uint8_t>, std::uint8_t, bool,
                             std::optional<std::size_t>, PyObject*>;

  Arg() = default;
  explicit Arg(Value v) : v_(v) {}

  // Asking for the wrong kind is a mismatch between a table and its entry
  // point: std::get throws and the barrier reports an internal fault.
  std::string_view text() const { return std::get<std::string_view>(v_); }
  std::optional<std::string_view> optional_text() const {
    return std::get<std::optional<std::string_view>>(v_);
  }
  std::optional<std::uint8_t> delimiter() const {
    return std::get<std::optional<std::uint8_t>>(v_);
  }
  std::uint8_t quote() const { return std::get<std::uint8_t>(v_); }
  bool flag() const { return std::get<bool>(v_); }
  // OptionalCount, OptionalPositive and Count (always present) alike.
  std::optional<std::size_t> count() const { return std::get<std::optional<std::size_t>>(v_); }
  // Object and OptionalCallable: borrowed, alive as long as the Bound is.
  PyObject* object() const { return std::get<PyObject*>(v_); }

 private:
  Value v_;
};

// The bound and converted arguments of one call, in parameter order.
template <std::size_t N>
struct Bound {
  std::array<PyRef, N> objects;  // null where the default applied
  std::array<Arg, N> values;
  const Arg& operator[](std::size_t i) const { return values[i]; }
};

// Matches arguments to parameters; `slots` receives new references, null
// for parameters left to their defaults. Throws PythonErrorSet with the
// binding TypeError set.
void bind(const char* display, std::span<const Param> params, const CallArgs& call,
          std::span<PyRef> slots);

// Converts each argument by its kind, in parameter order; the first failure
// stops, with the note "while processing 'NAME'" added to its exception.
void convert(std::span<const Param> params, std::span<const PyRef> slots, std::span<Arg> out);

template <std::size_t N>
Bound<N> bind_and_convert(const Signature<N>& sig, const CallArgs& call) {
  Bound<N> bound;
  binding::bind(sig.display, sig.params, call, bound.objects);  // not std::bind by ADL
  binding::convert(sig.params, bound.objects, bound.values);
  return bound;
}

// The two calling conventions of CPython, spelled as the slots receive them.
template <std::size_t N>
Bound<N> bind_fast(const Signature<N>& sig, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames) {
  return bind_and_convert(sig, CallArgs::fast(args, nargs, kwnames));
}
template <std::size_t N>
Bound<N> bind_tuple(const Signature<N>& sig, PyObject* args, PyObject* kwargs) {
  return bind_and_convert(sig, CallArgs::tuple(args, kwargs));
}

// The repair options from the six parameters delimiter, quote_char,
// fill_ragged_rows, merge_overflow, expected_columns and repair_quotes,
// which both the reader and vornish_file declare last, in this order.
template <std::size_t N>
VornishOptions options_from(const Bound<N>& args, std::size_t first) {
  VornishOptions options;
  options.delimiter = args[first].delimiter();
  options.quote_char = args[first + 1].quote();
  options.fill_ragged_rows = args[first + 2].flag();
  options.merge_overflow = args[first + 3].flag();
  options.expected_columns = args[first + 4].count();
  options.repair_quotes = args[first + 5].flag();
  return options;
}

// The front's `fallback` argument: None, or (code page name, a str of the
// 128 characters of bytes 0x80 to 0xFF), made by the package from a codec.
// Anything else is a TypeError.
std::shared_ptr<const utf8::Fallback> fallback_from(PyObject* value);

// The six option parameters as a table fragment, so that every signature
// that takes them spells them the same way.
inline constexpr std::array<Param, 6> kOptionParams = {{
    {"delimiter", Kind::DelimiterByte, Default::None},
    {"quote_char", Kind::QuoteByte, Default::DoubleQuote},
    {"fill_ragged_rows", Kind::Switch, Default::True},
    {"merge_overflow", Kind::Switch, Default::True},
    {"expected_columns", Kind::OptionalCount, Default::None},
    {"repair_quotes", Kind::Switch, Default::True},
}};

// `head` followed by the option parameters.
template <std::size_t H>
consteval std::array<Param, H + 6> with_options(const std::array<Param, H>& head) {
  std::array<Param, H + 6> all{};
  for (std::size_t i = 0; i < H; ++i) {
    all[i] = head[i];
  }
  for (std::size_t i = 0; i < 6; ++i) {
    all[H + i] = kOptionParams[i];
  }
  return all;
}

}  // namespace vornish::binding
