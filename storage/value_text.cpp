// The choice of a column's text output, made once per column from the type table.

#include "storage/value_text.h"

#include "storage/type_table.h"

namespace vorn {

TextOutputFn textOutputFor(const ColumnDef& column) {
    const TypeInfo* type = findType(column.atttypid);
    return type != nullptr ? type->textOutput : nullptr;
}

}  // namespace vorn
