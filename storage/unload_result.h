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
    // Tuples the commit log could not decide: taken or left by their hint bits alone, so a
    // rolled-back change may show (or a committed one be missing).
    uint64_t tuplesUndecided = 0;
    // Tuples of transactions that never ended in a data directory the server did not shut
    // down cleanly: taken as rolled back, though a commit may be in the WAL alone.
    uint64_t tuplesInDoubt = 0;
    // Tuples whose deleter is a multixact that pg_multixact could not resolve (files missing,
    // the multixact outside them): taken as deleted, as the hint bits alone would say, though
    // its updater may have rolled back.
    uint64_t multixactsUnresolved = 0;

    uint64_t total() const {
        return segmentsUnreadable + blocksUnreadable + pagesSkipped + tuplesRejected +
               valuesUnreadable + toastValuesMissing + tuplesUndecided + tuplesInDoubt +
               multixactsUnresolved;
    }
    UnloadDamage& operator+=(const UnloadDamage& other);
    // "" when nothing went wrong, else e.g. "2 pages skipped, 1 TOAST value missing".
    std::string summary() const;
};

struct UnloadResult {
    uint64_t rows = 0;    // rows handed to the writer (0 after a writer failure)
    bool failed = false;  // not read, or the writer failed: open, writeRows or finish threw
    UnloadDamage damage;
    // All-zero pages: left by an extension of the relation that was never written. No damage,
    // but said per table.
    uint64_t emptyPages = 0;
    // An unlogged table (it has an init fork) of a data directory the server did not shut
    // down cleanly: the server empties it when it starts, so the rows written are what its
    // file held, not what the server would show. Not a plain success.
    bool unloggedAfterCrash = false;

    // The whole relation came out as the server would give it: no writer failure, no
    // damage, and not an unlogged table after a crash.
    bool complete() const { return !failed && damage.total() == 0 && !unloggedAfterCrash; }
};

}  // namespace vorn
