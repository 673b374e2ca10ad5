#pragma once

#include <cstdint>
#include <string>

namespace vorn {

// What went wrong while a relation was read. Damage never stops an unload: the bad part is
// stepped over, counted here and logged with relation, segment, block and reason, and the
// caller learns from these counts that the output is not the whole table.
struct UnloadDamage {
    uint64_t segmentsUnreadable = 0;  // a segment file that could not be opened
    uint64_t blocksUnreadable = 0;    // blocks whose read failed also one block at a time
    uint64_t pagesSkipped = 0;        // pages rejected by their header or failing to decode
    uint64_t tuplesRejected = 0;      // tuples whose header or attributes run out of bounds
    uint64_t valuesUnreadable = 0;    // values read as NULL: truncated, corrupt compression
    uint64_t toastValuesMissing = 0;  // TOAST values whose chunks could not be fetched whole

    uint64_t total() const {
        return segmentsUnreadable + blocksUnreadable + pagesSkipped + tuplesRejected +
               valuesUnreadable + toastValuesMissing;
    }
    UnloadDamage& operator+=(const UnloadDamage& other);
    // "" when nothing went wrong, else e.g. "2 pages skipped, 1 TOAST value missing".
    std::string summary() const;
};

struct UnloadResult {
    uint64_t rows = 0;    // rows handed to the writer (0 after a writer failure)
    bool failed = false;  // the writer failed: open, writeRows or finish threw
    UnloadDamage damage;

    // The whole relation came out: no writer failure and no damage.
    bool complete() const { return !failed && damage.total() == 0; }
};

}  // namespace vorn
