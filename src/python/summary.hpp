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

// The changes of a run by action, as a new dict {"padded": 3, ...} holding
// every action in the record's order, zeros included.
PyRef new_action_counts(const ActionCounts& counts);

// (summary, action counts): what the front's runs return to the package,
// which makes its RepairSummary of them.
PyRef new_front_result(const VornishStats& stats, const ActionCounts& counts);

}  // namespace vornish
