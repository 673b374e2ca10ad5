#pragma once

// The attribute walk shared by the heap and U tuple readers. The page reader checks the
// tuple header (lengths, data offset, null bitmap inside the tuple) and hands over what it
// found; the decoder steps through the data area column by column by the plan, storing each
// value in the batch row, and never reads outside [0, length) of the tuple.
//
// Outcomes: an attribute that runs past the tuple end (a fixed value, a varlena whose header
// claims more bytes than are left, a string without its NUL) rejects the tuple, because
// nothing after it can be located. A value that is there but cannot be turned into its bytes
// (corrupt compression, a missing TOAST value, too long for its slot) is NULL and counted;
// the row is kept.

#include <cstdint>
#include <string>
#include <vector>

#include "storage/column_plan.h"
#include "storage/page_damage.h"
#include "storage/value_buffer.h"

namespace vorn {

class ToastFetcher;

struct TupleView {
    const uint8_t* start = nullptr;       // alignment is counted from here
    uint32_t length = 0;                  // the item's length
    uint32_t dataOffset = 0;              // t_hoff: where the first attribute lies
    uint32_t natts = 0;                   // attributes stored in the tuple
    const uint8_t* nullBitmap = nullptr;  // null when the tuple has no NULLs
    uint32_t item = 0;                    // line pointer number from 1, for messages
    uint32_t oid = 0;                     // heap tuples with an oid in the header, else 0
};

class TupleDecoder {
  public:
    TupleDecoder(const ColumnLayout& columns, PageFamily family, ToastFetcher* toast);

    // Before the rows of a batch are written: points the plans at the batch's arrays.
    void bind(ColumnBatch& batch) {
        bindPlans(plans_, batch);
        valueBytes_ = 0;
    }

    // Attribute i goes to column firstColumn + i. Columns past the tuple's attributes get
    // their missing value (ADD COLUMN ... DEFAULT) or NULL. The attributes must end exactly
    // at the tuple's end: anything else means the header or the layout does not describe
    // these bytes. False: the tuple was rejected and noted; the row may be partly written and
    // is reused by the next tuple.
    bool decode(const TupleView& tuple, uint32_t firstColumn, uint32_t row, DamageNotes& notes);

    size_t columnCount() const { return plans_.size(); }
    // The user attributes of the layout (the oid system column not counted): no tuple of the
    // relation stores more.
    uint32_t attributeCount() const { return attributeCount_; }
    // Bytes of values decompressed or fetched from TOAST since the last bind.
    uint64_t valueBytes() const { return valueBytes_; }
    ColumnPlan& plan(size_t column) { return plans_[column]; }

  private:
    template <PageFamily kFamily, bool kNulls>
    bool walk(const TupleView& tuple, uint32_t firstColumn, uint32_t row, DamageNotes& notes);
    // A varlena that is not in one of the two forms read in place, or a dropped one.
    bool readVarlena(ColumnPlan& plan, const TupleView& tuple, uint32_t& pos, uint32_t row,
                     DamageNotes& notes);
    void loseRest(uint32_t firstColumn, uint32_t from, uint32_t stored, const TupleView& tuple,
                  uint32_t row, DamageNotes& notes);
    void fillTrailing(uint32_t fromColumn, uint32_t row, DamageNotes& notes);
    void planPrefix(uint32_t dataOffset, uint32_t firstColumn);

    std::vector<ColumnPlan> plans_;
    uint32_t columnCount_;
    uint32_t attributeCount_;
    uint64_t valueBytes_ = 0;
    PageFamily family_;
    ValueBuffer values_;
    std::string scratch_;  // varlena bytes on their way to a fixed slot

    // PostgreSQL's attcacheoff: in a tuple without NULLs the fixed-width attributes before the
    // first of another kind lie at offsets set by t_hoff alone. Worked out for the t_hoff and
    // first column last seen (nearly every tuple of a table has the same).
    uint32_t prefixHoff_ = UINT32_MAX;
    uint32_t prefixFirst_ = UINT32_MAX;
    uint32_t prefixCount_ = 0;
    std::vector<uint32_t> prefixOffset_;  // offset of each, from the tuple start
};

}  // namespace vorn
