// The choice of a column's text output, made once per column by type OID.

#include "storage/value_text.h"

namespace vorn {

TextOutputFn textOutputFor(const ColumnDef& column) {
    using namespace typeoid;
    switch (column.atttypid) {
        case kText:
        case kVarchar:
        case kBpchar:
        case kJson:
        case kClob:
            return outputText;
        case kXml:
            return outputXml;
        case kBool:
            return outputBool;
        case kBytea:
            return outputBytea;
        case kChar:
            return outputChar;
        case kName:
            return outputName;
        case kInt2:
            return outputInt2;
        case kInt4:
            return outputInt4;
        case kInt8:
            return outputInt8;
        case kOid:
        case kXid32:
            return outputOid;
        case kXid:
            return outputXid;
        case kTinyint:
            return outputTinyint;
        case kFloat4:
            return outputFloat4;
        case kFloat8:
            return outputFloat8;
        case kMoney:
            return outputMoney;
        case kDate:
            return outputDate;
        case kTime:
            return outputTime;
        case kTimeTz:
            return outputTimeTz;
        case kTimestamp:
            return outputTimestamp;
        case kTimestampTz:
            return outputTimestampTz;
        case kDatetime:
            return outputDatetime;
        case kInterval:
            return outputInterval;
        case kNumeric:
            return outputNumeric;
        case kBit:
        case kVarbit:
            return outputBit;
        case kBlob:
            return outputBlobHex;
        default:
            // jsonb (stored in its binary form), nvarchar2, and every type without an
            // output here: the field stays empty.
            return nullptr;
    }
}

}  // namespace vorn
