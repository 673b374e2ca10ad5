#include "storage/type_table.h"

#include <algorithm>
#include <iterator>

#include "storage/sql_type_name.h"

namespace vorn {

namespace {

using namespace typeoid;

constexpr bool kPlain = true;     // the text output writes digits, letters, space, + - . :
constexpr bool kEscaped = false;  // it may write bytes COPY escapes

// The COPY binary encoders, each with the field kind the row loop writes for it.
constexpr BinaryForm kSendBool{encodeBinaryBool, BinaryFieldKind::kBool};
constexpr BinaryForm kSendChar{encodeBinaryChar, BinaryFieldKind::kOther};
constexpr BinaryForm kSendTinyint{encodeBinaryTinyint, BinaryFieldKind::kOther};
constexpr BinaryForm kSendInt16{encodeBinaryInt16, BinaryFieldKind::kOther};
constexpr BinaryForm kSendInt32{encodeBinaryInt32, BinaryFieldKind::kInt32};
constexpr BinaryForm kSendXid{encodeBinaryXid, BinaryFieldKind::kOther};
constexpr BinaryForm kSendInt64{encodeBinaryInt64, BinaryFieldKind::kInt64};
constexpr BinaryForm kSendDate{encodeBinaryDate, BinaryFieldKind::kDate};
constexpr BinaryForm kSendTime{encodeBinaryTime, BinaryFieldKind::kOther};
constexpr BinaryForm kSendTimestamp{encodeBinaryTimestamp, BinaryFieldKind::kTimestamp};
constexpr BinaryForm kSendTimestampTz{encodeBinaryTimestampTz, BinaryFieldKind::kTimestamp};
constexpr BinaryForm kSendTimeTz{encodeBinaryTimeTz, BinaryFieldKind::kOther};
constexpr BinaryForm kSendInterval{encodeBinaryInterval, BinaryFieldKind::kOther};
constexpr BinaryForm kSendNumeric{encodeBinaryNumeric, BinaryFieldKind::kNumeric};
constexpr BinaryForm kSendBit{encodeBinaryBit, BinaryFieldKind::kOther};
constexpr BinaryForm kSendXml{encodeBinaryXml, BinaryFieldKind::kOther};
constexpr BinaryForm kSendName{encodeBinaryName, BinaryFieldKind::kOther};
constexpr BinaryForm kSendBytes{encodeBinaryBytes, BinaryFieldKind::kBytes};

constexpr TypeInfo T(uint32_t oid) {
    TypeInfo t;
    t.oid = oid;
    return t;
}

// One row per type, sorted by OID. Storage (fixed / varlena / onUPages) is given for the types
// the engine decodes and the catalogue's own column types; a built-in type it cannot decode
// (uuid, inet, jsonb's tree, arrays, ...) has only its name, so that CREATE TABLE still
// declares its column, whose values are written as NULL (BINARY, DB) or empty (TEXT).
// Left out: the pseudo-types (record, cstring, anyelement, ...), which no
// CREATE TABLE takes; pg_attribute and pg_attribute[] (its anyarray column makes the server
// refuse the row type from 11 on); and OID 210, smgr up to 11 and pg_type[] from 12 on, which
// no name could declare on both. 31 (xid32), 88 (blob), 90 (clob), 3969 (nvarchar2), 5545
// (tinyint) and 9876 (datetime) are not PostgreSQL's: types of the PostgreSQL-derived
// servers whose pages the engine also reads.
// clang-format off
constexpr TypeInfo kTypes[] = {
    T(kBool).withName("boolean").fixed(1, 1).text(outputBool, kPlain).sends(kSendBool),
    T(kBytea).withName("bytea").varlena(4).text(outputBytea, kEscaped).sends(kSendBytes),
    T(kChar).withName("\"char\"").fixed(1, 1).text(outputChar, kEscaped).sends(kSendChar),
    T(kName).withName("name").fixed(64, 1).text(outputName, kEscaped).sends(kSendName),
    T(kInt8).withName("bigint").fixed(8, 8).text(outputInt8, kPlain).sends(kSendInt64),
    T(kInt2).withName("smallint").fixed(2, 2).text(outputInt2, kPlain).sends(kSendInt16),
    T(22).withName("int2vector"),
    T(kInt4).withName("integer").fixed(4, 4).text(outputInt4, kPlain).sends(kSendInt32),
    T(24).withName("regproc"),
    T(kText).withName("text").varlena(4).text(outputText, kEscaped).sends(kSendBytes),
    T(kOid).withName("oid").fixed(4, 4).text(outputOid, kPlain).sends(kSendInt32),
    T(27).withName("tid"),
    T(kXid).withName("xid").fixed(4, 4).onUPages(8, 1).text(outputXid, kPlain).sends(kSendXid),
    T(29).withName("cid"),
    T(30).withName("oidvector"),
    T(kXid32).withName("xid32").fixed(4, 4).text(outputOid, kPlain).sends(kSendInt32),
    T(71).withName("pg_type"),
    T(81).withName("pg_proc"),
    T(83).withName("pg_class"),
    T(kBlob).withName("blob").text(outputBlobHex, kPlain).sends(kSendBytes),
    T(kClob).withName("clob").text(outputText, kEscaped).sends(kSendBytes),
    T(kJson).withName("json").varlena(4).text(outputText, kEscaped).sends(kSendBytes),
    T(kXml).withName("xml").varlena(4).text(outputXml, kEscaped).sends(kSendXml),
    T(143).arrayOf(142),  // xml[]
    T(194).withName("pg_node_tree").varlena(4),
    T(199).arrayOf(114),  // json[]
    T(271).arrayOf(5069),  // xid8[]
    T(272).arrayOf(81),  // pg_proc[]
    T(273).arrayOf(83),  // pg_class[]
    T(600).withName("point"),
    T(601).withName("lseg"),
    T(602).withName("path"),
    T(603).withName("box"),
    T(604).withName("polygon"),
    T(628).withName("line"),
    T(629).arrayOf(628),  // line[]
    T(650).withName("cidr"),
    T(651).arrayOf(650),  // cidr[]
    T(kFloat4).withName("real").fixed(4, 4).text(outputFloat4, kPlain).sends(kSendInt32),
    T(kFloat8).withName("double precision").fixed(8, 8).text(outputFloat8, kPlain).sends(kSendInt64),
    T(702).withName("abstime"),
    T(703).withName("reltime"),
    T(704).withName("tinterval"),
    T(718).withName("circle"),
    T(719).arrayOf(718),  // circle[]
    T(774).withName("macaddr8"),
    T(775).arrayOf(774),  // macaddr8[]
    T(kMoney).withName("money").fixed(8, 8).text(outputMoney, kPlain).sends(kSendInt64),
    T(791).arrayOf(790),  // money[]
    T(829).withName("macaddr"),
    T(869).withName("inet"),
    T(1000).arrayOf(16),  // boolean[]
    T(1001).arrayOf(17),  // bytea[]
    T(1002).arrayOf(18),  // "char"[]
    T(1003).arrayOf(19),  // name[]
    T(1005).arrayOf(21),  // smallint[]
    T(1006).arrayOf(22),  // int2vector[]
    T(1007).arrayOf(23),  // integer[]
    T(1008).arrayOf(24),  // regproc[]
    T(1009).arrayOf(kText).varlena(4),  // text[]
    T(1010).arrayOf(27),  // tid[]
    T(1011).arrayOf(28),  // xid[]
    T(1012).arrayOf(29),  // cid[]
    T(1013).arrayOf(30),  // oidvector[]
    T(1014).arrayOf(1042),  // character[]
    T(1015).arrayOf(1043),  // character varying[]
    T(1016).arrayOf(20),  // bigint[]
    T(1017).arrayOf(600),  // point[]
    T(1018).arrayOf(601),  // lseg[]
    T(1019).arrayOf(602),  // path[]
    T(1020).arrayOf(603),  // box[]
    T(1021).arrayOf(700),  // real[]
    T(1022).arrayOf(701),  // double precision[]
    T(1023).arrayOf(702),  // abstime[]
    T(1024).arrayOf(703),  // reltime[]
    T(1025).arrayOf(704),  // tinterval[]
    T(1027).arrayOf(604),  // polygon[]
    T(1028).arrayOf(26),  // oid[]
    T(1033).withName("aclitem"),
    T(1034).arrayOf(1033).varlena(4),  // aclitem[]
    T(1040).arrayOf(829),  // macaddr[]
    T(1041).arrayOf(869),  // inet[]
    T(kBpchar).withTypmodName(bpcharName).varlena(4).withForm(characterForm).text(outputText, kEscaped).sends(kSendBytes),
    T(kVarchar).withTypmodName(varcharName).varlena(4).withForm(characterForm).text(outputText, kEscaped).sends(kSendBytes),
    T(kDate).withName("date").fixed(4, 4).text(outputDate, kPlain).sends(kSendDate),
    T(kTime).withTypmodName(timeName).fixed(8, 8).text(outputTime, kPlain).sends(kSendTime),
    T(kTimestamp).withTypmodName(timestampName).fixed(8, 8).text(outputTimestamp, kPlain).sends(kSendTimestamp),
    T(1115).arrayOf(1114),  // timestamp without time zone[]
    T(1182).arrayOf(1082),  // date[]
    T(1183).arrayOf(1083),  // time without time zone[]
    T(kTimestampTz).withTypmodName(timestamptzName).fixed(8, 8).text(outputTimestampTz, kPlain).sends(kSendTimestampTz),
    T(1185).arrayOf(1184),  // timestamp with time zone[]
    T(kInterval).withTypmodName(intervalName).fixed(16, 8).onUPages(16, 8).text(outputInterval, kPlain).sends(kSendInterval),
    T(1187).arrayOf(1186),  // interval[]
    T(1231).arrayOf(1700),  // numeric[]
    T(1248).withName("pg_database"),
    T(kTimeTz).withTypmodName(timetzName).fixed(12, 8).onUPages(12, 8).text(outputTimeTz, kPlain).sends(kSendTimeTz),
    T(1270).arrayOf(1266),  // time with time zone[]
    T(kBit).withTypmodName(bitName).varlena(4).withForm(bitForm).text(outputBit, kPlain).sends(kSendBit),
    T(1561).arrayOf(1560),  // bit[]
    T(kVarbit).withTypmodName(varbitName).varlena(4).withForm(bitForm).text(outputBit, kPlain).sends(kSendBit),
    T(1563).arrayOf(1562),  // bit varying[]
    T(kNumeric).withTypmodName(numericName).varlena(4).withForm(numericForm).text(outputNumeric, kPlain).sends(kSendNumeric),
    T(1790).withName("refcursor"),
    T(2201).arrayOf(1790),  // refcursor[]
    T(2202).withName("regprocedure"),
    T(2203).withName("regoper"),
    T(2204).withName("regoperator"),
    T(2205).withName("regclass"),
    T(2206).withName("regtype"),
    T(2207).arrayOf(2202),  // regprocedure[]
    T(2208).arrayOf(2203),  // regoper[]
    T(2209).arrayOf(2204),  // regoperator[]
    T(2210).arrayOf(2205),  // regclass[]
    T(2211).arrayOf(2206),  // regtype[]
    T(2277).varlena(8),  // anyarray: pg_statistic, pg_attribute
    T(2842).withName("pg_authid"),
    T(2843).withName("pg_auth_members"),
    T(2949).arrayOf(2970),  // txid_snapshot[]
    T(2950).withName("uuid"),
    T(2951).arrayOf(2950),  // uuid[]
    T(2970).withName("txid_snapshot"),
    T(3220).withName("pg_lsn"),
    T(3221).arrayOf(3220),  // pg_lsn[]
    T(3361).withName("pg_ndistinct"),
    T(3402).withName("pg_dependencies"),
    T(3614).withName("tsvector"),
    T(3615).withName("tsquery"),
    T(3642).withName("gtsvector"),
    T(3643).arrayOf(3614),  // tsvector[]
    T(3644).arrayOf(3642),  // gtsvector[]
    T(3645).arrayOf(3615),  // tsquery[]
    T(3734).withName("regconfig"),
    T(3735).arrayOf(3734),  // regconfig[]
    T(3769).withName("regdictionary"),
    T(3770).arrayOf(3769),  // regdictionary[]
    T(kJsonb).withName("jsonb").varlena(4),
    T(3807).arrayOf(3802),  // jsonb[]
    T(3904).withName("int4range"),
    T(3905).arrayOf(3904),  // int4range[]
    T(3906).withName("numrange"),
    T(3907).arrayOf(3906),  // numrange[]
    T(3908).withName("tsrange"),
    T(3909).arrayOf(3908),  // tsrange[]
    T(3910).withName("tstzrange"),
    T(3911).arrayOf(3910),  // tstzrange[]
    T(3912).withName("daterange"),
    T(3913).arrayOf(3912),  // daterange[]
    T(3926).withName("int8range"),
    T(3927).arrayOf(3926),  // int8range[]
    T(kNvarchar2).withTypmodName(nvarchar2Name),
    T(4066).withName("pg_shseclabel"),
    T(4072).withName("jsonpath"),
    T(4073).arrayOf(4072),  // jsonpath[]
    T(4089).withName("regnamespace"),
    T(4090).arrayOf(4089),  // regnamespace[]
    T(4096).withName("regrole"),
    T(4097).arrayOf(4096),  // regrole[]
    T(4191).withName("regcollation"),
    T(4192).arrayOf(4191),  // regcollation[]
    T(4451).withName("int4multirange"),
    T(4532).withName("nummultirange"),
    T(4533).withName("tsmultirange"),
    T(4534).withName("tstzmultirange"),
    T(4535).withName("datemultirange"),
    T(4536).withName("int8multirange"),
    T(4600).withName("pg_brin_bloom_summary"),
    T(4601).withName("pg_brin_minmax_multi_summary"),
    T(5017).withName("pg_mcv_list"),
    T(5038).withName("pg_snapshot"),
    T(5039).arrayOf(5038),  // pg_snapshot[]
    T(5069).withName("xid8"),
    T(kTinyint).withName("tinyint").fixed(1, 1).text(outputTinyint, kPlain).sends(kSendTinyint),
    T(6101).withName("pg_subscription"),
    T(6150).arrayOf(4451),  // int4multirange[]
    T(6151).arrayOf(4532),  // nummultirange[]
    T(6152).arrayOf(4533),  // tsmultirange[]
    T(6153).arrayOf(4534),  // tstzmultirange[]
    T(6155).arrayOf(4535),  // datemultirange[]
    T(6157).arrayOf(4536),  // int8multirange[]
    T(kDatetime).withName("datetime").fixed(8, 8).text(outputDatetime, kPlain).sends(kSendInt64),
};
// clang-format on

constexpr bool sortedByOid() {
    for (size_t i = 1; i < std::size(kTypes); ++i)
        if (kTypes[i - 1].oid >= kTypes[i].oid)
            return false;
    return true;
}
static_assert(sortedByOid(), "kTypes must be sorted by OID, each OID once");

}  // namespace

const TypeInfo* findType(uint32_t typeOid) {
    const TypeInfo* end = std::end(kTypes);
    const TypeInfo* it =
        std::lower_bound(std::begin(kTypes), end, typeOid,
                         [](const TypeInfo& type, uint32_t oid) { return type.oid < oid; });
    return it != end && it->oid == typeOid ? it : nullptr;
}

std::span<const TypeInfo> typeTable() {
    return kTypes;
}

}  // namespace vorn
