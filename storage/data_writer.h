#pragma once

#include <cstdint>
#include <string>

#include "storage/column_batch.h"

namespace vorn {

// The sink of a table unload. PgTable::unload calls open once, writeRows once per page that
// yielded rows, addBlocks/addRows/addBytes after each read group, appendMessage on a failure,
// and finish once. open, writeRows and finish may throw; an exception from writeRows ends the
// unload as failed (a lost connection must not silently drop the rest of a table).
class IDataWriter {
  public:
    virtual ~IDataWriter() = default;

    virtual void open() = 0;
    virtual uint32_t writeRows(const ColumnBatch* batch, uint32_t rows) = 0;
    virtual void finish() = 0;

    virtual void addBlocks(uint64_t n) = 0;
    virtual uint64_t blocks() = 0;
    virtual void addBytes(uint64_t n) = 0;
    virtual uint64_t bytes() = 0;
    virtual void addRows(uint64_t n) = 0;
    virtual uint64_t rows() = 0;
    // Appends "\n" and the text to the message text.
    virtual void appendMessage(const std::string& text) = 0;
    virtual std::string messages() = 0;
    // After finish: "" when every value read was written as it was read; otherwise what was
    // not ("3 values of column "j" (type OID 3802) written as NULL: no binary encoder"). A
    // table with such values is not unloaded whole.
    virtual std::string valuesNotWritten() { return {}; }
};

}  // namespace vorn
