#include "tests/storage/support/index_page_builder.h"

#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace vorn::test {

namespace {

constexpr uint16_t kPageHeaderSize = 24;
constexpr uint16_t kSpecialSize = 16;
constexpr uint16_t kTupleHeaderSize = 8;
constexpr uint16_t kAltTid = 0x2000;
constexpr uint16_t kPosting = 0x2000;

size_t alignUp(size_t n, size_t to) {
    return (n + to - 1) / to * to;
}

void putTid(Bytes& bytes, size_t at, uint32_t block, uint16_t item) {
    setU16(bytes, at, static_cast<uint16_t>(block >> 16));
    setU16(bytes, at + 2, static_cast<uint16_t>(block & 0xFFFF));
    setU16(bytes, at + 4, item);
}

// A tuple of `size` bytes (MAXALIGNed) with t_info = size | bits; key bytes 0x4b.
Bytes tupleOf(size_t size, uint16_t bits) {
    Bytes tuple(size, 0);
    for (size_t i = kTupleHeaderSize; i < size; ++i)
        tuple[i] = 0x4b;
    setU16(tuple, 6, static_cast<uint16_t>(size | bits));
    return tuple;
}

}  // namespace

Bytes indexTuple(Tid tid, size_t keyBytes, uint16_t infoBits) {
    Bytes tuple = tupleOf(alignUp(kTupleHeaderSize + keyBytes, 8), infoBits);
    putTid(tuple, 0, tid.block, tid.item);
    return tuple;
}

Bytes pivotTuple(size_t keyBytes, uint16_t attributes) {
    Bytes tuple = tupleOf(alignUp(kTupleHeaderSize + keyBytes, 8), kAltTid);
    putTid(tuple, 0, 1, attributes);  // the downlink block is not a heap block
    return tuple;
}

Bytes postingTuple(const std::vector<Tid>& tids, size_t keyBytes) {
    const size_t listOffset = alignUp(kTupleHeaderSize + keyBytes, 8);
    Bytes tuple = tupleOf(alignUp(listOffset + 6 * tids.size(), 8), kAltTid);
    for (size_t i = kTupleHeaderSize + keyBytes; i < tuple.size(); ++i)
        tuple[i] = 0;
    putTid(tuple, 0, static_cast<uint32_t>(listOffset),
           static_cast<uint16_t>(kPosting | tids.size()));
    for (size_t i = 0; i < tids.size(); ++i)
        putTid(tuple, listOffset + 6 * i, tids[i].block, tids[i].item);
    return tuple;
}

BtreePageBuilder::BtreePageBuilder(uint16_t blockSize, uint16_t flags)
    : blockSize_(blockSize),
      flags_(flags),
      upper_(static_cast<uint16_t>(blockSize - kSpecialSize)),
      page_(blockSize, 0) {}

BtreePageBuilder& BtreePageBuilder::add(const Bytes& tuple, uint8_t lpFlags) {
    const size_t aligned = alignUp(tuple.size(), 8);
    if (aligned + kPageHeaderSize + 4 * (linePointers_.size() + 1) > upper_)
        throw std::length_error("b-tree page: tuple does not fit");
    upper_ = static_cast<uint16_t>(upper_ - aligned);
    std::copy(tuple.begin(), tuple.end(), page_.begin() + upper_);
    linePointers_.push_back(linePointer(upper_, lpFlags, static_cast<uint16_t>(tuple.size())));
    return *this;
}

Bytes BtreePageBuilder::build() const {
    Bytes page = page_;
    const uint16_t special = static_cast<uint16_t>(blockSize_ - kSpecialSize);
    setU16(page, 12, static_cast<uint16_t>(kPageHeaderSize + 4 * linePointers_.size()));
    setU16(page, 14, upper_);
    setU16(page, 16, special);
    setU16(page, 18, static_cast<uint16_t>(blockSize_ | 4));
    for (size_t i = 0; i < linePointers_.size(); ++i)
        setU32(page, kPageHeaderSize + 4 * i, linePointers_[i]);
    setU32(page, special, prev_);
    setU32(page, special + 4, next_);
    setU32(page, special + 8, level_);
    setU16(page, special + 12, flags_);
    setU16(page, special + 14, cycleId_);
    return page;
}

Bytes btreeMetaPage(uint16_t blockSize, uint32_t version, uint32_t magic) {
    Bytes page = BtreePageBuilder(blockSize, btree_flags::kMeta).build();
    // The meta data lies in the page's free space: pd_lower just past it.
    setU16(page, 12, kPageHeaderSize + 56);
    setU32(page, 24, magic);
    setU32(page, 28, version);
    setU32(page, 32, 1);  // btm_root
    return page;
}

Bytes visibilityMapPage(uint16_t blockSize, const std::vector<uint32_t>& marked,
                        uint32_t bitsPerBlock) {
    Bytes page(blockSize, 0);
    setU16(page, 12, kPageHeaderSize);
    setU16(page, 14, blockSize);
    setU16(page, 16, blockSize);
    setU16(page, 18, static_cast<uint16_t>(blockSize | 4));
    const uint32_t perByte = 8 / bitsPerBlock;
    for (uint32_t block : marked) {
        const size_t at = kPageHeaderSize + block / perByte;
        if (at >= blockSize)
            throw std::out_of_range("visibility map page: block beyond the page");
        page[at] = static_cast<uint8_t>(page[at] | 1u << (block % perByte * bitsPerBlock));
    }
    return page;
}

void writeFileBytes(const std::string& path, const Bytes& bytes) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

Bytes joinPages(const std::vector<Bytes>& pages) {
    Bytes out;
    for (const Bytes& page : pages)
        out.insert(out.end(), page.begin(), page.end());
    return out;
}

}  // namespace vorn::test
