// The repair record of a finished run as a Python object that speaks the
// Arrow PyCapsule interface: pyarrow.table(records), polars.DataFrame(...).
#pragma once

#include <memory>

#include "engine/repair_log.hpp"
#include "python/pyref.hpp"

namespace vornish {

// The RepairRecords type object, created on the first call (borrowed).
PyTypeObject* records_type();

// A new RepairRecords object sharing `log`, which keeps its entries.
PyRef new_records(std::shared_ptr<const RepairLog> log);

}  // namespace vornish
