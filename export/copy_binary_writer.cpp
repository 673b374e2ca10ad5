#include "export/copy_binary_writer.h"

#include <fmt/format.h>

#include <stdexcept>

#include "storage/byte_reader.h"

namespace vorn {

CopyBinaryWriter::CopyBinaryWriter(const ColumnLayout* columns, std::string schemaName,
                                   std::string tableName, std::string fileSuffix, uint32_t tableOid)
    : DataWriter(columns, std::move(schemaName), std::move(tableName), std::move(fileSuffix),
                 tableOid) {}

CopyBinaryWriter::Kind CopyBinaryWriter::kindOf(BinaryEncodeFn encoder) {
    if (encoder == nullptr)
        return Kind::Null;
    if (encoder == encodeBinaryInt32)
        return Kind::Int32;
    if (encoder == encodeBinaryInt64 || encoder == encodeBinaryTimestampTz)
        return Kind::Int64;
    if (encoder == encodeBinaryBool)
        return Kind::Bool;
    if (encoder == encodeBinaryBytes)
        return Kind::Bytes;
    if (encoder == encodeBinaryNumeric)
        return Kind::Numeric;
    return Kind::Other;
}

size_t CopyBinaryWriter::fixedBody(Kind kind) {
    switch (kind) {
        case Kind::Int32:
            return 4;
        case Kind::Int64:
            return 8;
        case Kind::Bool:
            return 1;
        default:
            return 0;
    }
}

void CopyBinaryWriter::open() {
    writeDdlScript();

    fields_.clear();
    std::vector<const ColumnDef*> withoutEncoder;
    const ColumnLayout& layout = columns();
    for (size_t c = 0; c < layout.size(); ++c) {
        if (!isCopyField(layout[c]))
            continue;
        const BinaryEncodeFn encoder = binaryEncoderFor(layout[c]);
        if (encoder == nullptr)
            withoutEncoder.push_back(&layout[c]);
        fields_.push_back({c, encoder, kindOf(encoder)});
    }
    if (fields_.size() > UINT16_MAX)
        throw std::runtime_error(fmt::format("table {}: {} columns, COPY takes at most {}",
                                             quotedName(), fields_.size(), UINT16_MAX));
    fieldCount_ = static_cast<uint16_t>(fields_.size());
    warnColumns(withoutEncoder, "no binary encoder", "NULL");
    cursors_.resize(fields_.size());
    rowReserve_ = 2;
    for (const Field& field : fields_)
        rowReserve_ += 4 + fixedBody(field.kind);

    file_.create(exportFilePath(fileStem(), ".bin"));
    buffer_.clear();
    buffer_.appendHeader();
}

// The row loop writes through a raw pointer into room reserved ahead: each row starts with
// at least rowReserve_ bytes free, and a Bytes or Numeric value takes more room only while
// rowReserve_ bytes stay free after it, so the fixed-width fields never check for room. A
// field of kind Other goes through its encoder and the buffer, and the pointer is taken again
// after it.
uint32_t CopyBinaryWriter::writeRows(const ColumnBatch* batch, uint32_t rows) {
    if (!file_.isOpen())
        throw std::runtime_error(fmt::format("table {}: data file not open", quotedName()));
    if (batch->size() < columns().size())
        throw std::runtime_error(fmt::format("table {}: batch of {} columns for {}", quotedName(),
                                             batch->size(), columns().size()));
    for (size_t f = 0; f < fields_.size(); ++f) {
        const ColumnValues& values = (*batch)[fields_[f].column];
        Cursor& cursor = cursors_[f];
        cursor.nulls = values.nulls.get();
        cursor.lengths = values.lengths.get();
        cursor.byRef = values.byRef;
        cursor.data = values.data.get();
        cursor.values = values.values.get();
        cursor.stride = static_cast<size_t>(values.stride);
        cursor.encoder = fields_[f].encoder;
        cursor.kind = fields_[f].kind;
        cursor.refused = &fields_[f].refused;
    }
    const Cursor* const cursorsBegin = cursors_.data();
    const Cursor* const cursorsEnd = cursorsBegin + cursors_.size();
    const size_t reserve = rowReserve_;

    for (uint32_t row = 0; row < rows; ++row) {
        uint8_t* p = buffer_.ensure(reserve);
        uint8_t* limit = buffer_.limit();
        storeBE16(p, fieldCount_);
        p += 2;
        for (const Cursor* cursor = cursorsBegin; cursor != cursorsEnd; ++cursor) {
            if (cursor->kind == Kind::Null || cursor->nulls[row] != 0 || cursor->lengths[row] < 0) {
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
                case Kind::Int32:
                    if (n != 4) {
                        ++*cursor->refused;
                        storeBE32(p, 0xFFFFFFFFu);
                        p += 4;
                        break;
                    }
                    storeBE32(p, 4);
                    storeBE32(p + 4, loadLE<uint32_t>(value));
                    p += 8;
                    break;
                case Kind::Int64:
                    if (n != 8) {
                        ++*cursor->refused;
                        storeBE32(p, 0xFFFFFFFFu);
                        p += 4;
                        break;
                    }
                    storeBE32(p, 8);
                    storeBE64(p + 4, loadLE<uint64_t>(value));
                    p += 12;
                    break;
                case Kind::Bool:
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
                case Kind::Bytes:
                case Kind::Numeric: {
                    const size_t need =
                        cursor->kind == Kind::Bytes ? 4 + size_t(n) : numericFieldBound(n);
                    if (need + reserve > static_cast<size_t>(limit - p)) {
                        buffer_.commit(p);
                        p = buffer_.ensure(need + reserve);
                        limit = buffer_.limit();
                    }
                    if (cursor->kind == Kind::Bytes) {
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
                    buffer_.commit(p);
                    const size_t before = buffer_.size();
                    cursor->encoder(value, n, buffer_);
                    // An encoder that cannot read the value sends NULL (-1) instead.
                    if (buffer_.size() == before + 4 &&
                        loadLE<uint32_t>(buffer_.data() + before) == 0xFFFFFFFFu)
                        ++*cursor->refused;
                    p = buffer_.ensure(reserve);
                    limit = buffer_.limit();
                    break;
                }
            }
        }
        buffer_.commit(p);
        if (buffer_.full())
            flush();
    }
    return rows;
}

void CopyBinaryWriter::flush() {
    file_.write(buffer_.data(), buffer_.size());
    buffer_.clear();
}

void CopyBinaryWriter::finish() {
    if (!file_.isOpen())
        throw std::runtime_error(fmt::format("table {}: data file not open", quotedName()));
    buffer_.appendTrailer();
    flush();
    file_.commit();
    std::vector<std::pair<const ColumnDef*, uint64_t>> refused;
    for (const Field& field : fields_)
        refused.emplace_back(&columns()[field.column], field.refused);
    warnUnreadableValues(refused, "NULL");
}

}  // namespace vorn
