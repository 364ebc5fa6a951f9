// The private entry point _sniff_dialect() behind csv_vornish.sniff_dialect.
#pragma once

#include "python/pyref.hpp"

namespace vornish {

// The method definition of the module function _sniff_dialect().
PyMethodDef* sniff_dialect_method();

}  // namespace vornish
