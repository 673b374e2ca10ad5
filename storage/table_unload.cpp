// PgTable::unload: every segment file of a relation, read in 1 MiB groups of blocks, each page
// decoded by the reader of its layout version and its rows handed to the writer.
//
// Damage never ends the scan and never passes in silence: a segment that cannot be opened, a
// block that cannot be read, a page the reader rejects or that fails to decode, and the
// tuples and values a page reader gives up on are counted in UnloadResult::damage and logged,
// one line per segment, block or page, naming the file, the block and the reason. Only the
// writer ends an unload early: when it cannot take rows, the rest of the table has nowhere to
// go.

#include <fmt/format.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>

#include "base/file_logger.h"
#include "base/progress.h"
#include "base/terminal_text.h"
#include "storage/block_except.h"
#include "storage/column_batch.h"
#include "storage/commit_log.h"
#include "storage/data_file.h"
#include "storage/data_writer.h"
#include "storage/line_pointer.h"
#include "storage/page_reader.h"
#include "storage/relation_path.h"
#include "storage/storage_settings.h"
#include "storage/table.h"
#include "storage/toast.h"

namespace vorn {

namespace {

constexpr uint32_t kReadBytes = 1048576;  // one read group
// Read buffers: one group being decoded while the next ones are read. The value reader may
// look up to 3 bytes past the end of a tuple, and the last tuple of a group can end at the
// group's last byte: the group reader keeps zero bytes behind every buffer.
constexpr uint32_t kReadDepth = 4;
constexpr uint32_t kMinBlockSize = 2048;
constexpr uint32_t kMaxBlockSize = 32768;
// A row's string that grew past this for a large value is given back once its batch has been
// written, so that the strings of a batch do not keep every large value they ever held.
constexpr size_t kKeepValueBytes = size_t{1} << 20;

// Raised past the page loop when the writer refuses rows; not a std::exception, so the
// page-level handler that steps over reader failures lets it through.
struct WriteFailed {
    std::string message;
};

// Percentage of `done` in `total` blocks, 0..100, for any table size.
uint32_t percentOf(uint64_t done, uint64_t total) {
    if (total == 0)
        return 100;
    const unsigned __int128 percent = static_cast<unsigned __int128>(done) * 100 / total;
    return percent > 100 ? 100u : static_cast<uint32_t>(percent);
}

// Empties the chunk index of the table's TOAST relation on every way out of the unload.
struct ChunkIndexRelease {
    PgToastTable* toast;
    ~ChunkIndexRelease() {
        if (toast != nullptr) {
            toast->chunkIndex.clear();
            toast->chunkIndex.shrink_to_fit();
        }
    }
};

struct BatchRelease {
    ColumnBatch& batch;
    ~BatchRelease() { freeColumnBatch(batch); }
};

// Waits for the reads ahead of a segment before its file closes, on every way out.
struct ReadsDrained {
    GroupReader& reader;
    ~ReadsDrained() { reader.drain(); }
};

// The state of one unload between the writer's open and finish.
class TableScan {
  public:
    TableScan(PgTable& table, IDataWriter& writer, IProgressBar* progress, UnloadResult& result,
              std::string directory, std::vector<SegmentFile> segments)
        : table_(table),
          writer_(writer),
          progress_(progress),
          result_(result),
          log_(table.logger != nullptr ? *table.logger : unloadLog()),
          relation_(fmt::format("[obj#: {}] table \"{}\".\"{}\"", table.oid(),
                                terminalText(table.schemaName()), terminalText(table.tableName()))),
          blockSize_(vorn::blockSize),
          group_(static_cast<uint16_t>(kReadBytes / blockSize_)),
          directory_(std::move(directory)),
          segments_(std::move(segments)),
          commitLog_(dataDirectory, serverVersion, blockSize_) {}

    // Reads the whole relation; the writer's message when it failed on the way.
    std::optional<std::string> run();
    // Why the commit log could not decide some tuples; "" when it decided every one asked.
    const std::string& commitLogProblem() const { return commitLog_.problem(); }
    // Why a multixact deleter could not be resolved; "" when every one was.
    const std::string& multixactProblem() const { return commitLog_.multixactProblem(); }
    // pg_control says the server shut down cleanly.
    bool cleanShutdown() { return commitLog_.cleanShutdown(); }

  private:
    void noteMissingSegments(uint32_t expected, uint32_t found);
    void noteShortSegment(const SegmentFile& segment, uint64_t fullBlocks);
    void readSegment(const SegmentFile& segment);
    uint64_t readPage(const uint8_t* page, const std::string& path, uint32_t blockNumber);
    template <typename Reader>
    uint64_t readRows(Reader& reader, const uint8_t* page);
    void handRows(uint32_t rows);
    void account(const PageReport& report, const std::string& path, uint32_t blockNumber);
    void reportProgress();

    PgTable& table_;
    IDataWriter& writer_;
    IProgressBar* progress_;
    UnloadResult& result_;
    FileLogger& log_;
    const std::string relation_;  // "[obj#: oid] table "schema"."name"", for log lines
    const uint32_t blockSize_;
    const uint16_t group_;
    const std::string directory_;
    const std::vector<SegmentFile> segments_;
    CommitLog commitLog_;

    GroupReader* reader_ = nullptr;
    ColumnBatch* batch_ = nullptr;
    TableBlock* heapReader_ = nullptr;
    UTableBlock* uReader_ = nullptr;
    uint64_t totalBlocks_ = 0;
    uint64_t step_ = 0;
    uint64_t blocksDone_ = 0;
    uint64_t lastReported_ = 0;
};

std::optional<std::string> TableScan::run() {
    for (const SegmentFile& segment : segments_)
        totalBlocks_ += segment.size / blockSize_;
    step_ = totalBlocks_ / 100;

    if (progress_ != nullptr) {
        progress_->begin(100);
        progress_->setProgress(0);
    }

    ChunkIndexRelease indexRelease{table_.toast};
    std::unique_ptr<ToastFetcher> fetcher;
    if (table_.toast != nullptr) {
        buildToastIndex(*table_.toast, &result_.damage, &commitLog_);
        fetcher = std::make_unique<ToastFetcher>(*table_.toast);
    }

    GroupReader reader(uint32_t{blockSize_} * group_, kReadDepth);
    reader_ = &reader;

    TableBlock heapReader(table_.columns(), fetcher.get(), &commitLog_);
    UTableBlock uReader(table_.columns(), fetcher.get());
    ColumnBatch batch = makeColumnBatch(table_.columns());
    BatchRelease batchRelease{batch};
    heapReader_ = &heapReader;
    uReader_ = &uReader;
    batch_ = &batch;

    std::optional<std::string> writeError;
    try {
        uint32_t expected = 0;
        const uint64_t fullBlocks = fullSegmentBlocks(segments_, blockSize_);
        for (size_t i = 0; i < segments_.size(); ++i) {
            const SegmentFile& segment = segments_[i];
            noteMissingSegments(expected, segment.number);
            readSegment(segment);
            if (i + 1 < segments_.size())
                noteShortSegment(segment, fullBlocks);
            expected = segment.number + 1;
        }
    } catch (const WriteFailed& failure) {
        writeError = failure.message;
    }
    if (progress_ != nullptr)
        progress_->finish();
    return writeError;
}

// Segment files are filled in order, each to its full size before the next is begun, so a
// number missing before a segment that exists is a file lost with all its rows.
void TableScan::noteMissingSegments(uint32_t expected, uint32_t found) {
    if (found <= expected)
        return;
    result_.damage.segmentsUnreadable += found - expected;
    if (found - expected == 1) {
        log_.errorFormatted("{} file \"{}\" is missing (segment {} exists)", relation_,
                            segmentPath(directory_, table_.fileNode(), expected), found);
    } else {
        log_.errorFormatted("{} segment files {} to {} of \"{}\" are missing", relation_, expected,
                            found - 1, segmentPath(directory_, table_.fileNode(), 0));
    }
}

// A segment before the last is always full: the server begins the next one only then. The
// blocks a shorter one lacks were lost with their rows.
void TableScan::noteShortSegment(const SegmentFile& segment, uint64_t fullBlocks) {
    const uint64_t blocks = segment.size / blockSize_;
    if (blocks >= fullBlocks)
        return;
    result_.damage.blocksUnreadable += fullBlocks - blocks;
    log_.errorFormatted(
        "{} file \"{}\" holds {} blocks, but a segment before the last holds {}: blocks {} to {} "
        "are missing",
        relation_, segmentPath(directory_, table_.fileNode(), segment.number), blocks, fullBlocks,
        blocks, fullBlocks - 1);
}

void TableScan::readSegment(const SegmentFile& segment) {
    const std::string path = segmentPath(directory_, table_.fileNode(), segment.number);
    DataFile file;
    try {
        file.open(path, static_cast<uint16_t>(blockSize_), true, true);
    } catch (const std::exception& e) {
        ++result_.damage.segmentsUnreadable;
        log_.errorFormatted("{} file \"{}\" cannot be opened: {}", relation_, path, e.what());
        return;
    }
    if (const uint64_t tail = segment.size % blockSize_; tail != 0) {
        // A torn or cut last block: whatever it held is lost, and the reader never sees it.
        ++result_.damage.blocksUnreadable;
        log_.errorFormatted("{} file \"{}\" ends in a partial block of {} bytes after block {}",
                            relation_, path, tail, segment.size / blockSize_);
    }

    const uint32_t blockCount = file.blockCount();
    ReadsDrained drained{*reader_};
    uint32_t first = 0;
    while (first < blockCount) {
        const auto want = static_cast<uint16_t>(std::min<uint32_t>(group_, blockCount - first));
        uint32_t count = 0;
        const uint8_t* pages = nullptr;
        std::string failure = "nothing read";
        try {
            count = reader_->read(file, first, want, pages);
        } catch (const std::exception&) {
            // One bad block spoils the whole group read: try the first block alone, and
            // step over it when that fails too.
            try {
                count = reader_->read(file, first, 1, pages);
            } catch (const std::exception& e) {
                failure = e.what();
            }
        }
        count = std::min<uint32_t>(count, want);

        uint64_t groupRows = 0;
        if (count == 0) {
            count = 1;
            ++result_.damage.blocksUnreadable;
            log_.errorFormatted("{} file \"{}\" block {} cannot be read: {}", relation_, path,
                                first, failure);
        } else {
            for (uint32_t i = 0; i < count; ++i)
                groupRows += readPage(pages + size_t(i) * blockSize_, path, first + i);
        }

        writer_.addBlocks(count);
        writer_.addRows(groupRows);
        writer_.addBytes(uint64_t(count) * blockSize_);
        blocksDone_ += count;
        reportProgress();
        first += count;
    }
}

uint64_t TableScan::readPage(const uint8_t* page, const std::string& path, uint32_t blockNumber) {
    const uint8_t version = pageLayoutVersion(page);
    uint64_t rows = 0;
    try {
        if (version == 4 || version == 6) {
            rows = readRows(*heapReader_, page);
            account(heapReader_->pageReport(), path, blockNumber);
        } else if (version == 7 || version == 9) {
            rows = readRows(*uReader_, page);
            account(uReader_->pageReport(), path, blockNumber);
        } else if (isAllZeroPage(page, blockSize_)) {
            // A page the relation was extended by but never written: no damage, but counted.
            ++result_.emptyPages;
        } else {
            ++result_.damage.pagesSkipped;
            log_.errorFormatted(
                "{} file \"{}\" block {}: page skipped: unknown page layout "
                "version {}",
                relation_, path, blockNumber, version);
        }
    } catch (const std::exception& e) {
        // Rows of the page already handed to the writer stay counted: they are in the output.
        ++result_.damage.pagesSkipped;
        log_.errorFormatted("{} file \"{}\" block {}: page skipped: {}", relation_, path,
                            blockNumber, e.what());
    }
    return rows;
}

template <typename Reader>
uint64_t TableScan::readRows(Reader& reader, const uint8_t* page) {
    reader.setBuffer(page, static_cast<uint16_t>(blockSize_));
    uint64_t rows = 0;
    // A page of small tuples can hold more rows than a batch: read it a batch at a time.
    uint32_t nextItem = 0;
    while (nextItem < reader.itemCount()) {
        const uint32_t before = nextItem;
        const uint32_t n = reader.readTuples(*batch_, nextItem);
        if (n > 0) {
            handRows(n);
            rows += n;
            if (reader.batchValueBytes() > kKeepValueBytes)
                releaseLargeValues(*batch_, n, kKeepValueBytes);
        }
        if (nextItem <= before)
            break;  // a reader that stopped advancing has nothing more to give
    }
    return rows;
}

void TableScan::handRows(uint32_t rows) {
    try {
        writer_.writeRows(batch_, rows);
    } catch (const std::exception& e) {
        throw WriteFailed{e.what()};
    }
    result_.rows += rows;
}

void TableScan::account(const PageReport& report, const std::string& path, uint32_t blockNumber) {
    if (report.empty)
        ++result_.emptyPages;
    UnloadDamage page;
    page.pagesSkipped = report.rejected ? 1 : 0;
    page.tuplesRejected = report.tuplesRejected;
    page.valuesUnreadable = report.valuesUnreadable;
    page.toastValuesMissing = report.toastValuesMissing;
    page.tuplesUndecided = report.tuplesUndecided;
    page.tuplesInDoubt = report.tuplesInDoubt;
    page.multixactsUnresolved = report.multixactsUnresolved;
    result_.damage += page;
    // Tuples the transaction logs left open are said once for the table, not page by page.
    const uint64_t undecided =
        page.tuplesUndecided + page.tuplesInDoubt + page.multixactsUnresolved;
    if (page.total() == undecided)
        return;
    page.tuplesUndecided = page.tuplesInDoubt = page.multixactsUnresolved = 0;

    std::string where = fmt::format("file \"{}\" block {}", path, blockNumber);
    if (report.reasonItem != 0)
        where += fmt::format(" item {}", report.reasonItem);
    const char* reason = report.reason != nullptr ? report.reason : "damaged";
    if (report.rejected) {
        log_.errorFormatted("{} {}: page skipped: {}", relation_, where, reason);
    } else {
        log_.errorFormatted("{} {}: {} ({})", relation_, where, reason, page.summary());
    }
}

void TableScan::reportProgress() {
    if (progress_ == nullptr || blocksDone_ - lastReported_ < step_)
        return;
    progress_->setProgress(percentOf(blocksDone_, totalBlocks_));
    lastReported_ = blocksDone_;
}

}  // namespace

UnloadResult PgTable::unload(IDataWriter& writer, IProgressBar* progress) {
    UnloadResult result;
    // The names as the messages and the log show them.
    const std::string schema = terminalText(schemaName());
    const std::string table = terminalText(tableName());
    const uint32_t tableOid = oid();
    FileLogger& log = logger != nullptr ? *logger : unloadLog();

    // What makes the table unreadable as a whole is found before the writer opens its output:
    // a failed table leaves no file that looks like an empty table.
    std::string directory;
    std::vector<SegmentFile> segments;
    try {
        // Without a valid block size not one page could be read.
        if (vorn::blockSize < kMinBlockSize || vorn::blockSize > kMaxBlockSize) {
            throw BlockExcept("block size [%u] must between %u and %u", unsigned(vorn::blockSize),
                              kMinBlockSize, kMaxBlockSize);
        }
        // A column the layout lacks shifts every attribute after it: the rows would be garbage.
        if (const std::string gap = missingAttributes(); !gap.empty())
            throw std::runtime_error(gap);
        // A relation with storage has a first segment, even when it holds no rows; without it
        // the rows are elsewhere (a file lost, a folder not copied, another cluster). A
        // partitioned table has none, though versions 10 and 11 give it a file node.
        if (fileNode() != 0 && relkind != 'p') {
            directory = relationDirectory(*this);
            listSegmentFiles(directory, fileNode(), segments);
            if (const std::string missing = missingFirstSegment(directory, fileNode(), segments);
                !missing.empty())
                throw std::runtime_error(missing);
            dropEmptyTail(segments);
        }
        writer.open();
    } catch (const std::exception& e) {
        result.failed = true;
        writer.appendMessage(
            fmt::format("Begin unload table \"{}\".\"{}\" error: {}", schema, table, e.what()));
        log.errorFormatted("[obj#: {}] table \"{}\".\"{}\" begin unload error: {}", tableOid,
                           schema, table, e.what());
        return result;
    }

    TableScan scan(*this, writer, progress, result, directory, std::move(segments));
    const std::optional<std::string> writeError = scan.run();

    if (writeError) {
        // finish is not called: it would close the output as if the table were whole (the
        // COPY trailer, the end of a COPY stream). The writer's owner discards it.
        result.failed = true;
        result.rows = 0;
        writer.appendMessage(
            fmt::format("Write rows of table \"{}\".\"{}\" error: {}", schema, table, *writeError));
        log.errorFormatted("[obj#: {}] table \"{}\".\"{}\" write rows error: {}", tableOid, schema,
                           table, *writeError);
    } else {
        try {
            writer.finish();
        } catch (const std::exception& e) {
            result.failed = true;
            result.rows = 0;
            writer.appendMessage(fmt::format("Finish unload table \"{}\".\"{}\" error: {}", schema,
                                             table, e.what()));
            log.errorFormatted("[obj#: {}] table \"{}\".\"{}\" finish unload error: {}", tableOid,
                               schema, table, e.what());
        }
    }

    if (result.damage.total() > 0) {
        std::string summary = result.damage.summary();
        if (result.damage.tuplesUndecided > 0 && !scan.commitLogProblem().empty())
            summary += fmt::format("; commit log: {}", scan.commitLogProblem());
        if (result.damage.multixactsUnresolved > 0 && !scan.multixactProblem().empty())
            summary += fmt::format("; pg_multixact: {}", scan.multixactProblem());
        writer.appendMessage(
            fmt::format("Unload table \"{}\".\"{}\" incomplete: {}", schema, table, summary));
        log.errorFormatted("[obj#: {}] table \"{}\".\"{}\" unloaded with damage: {}", tableOid,
                           schema, table, summary);
    }
    if (result.emptyPages > 0)
        log.infoFormatted("[obj#: {}] table \"{}\".\"{}\": {} empty pages", tableOid, schema, table,
                          result.emptyPages);
    // The server replaces an unlogged table by its empty init fork when it starts after a
    // crash; what the file still holds is all there is to give, but not what the server has.
    if (!directory.empty() && hasInitFork(directory, fileNode()) && !scan.cleanShutdown()) {
        result.unloggedAfterCrash = true;
        const std::string text = fmt::format(
            "Table \"{}\".\"{}\" is unlogged and the server did not shut down cleanly: the server "
            "empties such a table when it starts; the {} rows written are what its file held.",
            schema, table, result.rows);
        writer.appendMessage(text);
        log.warn(text);
    }
    return result;
}

}  // namespace vorn
