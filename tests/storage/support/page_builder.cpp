// Tuples and pages of the page builder (layouts in page_builder.h).

#include "tests/storage/support/page_builder.h"

#include <stdexcept>
#include <string>

namespace vorn::test {
namespace {

constexpr size_t kHeapTupleHeaderSize = 4 + 4 + 4 + 6 + 2 + 2 + 1;       // 23, bitmap follows
constexpr size_t kUTupleHeaderSize = 6 + 2 + 2 + 1;                      // 11, bitmap follows
constexpr uint16_t kHeapPageHeaderSize = 8 + 2 + 2 + 2 + 2 + 2 + 2 + 4;  // 24
constexpr uint16_t kWideHeapPageHeaderSize = 40;                         // layout version 6
constexpr uint16_t kUPageHeaderSize = 56;
constexpr uint16_t kUSlotSize = 16;
constexpr uint32_t kMaxItemLength = 0x7FFF;  // 15 bits of lp_len / lp_off

size_t alignUp(size_t n, size_t align) {
    return align <= 1 ? n : (n + align - 1) / align * align;
}

void checkBlockSize(uint16_t blockSize) {
    if (blockSize < 256 || blockSize % 256 != 0)
        throw std::invalid_argument("page builder: block size " + std::to_string(blockSize) +
                                    " is not a multiple of 256");
}

void putU16(Bytes& b, size_t at, uint16_t v) {
    setU16(b, at, v);
}

}  // namespace

// ---- attributes ----------------------------------------------------------------------------

void AttributeList::add(Bytes bytes, uint8_t align) {
    if (align != 1 && align != 2 && align != 4 && align != 8)
        throw std::invalid_argument("alignment must be 1, 2, 4 or 8");
    pieces_.push_back({std::move(bytes), align, false, false});
}

void AttributeList::addNull() {
    pieces_.push_back({{}, 1, true, false});
}

void AttributeList::addRaw(Bytes bytes) {
    pieces_.push_back({std::move(bytes), 1, false, true});
}

void AttributeList::noteVarlena(bool external) {
    anyVarlena_ = true;
    anyExternal_ = anyExternal_ || external;
}

uint16_t AttributeList::attributeCount() const {
    uint16_t n = 0;
    for (const Piece& p : pieces_)
        n += p.isRaw ? 0 : 1;
    return n;
}

bool AttributeList::anyNull() const {
    for (const Piece& p : pieces_)
        if (p.isNull)
            return true;
    return false;
}

Bytes AttributeList::nullBitmap(uint16_t natts) const {
    Bytes bitmap((natts + 7) / 8, 0);
    // Attributes beyond those added (an overridden natts) are marked present.
    for (uint16_t i = 0; i < natts; ++i)
        bitmap[i / 8] |= static_cast<uint8_t>(1 << (i % 8));
    uint16_t attr = 0;
    for (const Piece& p : pieces_) {
        if (p.isRaw)
            continue;
        if (p.isNull && attr < natts)
            bitmap[attr / 8] &= static_cast<uint8_t>(~(1 << (attr % 8)));
        ++attr;
    }
    return bitmap;
}

void AttributeList::appendValues(Bytes& tuple) const {
    for (const Piece& p : pieces_) {
        if (p.isNull)
            continue;
        if (!p.isRaw)
            tuple.resize(alignUp(tuple.size(), p.align), 0);
        tuple.insert(tuple.end(), p.bytes.begin(), p.bytes.end());
    }
}

// ---- tuples --------------------------------------------------------------------------------

Bytes HeapTupleBuilder::build() const {
    const uint16_t natts = hasNattsOverride_ ? natts_ : values_.attributeCount();
    const bool withBitmap = values_.anyNull();
    uint16_t infomask = infomask_;
    if (!exactInfomask_) {
        if (withBitmap)
            infomask |= kHasNull;
        if (values_.anyVarlena())
            infomask |= kHasVarWidth;
        if (values_.anyExternal())
            infomask |= kHasExternal;
        if (hasOid_)
            infomask |= kHasOid;
    }
    const Bytes bitmap = withBitmap ? values_.nullBitmap(natts) : Bytes{};
    const size_t hoff = alignUp(kHeapTupleHeaderSize + bitmap.size() + (hasOid_ ? 4 : 0), 8);

    Bytes t(hoff, 0);
    setU32(t, 0, xmin_);
    setU32(t, 4, xmax_);
    setU16(t, 12, static_cast<uint16_t>(ctidBlock_ >> 16));
    setU16(t, 14, static_cast<uint16_t>(ctidBlock_ & 0xFFFF));
    setU16(t, 16, ctidItem_);
    setU16(t, 18, static_cast<uint16_t>((natts & 0x07FF) | infomask2Flags_));
    setU16(t, 20, infomask);
    t[22] = hasHoffOverride_ ? hoff_ : static_cast<uint8_t>(hoff);
    std::copy(bitmap.begin(), bitmap.end(), t.begin() + kHeapTupleHeaderSize);
    if (hasOid_)
        setU32(t, hoff - 4, oid_);
    values_.appendValues(t);
    return t;
}

Bytes UTupleBuilder::build() const {
    const uint16_t natts = hasNattsOverride_ ? natts_ : values_.attributeCount();
    const bool withBitmap = values_.anyNull();
    const Bytes bitmap = withBitmap ? values_.nullBitmap(natts) : Bytes{};
    const size_t dataOffset = kUTupleHeaderSize + bitmap.size();

    Bytes t(dataOffset, 0);
    setU16(t, 6, static_cast<uint16_t>(flags_ | (withBitmap ? kHasNull : 0)));
    setU16(t, 8, natts);
    t[10] = hasDataOffsetOverride_ ? dataOffset_ : static_cast<uint8_t>(dataOffset);
    std::copy(bitmap.begin(), bitmap.end(), t.begin() + kUTupleHeaderSize);
    values_.appendValues(t);
    return t;
}

// ---- pages ---------------------------------------------------------------------------------

uint32_t linePointer(uint16_t offset, uint8_t flags, uint16_t length) {
    return (uint32_t{offset} & kMaxItemLength) | (uint32_t{flags} & 3) << 15 |
           (uint32_t{length} & kMaxItemLength) << 17;
}

HeapPageBuilder::HeapPageBuilder(uint16_t blockSize, uint8_t layoutVersion)
    : blockSize_(blockSize),
      version_(layoutVersion),
      headerSize_(layoutVersion == 6 ? kWideHeapPageHeaderSize : kHeapPageHeaderSize),
      upper_(blockSize),
      page_(blockSize, 0) {
    checkBlockSize(blockSize);
}

bool HeapPageBuilder::fits(size_t tupleLength) const {
    const size_t aligned = alignUp(tupleLength, 8);
    const size_t lowerAfter = headerSize_ + 4 * (linePointers_.size() + 1);
    return tupleLength <= kMaxItemLength && aligned <= upper_ && upper_ - aligned >= lowerAfter;
}

uint16_t HeapPageBuilder::addTuple(const Bytes& tuple, uint8_t lpFlags) {
    if (!fits(tuple.size()))
        throw std::length_error("heap page: tuple of " + std::to_string(tuple.size()) +
                                " bytes does not fit");
    upper_ = static_cast<uint16_t>(upper_ - alignUp(tuple.size(), 8));
    std::copy(tuple.begin(), tuple.end(), page_.begin() + upper_);
    linePointers_.push_back(linePointer(upper_, lpFlags, static_cast<uint16_t>(tuple.size())));
    return upper_;
}

void HeapPageBuilder::addLinePointer(uint32_t raw) {
    if (headerSize_ + 4 * (linePointers_.size() + 1) > upper_)
        throw std::length_error("heap page: no room for another line pointer");
    linePointers_.push_back(raw);
}

Bytes HeapPageBuilder::build() const {
    Bytes page = page_;
    const uint16_t lower = static_cast<uint16_t>(headerSize_ + 4 * linePointers_.size());
    putU16(page, 10, flags_);
    putU16(page, 12, lower);
    putU16(page, 14, upper_);
    putU16(page, 16, blockSize_);
    putU16(page, 18, static_cast<uint16_t>(blockSize_ | version_));
    for (size_t i = 0; i < linePointers_.size(); ++i)
        setU32(page, headerSize_ + 4 * i, linePointers_[i]);
    return page;
}

UPageBuilder::UPageBuilder(uint16_t blockSize, uint8_t version, uint16_t slotCount)
    : blockSize_(blockSize),
      version_(version),
      slotCount_(slotCount),
      linePointerStart_(static_cast<uint16_t>(kUPageHeaderSize + kUSlotSize * slotCount)),
      upper_(blockSize),
      page_(blockSize, 0) {
    checkBlockSize(blockSize);
    if (size_t{kUPageHeaderSize} + size_t{kUSlotSize} * slotCount >= blockSize)
        throw std::invalid_argument("U page: slots do not fit the block");
}

bool UPageBuilder::fits(size_t tupleLength, uint8_t align) const {
    if (tupleLength > kMaxItemLength || tupleLength > upper_)
        return false;
    const size_t offset = (upper_ - tupleLength) / align * align;
    return offset >= linePointerStart_ + 4 * (linePointers_.size() + 1);
}

uint16_t UPageBuilder::addTuple(const Bytes& tuple, uint8_t lpFlags, uint8_t align) {
    if (align == 0 || !fits(tuple.size(), align))
        throw std::length_error("U page: tuple of " + std::to_string(tuple.size()) +
                                " bytes does not fit");
    upper_ = static_cast<uint16_t>((upper_ - tuple.size()) / align * align);
    std::copy(tuple.begin(), tuple.end(), page_.begin() + upper_);
    linePointers_.push_back(linePointer(upper_, lpFlags, static_cast<uint16_t>(tuple.size())));
    return upper_;
}

void UPageBuilder::addLinePointer(uint32_t raw) {
    if (linePointerStart_ + 4 * (linePointers_.size() + 1) > upper_)
        throw std::length_error("U page: no room for another line pointer");
    linePointers_.push_back(raw);
}

Bytes UPageBuilder::build() const {
    Bytes page = page_;
    putU16(page, 12, static_cast<uint16_t>(linePointerStart_ + 4 * linePointers_.size()));
    putU16(page, 14, upper_);
    putU16(page, 16, blockSize_);
    putU16(page, 18, static_cast<uint16_t>(blockSize_ | version_));
    putU16(page, 22, slotCount_);
    for (size_t i = 0; i < linePointers_.size(); ++i)
        setU32(page, linePointerStart_ + 4 * i, linePointers_[i]);
    return page;
}

}  // namespace vorn::test
