#pragma once

// An IDataWriter for tests: keeps every row it is handed, column by column, so that a test
// can compare what the unload produced with what it expected. It can be told to throw from
// open, writeRows or finish, to exercise the unload's handling of a failing sink.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "storage/column_def.h"
#include "storage/data_writer.h"

namespace vorn::test {

// One row: a field per column of the layout; nullopt for NULL and for dropped columns.
using CapturedRow = std::vector<std::optional<std::string>>;

class CapturingWriter : public IDataWriter {
  public:
    CapturingWriter() = default;
    explicit CapturingWriter(const ColumnLayout& columns);

    void open() override;
    uint32_t writeRows(const ColumnBatch* batch, uint32_t rows) override;
    void finish() override;

    void addBlocks(uint64_t n) override {
        blocks_ += n;
        blockCalls_.push_back(n);
    }
    uint64_t blocks() override { return blocks_; }
    void addBytes(uint64_t n) override { bytes_ += n; }
    uint64_t bytes() override { return bytes_; }
    void addRows(uint64_t n) override { rowsCounted_ += n; }
    uint64_t rows() override { return rowsCounted_; }
    void appendMessage(const std::string& text) override { messages_ += "\n" + text; }
    std::string messages() override { return messages_; }

    // Failures to simulate: open or finish throw std::runtime_error with `failureText`;
    // writeRows throws on its call number `failWriteCall` (from 1; 0 never).
    bool failOpen = false;
    bool failFinish = false;
    uint32_t failWriteCall = 0;
    std::string failureText = "simulated writer failure";

    const std::vector<CapturedRow>& capturedRows() const { return rows_; }
    // The row count of each writeRows call, in order.
    const std::vector<uint32_t>& writeCalls() const { return writeCalls_; }
    // The block count of each addBlocks call: one per read group.
    const std::vector<uint64_t>& blockCalls() const { return blockCalls_; }
    bool opened() const { return opened_; }
    bool finished() const { return finished_; }

  private:
    const ColumnLayout* columns_ = nullptr;  // marks dropped columns; may be null
    std::vector<CapturedRow> rows_;
    std::vector<uint32_t> writeCalls_;
    std::vector<uint64_t> blockCalls_;
    std::string messages_;
    uint64_t blocks_ = 0;
    uint64_t bytes_ = 0;
    uint64_t rowsCounted_ = 0;
    bool opened_ = false;
    bool finished_ = false;
};

}  // namespace vorn::test
