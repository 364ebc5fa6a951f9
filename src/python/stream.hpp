// The front package's streaming file repair: the private function
// _vornish_file().
#pragma once

#include "python/pyref.hpp"

namespace vornish {

// The method definition of the module function _vornish_file().
PyMethodDef* stream_method();

}  // namespace vornish
