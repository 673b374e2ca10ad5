#pragma once

// global/pg_control: the few fields of the control file that tell how far the commit log and
// the multixact log reach, and whether the server stopped cleanly.
//
//   0       8        12       16      24          32 (40 up to 10)
//   +-------+--------+--------+-------+-----------+--------------------------------------+
//   | sysid | version| catalog| state | time      | checkpoint | (prev checkpoint) | copy of
//   |       |        | version|       |           | the last checkpoint record ...
//   +-------+--------+--------+-------+-----------+--------------------------------------+
//
// The state word is at 16 in every version. The checkpoint copy starts at 48 up to version
// 10 (there is a previous-checkpoint pointer before it) and at 40 from 11 on; inside it the
// next xid became a 64-bit value in 12 (its low word first, as before the epoch word came
// after it), and versions before 9.3 had no oldest multixact and 4-aligned WAL pointers.
// Absolute offsets of the fields read:
//
//   versions    next xid  next multi  next member  oldest xid  oldest multi  checkpoint time
//   9.0, 9.1       64         72          76           80           -             88
//   9.2            68         76          80           84           -             96
//   9.3 .. 10      72         80          84           88           96           104
//   11             64         72          76           80           88            96
//   12 .. 18       64         76          80           84           92           104
//
// The file ends in a CRC whose place differs from version to version; it is not checked.
// Instead the values read must look like what a server writes (a known state, normal xids),
// or the file counts as unreadable.

#include <cstdint>
#include <optional>
#include <string>

#include "storage/storage_settings.h"

namespace vorn {

struct ControlFile {
    uint32_t state = 0;
    // The server shut down (also a standby that shut down in recovery): every change and
    // every transaction outcome reached the files.
    bool cleanShutdown = false;
    int64_t checkpointTime = 0;  // of the latest checkpoint, seconds since 1970 (UTC)
    // At the latest checkpoint: the next xid to be given out, and the oldest one any table may
    // still hold unfrozen (the commit log is kept from its segment on).
    uint32_t nextXid = 0;
    uint32_t oldestXid = 0;
    // From 9.3 on: the next multixact, the next member offset, and the oldest multixact still
    // needed; all 0 before.
    bool hasMultixacts = false;
    uint32_t nextMulti = 0;
    uint32_t nextMultiOffset = 0;
    uint32_t oldestMulti = 0;
};

// The control file of `dataDirectory`, written by a server of `version`; nullopt, with the
// reason in `problem`, when it cannot be read or does not look like one.
std::optional<ControlFile> readControlFile(const std::string& dataDirectory, ServerVersion version,
                                           std::string* problem = nullptr);

// What a user must be told about a data directory whose server did not shut down cleanly:
// "the server did not shut down cleanly: changes after the checkpoint of <local time> are
// only in the WAL, which is not read", or that the control file could not tell; "" after a
// clean stop.
std::string uncleanShutdownNotice(const std::string& dataDirectory, ServerVersion version);

// xid (or multixact) order on the circle of 2^32 values, as the server compares them.
inline bool circularPrecedes(uint32_t a, uint32_t b) {
    return static_cast<int32_t>(a - b) < 0;
}

}  // namespace vorn
