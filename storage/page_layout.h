#pragma once

// The two page layouts the readers know, byte by byte (little-endian, as PostgreSQL writes
// them on x86-64). Everything a reader takes from a page header or a tuple header is named
// here; the readers reach the bytes only through loadLE and these offsets.
//
// Heap page (layout versions 4 and 6):
//
//   0       8         10        12         14         16          18                20        24
//   +-------+---------+---------+----------+----------+-----------+-----------------+---------+
//   | LSN   | checksum| pd_flags| pd_lower | pd_upper | pd_special| pagesize|version| prune xid|
//   +-------+---------+---------+----------+----------+-----------+-----------------+---------+
//   | line pointers, 4 bytes each, up to pd_lower | free space | tuples from pd_upper |
//   | special space from pd_special (none on heap pages: pd_special = block size)        |
//
//   pd_flags 0x0004: every tuple on the page is visible to everyone.
//   pd_pagesize_version: high byte the page size / 256, low byte the layout version.
//   Version 6 pages have a 40-byte header: their line pointers start at byte 40.
//   A page whose pd_upper is 0 is new (never initialised) and must be all zero.
//
// Heap tuple, MAXALIGNed in the page:
//
//   0      4       8       12      18           20          22      23
//   +------+-------+-------+-------+------------+-----------+-------+-------------+-----+------
//   | xmin | xmax  | cid   | ctid  | infomask2  | infomask  | t_hoff| null bitmap | oid | data
//   +------+-------+-------+-------+------------+-----------+-------+-------------+-----+------
//
//   infomask2 bits 0-10: attributes stored. The null bitmap (with infomask 0x0001) has a bit
//   per attribute, least significant first, set when the attribute has a value. The oid
//   (infomask 0x0008, before version 12) is the 4 bytes just before t_hoff. t_hoff is exactly
//   MAXALIGN(23 + bitmap + oid): the server computes it that way for every tuple it forms, so
//   any other value means the header is not what it seems. Attributes follow at t_hoff, each
//   aligned by its attalign, and the last one ends exactly at the item's length.
//
// U page (layout versions 7 and 9), written by a PostgreSQL-derived server; fields not listed
// are not interpreted:
//
//   0      12       14       16   18                 20   22           24        56
//   +------+--------+--------+----+------------------+----+------------+---------+-----------
//   |      | lower  | upper  |    | pagesize|version |    | slot count |         | slots ...
//   +------+--------+--------+----+------------------+----+------------+---------+-----------
//   | slots: 16 bytes each | line pointers, 4 bytes each, up to lower | ... | tuples from upper
//
//   The header ends at 56 + 16 x slot count; the line pointers there have the heap layout.
//   There is no special-space field.
//
// U tuple (no alignment of its own):
//
//   0        6        8         10           11
//   +--------+--------+---------+------------+-------------+------
//   |        | flags  | natts   | data offset| null bitmap | data
//   +--------+--------+---------+------------+-------------+------
//
//   flags bit 0: null bitmap present (bit set = value present, least significant first).
//   natts bits 0-10: attributes stored. The data offset follows the bitmap directly or at
//   most MAXALIGNed. Fixed-width attributes are unaligned except interval and timetz (8,
//   from the tuple start); varlenas may have zero fill in front. U tuples carry no
//   visibility information this reader interprets: every normal line pointer is a row.
//
// TOAST chunk tuples of either layout hold (chunk_id oid, chunk_seq int4, chunk_data bytea).

#include <cstdint>

namespace vorn {

constexpr uint32_t kMaxAlign = 8;  // MAXALIGN on x86-64
constexpr uint16_t kNattsMask = 0x07FF;

namespace heap {
// Page header.
constexpr uint32_t kPdFlags = 8 + 2;
constexpr uint32_t kPdLower = kPdFlags + 2;
constexpr uint32_t kPdUpper = kPdLower + 2;
constexpr uint32_t kPdSpecial = kPdUpper + 2;
constexpr uint32_t kPdPageSizeVersion = kPdSpecial + 2;
constexpr uint32_t kHeaderSizeV4 = kPdPageSizeVersion + 2 + 4;  // 24
constexpr uint32_t kHeaderSizeV6 = 40;
constexpr uint16_t kPdAllVisible = 0x0004;

// Tuple header.
constexpr uint32_t kTXmin = 0;
constexpr uint32_t kTXmax = 4;
constexpr uint32_t kTInfomask2 = 4 + 4 + 4 + 6;  // 18
constexpr uint32_t kTInfomask = kTInfomask2 + 2;
constexpr uint32_t kTHoff = kTInfomask + 2;
constexpr uint32_t kTupleHeaderSize = kTHoff + 1;  // 23, the null bitmap follows
constexpr uint32_t kOidSize = 4;

// t_infomask bits.
constexpr uint16_t kHasNull = 0x0001;
constexpr uint16_t kHasOid = 0x0008;  // HEAP_HASOID before version 12, never set after
constexpr uint16_t kXmaxKeyShareLock = 0x0010;
constexpr uint16_t kXmaxExclusiveLock = 0x0040;
constexpr uint16_t kXmaxLockOnly = 0x0080;
constexpr uint16_t kXminCommitted = 0x0100;
constexpr uint16_t kXminInvalid = 0x0200;
constexpr uint16_t kXminFrozen = kXminCommitted | kXminInvalid;
constexpr uint16_t kXmaxCommitted = 0x0400;
constexpr uint16_t kXmaxInvalid = 0x0800;
constexpr uint16_t kXmaxIsMulti = 0x1000;
}  // namespace heap

namespace upage {
// Page header.
constexpr uint32_t kLower = 12;
constexpr uint32_t kUpper = kLower + 2;
constexpr uint32_t kPageSizeVersion = kUpper + 2 + 2;      // 18
constexpr uint32_t kSlotCount = kPageSizeVersion + 2 + 2;  // 22
constexpr uint32_t kFixedHeaderSize = 56;
constexpr uint32_t kSlotSize = 16;

// Tuple header.
constexpr uint32_t kTFlags = 6;
constexpr uint32_t kTNatts = kTFlags + 2;
constexpr uint32_t kTDataOffset = kTNatts + 2;
constexpr uint32_t kTupleHeaderSize = kTDataOffset + 1;  // 11, the null bitmap follows
constexpr uint16_t kHasNull = 0x0001;
}  // namespace upage

}  // namespace vorn
