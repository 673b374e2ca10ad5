// The commit log reader and the visibility rule on top of it, over pg_xact, pg_clog,
// pg_subtrans and pg_multixact segments and pg_control written here byte by byte: what no
// server here leaves behind on purpose (sub-committed xids, truncated, lost and wrapped logs,
// 9.x folders, odd page sizes, a lost pg_subtrans, multixacts whose members wrap or that the
// files cannot resolve).

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "storage/commit_log.h"
#include "storage/page_reader.h"
#include "storage/tuple_visibility.h"
#include "tests/storage/page_reader_test_util.h"
#include "tests/storage/support/page_builder.h"
#include "tests/support/temp_dir.h"

namespace vorn::test {
namespace {

using HT = HeapTupleBuilder;

enum Status : uint8_t { kInProgress = 0, kCommitted = 1, kAborted = 2, kSubCommitted = 3 };

// Multixact member statuses.
enum Member : uint8_t {
    kForKeyShare = 0,
    kForShare = 1,
    kForNoKeyUpdate = 2,
    kForUpdate = 3,
    kNoKeyUpdate = 4,
    kUpdate = 5
};

// The counters of pg_control's last checkpoint.
struct Counters {
    uint32_t nextXid = 50000;
    uint32_t oldestXid = 3;
    uint32_t nextMulti = 1;
    uint32_t nextMultiOffset = 0;
    uint32_t oldestMulti = 1;
};

// A data directory with a commit log of `pageSize`-byte pages, written segment by segment.
class LogWriter {
  public:
    LogWriter(const TempDir& dir, uint32_t pageSize, const std::string& folder = "pg_xact")
        : dir_(dir), pageSize_(pageSize), folder_(folder) {}

    LogWriter& status(uint32_t xid, Status s) {
        const uint32_t perPage = pageSize_ * 4;
        Bytes& seg = segment(folder_, xid / perPage / 32, xid / perPage % 32 + 1);
        const size_t byte = size_t(xid / perPage % 32) * pageSize_ + (xid % perPage) / 4;
        const int shift = 2 * int(xid % 4);
        seg[byte] = static_cast<uint8_t>((seg[byte] & ~(3 << shift)) | (s << shift));
        return *this;
    }
    LogWriter& parent(uint32_t xid, uint32_t parentXid) {
        const uint32_t perPage = pageSize_ / 4;
        Bytes& seg = segment("pg_subtrans", xid / perPage / 32, xid / perPage % 32 + 1);
        setU32(seg, size_t(xid / perPage % 32) * pageSize_ + (xid % perPage) * 4, parentXid);
        return *this;
    }
    // Segment `number` of the commit log with `pages` zeroed pages (all in progress).
    LogWriter& emptySegment(uint32_t number, uint32_t pages = 1) {
        segment(folder_, number, pages);
        return *this;
    }
    // pg_control as a server of version 12 or later writes it: the cluster state word (1:
    // shut down, 6: in production) and the counters of the last checkpoint.
    LogWriter& control(uint32_t state, const Counters& counters = {}) {
        Bytes bytes(8192, 0);
        setU32(bytes, 8, 1300);  // pg_control_version
        setU32(bytes, 16, state);
        setU32(bytes, 64, counters.nextXid);
        setU32(bytes, 76, counters.nextMulti);
        setU32(bytes, 80, counters.nextMultiOffset);
        setU32(bytes, 84, counters.oldestXid);
        setU32(bytes, 92, counters.oldestMulti);
        setU32(bytes, 104, 1796997511);  // 2026-12-11 13:58:31 UTC
        files_["global/pg_control"] = bytes;
        return *this;
    }
    // Multixact `multi` with its members from member offset `offset` on.
    LogWriter& multixact(uint32_t multi, uint32_t offset,
                         const std::vector<std::pair<uint32_t, Member>>& members) {
        const uint32_t offsetsPerPage = pageSize_ / 4;
        Bytes& offsets = segment("pg_multixact/offsets", multi / offsetsPerPage / 32,
                                 multi / offsetsPerPage % 32 + 1);
        setU32(offsets,
               size_t(multi / offsetsPerPage % 32) * pageSize_ + (multi % offsetsPerPage) * 4,
               offset);
        const uint32_t groupsPerPage = pageSize_ / 20, membersPerPage = groupsPerPage * 4;
        uint32_t o = offset;
        for (const auto& [xid, status] : members) {
            const uint32_t page = o / membersPerPage;
            Bytes& seg = segment("pg_multixact/members", page / 32, page % 32 + 1);
            const size_t group = size_t(page % 32) * pageSize_ + (o / 4) % groupsPerPage * 20;
            seg[group + o % 4] = status;
            setU32(seg, group + 4 + (o % 4) * 4, xid);
            ++o;
        }
        return *this;
    }
    void write() const {
        for (const auto& [name, bytes] : files_)
            dir_.writeFile(name, std::string(bytes.begin(), bytes.end()));
    }

  private:
    Bytes& segment(const std::string& folder, uint32_t number, uint32_t pages) {
        char name[24];
        std::snprintf(name, sizeof name, "%04X", number);
        Bytes& seg = files_[folder + "/" + name];
        if (seg.size() < size_t(pages) * pageSize_)
            seg.resize(size_t(pages) * pageSize_, 0);
        return seg;
    }

    const TempDir& dir_;
    uint32_t pageSize_;
    std::string folder_;
    std::map<std::string, Bytes> files_;
};

TEST(CommitLog, OutcomesAsRecorded) {
    TempDir dir;
    LogWriter(dir, 8192)
        .status(1000, kCommitted)
        .status(1001, kAborted)
        .status(1003, kCommitted)
        .status(40000, kCommitted)  // second page
        .control(1)
        .write();
    CommitLog log(dir.path(), ServerVersion{15, 0}, 8192);
    EXPECT_EQ(log.status(1000), XactStatus::kCommitted);
    EXPECT_EQ(log.status(1001), XactStatus::kAborted);
    EXPECT_EQ(log.status(1002), XactStatus::kInProgress);
    EXPECT_EQ(log.status(1003), XactStatus::kCommitted);
    EXPECT_EQ(log.status(40000), XactStatus::kCommitted);
    EXPECT_EQ(log.status(70000), XactStatus::kInProgress);  // a page never written
    // Bootstrap and frozen xids committed by definition; 0 never did anything.
    EXPECT_EQ(log.status(1), XactStatus::kCommitted);
    EXPECT_EQ(log.status(2), XactStatus::kCommitted);
    EXPECT_EQ(log.status(0), XactStatus::kAborted);
    EXPECT_TRUE(log.available());
    EXPECT_TRUE(log.cleanShutdown());
    EXPECT_EQ(log.problem(), "");
}

TEST(CommitLog, FolderAndPageSizeFollowTheServer) {
    struct Case {
        const char* name;
        int major;
        uint32_t pageSize;
        const char* folder;
    };
    for (const Case c : {Case{"9.6", 9, 8192, "pg_clog"}, Case{"10, 2 KiB", 10, 2048, "pg_xact"},
                         Case{"18, 32 KiB", 18, 32768, "pg_xact"}}) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        // An xid in the fifth page of the second segment of this page size.
        const uint32_t xid = c.pageSize * 4 * (32 + 4) + 5;
        LogWriter(dir, c.pageSize, c.folder).status(xid, kAborted).status(7, kCommitted).write();
        CommitLog log(dir.path(), ServerVersion{static_cast<int16_t>(c.major), 0}, c.pageSize);
        EXPECT_EQ(log.status(xid), XactStatus::kAborted);
        EXPECT_EQ(log.status(xid + 1), XactStatus::kInProgress);
        EXPECT_EQ(log.status(7), XactStatus::kCommitted);
        // The other server's folder is not read.
        CommitLog other(dir.path(), ServerVersion{static_cast<int16_t>(c.major >= 10 ? 9 : 10), 6},
                        c.pageSize);
        EXPECT_EQ(other.status(xid), XactStatus::kUnknown);
    }
}

// The server removes segments behind the oldest xid it needs: xids there committed long ago.
// An xid past the newest segment has nothing recorded. Both hold across the wrap of the xid
// counter, where the newest segments have the lowest numbers.
TEST(CommitLog, TruncatedAndWrappedLogs) {
    constexpr uint32_t kPerSegment = 8192 * 4 * 32;
    struct Case {
        const char* name;
        std::vector<uint32_t> segments;
        uint32_t segment;  // of the xid asked for, which no file holds
        XactStatus expected;
    };
    const Case cases[] = {
        {"behind the oldest", {5, 6, 7}, 2, XactStatus::kCommitted},
        {"past the newest", {5, 6, 7}, 9, XactStatus::kInProgress},
        {"wrapped: behind the oldest", {0xFFE, 0xFFF, 0, 1}, 0xFF0, XactStatus::kCommitted},
        {"wrapped: past the newest", {0xFFE, 0xFFF, 0, 1}, 3, XactStatus::kInProgress},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        LogWriter writer(dir, 8192);
        for (const uint32_t s : c.segments)
            writer.emptySegment(s);
        writer.write();
        CommitLog log(dir.path(), ServerVersion{15, 0}, 8192);
        EXPECT_EQ(log.status(c.segment * kPerSegment + 10), c.expected);
        EXPECT_EQ(log.status(c.segments.front() * kPerSegment + 10), XactStatus::kInProgress);
    }
}

// With pg_control, a missing segment is history only when it lies wholly before the oldest
// xid the server keeps; a segment it still needs that is gone was lost, and its xids cannot be
// decided. From the next xid of the last checkpoint on, nothing was recorded yet.
TEST(CommitLog, TheControlFileTellsTruncatedSegmentsFromLostOnes) {
    constexpr uint32_t kPerSegment = 8192 * 4 * 32;
    constexpr uint32_t kPerPage = 8192 * 4;
    struct Case {
        const char* name;
        uint32_t xid;
        XactStatus expected;
        const char* problem;  // a piece of problem() when unknown
    };
    // Segments 5 and 7 are on disk, 6 was lost; the oldest xid is in 5, the next one in 7.
    const Counters counters{7 * kPerSegment + 3 * kPerPage, 5 * kPerSegment + 100};
    const Case cases[] = {
        {"wholly before the oldest xid", 2 * kPerSegment + 10, XactStatus::kCommitted, nullptr},
        {"before the oldest xid, in its segment", 5 * kPerSegment + 10, XactStatus::kInProgress,
         nullptr},
        {"in a lost segment", 6 * kPerSegment + 10, XactStatus::kUnknown, "pg_xact/0006"},
        {"a page cut from a segment", 7 * kPerSegment + 2 * kPerPage, XactStatus::kUnknown,
         "ends before the page"},
        {"from the next xid on", 7 * kPerSegment + 3 * kPerPage + 1, XactStatus::kInProgress,
         nullptr},
        {"past the newest segment", 9 * kPerSegment, XactStatus::kInProgress, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        LogWriter(dir, 8192).emptySegment(5).emptySegment(7, 2).control(1, counters).write();
        CommitLog log(dir.path(), ServerVersion{15, 0}, 8192);
        EXPECT_EQ(log.status(c.xid), c.expected);
        if (c.problem != nullptr) {
            EXPECT_NE(log.problem().find(c.problem), std::string::npos) << log.problem();
        }
    }
    // Without a control file that can be read, the folder alone says it: segment 6 lies
    // closer to the oldest present one, 5, so it looks truncated.
    TempDir dir;
    LogWriter(dir, 8192).emptySegment(5).emptySegment(7).write();
    dir.writeFile("global/pg_control", std::string(64, 'x'));
    CommitLog log(dir.path(), ServerVersion{15, 0}, 8192);
    EXPECT_EQ(log.status(6 * kPerSegment + 10), XactStatus::kCommitted);
}

// A sub-committed subtransaction takes the outcome of its top-level transaction, found through
// pg_subtrans, nested ones through each parent in turn.
TEST(CommitLog, SubCommittedXidsFollowTheirParents) {
    TempDir dir;
    LogWriter(dir, 8192)
        .status(500, kCommitted)
        .status(501, kAborted)
        .status(502, kInProgress)
        .status(510, kSubCommitted)
        .parent(510, 500)
        .status(511, kSubCommitted)
        .parent(511, 501)
        .status(512, kSubCommitted)
        .parent(512, 510)  // a grandchild of 500
        .status(513, kSubCommitted)
        .parent(513, 502)
        .status(514, kSubCommitted)  // no parent recorded
        .status(515, kSubCommitted)
        .parent(515, 515)  // its own parent: damage
        .write();
    CommitLog log(dir.path(), ServerVersion{15, 0}, 8192);
    EXPECT_EQ(log.status(510), XactStatus::kCommitted);
    EXPECT_EQ(log.status(511), XactStatus::kAborted);
    EXPECT_EQ(log.status(512), XactStatus::kCommitted);
    EXPECT_EQ(log.status(513), XactStatus::kInProgress);
    EXPECT_EQ(log.status(514), XactStatus::kUnknown);
    EXPECT_NE(log.problem().find("514"), std::string::npos) << log.problem();
    EXPECT_EQ(log.status(515), XactStatus::kUnknown);
}

TEST(CommitLog, WhatCannotBeReadIsUnknownAndSaysWhy) {
    {
        TempDir dir;  // no pg_xact at all
        CommitLog log(dir.path(), ServerVersion{15, 0}, 8192);
        EXPECT_EQ(log.status(1000), XactStatus::kUnknown);
        EXPECT_FALSE(log.available());
        EXPECT_NE(log.problem().find("pg_xact\": No such file or directory"), std::string::npos)
            << log.problem();
        EXPECT_FALSE(log.cleanShutdown());  // no pg_control either
    }
    {
        TempDir dir;
        dir.writeFile("pg_xact/README", "not a segment");
        CommitLog log(dir.path(), ServerVersion{15, 0}, 8192);
        EXPECT_EQ(log.status(1000), XactStatus::kUnknown);
        EXPECT_NE(log.problem().find("no segment files"), std::string::npos) << log.problem();
    }
    {
        TempDir dir;  // sub-committed, and pg_subtrans lost
        LogWriter(dir, 8192).status(600, kSubCommitted).write();
        CommitLog log(dir.path(), ServerVersion{15, 0}, 8192);
        EXPECT_EQ(log.status(600), XactStatus::kUnknown);
        EXPECT_NE(log.problem().find("pg_subtrans is missing"), std::string::npos)
            << "problem: " << log.problem();
    }
    {
        TempDir dir;  // a segment that cannot be opened
        LogWriter(dir, 8192).status(700, kCommitted).write();
        std::filesystem::remove(dir.path() + "/pg_xact/0000");
        std::filesystem::create_directory(dir.path() + "/pg_xact/0000");
        CommitLog log(dir.path(), ServerVersion{15, 0}, 8192);
        EXPECT_EQ(log.status(700), XactStatus::kUnknown);
        EXPECT_NE(log.problem().find("cannot read"), std::string::npos) << log.problem();
    }
}

// ---- the visibility rule ------------------------------------------------------------------

// Where the hint bits leave the inserter or the deleter open, the commit log decides; what it
// cannot decide falls back on the hint rule and is counted; a transaction that never ended is
// rolled back, in doubt only after an unclean stop.
TEST(TupleVisibility, TheCommitLogDecidesWhatTheHintsLeaveOpen) {
    constexpr uint16_t kXminHinted = HT::kXminCommitted;
    constexpr uint32_t kDone = 1000, kRolledBack = 1001, kOpen = 1002, kSub = 1003;
    struct Case {
        const char* name;
        uint32_t xmin, xmax;
        uint16_t infomask;
        bool cleanStop;
        bool withLog;
        bool row;
        uint8_t committed;
        uint32_t undecided, inDoubt;
    };
    const Case cases[] = {
        {"inserter committed", kDone, 0, 0, true, true, true, 1, 0, 0},
        {"inserter rolled back", kRolledBack, 0, 0, true, true, false, 0, 0, 0},
        {"inserter never ended, clean stop", kOpen, 0, 0, true, true, false, 0, 0, 0},
        {"inserter never ended, crash", kOpen, 0, 0, false, true, false, 0, 0, 1},
        {"inserter a sub-committed child of a commit", kSub, 0, 0, true, true, true, 1, 0, 0},
        {"deleter committed", kDone, kDone, kXminHinted, true, true, false, 1, 0, 0},
        {"deleter rolled back", kDone, kRolledBack, kXminHinted, true, true, true, 1, 0, 0},
        {"deleter never ended, crash", kDone, kOpen, kXminHinted, false, true, true, 1, 0, 1},
        {"deleter hinted committed", kDone, kRolledBack, kXminHinted | HT::kXmaxCommitted, true,
         true, false, 1, 0, 0},
        {"hints win over the log", kRolledBack, 0, kXminHinted, true, true, true, 1, 0, 0},
        {"no log: inserter taken", kRolledBack, 0, 0, true, false, true, 0, 1, 0},
        {"no log: deleter taken", kDone, kRolledBack, kXminHinted, true, false, false, 1, 1, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        LogWriter(dir, 8192)
            .status(kDone, kCommitted)
            .status(kRolledBack, kAborted)
            .status(kSub, kSubCommitted)
            .parent(kSub, kDone)
            .control(c.cleanStop ? 1 : 6)
            .write();
        CommitLog log(dir.path(), ServerVersion{15, 0}, 8192);
        TupleVisibility visibility(c.withLog ? &log : nullptr);
        const Bytes tuple =
            HT().xmin(c.xmin).xmax(c.xmax).infomask(c.infomask).fixed(le<int32_t>(5), 4).build();
        PageReport report;
        uint8_t committed = 9;
        EXPECT_EQ(visibility.isRow(tuple.data(), false, report, committed), c.row);
        if (c.row) {
            EXPECT_EQ(committed, c.committed);
        }
        EXPECT_EQ(report.tuplesUndecided, c.undecided);
        EXPECT_EQ(report.tuplesInDoubt, c.inDoubt);
    }
}

// The page reader asks its commit log, passes the inserter's outcome on with each row, and
// counts what the log left open in the page report.
TEST(TupleVisibility, ThePageReaderUsesItsCommitLog) {
    TempDir dir;
    LogWriter(dir, 8192).status(1000, kCommitted).status(1001, kAborted).control(1).write();
    CommitLog log(dir.path(), ServerVersion{15, 0}, 8192);
    const ColumnLayout layout = layoutOf({column(typeoid::kInt4, 4, 'i')});
    HeapPageBuilder page(8192);
    page.addTuple(HT().xmin(1000).infomask(0).fixed(le<int32_t>(1), 4).build());
    page.addTuple(HT().xmin(1001).infomask(0).fixed(le<int32_t>(2), 4).build());
    page.addTuple(HT().xmin(1000).xmax(1001).infomask(0).fixed(le<int32_t>(3), 4).build());
    const Bytes bytes = page.build();

    TableBlock reader(layout, nullptr, &log);
    ColumnBatch batch = makeColumnBatch(layout);
    reader.setBuffer(bytes.data(), 8192);
    uint32_t next = 0;
    ASSERT_EQ(reader.readTuples(batch, next), 2u);
    EXPECT_EQ(rowOf(batch, 0), (Row{val(le<int32_t>(1))}));
    EXPECT_EQ(rowOf(batch, 1), (Row{val(le<int32_t>(3))}));
    EXPECT_EQ(batch.committed[0], 1);
    EXPECT_EQ(batch.committed[1], 1);
    EXPECT_EQ(reader.pageReport().tuplesUndecided, 0u);

    TableBlock blind(layout, nullptr);  // no commit log: the hint rule, counted
    blind.setBuffer(bytes.data(), 8192);
    next = 0;
    EXPECT_EQ(blind.readTuples(batch, next), 2u);
    EXPECT_EQ(blind.pageReport().tuplesUndecided, 4u);
    EXPECT_EQ(batch.committed[0], 0);
}

// A multixact deleter is resolved through pg_multixact: its updater's outcome decides as a
// plain deleter's would, lockers alone never delete, and before 9.3 a multixact is a shared
// lock only. What the files cannot resolve keeps the hint rule's answer and is counted.
TEST(TupleVisibility, AMultixactDeleterIsDecidedByItsUpdater) {
    constexpr uint32_t kDone = 1000, kRolledBack = 1001, kOpen = 1002, kLocker = 1003;
    constexpr uint32_t kTop = 0;  // member offsets just below the wrap: kTop - n
    constexpr uint16_t kMulti = 0x1000, kLockOnly = 0x0080;
    constexpr uint16_t kXminHinted = HT::kXminCommitted;
    struct Case {
        const char* name;
        uint32_t multi;
        uint16_t infomask;
        bool cleanStop;
        ServerVersion version;
        bool row;
        uint32_t unresolved, inDoubt;
    };
    // Multixacts 10 to 16, written below; 16 is the newest, ending at pg_control's offset.
    const Case cases[] = {
        {"updater rolled back", 10, kMulti, true, {15, 0}, true, 0, 0},
        {"updater committed", 11, kMulti, true, {15, 0}, false, 0, 0},
        {"updater never ended, crash", 12, kMulti, false, {15, 0}, true, 0, 1},
        {"no-key updater rolled back", 13, kMulti, true, {15, 0}, true, 0, 0},
        {"lockers only", 14, kMulti, true, {15, 0}, true, 0, 0},
        {"hinted lock-only", 11, kMulti | kLockOnly, true, {15, 0}, true, 0, 0},
        {"before 9.3 a multixact only locks", 11, kMulti, true, {9, 2}, true, 0, 0},
        {"members wrap around offset 0", 15, kMulti, true, {15, 0}, true, 0, 0},
        {"the newest multixact", 16, kMulti, true, {15, 0}, false, 0, 0},
        {"older than pg_control keeps", 3, kMulti, true, {15, 0}, false, 1, 0},
        {"two updaters", 9, kMulti, true, {15, 0}, false, 1, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        Counters counters;
        counters.nextMulti = 17;
        counters.nextMultiOffset = 4;
        counters.oldestMulti = 5;
        LogWriter(dir, 8192)
            .status(kDone, kCommitted)
            .status(kRolledBack, kAborted)
            .status(kLocker, kCommitted)
            .multixact(9, kTop - 16, {{kDone, kUpdate}, {kRolledBack, kNoKeyUpdate}})
            .multixact(10, kTop - 14, {{kLocker, kForUpdate}, {kRolledBack, kUpdate}})
            .multixact(11, kTop - 12, {{kLocker, kForShare}, {kDone, kUpdate}})
            .multixact(12, kTop - 10, {{kLocker, kForKeyShare}, {kOpen, kUpdate}})
            .multixact(13, kTop - 8, {{kLocker, kForKeyShare}, {kRolledBack, kNoKeyUpdate}})
            .multixact(14, kTop - 6, {{kLocker, kForShare}, {kRolledBack, kForNoKeyUpdate}})
            // Offsets wrap after 2^32 - 1 and skip 0, whose slot holds xid 0.
            .multixact(15, kTop - 4,
                       {{kLocker, kForShare},
                        {kLocker, kForShare},
                        {kLocker, kForShare},
                        {kRolledBack, kUpdate},
                        {0, kForShare},
                        {kLocker, kForShare}})
            .multixact(16, 2, {{kLocker, kForShare}, {kDone, kUpdate}})
            .control(c.cleanStop ? 1 : 6, counters)
            .write();
        CommitLog log(dir.path(), c.version, 8192);
        TupleVisibility visibility(&log);
        const Bytes tuple = HT().xmin(kDone)
                                .xmax(c.multi)
                                .infomask(kXminHinted | c.infomask)
                                .fixed(le<int32_t>(5), 4)
                                .build();
        PageReport report;
        uint8_t committed = 9;
        EXPECT_EQ(visibility.isRow(tuple.data(), false, report, committed), c.row);
        EXPECT_EQ(report.multixactsUnresolved, c.unresolved) << log.multixactProblem();
        EXPECT_EQ(report.tuplesInDoubt, c.inDoubt);
        if (c.unresolved > 0) {
            EXPECT_NE(log.multixactProblem(), "");
        }
    }
}

// Without pg_multixact, or without the page a multixact needs, the deleter cannot be
// resolved: the tuple is taken as deleted, counted, and the reason names the file.
TEST(TupleVisibility, AMultixactTheFilesLackIsUnresolvedAndSaysWhy) {
    const Bytes tuple = HT().xmin(1000)
                            .xmax(7)
                            .infomask(HT::kXminCommitted | 0x1000)
                            .fixed(le<int32_t>(5), 4)
                            .build();
    struct Case {
        const char* name;
        bool folders;
        const char* problem;
    };
    for (const Case c : {Case{"no pg_multixact", false, "pg_multixact/offsets"},
                         Case{"no offsets page for it", true, "ends before the page"}}) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        Counters counters;
        counters.nextMulti = 9000;
        counters.nextMultiOffset = 20000;
        LogWriter writer(dir, 8192);
        writer.status(1000, kCommitted).control(1, counters);
        if (c.folders)
            writer.multixact(5000, 100, {{1000, kUpdate}});  // a later page only
        writer.write();
        if (c.folders)  // the segment holds the later page only
            std::filesystem::resize_file(dir.path() + "/pg_multixact/offsets/0000", 0);
        CommitLog log(dir.path(), ServerVersion{15, 0}, 8192);
        TupleVisibility visibility(&log);
        PageReport report;
        uint8_t committed = 0;
        EXPECT_FALSE(visibility.isRow(tuple.data(), false, report, committed));
        EXPECT_EQ(report.multixactsUnresolved, 1u);
        EXPECT_NE(log.multixactProblem().find(c.problem), std::string::npos)
            << log.multixactProblem();
    }
}

}  // namespace
}  // namespace vorn::test
