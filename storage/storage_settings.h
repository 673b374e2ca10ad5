#pragma once

#include <cstdint>
#include <string>

namespace vorn {

// Process-wide settings of the data directory being read: set once at start-up (or by a
// test) before any unload runs, then only read, also by worker threads.
struct ServerVersion {
    int16_t major = 14;
    int16_t minor = 0;
};

extern std::string dataDirectory;
extern uint16_t blockSize;
extern ServerVersion serverVersion;
// A page's rows go to the writer in several batches once the values decompressed or fetched
// from TOAST for one batch reach this many bytes, so that an unload holds at most about this
// much plus its largest value (64 MiB; tests lower it).
extern uint64_t batchValueLimit;

}  // namespace vorn
