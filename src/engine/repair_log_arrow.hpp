// The repair record as an Arrow record batch: line, offset and column as
// 64-bit integers (column null for a whole-row record), action and detail
// as strings, raw as binary (the row's bytes exactly, whatever they are).
//
// Everything exported owns its buffers and may be released on any thread;
// each column may be moved out and released on its own.
#pragma once

#include "engine/arrow_abi.hpp"
#include "engine/repair_log.hpp"

namespace vornish {

void export_repair_schema(ArrowSchema* out);

// One batch holding every record of `log`, which must keep its entries.
void export_repair_batch(const RepairLog& log, ArrowArray* out);

}  // namespace vornish
