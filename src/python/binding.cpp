// The binder and the converters behind every Signature table.
//
// Messages follow CPython's own wording for argument errors, and the checks
// run in a fixed order: too many positionals, then each keyword in the order
// it was passed, then the missing required parameters.
#include "python/binding.hpp"

#include <array>
#include <memory>

#include <string>
#include <vector>

namespace vornish::binding {
namespace {

using Value = Arg::Value;

// 'a' / 'a' and 'b' / 'a', 'b', and 'c'
std::string join_missing(const std::vector<const char*>& names) {
  std::string out;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) {
      if (names.size() == 2) {
        out += " and ";
      } else if (i + 1 == names.size()) {
        out += ", and ";
      } else {
        out += ", ";
      }
    }
    out += '\'';
    out += names[i];
    out += '\'';
  }
  return out;
}

void place_keyword(const char* display, std::span<const Param> params, std::size_t npositional,
                   PyObject* name, PyObject* value, std::span<PyRef> slots) {
  if (!PyUnicode_Check(name)) {
    PyErr_SetString(PyExc_TypeError, "keywords must be strings");
    throw_python_error();
  }
  for (std::size_t i = 0; i < params.size(); ++i) {
    if (PyUnicode_CompareWithASCIIString(name, params[i].name) != 0) {
      continue;
    }
    if (i < npositional) {
      PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", display,
                   params[i].name);
      throw_python_error();
    }
    slots[i] = PyRef::borrow(value);
    return;
  }
  PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'", display, name);
  throw_python_error();
}

[[noreturn]] void wrong_type(PyObject* value, const char* expected) {
  if (value == Py_None) {
    PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%s'", expected);
  } else {
    PyRef type_name = own(PyType_GetQualName(Py_TYPE(value)));
    PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%s'", type_name.get(),
                 expected);
  }
  throw_python_error();
}

// The UTF-8 form of a str; it lives as long as the str does.
std::string_view utf8_of(PyObject* value) {
  if (!PyUnicode_Check(value)) {
    wrong_type(value, "str");
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(value, &size);
  if (data == nullptr) {
    throw_python_error();  // lone surrogates: UnicodeEncodeError
  }
  return {data, static_cast<std::size_t>(size)};
}

bool name_is(PyObject* text, const char* expected) {
  return PyUnicode_Check(text) && PyUnicode_CompareWithASCIIString(text, expected) == 0;
}

// NumPy is not a dependency, so its boolean scalar is known by its names
// alone: "bool_" (NumPy 1) or "bool" (NumPy 2) in the module "numpy".
bool is_numpy_bool(PyTypeObject* type) {
  PyRef name = own(PyType_GetName(type));
  if (!name_is(name.get(), "bool_") && !name_is(name.get(), "bool")) {
    return false;
  }
  PyRef module = own(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__module__"));
  return name_is(module.get(), "numpy");
}

bool to_switch(PyObject* value) {
  if (PyBool_Check(value)) {
    return value == Py_True;
  }
  PyTypeObject* type = Py_TYPE(value);
  if (!is_numpy_bool(type)) {
    wrong_type(value, "bool");
  }
  inquiry truth = type->tp_as_number != nullptr ? type->tp_as_number->nb_bool : nullptr;
  if (truth == nullptr) {
    PyRef name = own(PyType_GetName(type));
    PyErr_Format(PyExc_TypeError, "object of type '%U' does not define a '__bool__' conversion",
                 name.get());
    throw_python_error();
  }
  const int result = truth(value);
  if (result < 0) {
    throw_python_error();
  }
  return result != 0;
}

std::optional<std::size_t> to_count(PyObject* value) {
  if (value == Py_None) {
    return std::nullopt;
  }
  PyRef index = own(PyNumber_Index(value));
  const unsigned long long number = PyLong_AsUnsignedLongLong(index.get());
  if (number == static_cast<unsigned long long>(-1) && PyErr_Occurred() != nullptr) {
    throw_python_error();  // negative, or 2**64 and beyond
  }
  if (number > 0xFFFF'FFFFull) {
    PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
    throw_python_error();
  }
  return static_cast<std::size_t>(number);
}

std::optional<std::size_t> to_positive(const char* name, PyObject* value) {
  if (value == Py_None) {
    return std::nullopt;
  }
  PyRef index = own(PyNumber_Index(value));
  if (PyObject_RichCompareBool(index.get(), own(PyLong_FromLong(1)).get(), Py_LT) == 1) {
    PyErr_Format(PyExc_ValueError, "%s must be at least 1, got %S", name, index.get());
    throw_python_error();
  }
  const std::size_t number = PyLong_AsSize_t(index.get());
  if (number == static_cast<std::size_t>(-1) && PyErr_Occurred() != nullptr) {
    throw_python_error();  // 2**64 and beyond
  }
  return number;
}

std::size_t to_non_negative(const char* name, PyObject* value) {
  PyRef index = own(PyNumber_Index(value));
  if (PyObject_RichCompareBool(index.get(), own(PyLong_FromLong(0)).get(), Py_LT) == 1) {
    PyErr_Format(PyExc_ValueError, "%s must be at least 0, got %S", name, index.get());
    throw_python_error();
  }
  const std::size_t number = PyLong_AsSize_t(index.get());
  if (number == static_cast<std::size_t>(-1) && PyErr_Occurred() != nullptr) {
    throw_python_error();  // 2**64 and beyond
  }
  return number;
}

PyObject* to_callable(PyObject* value) {
  if (value != Py_None && PyCallable_Check(value) == 0) {
    PyRef type_name = own(PyType_GetQualName(Py_TYPE(value)));
    PyErr_Format(PyExc_TypeError, "'%U' object is not callable", type_name.get());
    throw_python_error();
  }
  return value;
}

// The value of an unfilled parameter.
Value default_of(const Param& param) {
  switch (param.kind) {
    case Kind::OptionalText:
      return Value(std::in_place_type<std::optional<std::string_view>>);
    case Kind::DelimiterByte:
      return Value(std::in_place_type<std::optional<std::uint8_t>>);
    case Kind::QuoteByte:
      return Value(std::in_place_type<std::uint8_t>, static_cast<std::uint8_t>('"'));
    case Kind::Switch:
      return Value(std::in_place_type<bool>, param.fallback == Default::True);
    case Kind::OptionalCount:
    case Kind::OptionalPositive:
      return Value(std::in_place_type<std::optional<std::size_t>>);
    case Kind::Object:
    case Kind::OptionalCallable:
      return Value(std::in_place_type<PyObject*>, Py_None);
    case Kind::Count:
      return Value(std::in_place_type<std::optional<std::size_t>>, std::size_t{0});
    case Kind::Text:
      break;
  }
  fail("a required parameter was left unfilled after binding");
}

Value convert_one(const Param& param, PyObject* value) {
  switch (param.kind) {
    case Kind::Text:
      return Value(std::in_place_type<std::string_view>, utf8_of(value));
    case Kind::OptionalText:
      if (value == Py_None) {
        return Value(std::in_place_type<std::optional<std::string_view>>);
      }
      return Value(std::in_place_type<std::optional<std::string_view>>, utf8_of(value));
    case Kind::DelimiterByte: {
      if (value == Py_None) {
        return Value(std::in_place_type<std::optional<std::uint8_t>>);
      }
      const std::string_view text = utf8_of(value);
      if (text.empty()) {
        return Value(std::in_place_type<std::optional<std::uint8_t>>);
      }
      return Value(std::in_place_type<std::optional<std::uint8_t>>,
                   static_cast<std::uint8_t>(text.front()));
    }
    case Kind::QuoteByte: {
      const std::string_view text = utf8_of(value);
      const char byte = text.empty() ? '"' : text.front();
      return Value(std::in_place_type<std::uint8_t>, static_cast<std::uint8_t>(byte));
    }
    case Kind::Switch:
      return Value(std::in_place_type<bool>, to_switch(value));
    case Kind::OptionalCount:
      return Value(std::in_place_type<std::optional<std::size_t>>, to_count(value));
    case Kind::Object:
      return Value(std::in_place_type<PyObject*>, value);
    case Kind::OptionalPositive:
      return Value(std::in_place_type<std::optional<std::size_t>>, to_positive(param.name, value));
    case Kind::OptionalCallable:
      return Value(std::in_place_type<PyObject*>, to_callable(value));
    case Kind::Count:
      return Value(std::in_place_type<std::optional<std::size_t>>,
                   to_non_negative(param.name, value));
  }
  fail("unknown conversion kind");
}

// Adds the note naming the parameter to the pending exception. A failure
// to add it is dropped: the conversion's own error is what matters.
void add_processing_note(const char* name) noexcept {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  if (value != nullptr) {
    if (traceback != nullptr) {
      PyException_SetTraceback(value, traceback);
    }
    PyObject* note = PyUnicode_FromFormat("while processing '%s'", name);
    PyObject* result =
        note != nullptr ? PyObject_CallMethod(value, "add_note", "O", note) : nullptr;
    if (result == nullptr) {
      PyErr_Clear();
    }
    Py_XDECREF(result);
    Py_XDECREF(note);
  }
  PyErr_Restore(type, value, traceback);
}

}  // namespace

CallArgs CallArgs::tuple(PyObject* args, PyObject* kwargs) noexcept {
  CallArgs call;
  if (args != nullptr) {
    call.positional = &PyTuple_GET_ITEM(args, 0);
    call.npositional = PyTuple_GET_SIZE(args);
  }
  call.kwargs = kwargs;
  return call;
}

void bind(const char* display, std::span<const Param> params, const CallArgs& call,
          std::span<PyRef> slots) {
  // Keyword-only parameters come last and take no positional argument.
  std::size_t nparams = params.size();
  while (nparams > 0 && params[nparams - 1].keyword_only) {
    --nparams;
  }
  std::size_t nrequired = 0;
  while (nrequired < nparams && params[nrequired].fallback == Default::Required) {
    ++nrequired;
  }

  const Py_ssize_t given = call.npositional;
  if (static_cast<std::size_t>(given) > nparams) {
    const char* verb = given == 1 ? "was" : "were";
    if (nrequired == nparams) {
      PyErr_Format(PyExc_TypeError, "%s takes %zu positional arguments but %zd %s given", display,
                   nparams, given, verb);
    } else {
      PyErr_Format(PyExc_TypeError,
                   "%s takes from %zu to %zu positional arguments but %zd %s given", display,
                   nrequired, nparams, given, verb);
    }
    throw_python_error();
  }
  const auto npositional = static_cast<std::size_t>(given);
  for (std::size_t i = 0; i < npositional; ++i) {
    slots[i] = PyRef::borrow(call.positional[i]);
  }

  if (call.kwnames != nullptr) {
    const Py_ssize_t nkeywords = PyTuple_GET_SIZE(call.kwnames);
    for (Py_ssize_t k = 0; k < nkeywords; ++k) {
      place_keyword(display, params, npositional, PyTuple_GET_ITEM(call.kwnames, k),
                    call.positional[given + k], slots);
    }
  }
  if (call.kwargs != nullptr) {
    // Nothing below runs Python code, so the dict cannot change under the walk.
    Py_ssize_t pos = 0;
    PyObject* name = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(call.kwargs, &pos, &name, &value) != 0) {
      place_keyword(display, params, npositional, name, value, slots);
    }
  }

  std::vector<const char*> missing;
  for (std::size_t i = 0; i < nrequired; ++i) {
    if (!slots[i]) {
      missing.push_back(params[i].name);
    }
  }
  if (!missing.empty()) {
    const std::string names = join_missing(missing);
    PyErr_Format(PyExc_TypeError, "%s missing %zu required positional %s: %s", display,
                 missing.size(), missing.size() == 1 ? "argument" : "arguments", names.c_str());
    throw_python_error();
  }
}

void convert(std::span<const Param> params, std::span<const PyRef> slots, std::span<Arg> out) {
  for (std::size_t i = 0; i < params.size(); ++i) {
    PyObject* value = slots[i].get();
    if (value == nullptr) {
      out[i] = Arg(default_of(params[i]));
      continue;
    }
    try {
      out[i] = Arg(convert_one(params[i], value));
    } catch (const PythonErrorSet&) {
      add_processing_note(params[i].name);
      throw;
    }
  }
}

std::shared_ptr<const utf8::Fallback> fallback_from(PyObject* value) {
  if (value == Py_None) {
    return nullptr;
  }
  PyObject* name = nullptr;
  PyObject* table = nullptr;
  if (!PyTuple_Check(value) || PyTuple_GET_SIZE(value) != 2 ||
      !PyUnicode_Check(name = PyTuple_GET_ITEM(value, 0)) ||
      !PyUnicode_Check(table = PyTuple_GET_ITEM(value, 1)) || PyUnicode_GET_LENGTH(table) != 128) {
    PyErr_SetString(PyExc_TypeError,
                    "fallback must be None or (name, the 128 characters of bytes 0x80 to 0xFF)");
    throw_python_error();
  }
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(name, &size);
  if (text == nullptr) {
    throw_python_error();
  }
  std::array<char32_t, 128> high{};
  for (Py_ssize_t i = 0; i < 128; ++i) {
    high[static_cast<std::size_t>(i)] = static_cast<char32_t>(PyUnicode_READ_CHAR(table, i));
  }
  return std::make_shared<const utf8::Fallback>(std::string(text, static_cast<std::size_t>(size)),
                                                high);
}

}  // namespace vornish::binding
