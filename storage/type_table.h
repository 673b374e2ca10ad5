#pragma once

// What the engine knows of each type by its OID, one row per type: the built-in types of
// PostgreSQL 9.0 to 18 (the fixed OIDs of the server's pg_type, all below 10000, which mean
// the same type on every version that has them) and the few custom OIDs the engine reads.
// OIDs from 10000 on are given out by initdb or CREATE TYPE (information_schema domains,
// enums, composites, user ranges) and differ between clusters: they have no row.
//
// A row says, for the type:
//   - its SQL name (sqlTypeName), or how to build it from the column's modifier;
//   - how it is stored, for the types the engine decodes and the catalogue's own column
//     types: width and alignment on heap pages (PostgreSQL's typlen and typalign) and on
//     U pages, and from those the slot a column batch gives it (columnForm, planColumns);
//   - its text output (textOutputFor) and COPY binary encoder (binaryEncoderFor), with the
//     field kind the binary row loop writes inline.
// Everything else reads these rows; a type's support is its one line in type_table.cpp.
//
// A row is looked up once per column, when a table is opened; nothing reads it per row.

#include <cstdint>
#include <span>
#include <string>

#include "storage/column_batch.h"
#include "storage/copy_binary_encode.h"
#include "storage/value_text.h"

namespace vorn {

// The SQL name of a type whose modifier is part of it (varchar(20), numeric(10,2), ...).
using TypmodNameFn = std::string (*)(int32_t typmod);
// The batch form of a type whose stored size follows from its modifier.
using TypmodFormFn = ColumnForm (*)(int32_t typmod);

// A COPY binary encoder with the field kind the row loop writes for it; the two always
// travel together.
struct BinaryForm {
    BinaryEncodeFn encoder = nullptr;
    BinaryFieldKind kind = BinaryFieldKind::kNull;
};

struct TypeInfo {
    uint32_t oid = 0;

    // How CREATE TABLE declares a column of the type, valid unqualified on every version
    // that has it; null when no CREATE TABLE accepts the type (pseudo-types, and the row
    // type pg_attribute, whose anyarray column the server refuses).
    const char* sqlName = nullptr;
    TypmodNameFn typmodName = nullptr;  // set for the types that take a modifier
    // An array type: its element. The array's name is the element's name, with the column's
    // modifier (an array column's atttypmod is its element's), followed by "[]".
    uint32_t element = 0;

    // Stored width (> 0 fixed bytes, -1 varlena, 0 not known to the engine) and alignment
    // in bytes, on heap pages and on U pages. A layout without attlen falls back on these,
    // and a heap attribute is never aligned less than heapAlign.
    int16_t heapWidth = 0;
    uint8_t heapAlign = 1;
    int16_t uWidth = 0;
    uint8_t uAlign = 1;
    // Set for the types whose batch form depends on the modifier; the others hold a fixed
    // type in a slot of its widest stored width, everything else by reference.
    TypmodFormFn typmodForm = nullptr;

    TextOutputFn textOutput = nullptr;  // null: the field stays empty
    // The output writes only digits, ASCII letters, space and + - . : (no COPY escape can
    // apply unless one of those is the delimiter).
    bool plainText = false;
    BinaryForm binary;  // no encoder: the field is sent as NULL

    // The slot width of a fixed-width type, 0 for one held by reference.
    constexpr uint16_t slotWidth() const {
        const int16_t widest = heapWidth > uWidth ? heapWidth : uWidth;
        return widest > 0 ? static_cast<uint16_t>(widest) : 0;
    }

    // Builders, so that each row of the table reads as one line.
    constexpr TypeInfo withName(const char* name) const {
        TypeInfo t = *this;
        t.sqlName = name;
        return t;
    }
    constexpr TypeInfo withTypmodName(TypmodNameFn fn) const {
        TypeInfo t = *this;
        t.typmodName = fn;
        return t;
    }
    constexpr TypeInfo arrayOf(uint32_t elementOid) const {
        TypeInfo t = *this;
        t.element = elementOid;
        return t;
    }
    // `width` bytes on both page families, aligned to `align` on heap pages.
    constexpr TypeInfo fixed(int16_t width, uint8_t align) const {
        TypeInfo t = *this;
        t.heapWidth = width;
        t.heapAlign = align;
        t.uWidth = width;
        return t;
    }
    constexpr TypeInfo varlena(uint8_t align) const {
        TypeInfo t = *this;
        t.heapWidth = -1;
        t.heapAlign = align;
        t.uWidth = -1;
        return t;
    }
    constexpr TypeInfo onUPages(int16_t width, uint8_t align) const {
        TypeInfo t = *this;
        t.uWidth = width;
        t.uAlign = align;
        return t;
    }
    constexpr TypeInfo withForm(TypmodFormFn fn) const {
        TypeInfo t = *this;
        t.typmodForm = fn;
        return t;
    }
    constexpr TypeInfo text(TextOutputFn fn, bool plain) const {
        TypeInfo t = *this;
        t.textOutput = fn;
        t.plainText = plain;
        return t;
    }
    constexpr TypeInfo sends(BinaryForm form) const {
        TypeInfo t = *this;
        t.binary = form;
        return t;
    }
};

// The row of the type, or null for an OID the table does not hold.
const TypeInfo* findType(uint32_t typeOid);
// Every row, by OID.
std::span<const TypeInfo> typeTable();

}  // namespace vorn
