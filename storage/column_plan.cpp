#include "storage/column_plan.h"

#include <algorithm>

#include "storage/block_except.h"
#include "storage/type_table.h"

namespace vorn {

namespace {

uint8_t alignOf(char attalign) {
    switch (attalign) {
        case 's':
            return 2;
        case 'i':
            return 4;
        case 'd':
            return 8;
        default:
            return 1;
    }
}

// attlen as the catalogue gives it; a layout without one (0) falls back on the width the
// type table knows (PostgreSQL's typlen on x86-64 for heap pages; -1 a varlena).
int32_t widthOf(const ColumnDef& column, const TypeInfo* known, PageFamily family) {
    if (column.attlen > 0 || column.attlen == -1 || column.attlen == -2)
        return column.attlen;
    if (known != nullptr)
        return family == PageFamily::kHeap ? known->heapWidth : known->uWidth;
    return 0;
}

uint8_t alignmentOf(const ColumnDef& column, const TypeInfo* known, PageFamily family) {
    if (family == PageFamily::kU) {
        // U pages store every attribute unaligned except interval and timetz, which sit on
        // 8-byte boundaries from the tuple start; varlenas step over their own zero fill.
        return known != nullptr ? known->uAlign : 1;
    }
    // Heap pages: the catalogue's attalign. A built-in type is never aligned less than
    // PostgreSQL aligns it, so a layout that leaves attalign at its default still finds the
    // attributes that follow an int8 or a timestamp.
    const uint8_t fromCatalogue = alignOf(column.attalign);
    if (known != nullptr)
        return std::max(fromCatalogue, known->heapAlign);
    return fromCatalogue;
}

StoreOp fixedOp(uint32_t width) {
    switch (width) {
        case 1:
            return StoreOp::kFixed1;
        case 2:
            return StoreOp::kFixed2;
        case 4:
            return StoreOp::kFixed4;
        case 8:
            return StoreOp::kFixed8;
        default:
            return StoreOp::kFixedN;
    }
}

StoreOp storeOp(const ColumnPlan& plan) {
    switch (plan.kind) {
        case AttrKind::kFixed:
            return plan.sink == AttrSink::kSlot && plan.width <= plan.stride ? fixedOp(plan.width)
                                                                             : StoreOp::kFixedOther;
        case AttrKind::kVarlena:
            switch (plan.sink) {
                case AttrSink::kString:
                    return StoreOp::kVarlenaString;
                case AttrSink::kSlot:
                    return StoreOp::kVarlenaSlot;
                case AttrSink::kNone:
                    return StoreOp::kVarlenaSkip;
            }
            break;
        case AttrKind::kCString:
            return StoreOp::kCString;
        case AttrKind::kUnknown:
            break;
    }
    return StoreOp::kUnknown;
}

}  // namespace

std::vector<ColumnPlan> planColumns(const ColumnLayout& columns, PageFamily family) {
    std::vector<ColumnPlan> plans(columns.size());
    for (size_t i = 0; i < columns.size(); ++i) {
        const ColumnDef& column = columns[i];
        // A dropped column (type OID 0) has no row: the catalogue alone places it.
        const TypeInfo* known = column.isDropped() ? nullptr : findType(column.atttypid);
        ColumnPlan& plan = plans[i];
        plan.attnum = column.attnum;
        plan.dropped = column.isDropped();
        plan.alignMask = static_cast<uint8_t>(alignmentOf(column, known, family) - 1);
        const int32_t width = widthOf(column, known, family);
        if (width > 0) {
            plan.kind = AttrKind::kFixed;
            plan.width = static_cast<uint32_t>(width);
        } else if (width == -1) {
            plan.kind = AttrKind::kVarlena;
        } else if (width == -2) {
            plan.kind = AttrKind::kCString;
        } else {
            plan.kind = AttrKind::kUnknown;
        }
        plan.hasMissing = column.hasMissing && !plan.dropped;
        if (plan.hasMissing)
            plan.missingValue = column.missingValue;
    }
    return plans;
}

void bindPlans(std::vector<ColumnPlan>& plans, ColumnBatch& batch) {
    if (batch.size() != plans.size())
        throw BlockExcept("column batch has %zu columns, the layout %zu", batch.size(),
                          plans.size());
    for (size_t i = 0; i < plans.size(); ++i) {
        ColumnPlan& plan = plans[i];
        ColumnValues& column = batch[i];
        if (!column.lengths || !column.nulls || (column.byRef && !column.values))
            throw BlockExcept("column batch column %zu has no row arrays", i);
        plan.lengths = column.lengths.get();
        plan.nulls = column.nulls.get();
        plan.values = column.values.get();
        plan.data = column.data.get();
        if (plan.dropped || column.dropped) {
            plan.sink = AttrSink::kNone;
            plan.stride = 0;
        } else if (column.byRef) {
            plan.sink = AttrSink::kString;
            plan.stride = 0;
        } else {
            // A column without slot storage holds nothing: each value it meets is unreadable.
            plan.sink = AttrSink::kSlot;
            plan.stride = plan.data != nullptr && column.stride > 0
                              ? static_cast<uint32_t>(column.stride)
                              : 0;
        }
        plan.op = storeOp(plan);
    }
}

}  // namespace vorn
