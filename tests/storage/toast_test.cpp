// The TOAST chunk index and the fetch of external values: relations written by the page
// builder (heap and U pages, one or more segment files, damaged pages). The scan of a real
// TOAST relation is in toast_fixture_test.cpp.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "storage/storage_settings.h"
#include "storage/toast.h"
#include "storage/value_buffer.h"
#include "tests/storage/support/page_builder.h"
#include "tests/support/temp_dir.h"

namespace vorn::test {
namespace {

constexpr uint32_t kFileNode = 16400;
constexpr size_t kChunkSize = 1996;  // PostgreSQL's chunk size for 8 kB pages
// Where the builder's chunk tuples keep chunk_data's bytes, from the tuple start.
constexpr uint16_t kHeapDataOffset = 24 + 8 + 4;
constexpr uint16_t kUDataOffset = 20 + 4;

Bytes pattern(size_t size, uint32_t seed) {
    Bytes out(size);
    for (size_t i = 0; i < size; ++i)
        out[i] = static_cast<uint8_t>((i * 7 + seed * 13 + i / 251) & 0xFF);
    return out;
}

std::string text(const Bytes& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

class ToastTest : public ::testing::Test {
  protected:
    void SetUp() override {
        savedDirectory_ = dataDirectory;
        savedBlockSize_ = blockSize;
        dataDirectory = tmp_.path();
        blockSize = 8192;
        toast_.dboid = 5;
        toast_.oid = 16401;
        toast_.relfilenode = kFileNode;
        toast_.relkind = 't';
        dir_ = tmp_.path() + "/base/5";
        toast_.directory = dir_;
    }
    void TearDown() override {
        dataDirectory = savedDirectory_;
        blockSize = savedBlockSize_;
    }

    // Writes the chunk tuples in the order given, packed into heap (or U) pages.
    void writeChunks(const std::vector<ToastChunk>& chunks, uint32_t blocksPerSegment = 131072,
                     bool uPages = false) {
        std::vector<Bytes> tuples;
        for (const ToastChunk& c : chunks)
            tuples.push_back(uPages ? uToastTuple(c) : heapToastTuple(c));
        places_.clear();
        const std::vector<Bytes> pages =
            uPages ? packUPages(tuples, 8192, 7, &places_) : packHeapPages(tuples, 8192, &places_);
        writeRelation(dir_, kFileNode, pages, blocksPerSegment);
        chunks_ = chunks;
        blocksPerSegment_ = blocksPerSegment;
        uPages_ = uPages;
    }

    // The index the chunk listers and buildToastIndex would give for what writeChunks wrote,
    // so that the fetch is tested on its own.
    void indexByHand() {
        toast_.chunkIndex.clear();
        for (size_t i = 0; i < chunks_.size(); ++i) {
            ToastChunkRef r;
            r.chunkId = chunks_[i].valueId;
            r.chunkSeq = chunks_[i].seq;
            r.segment = places_[i].block / blocksPerSegment_;
            r.blockNumber = places_[i].block % blocksPerSegment_;
            r.lpOff = places_[i].offset;
            r.dataOffset = static_cast<uint16_t>(places_[i].offset +
                                                 (uPages_ ? kUDataOffset : kHeapDataOffset));
            r.dataLength = static_cast<uint16_t>(chunks_[i].data.size());
            toast_.chunkIndex.push_back(r);
        }
        std::sort(toast_.chunkIndex.begin(), toast_.chunkIndex.end(),
                  [](const ToastChunkRef& a, const ToastChunkRef& b) {
                      return std::tie(a.chunkId, a.chunkSeq) < std::tie(b.chunkId, b.chunkSeq);
                  });
    }

    std::vector<ToastChunk> chunksOf(const std::map<uint32_t, Bytes>& values) {
        std::vector<ToastChunk> all;
        for (const auto& [id, stored] : values) {
            const auto chunks = toastChunks(id, stored, kChunkSize);
            all.insert(all.end(), chunks.begin(), chunks.end());
        }
        return all;
    }

    TempDir tmp_;
    PgToastTable toast_;
    std::string dir_;
    std::vector<ToastChunk> chunks_;
    std::vector<TuplePlace> places_;
    uint32_t blocksPerSegment_ = 131072;
    bool uPages_ = false;

  private:
    std::string savedDirectory_;
    uint16_t savedBlockSize_ = 8192;
};

// ---- fetch ---------------------------------------------------------------------------------

TEST_F(ToastTest, FetchNeedsExactlyTheStoredSize) {
    const Bytes value = pattern(4000, 1);  // chunks of 1996, 1996 and 8 bytes
    writeChunks(toastChunks(42, value, kChunkSize));
    indexByHand();
    ToastFetcher fetcher(toast_);
    std::string out = "stale";

    EXPECT_EQ(fetcher.readToastValue(42, 4000, out), ValueStatus::kOk);
    EXPECT_EQ(out, text(value));
    for (uint32_t wrong : {3999u, 4001u, 0u}) {
        SCOPED_TRACE(wrong);
        EXPECT_EQ(fetcher.readToastValue(42, wrong, out), ValueStatus::kToastMissing);
        EXPECT_TRUE(out.empty());
    }
    for (uint32_t expected : {0u, 10u}) {
        out = "stale";
        EXPECT_EQ(fetcher.readToastValue(43, expected, out), ValueStatus::kToastMissing);
        EXPECT_TRUE(out.empty());
    }
}

TEST_F(ToastTest, FetchRefusesGapsAndCountsDuplicatesOnce) {
    const Bytes value = pattern(5000, 2);
    writeChunks(toastChunks(7, value, kChunkSize));
    indexByHand();
    ASSERT_EQ(toast_.chunkIndex.size(), 3u);
    std::string out;

    // The same chunk listed twice (damage): its bytes are taken once.
    auto& index = toast_.chunkIndex;
    index.insert(index.begin() + 1, index[1]);
    ToastFetcher withDuplicate(toast_);
    EXPECT_EQ(withDuplicate.readToastValue(7, 5000, out), ValueStatus::kOk);
    EXPECT_EQ(out, text(value));

    // Chunk 1 missing: chunks 0 and 2 are not the value even if the sizes were right.
    indexByHand();
    index.erase(index.begin() + 1);
    ToastFetcher withGap(toast_);
    EXPECT_EQ(withGap.readToastValue(7, 5000, out), ValueStatus::kToastMissing);
    EXPECT_EQ(withGap.readToastValue(7, 5000 - kChunkSize, out), ValueStatus::kToastMissing);

    // No chunk 0.
    indexByHand();
    index.erase(index.begin());
    ToastFetcher withoutFirst(toast_);
    EXPECT_EQ(withoutFirst.readToastValue(7, 5000 - kChunkSize, out), ValueStatus::kToastMissing);
}

TEST_F(ToastTest, FetchManyValuesOverSegments) {
    // Values of many sizes over segment files of three blocks, read in shuffled order and
    // again: every chunk must come from its own segment and block, whatever was read before.
    std::mt19937 rng(5);
    std::map<uint32_t, Bytes> values;
    for (uint32_t id = 100; id < 140; ++id)
        values[id] = pattern(1 + rng() % 20000, id);
    writeChunks(chunksOf(values), 3);
    ASSERT_GT(places_.back().block, 6u);  // at least three segment files
    indexByHand();

    std::vector<uint32_t> order;
    for (const auto& entry : values)
        order.push_back(entry.first);
    std::shuffle(order.begin(), order.end(), rng);
    order.insert(order.end(), order.begin(), order.end());
    ToastFetcher fetcher(toast_);
    std::string out;
    for (uint32_t id : order) {
        SCOPED_TRACE(id);
        ASSERT_EQ(fetcher.readToastValue(id, static_cast<uint32_t>(values[id].size()), out),
                  ValueStatus::kOk);
        ASSERT_EQ(out, text(values[id]));
    }
}

TEST_F(ToastTest, FetchFromAMissingSegmentOrBlock) {
    std::map<uint32_t, Bytes> values;
    for (uint32_t id = 1; id <= 6; ++id)
        values[id] = pattern(6000, id);  // one page each
    writeChunks(chunksOf(values), 2);
    indexByHand();
    std::filesystem::remove(dir_ + "/" + std::to_string(kFileNode) + ".1");

    ToastFetcher fetcher(toast_);
    std::string out;
    std::map<uint32_t, ValueStatus> got;
    for (const auto& [id, stored] : values)
        got[id] = fetcher.readToastValue(id, static_cast<uint32_t>(stored.size()), out);
    for (const auto& [id, stored] : values) {
        SCOPED_TRACE(id);
        const uint32_t segment = places_[(id - 1) * 4].block / 2;  // four chunks a value
        EXPECT_EQ(got[id], segment == 1 ? ValueStatus::kToastMissing : ValueStatus::kOk);
    }

    // An index entry pointing past the file's end, or past its block's end.
    indexByHand();
    toast_.chunkIndex[0].blockNumber = 99;
    ToastFetcher pastEnd(toast_);
    EXPECT_EQ(pastEnd.readToastValue(1, 6000, out), ValueStatus::kToastMissing);
    indexByHand();
    toast_.chunkIndex[0].dataOffset = 8192 - 100;
    ToastFetcher pastBlock(toast_);
    EXPECT_EQ(pastBlock.readToastValue(1, 6000, out), ValueStatus::kToastMissing);
}

// ---- external values through ValueBuffer ---------------------------------------------------

TEST_F(ToastTest, ExternalValues) {
    const Bytes raw = pattern(30000, 3);
    const Bytes text9 = bytesOf("aaaaaaaaa");
    // "a" then a match of 8 at offset 1: 8 bytes of datum for 9 raw bytes, so stored size =
    // raw size - 5, one below the "stored as it is" boundary.
    const Bytes tinyDatum = {9, 0, 0, 0, 0x02, 'a', 0x05, 0x01};
    Bytes cutDatum = compressedDatum(raw, kPglz);
    cutDatum.resize(cutDatum.size() - 10);
    const std::map<uint32_t, Bytes> stored = {
        {1, raw},
        {2, compressedDatum(raw, kPglz)},
        {3, compressedDatum(raw, kLz4)},
        {4, tinyDatum},
        {5, compressedDatum(raw, 2)},
        {6, cutDatum},
        {7, bytesOf("ab")},
        // Claims 100 MB from 4 stream bytes: refused before 100 MB are allocated.
        {8, {0x00, 0xE1, 0xF5, 0x05, 0x00, 'a', 'b', 'c'}},
    };
    writeChunks(chunksOf(stored));
    indexByHand();
    ToastFetcher fetcher(toast_);

    struct Case {
        const char* name;
        uint32_t valueId;
        int32_t rawSize;     // va_rawsize, with the 4-byte header
        int32_t storedSize;  // -1: the stored bytes' real size
        ValueStatus status;
        std::string value;
    };
    const int32_t rawWithHeader = static_cast<int32_t>(raw.size() + 4);
    const std::vector<Case> cases = {
        {"plain", 1, rawWithHeader, -1, ValueStatus::kOk, text(raw)},
        {"pglz", 2, rawWithHeader, -1, ValueStatus::kOk, text(raw)},
        {"lz4", 3, rawWithHeader, -1, ValueStatus::kOk, text(raw)},
        {"stored size = raw - 4 is plain", 4, 12, -1, ValueStatus::kOk, text(tinyDatum)},
        {"stored size = raw - 5 is compressed", 4, 13, -1, ValueStatus::kOk, text(text9)},
        {"datum raw size not the pointer's", 2, rawWithHeader - 1, -1, ValueStatus::kCorrupt, ""},
        {"method 2", 5, rawWithHeader, -1, ValueStatus::kUnsupported, ""},
        {"stream cut", 6, rawWithHeader, -1, ValueStatus::kCorrupt, ""},
        {"datum without tcinfo", 7, 100, -1, ValueStatus::kCorrupt, ""},
        {"raw size no stream can reach", 8, 100000004, -1, ValueStatus::kCorrupt, ""},
        {"chunks missing", 99, rawWithHeader, 30000, ValueStatus::kToastMissing, ""},
        {"stored size beyond the chunks", 1, rawWithHeader + 1, 30001, ValueStatus::kToastMissing,
         ""},
        {"raw size beyond 1 GiB", 1, (1 << 30) + 5, 30000, ValueStatus::kTooLarge, ""},
        {"raw size below the header", 1, 3, 30000, ValueStatus::kCorrupt, ""},
    };
    ValueBuffer reader(&fetcher);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const uint32_t storedSize = c.storedSize >= 0
                                        ? static_cast<uint32_t>(c.storedSize)
                                        : static_cast<uint32_t>(stored.at(c.valueId).size());
        // PostgreSQL 14 and later keep the method in the top bits of va_extinfo; they must
        // not count as size.
        const Bytes pointer =
            externalPointerBytes(c.rawSize, storedSize | 1u << 30, c.valueId, toast_.oid);
        // U pages: two fill bytes in front, and the next attribute after the pointer.
        Bytes tuple = {0, 0};
        tuple.insert(tuple.end(), pointer.begin(), pointer.end());
        tuple.push_back(0x05);
        std::string value = "stale";
        const VarlenaRead r =
            reader.readVarlena(tuple.data(), static_cast<uint32_t>(tuple.size()), true, value);
        EXPECT_EQ(r.consumed, 20u);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(value, c.value);
    }
}

// ---- index build ---------------------------------------------------------------------------

TEST_F(ToastTest, IndexSortsChunksAndKeepsTheirPlaces) {
    // Chunks written in the order 2, 0, 1, on one page; then a value over three segment
    // files of one block each.
    const Bytes first = pattern(5000, 8);
    std::vector<ToastChunk> chunks = toastChunks(11, first, kChunkSize);
    std::swap(chunks[0], chunks[2]);  // 2, 1, 0
    std::swap(chunks[1], chunks[2]);  // 2, 0, 1
    const Bytes second = pattern(20000, 9);
    for (const ToastChunk& c : toastChunks(12, second, kChunkSize))
        chunks.push_back(c);
    writeChunks(chunks, 1);

    UnloadDamage damage;
    buildToastIndex(toast_, &damage);
    EXPECT_EQ(damage.total(), 0u);
    EXPECT_EQ(toast_.directory, dir_);
    ASSERT_EQ(toast_.chunkIndex.size(), chunks.size());
    for (int seq = 0; seq < 3; ++seq) {
        EXPECT_EQ(toast_.chunkIndex[seq].chunkId, 11u);
        EXPECT_EQ(toast_.chunkIndex[seq].chunkSeq, seq);
        EXPECT_EQ(toast_.chunkIndex[seq].segment, 0u);
    }
    std::map<uint32_t, uint32_t> chunksPerSegment;
    for (size_t i = 0; i < chunks.size(); ++i) {
        if (chunks[i].valueId != 12)
            continue;
        const ToastChunkRef& r = toast_.chunkIndex[3 + chunks[i].seq];
        EXPECT_EQ(r.chunkSeq, chunks[i].seq);
        EXPECT_EQ(r.segment, places_[i].block);
        EXPECT_EQ(r.blockNumber, 0u);
        EXPECT_EQ(r.lpOff, places_[i].offset);
        ++chunksPerSegment[r.segment];
    }
    EXPECT_GE(chunksPerSegment.size(), 2u);

    ToastFetcher fetcher(toast_);
    std::string out;
    EXPECT_EQ(fetcher.readToastValue(11, 5000, out), ValueStatus::kOk);
    EXPECT_EQ(out, text(first));
    EXPECT_EQ(fetcher.readToastValue(12, 20000, out), ValueStatus::kOk);
    EXPECT_EQ(out, text(second));

    // A second build starts afresh.
    buildToastIndex(toast_, &damage);
    EXPECT_EQ(toast_.chunkIndex.size(), chunks.size());
}

TEST_F(ToastTest, IndexOfUPages) {
    std::map<uint32_t, Bytes> values = {{21, pattern(7000, 1)}, {22, pattern(300, 2)}};
    writeChunks(chunksOf(values), 131072, true);
    UnloadDamage damage;
    buildToastIndex(toast_, &damage);
    EXPECT_EQ(damage.total(), 0u);
    ToastFetcher fetcher(toast_);
    std::string out;
    for (const auto& [id, stored] : values) {
        EXPECT_EQ(fetcher.readToastValue(id, static_cast<uint32_t>(stored.size()), out),
                  ValueStatus::kOk);
        EXPECT_EQ(out, text(stored));
    }
}

TEST_F(ToastTest, IndexSkipsValueIdZeroAndCountsAMissingRelation) {
    // Every TOAST relation has a first segment: without it its values are lost, and said so.
    UnloadDamage damage;
    buildToastIndex(toast_, &damage);
    EXPECT_TRUE(toast_.chunkIndex.empty());
    EXPECT_EQ(damage.segmentsUnreadable, 1u);

    damage = {};
    writeChunks({{0, 0, bytesOf("orphan")}, {3, 0, bytesOf("kept")}});
    buildToastIndex(toast_, &damage);
    ASSERT_EQ(toast_.chunkIndex.size(), 1u);
    EXPECT_EQ(toast_.chunkIndex[0].chunkId, 3u);
    EXPECT_EQ(damage.total(), 0u);
}

TEST_F(ToastTest, IndexOfAnUnlistableRelationIsEmptyAndCounted) {
    // Two files claim segment 1, so which one is current cannot be told.
    writeChunks({{3, 0, bytesOf("kept")}}, 1);
    tmp_.writeFile("base/5/16400.1", std::string(8192, '\0'));
    tmp_.writeFile("base/5/16400.01", std::string(8192, '\0'));
    UnloadDamage damage;
    buildToastIndex(toast_, &damage);
    EXPECT_TRUE(toast_.chunkIndex.empty());
    EXPECT_EQ(damage.segmentsUnreadable, 1u);
}

TEST_F(ToastTest, IndexCountsDamageAndGoesOn) {
    const auto page = [](uint32_t id, const Bytes& stored) {
        std::vector<Bytes> tuples;
        for (const ToastChunk& c : toastChunks(id, stored, kChunkSize))
            tuples.push_back(heapToastTuple(c));
        return packHeapPages(tuples, 8192).at(0);
    };
    const Bytes a = pattern(3000, 1), b = pattern(3000, 2), c = pattern(3000, 3);
    Bytes wrongSize = page(2, b);
    setU16(wrongSize, 18, 4096 | 4);  // a page of a 4 kB cluster
    Bytes unknownVersion = page(2, b);
    setU8(unknownVersion, 18, 0x33);
    const Bytes blank(8192, 0);  // extended but never written: not damage
    // The first copy of chunk (3, 0) wins; the duplicate on the last page is dropped.
    Bytes duplicate = page(3, pattern(3000, 99));
    writeRelation(dir_, kFileNode,
                  {page(1, a), wrongSize, blank, unknownVersion, page(3, c), duplicate});

    UnloadDamage damage;
    buildToastIndex(toast_, &damage);
    EXPECT_EQ(damage.pagesSkipped, 2u);
    EXPECT_EQ(damage.total(), 2u);
    ToastFetcher fetcher(toast_);
    std::string out;
    EXPECT_EQ(fetcher.readToastValue(1, 3000, out), ValueStatus::kOk);
    EXPECT_EQ(fetcher.readToastValue(2, 3000, out), ValueStatus::kToastMissing);
    EXPECT_EQ(fetcher.readToastValue(3, 3000, out), ValueStatus::kOk);
    EXPECT_EQ(out, text(c));
    for (size_t i = 1; i < toast_.chunkIndex.size(); ++i) {
        const ToastChunkRef& p = toast_.chunkIndex[i - 1];
        const ToastChunkRef& q = toast_.chunkIndex[i];
        EXPECT_TRUE(p.chunkId < q.chunkId || (p.chunkId == q.chunkId && p.chunkSeq < q.chunkSeq));
    }
}

}  // namespace
}  // namespace vorn::test
