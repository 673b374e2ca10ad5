#include "storage/control_file.h"

#include <fcntl.h>
#include <fmt/format.h>

#include <ctime>

#include "storage/byte_reader.h"
#include "storage/file.h"

namespace vorn {

namespace {

constexpr size_t kVersionOffset = 8;
constexpr size_t kStateOffset = 8 + 4 + 4;
constexpr size_t kBytesRead = 128;  // past every field read, in every version
constexpr uint32_t kFirstNormalXid = 3;

// DBState: 1 shut down; 2 shut down in recovery (a standby), from 9.2 on taken as clean (in
// 9.0 the value meant "shutting down", a stop that did not finish; 9.1 is not told apart, so
// it is read the careful way); 6 in production, the highest value.
constexpr uint32_t kShutDown = 1;
constexpr uint32_t kShutDownInRecovery = 2;
constexpr uint32_t kHighestState = 6;

struct Offsets {
    size_t nextXid, nextMulti, nextMultiOffset, oldestXid, oldestMulti, time;
};

// pg_control_version of the first release of each layout; see the table in the header.
std::optional<Offsets> offsetsFor(uint32_t controlVersion) {
    constexpr size_t kNone = 0;
    if (controlVersion < 900 || controlVersion > 9999)
        return std::nullopt;
    if (controlVersion >= 1201)
        return Offsets{64, 76, 80, 84, 92, 104};
    if (controlVersion >= 1100)
        return Offsets{64, 72, 76, 80, 88, 96};
    if (controlVersion >= 937)
        return Offsets{72, 80, 84, 88, 96, 104};
    if (controlVersion >= 922)
        return Offsets{68, 76, 80, 84, kNone, 96};
    return Offsets{64, 72, 76, 80, kNone, 88};
}

std::string localTime(int64_t seconds) {
    const std::time_t t = static_cast<std::time_t>(seconds);
    std::tm local{};
    if (localtime_r(&t, &local) == nullptr)
        return fmt::format("{} (seconds since 1970)", seconds);
    char text[64];
    if (std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S %Z", &local) == 0)
        return fmt::format("{} (seconds since 1970)", seconds);
    return text;
}

}  // namespace

std::optional<ControlFile> readControlFile(const std::string& dataDirectory, ServerVersion version,
                                           std::string* problem) {
    const std::string path = dataDirectory + "/global/pg_control";
    const auto fail = [&](const std::string& why) -> std::optional<ControlFile> {
        if (problem != nullptr)
            *problem = fmt::format("\"{}\" {}", path, why);
        return std::nullopt;
    };
    uint8_t bytes[kBytesRead] = {};
    try {
        File file;
        file.open(path, O_RDONLY);
        const uint32_t got = file.pread(bytes, sizeof bytes, 0);
        if (got < sizeof bytes)
            return fail(fmt::format("holds {} bytes, too few for a control file", got));
    } catch (const std::exception& e) {
        return fail(fmt::format("cannot be read: {}", e.what()));
    }
    const uint32_t controlVersion = loadLE<uint32_t>(bytes + kVersionOffset);
    const std::optional<Offsets> at = offsetsFor(controlVersion);
    if (!at)
        return fail(fmt::format("has control file version {}, which no server 9.0 to 18 writes",
                                controlVersion));
    ControlFile control;
    control.state = loadLE<uint32_t>(bytes + kStateOffset);
    if (control.state > kHighestState)
        return fail(fmt::format("has the unknown cluster state {}", control.state));
    const bool recoveryStateIsClean =
        version.major > 9 || (version.major == 9 && version.minor >= 2);
    control.cleanShutdown = control.state == kShutDown ||
                            (control.state == kShutDownInRecovery && recoveryStateIsClean);
    control.nextXid = loadLE<uint32_t>(bytes + at->nextXid);
    control.oldestXid = loadLE<uint32_t>(bytes + at->oldestXid);
    control.checkpointTime = loadLE<int64_t>(bytes + at->time);
    if (at->oldestMulti != 0) {
        control.hasMultixacts = true;
        control.nextMulti = loadLE<uint32_t>(bytes + at->nextMulti);
        control.nextMultiOffset = loadLE<uint32_t>(bytes + at->nextMultiOffset);
        control.oldestMulti = loadLE<uint32_t>(bytes + at->oldestMulti);
    }
    if (control.nextXid < kFirstNormalXid || control.oldestXid < kFirstNormalXid ||
        circularPrecedes(control.nextXid, control.oldestXid))
        return fail(
            fmt::format("gives the next xid {} and the oldest xid {}, which no server writes",
                        control.nextXid, control.oldestXid));
    if (control.hasMultixacts && (control.nextMulti == 0 || control.oldestMulti == 0 ||
                                  circularPrecedes(control.nextMulti, control.oldestMulti)))
        return fail(fmt::format(
            "gives the next multixact {} and the oldest multixact {}, which no server writes",
            control.nextMulti, control.oldestMulti));
    return control;
}

std::string uncleanShutdownNotice(const std::string& dataDirectory, ServerVersion version) {
    std::string problem;
    const std::optional<ControlFile> control = readControlFile(dataDirectory, version, &problem);
    if (!control)
        return fmt::format(
            "whether the server shut down cleanly is not known: {}. Changes after its last "
            "checkpoint may be only in the WAL, which is not read",
            problem);
    if (control->cleanShutdown)
        return "";
    return fmt::format(
        "the server did not shut down cleanly: changes after the checkpoint of {} are only in the "
        "WAL, which is not read",
        localTime(control->checkpointTime));
}

}  // namespace vorn
