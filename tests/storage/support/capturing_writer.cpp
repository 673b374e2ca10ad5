#include "tests/storage/support/capturing_writer.h"

#include <stdexcept>

namespace vorn::test {

CapturingWriter::CapturingWriter(const ColumnLayout& columns) : columns_(&columns) {}

void CapturingWriter::open() {
    if (failOpen)
        throw std::runtime_error(failureText);
    opened_ = true;
}

uint32_t CapturingWriter::writeRows(const ColumnBatch* batch, uint32_t rows) {
    writeCalls_.push_back(rows);
    if (failWriteCall != 0 && writeCalls_.size() == failWriteCall)
        throw std::runtime_error(failureText);
    for (uint32_t r = 0; r < rows; ++r) {
        CapturedRow row(batch->size());
        for (size_t c = 0; c < batch->size(); ++c) {
            const ColumnValues& column = (*batch)[c];
            const bool dropped =
                column.dropped || (columns_ != nullptr && (*columns_)[c].isDropped());
            if (dropped || column.isNull(r))
                continue;
            row[c] = std::string(column.value(r));
        }
        rows_.push_back(std::move(row));
    }
    return rows;
}

void CapturingWriter::finish() {
    if (failFinish)
        throw std::runtime_error(failureText);
    finished_ = true;
}

}  // namespace vorn::test
