// Exported Arrow structs handed to Python in the capsules of the Arrow
// PyCapsule interface ("arrow_array_stream", "arrow_schema").
#pragma once

#include <memory>

#include "engine/arrow_abi.hpp"
#include "python/pyref.hpp"

namespace vornish {

// The capsule owns the struct from then on: when it goes, the struct is
// released unless a consumer moved it out (leaving `release` null), and
// freed. When no capsule can be made the struct is released at once and
// the Python error is raised.
PyRef stream_capsule(std::unique_ptr<ArrowArrayStream> stream);
PyRef schema_capsule(std::unique_ptr<ArrowSchema> schema);

}  // namespace vornish
