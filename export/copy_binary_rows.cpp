#include "export/copy_binary_rows.h"

#include <fmt/format.h>

#include <cstring>
#include <stdexcept>
#include <string>

#include "storage/byte_reader.h"

namespace vorn {

size_t CopyBinaryRows::fixedBody(Kind kind) {
    switch (kind) {
        case Kind::kInt32:
        case Kind::kDate:
            return 4;
        case Kind::kInt64:
        case Kind::kTimestamp:
            return 8;
        case Kind::kBool:
            return 1;
        default:
            return 0;
    }
}

void CopyBinaryRows::plan(const ColumnLayout& layout, const std::string& table,
                          const std::string& clientEncoding) {
    layout_ = &layout;
    fields_.clear();
    const bool namesEncoding = clientEncoding != "UTF8" && clientEncoding != "SQL_ASCII";
    xmlEncoding_ = namesEncoding ? clientEncoding : std::string();
    for (size_t c = 0; c < layout.size(); ++c) {
        if (!isCopyField(layout[c]))
            continue;
        const BinaryEncodeFn encoder = binaryEncoderFor(layout[c]);
        const bool declares = namesEncoding && encoder == encodeBinaryXml;
        fields_.push_back({c, encoder, binaryFieldKindFor(layout[c]), declares});
    }
    if (fields_.size() > UINT16_MAX)
        throw std::runtime_error(fmt::format("table {}: {} columns, COPY takes at most {}", table,
                                             fields_.size(), UINT16_MAX));
    fieldCount_ = static_cast<uint16_t>(fields_.size());
    cursors_.resize(fields_.size());
    rowReserve_ = 2;
    for (const Field& field : fields_)
        rowReserve_ += 4 + fixedBody(field.kind);
}

std::vector<const ColumnDef*> CopyBinaryRows::fieldColumns() const {
    std::vector<const ColumnDef*> columns;
    for (const Field& field : fields_)
        columns.push_back(&(*layout_)[field.column]);
    return columns;
}

std::vector<const ColumnDef*> CopyBinaryRows::columnsWithoutEncoder() const {
    std::vector<const ColumnDef*> columns;
    for (const Field& field : fields_) {
        if (field.encoder == nullptr)
            columns.push_back(&(*layout_)[field.column]);
    }
    return columns;
}

std::vector<std::pair<const ColumnDef*, uint64_t>> CopyBinaryRows::refusedValues() const {
    std::vector<std::pair<const ColumnDef*, uint64_t>> counts;
    for (const Field& field : fields_)
        counts.emplace_back(&(*layout_)[field.column], field.refused);
    return counts;
}

std::vector<std::pair<const ColumnDef*, uint64_t>> CopyBinaryRows::valuesWithoutEncoder() const {
    std::vector<std::pair<const ColumnDef*, uint64_t>> counts;
    for (const Field& field : fields_)
        if (field.encoder == nullptr)
            counts.emplace_back(&(*layout_)[field.column], field.withoutEncoder);
    return counts;
}

bool CopyBinaryRows::bind(const ColumnBatch& batch) {
    if (layout_ == nullptr || batch.size() < layout_->size())
        return false;
    for (size_t f = 0; f < fields_.size(); ++f) {
        const ColumnValues& values = batch[fields_[f].column];
        Cursor& cursor = cursors_[f];
        cursor.nulls = values.nulls.get();
        cursor.lengths = values.lengths.get();
        cursor.byRef = values.byRef;
        cursor.data = values.data.get();
        cursor.values = values.values.get();
        cursor.stride = static_cast<size_t>(values.stride);
        cursor.encoder = fields_[f].encoder;
        cursor.kind = fields_[f].kind;
        cursor.xmlEncoding = fields_[f].declaresEncoding ? &xmlEncoding_ : nullptr;
        cursor.refused = &fields_[f].refused;
        cursor.withoutEncoder = &fields_[f].withoutEncoder;
    }
    return true;
}

// The row loop writes through a raw pointer into room reserved ahead: each row starts with
// at least rowReserve_ bytes free, and a Bytes or Numeric value takes more room only while
// rowReserve_ bytes stay free after it, so the fixed-width fields never check for room. A
// field of kind Other goes through its encoder and the buffer, and the pointer is taken again
// after it.
uint32_t CopyBinaryRows::encode(uint32_t first, uint32_t rows, CopyBinaryBuffer& buffer) {
    const Cursor* const cursorsBegin = cursors_.data();
    const Cursor* const cursorsEnd = cursorsBegin + cursors_.size();
    const size_t reserve = rowReserve_;

    for (uint32_t row = first; row < rows; ++row) {
        uint8_t* p = buffer.ensure(reserve);
        uint8_t* limit = buffer.limit();
        storeBE16(p, fieldCount_);
        p += 2;
        for (const Cursor* cursor = cursorsBegin; cursor != cursorsEnd; ++cursor) {
            if (cursor->nulls[row] != 0 || cursor->lengths[row] < 0 ||
                cursor->kind == Kind::kNull) {
                // A value of a type without encoder is lost as NULL: counted.
                if (cursor->kind == Kind::kNull && cursor->nulls[row] == 0 &&
                    cursor->lengths[row] >= 0)
                    ++*cursor->withoutEncoder;
                storeBE32(p, 0xFFFFFFFFu);
                p += 4;
                continue;
            }
            // Not NULL: a length of 0 is an empty value, a field of length 0.
            const auto n = static_cast<uint32_t>(cursor->lengths[row]);
            const uint8_t* value =
                cursor->byRef ? reinterpret_cast<const uint8_t*>(cursor->values[row].data())
                              : cursor->data + size_t(row) * cursor->stride;
            switch (cursor->kind) {
                // Date and Timestamp are the same fields with the server's range check.
                case Kind::kInt32:
                case Kind::kDate:
                    if (n != 4 || (cursor->kind == Kind::kDate &&
                                   !binaryDateInRange(loadLE<int32_t>(value)))) {
                        ++*cursor->refused;
                        storeBE32(p, 0xFFFFFFFFu);
                        p += 4;
                        break;
                    }
                    storeBE32(p, 4);
                    storeBE32(p + 4, loadLE<uint32_t>(value));
                    p += 8;
                    break;
                case Kind::kInt64:
                case Kind::kTimestamp:
                    if (n != 8 || (cursor->kind == Kind::kTimestamp &&
                                   !binaryTimestampInRange(loadLE<int64_t>(value)))) {
                        ++*cursor->refused;
                        storeBE32(p, 0xFFFFFFFFu);
                        p += 4;
                        break;
                    }
                    storeBE32(p, 8);
                    storeBE64(p + 4, loadLE<uint64_t>(value));
                    p += 12;
                    break;
                case Kind::kBool:
                    if (n != 1) {
                        ++*cursor->refused;
                        storeBE32(p, 0xFFFFFFFFu);
                        p += 4;
                        break;
                    }
                    storeBE32(p, 1);
                    p[4] = value[0] != 0 && value[0] != 'f' ? 1 : 0;
                    p += 5;
                    break;
                case Kind::kBytes:
                case Kind::kNumeric: {
                    const size_t need =
                        cursor->kind == Kind::kBytes ? 4 + size_t(n) : numericFieldBound(n);
                    if (need + reserve > static_cast<size_t>(limit - p)) {
                        buffer.commit(p);
                        p = buffer.ensure(need + reserve);
                        limit = buffer.limit();
                    }
                    if (cursor->kind == Kind::kBytes) {
                        if (n > INT32_MAX) {
                            ++*cursor->refused;
                            storeBE32(p, 0xFFFFFFFFu);
                            p += 4;
                            break;
                        }
                        storeBE32(p, n);
                        if (n != 0)
                            std::memcpy(p + 4, value, n);
                        p += 4 + size_t(n);
                    } else {
                        const size_t written = encodeNumericField(value, n, p);
                        if (written == 0) {
                            ++*cursor->refused;
                            storeBE32(p, 0xFFFFFFFFu);
                            p += 4;
                        } else {
                            p += written;
                        }
                    }
                    break;
                }
                default: {
                    buffer.commit(p);
                    // An encoder that cannot read the value writes nothing: NULL, counted.
                    const bool written =
                        cursor->xmlEncoding != nullptr
                            ? encodeBinaryXmlDeclaring(value, n, *cursor->xmlEncoding, buffer)
                            : cursor->encoder(value, n, buffer);
                    if (!written) {
                        ++*cursor->refused;
                        buffer.appendNull();
                    }
                    p = buffer.ensure(reserve);
                    limit = buffer.limit();
                    break;
                }
            }
        }
        buffer.commit(p);
        if (buffer.full())
            return row + 1;
    }
    return rows;
}

}  // namespace vorn
