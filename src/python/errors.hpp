// Raising the Python exceptions for failed file operations.
#pragma once

#include "engine/error.hpp"

namespace vornish {

// For the reader: the OSError subclass that the error number calls for
// (FileNotFoundError, PermissionError, ...), built from the one text
// argument "<description> (os error N)".
[[noreturn]] void raise_file_error(const VornishError& error);

// For vornish_file: always OSError itself, never a subclass, built from the
// error's text alone; exhausted memory is MemoryError.
[[noreturn]] void raise_engine_error(const VornishError& error);

}  // namespace vornish
