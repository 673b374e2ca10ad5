// libFuzzer target over the decoders that read untrusted bytes: heap and U pages (tuple
// readers and chunk listers), the varlena reader with in-line pglz and LZ4, pglz alone, the
// commit log (pg_xact and pg_subtrans segments), the multixact log with the control file, and
// b-tree index and visibility map pages. The first input byte picks the decoder and the block
// size; the rest is the input.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "storage/btree_page.h"
#include "storage/column_batch.h"
#include "storage/column_def.h"
#include "storage/commit_log.h"
#include "storage/page_reader.h"
#include "storage/value_buffer.h"
#include "storage/visibility_map_page.h"

namespace {

using namespace vorn;

ColumnDef column(int16_t attnum, uint32_t type, int32_t len, char align, int32_t typmod = -1) {
    ColumnDef c;
    c.attnum = attnum;
    c.atttypid = type;
    c.attlen = len;
    c.attalign = align;
    c.atttypmod = typmod;
    c.attbyval = len > 0 && len <= 8;
    c.setName("c" + std::to_string(attnum));
    return c;
}

// A layout that exercises every decoding path: fixed widths of each alignment, a dropped
// int8, varlenas in slots and strings, a cstring, a type without a decoder, a missing value.
const ColumnLayout& layout() {
    static const ColumnLayout columns = [] {
        ColumnLayout c;
        c.push_back(column(1, typeoid::kInt4, 4, 'i'));
        c.push_back(column(2, typeoid::kBool, 1, 'c'));
        c.push_back(column(3, 0, 8, 'd'));  // dropped int8
        c.push_back(column(4, typeoid::kText, -1, 'i'));
        c.push_back(column(5, typeoid::kInt8, 8, 'd'));
        c.push_back(column(6, typeoid::kNumeric, -1, 'i', (12 << 16) + 6));
        c.push_back(column(7, typeoid::kVarchar, -1, 'i', 14));
        c.push_back(column(8, typeoid::kInterval, 16, 'd'));
        c.push_back(column(9, typeoid::kName, 64, 'c'));
        c.push_back(column(10, typeoid::kTimeTz, 12, 'd'));
        c.push_back(column(11, 2950, 16, 'c'));  // uuid: no decoder of its own
        c.push_back(column(12, 0, -2, 'c'));     // dropped cstring
        c.push_back(column(13, typeoid::kBytea, -1, 'i'));
        ColumnDef missing = column(14, typeoid::kInt4, 4, 'i');
        missing.hasMissing = true;
        missing.missingValue = std::string("\x2a\0\0\0", 4);
        c.push_back(missing);
        return c;
    }();
    return columns;
}

constexpr uint16_t kBlockSizes[] = {2048, 4096, 8192, 16384, 32768};

// The page in a buffer of its own size plus slack, as the unload loop provides it.
std::vector<uint8_t> pageOf(const uint8_t* data, size_t size, uint16_t blockSize) {
    std::vector<uint8_t> page(size_t(blockSize) + 4096, 0);
    std::memcpy(page.data(), data, size < blockSize ? size : blockSize);
    return page;
}

template <typename Reader>
void readAll(Reader& reader, const std::vector<uint8_t>& page, uint16_t blockSize,
             ColumnBatch& batch) {
    reader.setBuffer(page.data(), blockSize);
    uint32_t next = 0;
    while (next < reader.itemCount()) {
        const uint32_t before = next;
        reader.readTuples(batch, next);
        if (next == before)
            break;
    }
}

// The TOAST chunks of a page, with one lister of each kind for the whole run.
template <typename Lister>
void listChunks(const std::vector<uint8_t>& page, uint16_t blockSize) {
    static Lister lister;
    static std::vector<ToastChunkRef> chunks;
    lister.setBuffer(page.data(), blockSize);
    lister.collectChunks(chunks);
}

// A data directory of the run's own, whose commit log the input writes.
const std::string& clusterDir() {
    static const std::string dir = [] {
        char pattern[] = "/tmp/vorn-fuzz-XXXXXX";
        const char* made = mkdtemp(pattern);
        const std::string d = made != nullptr ? made : "/tmp";
        std::system(("mkdir -p " + d + "/pg_xact " + d + "/pg_subtrans " + d + "/global " + d +
                     "/pg_multixact/offsets " + d + "/pg_multixact/members")
                        .c_str());
        return d;
    }();
    return dir;
}

void writeFile(const std::string& path, const uint8_t* data, size_t size) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
}

// The input's first half is segment 0000 of pg_xact, its second of pg_subtrans; xids spread
// over those pages and beyond them are asked for.
void readCommitLog(const uint8_t* data, size_t size, uint16_t blockSize) {
    const std::string& dir = clusterDir();
    const size_t half = size / 2;
    writeFile(dir + "/pg_xact/0000", data, half);
    writeFile(dir + "/pg_subtrans/0000", data + half, size - half);
    CommitLog log(dir, ServerVersion{15, 0}, blockSize);
    const uint32_t xids = static_cast<uint32_t>(std::min<size_t>(half * 4 + 64, 1u << 24));
    const uint32_t step = xids / 1024 + 1;
    for (uint32_t xid = 0; xid < xids; xid += step)
        log.status(xid);
    log.status(0xFFFFFFFFu);
    log.status(0x80000000u);
}

// The input's first 128 bytes are global/pg_control, the rest is split between segment 0000
// of pg_multixact/offsets and of pg_multixact/members; the multixacts of the offsets written,
// and some beyond them, are resolved. The control file is removed again, so that the other
// decoders never see it.
void readMultixacts(const uint8_t* data, size_t size, uint16_t blockSize) {
    constexpr size_t kControl = 128;
    if (size < kControl)
        return;
    const std::string& dir = clusterDir();
    writeFile(dir + "/global/pg_control", data, kControl);
    data += kControl;
    size -= kControl;
    const size_t half = size / 2;
    writeFile(dir + "/pg_multixact/offsets/0000", data, half);
    writeFile(dir + "/pg_multixact/members/0000", data + half, size - half);
    {
        CommitLog log(dir, ServerVersion{15, 0}, blockSize);
        const uint32_t multis = static_cast<uint32_t>(std::min<size_t>(half / 4 + 16, 1u << 20));
        const uint32_t step = multis / 512 + 1;
        uint32_t xid = 0;
        for (uint32_t multi = 0; multi < multis; multi += step)
            log.multixactUpdater(multi, xid);
        log.multixactUpdater(0xFFFFFFFFu, xid);
        log.cleanShutdown();
    }
    std::remove((dir + "/global/pg_control").c_str());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1)
        return 0;
    const uint8_t selector = data[0];
    const uint16_t blockSize = kBlockSizes[(selector >> 4) % 5];
    data += 1;
    size -= 1;

    static ColumnBatch batch = makeColumnBatch(layout());
    switch (selector & 0x0F) {
        case 0: {
            // Unhinted tuples ask a commit log: an empty one, which can decide nothing.
            static CommitLog log(clusterDir() + "/none", ServerVersion{15, 0}, 8192);
            static TableBlock heap(layout(), nullptr, &log);
            readAll(heap, pageOf(data, size, blockSize), blockSize, batch);
            break;
        }
        case 1: {
            static UTableBlock upage(layout(), nullptr);
            readAll(upage, pageOf(data, size, blockSize), blockSize, batch);
            break;
        }
        case 2:
            listChunks<ToastBlock>(pageOf(data, size, blockSize), blockSize);
            break;
        case 3:
            listChunks<UToastBlock>(pageOf(data, size, blockSize), blockSize);
            break;
        case 4:
        case 5: {
            static ValueBuffer values(nullptr);
            static std::string value;
            // The reader may look up to 3 bytes past the value; the tuple buffer has slack.
            std::vector<uint8_t> copy(data, data + size);
            copy.resize(size + 8, 0);
            values.readVarlena(copy.data(), static_cast<uint32_t>(size), (selector & 1) != 0,
                               value);
            break;
        }
        case 6:
            readCommitLog(data, size, blockSize);
            break;
        case 7:
            readMultixacts(data, size, blockSize);
            break;
        case 8: {
            // The page as a block of an index and of a visibility map, in the formats before
            // pivot tuples, before posting lists and with both; every entry taken, or those
            // from block 3 on, as the selector's top bit says.
            static std::vector<HeapTid> tids;
            const std::vector<uint8_t> page = pageOf(data, size, blockSize);
            const ByteReader bytes(page.data(), blockSize);
            for (const ServerVersion version :
                 {ServerVersion{9, 3}, ServerVersion{11, 0}, ServerVersion{18, 0}}) {
                tids.clear();
                BtreePageReader(version, blockSize).read(bytes, selector & 0x80 ? 0 : 3, tids);
                VisibilityMapPageReader(version, blockSize).read(bytes);
            }
            break;
        }
        default: {
            if (size < 4)
                break;
            uint32_t raw;
            std::memcpy(&raw, data, 4);
            raw %= 1u << 20;
            std::vector<uint8_t> out(raw);
            pglzDecompress(data + 4, static_cast<int32_t>(size - 4), out.data(),
                           static_cast<int32_t>(raw));
            break;
        }
    }
    return 0;
}
