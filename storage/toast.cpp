// TOAST values: the chunk index of a TOAST relation and the fetch that joins a value's chunks.
//
// A TOAST relation is an ordinary relation of (chunk_id oid, chunk_seq int4, chunk_data
// bytea) rows. A value moved out of its row is cut into chunks of at most about a quarter
// page, numbered from 0 under one chunk_id, the value id of the TOAST pointer:
//
//   from the first attribute (heap: t_hoff; U pages: the data offset at tuple byte 10)
//     +0  4  chunk_id    +4  4  chunk_seq    +8  chunk_data: a varlena header, then the bytes
//
// The page readers' chunk listers decode these and give each chunk's place in its page,
// with its bytes' offset and length already checked against the tuple; this file only
// remembers the places and copies the bytes. Chunks of a value are written one after the
// other, so they lie in ascending blocks of one segment: the fetch reads those blocks in one
// call and serves every chunk in them from that read.

#include "storage/toast.h"

#include <algorithm>
#include <cstdio>
#include <exception>
#include <tuple>

#include "base/file_logger.h"
#include "storage/data_file.h"
#include "storage/line_pointer.h"
#include "storage/page_reader.h"
#include "storage/relation_path.h"
#include "storage/storage_settings.h"

namespace vorn {

namespace {

constexpr uint32_t kReadBytes = 1048576;  // one read of the scan and of the fetch
constexpr size_t kIoAlign = 4096;         // the alignment direct I/O needs
constexpr uint16_t kMinBlockSize = 2048;
constexpr uint16_t kMaxBlockSize = 32768;

// A buffer of `size` bytes starting at a multiple of 4096.
uint8_t* alignedBuffer(std::unique_ptr<uint8_t[]>& storage, size_t size) {
    storage.reset(new uint8_t[size + kIoAlign]);
    const auto address = reinterpret_cast<uintptr_t>(storage.get());
    return storage.get() + (kIoAlign - address % kIoAlign) % kIoAlign;
}

bool chunkOrder(const ToastChunkRef& a, const ToastChunkRef& b) {
    // Ties on (chunkId, chunkSeq) only arise from damage; ordering them by their place keeps
    // the first one found first.
    return std::tie(a.chunkId, a.chunkSeq, a.segment, a.blockNumber, a.lpOff) <
           std::tie(b.chunkId, b.chunkSeq, b.segment, b.blockNumber, b.lpOff);
}

// One scan of a TOAST relation: the readers, the buffer and where the damage goes.
class IndexScan {
  public:
    IndexScan(PgToastTable& toast, UnloadDamage& damage, CommitLog* commitLog)
        : toast_(toast), damage_(damage), blockSize_(vorn::blockSize), heapReader_(commitLog) {}

    void run();

  private:
    void scanSegment(uint32_t segment);
    void indexPage(const uint8_t* page, uint32_t segment, uint32_t block);
    void logDamage(uint32_t segment, uint32_t block, const char* reason);

    PgToastTable& toast_;
    UnloadDamage& damage_;
    uint16_t blockSize_;
    std::string path_;  // the segment file being read
    std::unique_ptr<uint8_t[]> storage_;
    uint8_t* buffer_ = nullptr;
    ToastBlock heapReader_;
    UToastBlock uReader_;
    std::vector<ToastChunkRef> chunks_;
};

void IndexScan::run() {
    toast_.chunkIndex.clear();
    if (blockSize_ < kMinBlockSize || blockSize_ > kMaxBlockSize) {
        ++damage_.segmentsUnreadable;
        unloadLog().errorFormatted("[obj#: {}] TOAST relation {}: block size {} not supported",
                                   toast_.oid, toast_.relfilenode, blockSize_);
        return;
    }
    std::vector<SegmentFile> segments;
    try {
        toast_.directory = relationDirectory(toast_);
        listSegmentFiles(toast_.directory, toast_.relfilenode, segments);
    } catch (const std::exception& e) {
        // Without a listing no chunk can be found; the table's own pages are still read,
        // and every value that needed this relation is counted as missing.
        ++damage_.segmentsUnreadable;
        unloadLog().errorFormatted("[obj#: {}] TOAST relation {} in \"{}\": cannot list files: {}",
                                   toast_.oid, toast_.relfilenode, toast_.directory, e.what());
        return;
    }
    if (const std::string missing =
            missingFirstSegment(toast_.directory, toast_.relfilenode, segments);
        !missing.empty()) {
        // Every value kept out of line is lost with it; the table's rows are still read.
        ++damage_.segmentsUnreadable;
        unloadLog().errorFormatted("[obj#: {}] TOAST relation {}: {}", toast_.oid,
                                   toast_.relfilenode, missing);
    }
    if (segments.empty())
        return;
    const uint32_t group = kReadBytes / blockSize_;
    buffer_ = alignedBuffer(storage_, static_cast<size_t>(blockSize_) * group);
    for (const SegmentFile& segment : segments)
        scanSegment(segment.number);

    std::sort(toast_.chunkIndex.begin(), toast_.chunkIndex.end(), chunkOrder);
    const auto sameChunk = [](const ToastChunkRef& a, const ToastChunkRef& b) {
        return a.chunkId == b.chunkId && a.chunkSeq == b.chunkSeq;
    };
    const auto end = std::unique(toast_.chunkIndex.begin(), toast_.chunkIndex.end(), sameChunk);
    const auto duplicates = std::distance(end, toast_.chunkIndex.end());
    if (duplicates > 0) {
        unloadLog().warnFormatted(
            "[obj#: {}] TOAST relation {}: {} chunks found twice; the first of each is used",
            toast_.oid, toast_.relfilenode, duplicates);
        toast_.chunkIndex.erase(end, toast_.chunkIndex.end());
    }
}

void IndexScan::scanSegment(uint32_t segment) {
    path_ = segmentPath(toast_.directory, toast_.relfilenode, segment);
    DataFile file;
    try {
        file.open(path_, blockSize_, true, true);
    } catch (const std::exception& e) {
        ++damage_.segmentsUnreadable;
        unloadLog().errorFormatted("[obj#: {}] TOAST relation file \"{}\" segment {}: {}",
                                   toast_.oid, path_, segment, e.what());
        return;
    }
    const uint32_t blocks = file.blockCount();
    const uint32_t group = kReadBytes / blockSize_;
    for (uint32_t first = 0; first < blocks;) {
        const auto want = static_cast<uint16_t>(std::min(group, blocks - first));
        uint32_t got = 0;
        std::string reason = "short read";
        try {
            got = file.readBlocks(first, want, buffer_);
        } catch (const std::exception&) {
            // Step over a bad region one block at a time.
            try {
                got = file.readBlocks(first, 1, buffer_);
            } catch (const std::exception& e) {
                reason = e.what();
                got = 0;
            }
        }
        if (got == 0) {
            ++damage_.blocksUnreadable;
            logDamage(segment, first, reason.c_str());
            ++first;
            continue;
        }
        for (uint32_t i = 0; i < got; ++i)
            indexPage(buffer_ + static_cast<size_t>(i) * blockSize_, segment, first + i);
        first += got;
    }
}

void IndexScan::indexPage(const uint8_t* page, uint32_t segment, uint32_t block) {
    const uint8_t version = pageLayoutVersion(page);
    Block* reader = nullptr;
    if (version == 4 || version == 6) {
        reader = &heapReader_;
    } else if (version == 7 || version == 9) {
        reader = &uReader_;
    } else {
        // A page the server extended the file by but never wrote is all zeros and holds
        // nothing; anything else without a known layout is damage.
        if (!isAllZeroPage(page, blockSize_)) {
            ++damage_.pagesSkipped;
            char reason[64];
            std::snprintf(reason, sizeof reason, "unknown page layout version %u", version);
            logDamage(segment, block, reason);
        }
        return;
    }
    try {
        reader->setBuffer(page, blockSize_);
        if (reader == &heapReader_)
            heapReader_.collectChunks(chunks_);
        else
            uReader_.collectChunks(chunks_);
    } catch (const std::exception& e) {
        ++damage_.pagesSkipped;
        logDamage(segment, block, e.what());
        return;
    }
    const PageReport& report = reader->pageReport();
    if (report.rejected) {
        ++damage_.pagesSkipped;
        logDamage(segment, block, report.reason != nullptr ? report.reason : "page rejected");
        return;
    }
    if (report.tuplesRejected > 0) {
        damage_.tuplesRejected += report.tuplesRejected;
        char reason[160];
        std::snprintf(reason, sizeof reason, "%u chunk tuples rejected, item %u: %s",
                      report.tuplesRejected, report.reasonItem,
                      report.reason != nullptr ? report.reason : "bad tuple");
        logDamage(segment, block, reason);
    }
    for (ToastChunkRef chunk : chunks_) {
        if (chunk.chunkId == 0)  // no value has id 0 (InvalidOid)
            continue;
        chunk.segment = segment;
        chunk.blockNumber = block;
        toast_.chunkIndex.push_back(chunk);
    }
}

void IndexScan::logDamage(uint32_t segment, uint32_t block, const char* reason) {
    unloadLog().errorFormatted("[obj#: {}] TOAST relation file \"{}\" segment {} block {}: {}",
                               toast_.oid, path_, segment, block, reason);
}

}  // namespace

void buildToastIndex(PgToastTable& toast, UnloadDamage* damage, CommitLog* commitLog) {
    UnloadDamage ignored;
    IndexScan(toast, damage != nullptr ? *damage : ignored, commitLog).run();
}

ToastFetcher::ToastFetcher(PgToastTable& toast)
    : toast_(toast),
      blockSize_(vorn::blockSize),
      windowBlocks_(std::max<uint32_t>(1, kReadBytes / std::max<uint16_t>(1, vorn::blockSize))) {}

ToastFetcher::~ToastFetcher() = default;

ValueStatus ToastFetcher::readToastValue(uint32_t valueId, uint32_t expectedSize,
                                         std::string& out) {
    out.clear();
    const auto byId = [](const ToastChunkRef& chunk, uint32_t id) { return chunk.chunkId < id; };
    const auto& index = toast_.chunkIndex;
    const auto begin = std::lower_bound(index.begin(), index.end(), valueId, byId);
    auto end = begin;
    while (end != index.end() && end->chunkId == valueId)
        ++end;
    if (begin == end)
        return ValueStatus::kToastMissing;

    // First check, without reading or allocating, that chunks 0, 1, ... are all there and add
    // up to the stored size. A chunk number seen twice (damage) counts once.
    uint64_t total = 0;
    int32_t next = 0;
    for (auto it = begin; it != end; ++it) {
        if (it->chunkSeq == next - 1 && next > 0)
            continue;
        if (it->chunkSeq != next)
            return ValueStatus::kToastMissing;
        total += it->dataLength;
        ++next;
    }
    if (total != expectedSize)
        return ValueStatus::kToastMissing;

    out.reserve(expectedSize);
    next = 0;
    for (auto it = begin; it != end; ++it) {
        if (it->chunkSeq != next)  // a duplicate: only those remain after the check above
            continue;
        ++next;
        if (static_cast<uint32_t>(it->dataOffset) + it->dataLength > blockSize_) {
            out.clear();
            return ValueStatus::kToastMissing;
        }
        const uint8_t* page = cachedPage(it->segment, it->blockNumber);
        if (page == nullptr) {
            // Read every block up to the last one this value needs within a window.
            uint32_t last = it->blockNumber;
            for (auto ahead = it + 1; ahead != end; ++ahead) {
                if (ahead->segment != it->segment || ahead->blockNumber < last ||
                    ahead->blockNumber - it->blockNumber >= windowBlocks_)
                    break;
                last = ahead->blockNumber;
            }
            page = loadPages(it->segment, it->blockNumber, last - it->blockNumber + 1);
        }
        if (page == nullptr) {
            out.clear();
            return ValueStatus::kToastMissing;
        }
        out.append(reinterpret_cast<const char*>(page + it->dataOffset), it->dataLength);
    }
    return ValueStatus::kOk;
}

DataFile* ToastFetcher::segmentFile(uint32_t segment) {
    const auto byNumber = [](const Segment& s, uint32_t number) { return s.number < number; };
    auto it = std::lower_bound(segments_.begin(), segments_.end(), segment, byNumber);
    if (it == segments_.end() || it->number != segment) {
        Segment opened{segment, std::make_unique<DataFile>()};
        try {
            opened.file->open(segmentPath(toast_.directory, toast_.relfilenode, segment),
                              blockSize_, true, true);
        } catch (const std::exception&) {
            // The index build has logged this file; its values are reported as missing.
            opened.file->close();
        }
        it = segments_.insert(it, std::move(opened));
    }
    return it->file->isOpen() ? it->file.get() : nullptr;
}

const uint8_t* ToastFetcher::cachedPage(uint32_t segment, uint32_t blockNumber) const {
    if (cachedSegment_ != static_cast<int64_t>(segment) || blockNumber < cachedFirst_ ||
        blockNumber - cachedFirst_ >= cachedCount_)
        return nullptr;
    return buffer_ + static_cast<size_t>(blockNumber - cachedFirst_) * blockSize_;
}

const uint8_t* ToastFetcher::loadPages(uint32_t segment, uint32_t blockNumber, uint32_t count) {
    DataFile* file = segmentFile(segment);
    if (file == nullptr)
        return nullptr;
    if (buffer_ == nullptr)
        buffer_ = alignedBuffer(bufferStorage_, static_cast<size_t>(blockSize_) * windowBlocks_);
    cachedSegment_ = -1;
    count = std::clamp<uint32_t>(count, 1, windowBlocks_);
    uint32_t got = 0;
    try {
        got = file->readBlocks(blockNumber, static_cast<uint16_t>(count), buffer_);
    } catch (const std::exception&) {
        got = 0;
    }
    if (got == 0 && count > 1) {
        try {
            got = file->readBlocks(blockNumber, 1, buffer_);
        } catch (const std::exception&) {
            got = 0;
        }
    }
    if (got == 0)
        return nullptr;
    cachedSegment_ = segment;
    cachedFirst_ = blockNumber;
    cachedCount_ = std::min(got, count);
    return buffer_;
}

}  // namespace vorn
