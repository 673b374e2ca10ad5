#pragma once

// pg_multixact (from version 9.3): the members of every multixact, the xmax the server writes
// when several transactions lock a row, or lock it and one of them updates or deletes it.
//
// offsets/  one little-endian uint32 per multixact: where its members start
//           page p holds multixacts p * (page size / 4) ...
// members/  groups of 20 bytes, page size / 20 groups to a page (the tail of a page is unused):
//
//           0        4                                   20
//           +--------+--------+--------+--------+--------+
//           | status | xid 0  | xid 1  | xid 2  | xid 3  |   member o: group o / 4 of its page,
//           | bytes  |        |        |        |        |   status byte o % 4, xid o % 4
//           +--------+--------+--------+--------+--------+
//
//           member offset o lies on page o / (4 * groups per page)
//
// A multixact's members run from its offset up to the next multixact's, and the newest one's
// up to pg_control's next member offset. Offsets wrap around and skip 0, so a member slot 0 met
// on the way holds xid 0 and is skipped. A member's status is 0 for key share, 1 share, 2 no-key
// update lock, 3 update lock, 4 no-key update, 5 update: a member of status 4 or 5 is the one
// transaction that updated or deleted the row, whose outcome decides as a plain xmax would.
//
// Before 9.3 a multixact only shares a lock: it never deletes.
//
// A MultiXactLog belongs to one table unload (one thread); it reads each page once and keeps it.

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>

#include "storage/control_file.h"
#include "storage/slru.h"
#include "storage/storage_settings.h"

namespace vorn {

class MultiXactLog {
  public:
    enum class Answer : uint8_t {
        kUpdater,      // the member that updated or deleted the row
        kLockersOnly,  // members that only locked it
        kUnknown,      // the files cannot say: problem() tells why
    };

    // The multixact log of `dataDirectory`, for a server of `version`, bounded by `control`
    // (the control file, when it could be read). The folders are listed at the first
    // question. Never throws.
    MultiXactLog(std::string dataDirectory, ServerVersion version, uint32_t blockSize,
                 std::optional<ControlFile> control);

    Answer updater(uint32_t multi, uint32_t& xid);
    // Why the last multixact that could not be resolved was not; "" when none failed.
    const std::string& problem() const { return problem_; }

  private:
    struct Cached {
        Answer answer;
        uint32_t xid;
    };
    bool open();
    Answer resolve(uint32_t multi, uint32_t& xid);
    // The start of `multi`'s members; false (problem_ set) when it is not on disk.
    bool memberStart(uint32_t multi, uint32_t& offset);
    Answer unknown(std::string why);

    std::string dataDirectory_;
    ServerVersion version_;
    uint32_t blockSize_;
    std::optional<ControlFile> control_;
    bool opened_ = false;
    bool available_ = false;
    SlruFolder offsets_;
    SlruFolder members_;
    std::string problem_;
    std::unordered_map<uint32_t, Cached> answers_;
};

}  // namespace vorn
