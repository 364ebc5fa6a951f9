// The front's Arrow entry point: _read_arrow() and the stream object it
// returns, which hands its batches to any consumer of the Arrow PyCapsule
// interface (pyarrow, polars, pandas, DuckDB).
#pragma once

#include "python/pyref.hpp"

namespace vornish {

// Adds the private function _read_arrow and the type _ArrowRowStream to
// `module`. Throws PythonErrorSet when that fails.
void add_arrow_entries(PyObject* module);

}  // namespace vornish
