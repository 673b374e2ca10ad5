#include "storage/unload_result.h"

#include <fmt/format.h>

namespace vorn {

UnloadDamage& UnloadDamage::operator+=(const UnloadDamage& other) {
    segmentsUnreadable += other.segmentsUnreadable;
    blocksUnreadable += other.blocksUnreadable;
    pagesSkipped += other.pagesSkipped;
    tuplesRejected += other.tuplesRejected;
    valuesUnreadable += other.valuesUnreadable;
    toastValuesMissing += other.toastValuesMissing;
    tuplesUndecided += other.tuplesUndecided;
    tuplesInDoubt += other.tuplesInDoubt;
    multixactsUnresolved += other.multixactsUnresolved;
    return *this;
}

std::string UnloadDamage::summary() const {
    struct Count {
        uint64_t n;
        const char* one;
        const char* many;
    };
    const Count counts[] = {
        {segmentsUnreadable, "segment unreadable", "segments unreadable"},
        {blocksUnreadable, "block unreadable", "blocks unreadable"},
        {pagesSkipped, "page skipped", "pages skipped"},
        {tuplesRejected, "tuple rejected", "tuples rejected"},
        {valuesUnreadable, "value unreadable", "values unreadable"},
        {toastValuesMissing, "TOAST value missing", "TOAST values missing"},
        {tuplesUndecided, "tuple decided by hint bits alone (no commit log)",
         "tuples decided by hint bits alone (no commit log)"},
        {tuplesInDoubt, "tuple of an unfinished transaction taken as rolled back (unclean stop)",
         "tuples of unfinished transactions taken as rolled back (unclean stop)"},
        {multixactsUnresolved,
         "tuple deleted by a multixact that could not be resolved, taken as deleted",
         "tuples deleted by multixacts that could not be resolved, taken as deleted"},
    };
    std::string text;
    for (const Count& count : counts) {
        if (count.n == 0)
            continue;
        if (!text.empty())
            text += ", ";
        text += fmt::format("{} {}", count.n, count.n == 1 ? count.one : count.many);
    }
    return text;
}

}  // namespace vorn
