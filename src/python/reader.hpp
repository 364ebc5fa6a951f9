// The streaming reader: the class VornishReader and the function open().
#pragma once

#include "python/pyref.hpp"

namespace vornish {

// The VornishReader type object, created on the first call and shared by
// every module object of the process (borrowed reference). Throws
// PythonErrorSet when creating it fails.
PyTypeObject* reader_type();

// The method definition of the module function open().
PyMethodDef* open_method();

// The front package's _open(): the reader with its repair record.
PyMethodDef* front_open_method();

}  // namespace vornish
