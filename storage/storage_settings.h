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

}  // namespace vorn
