#pragma once

#include <string>

namespace vorn {

// A warning of an export that the user must see: printed in red on standard output and
// written to log/unload_table.log. For what still runs but does not come out whole (values
// written empty, a DDL script skipped, a file renamed to stay apart from another).
void warnExport(const std::string& message);

}  // namespace vorn
