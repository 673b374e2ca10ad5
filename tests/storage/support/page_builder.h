#pragma once

// Test-only writer of relation pages, byte by byte, from PostgreSQL's documented layouts. It
// shares no code with the readers so that a reader's mistake cannot cancel out in the tests.
//
// Heap page (layout version 4; version 6 pages carry a 40-byte header):
//
//   0      8   pd_lsn                  (0)
//   8      2   pd_checksum             (0)
//   10     2   pd_flags                0x0004 = all tuples visible
//   12     2   pd_lower                end of the line-pointer array
//   14     2   pd_upper                start of the tuple space
//   16     2   pd_special              block size (heap pages have no special space)
//   18     2   pd_pagesize_version     block size | layout version
//   20     4   pd_prune_xid            (0)
//   24     4n  line pointers           lp_off bits 0-14, lp_flags 15-16, lp_len 17-31
//   ...        free space
//   upper      tuples, placed from the end downward, each MAXALIGNed (8)
//
// Heap tuple:
//
//   0   4  t_xmin     4   4  t_xmax     8   4  t_cid     12  6  t_ctid (block hi, lo, item)
//   18  2  t_infomask2 (natts in bits 0-10)   20  2  t_infomask   22  1  t_hoff
//   23  ceil(natts/8)  null bitmap (only with HEAP_HASNULL; bit set = value present)
//   t_hoff - 4         oid (only with HEAP_HASOID); t_hoff = MAXALIGN(23 + bitmap [+ 4])
//   t_hoff             attributes, each aligned relative to the tuple start
//
// U page: 56-byte header, then 16 bytes per slot, then line pointers (same 32-bit layout):
//
//   12  2  lower   14  2  upper   16  2  special (block size)
//   18  2  block size | version (7 or 9)   22  2  slot count
//
// U tuple: 0-5 not interpreted, 6 u16 flags (bit 0: null bitmap present), 8 u16 natts (low 11
// bits), 10 u8 data offset, 11 null bitmap; values unaligned unless asked for (interval and
// timetz are aligned to 8 from the tuple start).
//
// Varlena forms (little-endian): 4-byte header = total << 2 (bits 00 plain, 10 compressed);
// 1-byte header = (total << 1) | 1, total <= 127; 0x01 = external pointer, second byte the
// tag. A compressed datum starts with tcinfo: raw size in bits 0-29, method in bits 30-31.

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace vorn::test {

using Bytes = std::vector<uint8_t>;

// Little-endian bytes of an integer or float, the bytes of a text, and of a text `times`
// over.
template <typename T>
Bytes le(T value) {
    Bytes out(sizeof(T));
    std::memcpy(out.data(), &value, sizeof(T));
    return out;
}
Bytes bytesOf(std::string_view text);
Bytes repeated(std::string_view text, size_t times);

// ---- damage helpers, for pages and tuples alike ------------------------------------------
void setU8(Bytes& bytes, size_t offset, uint8_t value);
void setU16(Bytes& bytes, size_t offset, uint16_t value);
void setU32(Bytes& bytes, size_t offset, uint32_t value);
void flipByte(Bytes& bytes, size_t offset, uint8_t mask = 0xFF);
void truncate(Bytes& bytes, size_t size);
uint16_t getU16(const Bytes& bytes, size_t offset);
uint32_t getU32(const Bytes& bytes, size_t offset);

// ---- value encodings -----------------------------------------------------------------------
enum CompressionMethod : uint8_t { kPglz = 0, kLz4 = 1 };

// A pglz stream (literals and back-references of 3..273 bytes reaching up to 4095 back)
// that PostgreSQL's pglz_decompress accepts.
Bytes pglzCompress(const Bytes& raw);
// An LZ4 block (LZ4_compress_default).
Bytes lz4Compress(const Bytes& raw);
// tcinfo word plus stream: what a compressed varlena holds after its 4-byte header, and what
// the TOAST relation stores for a compressed external value. Methods 2 and 3 are written with
// a pglz stream, for tests of unsupported methods.
Bytes compressedDatum(const Bytes& raw, uint8_t method);

Bytes varlena4Bytes(const Bytes& value);  // 4-byte header + value
// 4-byte header with the compressed bits (total << 2 | 2), then compressedDatum.
Bytes compressedVarlenaBytes(const Bytes& raw, uint8_t method);
Bytes varlenaShortBytes(const Bytes& value);  // 1-byte header + value (at most 126 bytes)
// 0x01, 18, then va_rawsize, va_extinfo, va_valueid, va_toastrelid.
Bytes externalPointerBytes(int32_t rawSize, uint32_t extInfo, uint32_t valueId,
                           uint32_t toastRelid);

// ---- tuples --------------------------------------------------------------------------------

// The attributes of a tuple in order; positions are fixed when the tuple is built, because
// the header length (and so the alignment of every value) depends on the null bitmap.
class AttributeList {
  public:
    void add(Bytes bytes, uint8_t align);
    void addNull();
    void addRaw(Bytes bytes);  // not an attribute: bytes appended as they are

    uint16_t attributeCount() const;
    bool anyNull() const;
    bool anyVarlena() const { return anyVarlena_; }
    bool anyExternal() const { return anyExternal_; }
    void noteVarlena(bool external);
    // Null bitmap bytes for `natts` attributes (bit set = value present).
    Bytes nullBitmap(uint16_t natts) const;
    // Appends the values to `tuple`, whose size is the position relative to the tuple start;
    // alignment fill bytes are zero.
    void appendValues(Bytes& tuple) const;

  private:
    struct Piece {
        Bytes bytes;
        uint8_t align = 1;
        bool isNull = false;
        bool isRaw = false;
    };
    std::vector<Piece> pieces_;
    bool anyVarlena_ = false;
    bool anyExternal_ = false;
};

// The value adders shared by the heap and U tuple builders; they return the builder itself.
template <typename Self>
class TupleValues {
  public:
    // A fixed-width value aligned to `align` (1, 2, 4, 8) from the tuple start.
    Self& fixed(Bytes bytes, uint8_t align) {
        values_.add(std::move(bytes), align);
        return self();
    }
    Self& varlena4(const Bytes& value, uint8_t align = 4) {
        values_.noteVarlena(false);
        values_.add(varlena4Bytes(value), align);
        return self();
    }
    Self& varlenaShort(const Bytes& value) {
        values_.noteVarlena(false);
        values_.add(varlenaShortBytes(value), 1);
        return self();
    }
    Self& compressedInline(const Bytes& raw, uint8_t method, uint8_t align = 4) {
        values_.noteVarlena(false);
        values_.add(compressedVarlenaBytes(raw, method), align);
        return self();
    }
    Self& externalPointer(int32_t rawSize, uint32_t extInfo, uint32_t valueId,
                          uint32_t toastRelid) {
        values_.noteVarlena(true);
        values_.add(externalPointerBytes(rawSize, extInfo, valueId, toastRelid), 1);
        return self();
    }
    Self& cstring(std::string_view text) {
        Bytes b = bytesOf(text);
        b.push_back(0);
        values_.add(std::move(b), 1);
        return self();
    }
    Self& null() {
        values_.addNull();
        return self();
    }
    // Bytes appended without alignment and without counting as an attribute.
    Self& raw(Bytes bytes) {
        values_.addRaw(std::move(bytes));
        return self();
    }

  protected:
    Self& self() { return static_cast<Self&>(*this); }
    AttributeList values_;
};

class HeapTupleBuilder : public TupleValues<HeapTupleBuilder> {
  public:
    static constexpr uint16_t kHasNull = 0x0001;
    static constexpr uint16_t kHasVarWidth = 0x0002;
    static constexpr uint16_t kHasExternal = 0x0004;
    static constexpr uint16_t kHasOid = 0x0008;
    static constexpr uint16_t kXminCommitted = 0x0100;
    static constexpr uint16_t kXminInvalid = 0x0200;
    static constexpr uint16_t kXmaxCommitted = 0x0400;
    static constexpr uint16_t kXmaxInvalid = 0x0800;
    static constexpr uint16_t kDefaultInfomask = kXminCommitted | kXmaxInvalid;

    HeapTupleBuilder& xmin(uint32_t v) {
        xmin_ = v;
        return *this;
    }
    HeapTupleBuilder& xmax(uint32_t v) {
        xmax_ = v;
        return *this;
    }
    HeapTupleBuilder& ctid(uint32_t block, uint16_t item) {
        ctidBlock_ = block;
        ctidItem_ = item;
        return *this;
    }
    // Visibility bits; HEAP_HASNULL, HASVARWIDTH, HASEXTERNAL and HASOID are added from the
    // attributes unless exactInfomask() is used.
    HeapTupleBuilder& infomask(uint16_t v) {
        infomask_ = v;
        return *this;
    }
    HeapTupleBuilder& exactInfomask(uint16_t v) {
        infomask_ = v;
        exactInfomask_ = true;
        return *this;
    }
    // Flag bits above the attribute count in t_infomask2 (HOT, keys updated).
    HeapTupleBuilder& infomask2Flags(uint16_t v) {
        infomask2Flags_ = v;
        return *this;
    }
    // Writes this attribute count instead of the number of attributes added.
    HeapTupleBuilder& natts(uint16_t v) {
        natts_ = v;
        hasNattsOverride_ = true;
        return *this;
    }
    // Writes this t_hoff byte; the values stay where the real header puts them.
    HeapTupleBuilder& hoff(uint8_t v) {
        hoff_ = v;
        hasHoffOverride_ = true;
        return *this;
    }
    HeapTupleBuilder& oid(uint32_t v) {
        oid_ = v;
        hasOid_ = true;
        return *this;
    }

    Bytes build() const;

  private:
    uint32_t xmin_ = 1000;
    uint32_t xmax_ = 0;
    uint32_t ctidBlock_ = 0;
    uint16_t ctidItem_ = 0;
    uint16_t infomask_ = kDefaultInfomask;
    bool exactInfomask_ = false;
    uint16_t infomask2Flags_ = 0;
    uint16_t natts_ = 0;
    bool hasNattsOverride_ = false;
    uint8_t hoff_ = 0;
    bool hasHoffOverride_ = false;
    uint32_t oid_ = 0;
    bool hasOid_ = false;
};

class UTupleBuilder : public TupleValues<UTupleBuilder> {
  public:
    static constexpr uint16_t kHasNull = 0x0001;

    // Flag bits besides bit 0, which is set when an attribute is NULL.
    UTupleBuilder& flags(uint16_t v) {
        flags_ = v;
        return *this;
    }
    UTupleBuilder& natts(uint16_t v) {
        natts_ = v;
        hasNattsOverride_ = true;
        return *this;
    }
    // Writes this data-offset byte; the values stay after the real header.
    UTupleBuilder& dataOffset(uint8_t v) {
        dataOffset_ = v;
        hasDataOffsetOverride_ = true;
        return *this;
    }

    Bytes build() const;

  private:
    uint16_t flags_ = 0;
    uint16_t natts_ = 0;
    bool hasNattsOverride_ = false;
    uint8_t dataOffset_ = 0;
    bool hasDataOffsetOverride_ = false;
};

// ---- pages ---------------------------------------------------------------------------------

uint32_t linePointer(uint16_t offset, uint8_t flags, uint16_t length);

class HeapPageBuilder {
  public:
    static constexpr uint16_t kAllVisible = 0x0004;

    explicit HeapPageBuilder(uint16_t blockSize, uint8_t layoutVersion = 4);

    // Places the tuple below the previous one (MAXALIGNed) and appends its line pointer;
    // returns the tuple's offset in the page. Throws std::length_error when it does not fit.
    uint16_t addTuple(const Bytes& tuple, uint8_t lpFlags = 1);
    bool fits(size_t tupleLength) const;
    // A line pointer with no tuple behind it (damage, or a dead/redirect/unused item).
    void addLinePointer(uint32_t raw);
    void setFlags(uint16_t pdFlags) { flags_ = pdFlags; }
    uint16_t itemCount() const { return static_cast<uint16_t>(linePointers_.size()); }

    Bytes build() const;

  private:
    uint16_t blockSize_;
    uint8_t version_;
    uint16_t headerSize_;
    uint16_t upper_;
    uint16_t flags_ = 0;
    std::vector<uint32_t> linePointers_;
    Bytes page_;
};

class UPageBuilder {
  public:
    UPageBuilder(uint16_t blockSize, uint8_t version, uint16_t slotCount);

    // As HeapPageBuilder::addTuple; `align` is the alignment of the tuple start in the page.
    uint16_t addTuple(const Bytes& tuple, uint8_t lpFlags = 1, uint8_t align = 8);
    bool fits(size_t tupleLength, uint8_t align = 8) const;
    void addLinePointer(uint32_t raw);
    uint16_t itemCount() const { return static_cast<uint16_t>(linePointers_.size()); }
    // Offset of the first line pointer: 56 + 16 * slot count.
    uint16_t linePointerStart() const { return linePointerStart_; }

    Bytes build() const;

  private:
    uint16_t blockSize_;
    uint8_t version_;
    uint16_t slotCount_;
    uint16_t linePointerStart_;
    uint16_t upper_;
    std::vector<uint32_t> linePointers_;
    Bytes page_;
};

// ---- TOAST ---------------------------------------------------------------------------------

struct ToastChunk {
    uint32_t valueId = 0;
    int32_t seq = 0;
    Bytes data;
};

// Splits a stored value into chunks of at most `chunkSize` bytes, seq 0, 1, ...
std::vector<ToastChunk> toastChunks(uint32_t valueId, const Bytes& stored, size_t chunkSize);
// Heap chunk tuple: chunk_id oid, chunk_seq int4, chunk_data bytea with a 4-byte header;
// t_hoff 24, so chunk_data's length word lies at t_hoff + 8.
Bytes heapToastTuple(const ToastChunk& chunk);
// U chunk tuple: data offset 11, chunk_id at 11, chunk_seq at 15, chunk_data's length word
// aligned to 4 at 20 (data offset + 9).
Bytes uToastTuple(const ToastChunk& chunk);

// Where addTuple put a tuple when pages were packed.
struct TuplePlace {
    uint32_t block = 0;
    uint16_t offset = 0;
};

// Packs tuples into as few heap pages as they fit, in order; `places` (when given) receives
// the block and offset of each tuple.
std::vector<Bytes> packHeapPages(const std::vector<Bytes>& tuples, uint16_t blockSize,
                                 std::vector<TuplePlace>* places = nullptr);
std::vector<Bytes> packUPages(const std::vector<Bytes>& tuples, uint16_t blockSize, uint8_t version,
                              std::vector<TuplePlace>* places = nullptr);

// Writes pages as a relation's segment files "<dir>/<node>", "<dir>/<node>.1", ... with
// `blocksPerSegment` pages each (creating `dir`); returns the paths written.
std::vector<std::string> writeRelation(const std::string& dir, uint32_t fileNode,
                                       const std::vector<Bytes>& pages,
                                       uint32_t blocksPerSegment = 131072);

}  // namespace vorn::test
