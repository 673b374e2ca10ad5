#pragma once

// What the engine knows of each type by its OID, one row per type: the built-in types of
// PostgreSQL 9.0 to 18 (the fixed OIDs of the server's pg_type, all below 10000, which mean
// the same type on every version that has them) and the few custom OIDs the engine reads.
// OIDs from 10000 on are given out by initdb or CREATE TYPE (information_schema domains,
// enums, composites, user ranges) and differ between clusters: they have no row.
//
// A row is looked up once per column, when a table is opened; nothing reads it per row.

#include <cstdint>
#include <span>
#include <string>

namespace vorn {

// The SQL name of a type whose modifier is part of it (varchar(20), numeric(10,2), ...).
using TypmodNameFn = std::string (*)(int32_t typmod);

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
};

// The row of the type, or null for an OID the table does not hold.
const TypeInfo* findType(uint32_t typeOid);
// Every row, by OID.
std::span<const TypeInfo> typeTable();

}  // namespace vorn
