// The Python face of one run's statistics: the class VornishSummary.
#pragma once

#include "engine/vornish.hpp"
#include "python/pyref.hpp"

namespace vornish {

// The VornishSummary type object, created on the first call and shared by
// every module object of the process from then on (borrowed reference).
// Throws PythonErrorSet when creating it fails.
PyTypeObject* summary_type();

// A new VornishSummary holding a copy of `stats`.
PyRef new_summary(const VornishStats& stats);

}  // namespace vornish
