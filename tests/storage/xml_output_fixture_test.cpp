// xml values printed as the server prints them: a live server stores each value (xml_in keeps
// the text as given) and copies it out in text and binary; vorn's text output and binary
// encoder, given the stored bytes, must write the same.

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "storage/copy_binary_buffer.h"
#include "storage/copy_binary_encode.h"
#include "storage/text_buffer.h"
#include "storage/value_text.h"
#include "tests/support/pg_server.h"
#include "tests/support/temp_dir.h"

namespace vorn::test {
namespace {

uint32_t bigEndian(const uint8_t* p, int n) {
    uint32_t v = 0;
    for (int i = 0; i < n; ++i)
        v = v << 8 | p[i];
    return v;
}

const std::vector<std::string> kValues = {
    "<a/>",
    "<?xml version=\"1.0\"?><a/>",
    "<?xml version=\"1.0\"?>\n<a/>",
    "\n<a/>",
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?><a/>",
    "<?xml version=\"1.0\" standalone=\"yes\"?><a/>",
    "<?xml version=\"1.0\" encoding=\"latin1\" standalone=\"no\"?>\n<a/>",
    "<?xml-stylesheet href=\"a\"?><a/>",
    "<?xml version='1.0'  ?>\n\n<a/>",
    "<?xml version=\"1.0\"?>\r\n<a/>",
    "plain text",
    "",
    "<?xml version=\"1.0\"?>",
};

std::string textOf(const std::string& value) {
    TextBuffer out;
    ColumnDef column{};
    EXPECT_TRUE(outputXml(reinterpret_cast<const uint8_t*>(value.data()),
                          static_cast<uint32_t>(value.size()), column, out));
    return std::string(out.data(), out.size());
}

std::string binaryOf(const std::string& value) {
    CopyBinaryBuffer out;
    EXPECT_TRUE(encodeBinaryXml(reinterpret_cast<const uint8_t*>(value.data()),
                                static_cast<uint32_t>(value.size()), out));
    EXPECT_GE(out.size(), 4u);
    const uint32_t n = bigEndian(out.data(), 4);
    EXPECT_EQ(out.size(), 4u + n);
    return std::string(reinterpret_cast<const char*>(out.data()) + 4, n);
}

TEST(XmlOutput, DeclarationsAndLineFeedsAsTheServerPrintsThem) {
    PgServer& server = PgServer::shared();
    TempDir dir;
    std::string setup = "DROP TABLE IF EXISTS xml_out; CREATE TABLE xml_out (i int, v xml);\n";
    for (size_t i = 0; i < kValues.size(); ++i)
        setup += "INSERT INTO xml_out VALUES (" + std::to_string(i) + ", " +
                 PgServer::quoteLiteral(kValues[i]) + ");\n";
    server.psql(setup);

    // Text: the server's COPY of the rows, one line each, its escapes undone.
    const std::string textFile = dir.path() + "/xml.txt";
    server.psql("\\copy (SELECT v FROM xml_out ORDER BY i) TO " + PgServer::quoteLiteral(textFile));
    std::ifstream textIn(textFile, std::ios::binary);
    for (size_t i = 0; i < kValues.size(); ++i) {
        SCOPED_TRACE(kValues[i]);
        std::string line;
        ASSERT_TRUE(std::getline(textIn, line));
        std::string expected;
        for (size_t c = 0; c < line.size(); ++c) {
            if (line[c] != '\\' || c + 1 == line.size()) {
                expected += line[c];
                continue;
            }
            const char e = line[++c];
            expected += e == 'n' ? '\n' : e == 'r' ? '\r' : e == 't' ? '\t' : e;
        }
        EXPECT_EQ(textOf(kValues[i]), expected);
    }

    // Binary: the server's COPY BINARY of the same rows, field by field.
    const std::string file = dir.path() + "/xml.bin";
    server.psql("\\copy (SELECT v FROM xml_out ORDER BY i) TO " + PgServer::quoteLiteral(file) +
                " WITH (FORMAT binary)");
    std::ifstream in(file, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), {});
    size_t at = kCopyHeaderSize;
    for (size_t i = 0; i < kValues.size(); ++i) {
        SCOPED_TRACE(kValues[i]);
        ASSERT_LE(at + 6, bytes.size());
        const auto* p = reinterpret_cast<const uint8_t*>(bytes.data() + at);
        ASSERT_EQ(bigEndian(p, 2), 1u);
        const uint32_t n = bigEndian(p + 2, 4);
        EXPECT_EQ(binaryOf(kValues[i]), bytes.substr(at + 6, n));
        at += 6 + n;
    }
}

// The characters of `utf8` (all below U+0100) as LATIN1 bytes.
std::string latin1Of(const std::string& utf8) {
    std::string out;
    for (size_t i = 0; i < utf8.size(); ++i) {
        const auto c = static_cast<unsigned char>(utf8[i]);
        if (c < 0x80 || i + 1 == utf8.size()) {
            out += static_cast<char>(c);
            continue;
        }
        const auto next = static_cast<unsigned char>(utf8[++i]);
        out += static_cast<char>(((c & 0x03) << 6) | (next & 0x3F));
    }
    return out;
}

// The fields of a COPY BINARY file of one column, in row order.
std::vector<std::string> binaryFields(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), {});
    std::vector<std::string> fields;
    for (size_t at = kCopyHeaderSize; at + 6 <= bytes.size();) {
        const auto* p = reinterpret_cast<const uint8_t*>(bytes.data() + at);
        if (bigEndian(p, 2) != 1)
            break;  // the trailer
        const uint32_t n = bigEndian(p + 2, 4);
        fields.push_back(bytes.substr(at + 6, n));
        at += 6 + n;
    }
    return fields;
}

// A database in another encoding than UTF8: the server's binary output of xml, for a client
// in that encoding, names it in a declaration (always printed); the receiving server reads
// the bytes as that encoding. Without the declaration it reads them as UTF-8, and the first
// non-ASCII byte fails the whole COPY ("invalid byte sequence for encoding "UTF8"").
TEST(XmlOutput, BinaryValuesOfALatin1DatabaseNameTheirEncoding) {
    PgServer& server = PgServer::shared();
    TempDir dir;
    const std::string database = "xml_latin1";
    server.psql("DROP DATABASE IF EXISTS " + database + ";");
    server.createDatabase(database, "LATIN1");
    std::vector<std::string> values = kValues;
    values.push_back("<a>caf\xc3\xa9</a>");
    values.push_back("<?xml version=\"1.0\" standalone=\"yes\"?>\n<b>\xc3\xa9t\xc3\xa9</b>");
    values.push_back("\n<c>\xc3\xbf</c>");
    std::string setup = "CREATE TABLE xml_out (i int, v xml);\n";
    for (size_t i = 0; i < values.size(); ++i)
        setup += "INSERT INTO xml_out VALUES (" + std::to_string(i) + ", " +
                 PgServer::quoteLiteral(values[i]) + ");\n";
    server.psql(setup, database, "UTF8");

    const std::string file = dir.path() + "/xml.bin";
    server.psql("\\copy (SELECT v FROM xml_out ORDER BY i) TO " + PgServer::quoteLiteral(file) +
                    " WITH (FORMAT binary)",
                database, "LATIN1");
    const std::vector<std::string> theirs = binaryFields(file);
    ASSERT_EQ(theirs.size(), values.size());
    std::ifstream theirFile(file, std::ios::binary);
    std::string ours(kCopyHeaderSize, '\0');  // the server's header: signature, flags, extension
    theirFile.read(ours.data(), static_cast<std::streamsize>(ours.size()));
    for (size_t i = 0; i < values.size(); ++i) {
        SCOPED_TRACE(values[i]);
        const std::string stored = latin1Of(values[i]);  // the bytes on the LATIN1 pages
        CopyBinaryBuffer out;
        ASSERT_TRUE(encodeBinaryXmlDeclaring(reinterpret_cast<const uint8_t*>(stored.data()),
                                             static_cast<uint32_t>(stored.size()), "LATIN1", out));
        const std::string field(reinterpret_cast<const char*>(out.data()), out.size());
        EXPECT_EQ(field.substr(4), theirs[i]);
        ours += std::string("\0\1", 2) + field;
    }
    ours += std::string("\xff\xff", 2);

    // Ours loads into a UTF8 database as the server's file does.
    const std::string ourFile = dir.path() + "/ours.bin";
    std::ofstream(ourFile, std::ios::binary) << ours;
    server.psql(
        "DROP TABLE IF EXISTS xml_ours, xml_theirs; CREATE TABLE xml_ours (v xml); "
        "CREATE TABLE xml_theirs (v xml);\n"
        "\\copy xml_ours FROM " +
            PgServer::quoteLiteral(ourFile) +
            " WITH (FORMAT binary)\n"
            "\\copy xml_theirs FROM " +
            PgServer::quoteLiteral(file) + " WITH (FORMAT binary)\n",
        "postgres", "LATIN1");
    EXPECT_EQ(server.psql("SELECT (SELECT count(*) FROM xml_ours), (SELECT count(*) FROM "
                          "((SELECT v::text FROM xml_ours) EXCEPT ALL (SELECT v::text FROM "
                          "xml_theirs)) x), (SELECT count(*) FROM xml_ours WHERE v::text LIKE "
                          "'%caf\xc3\xa9%');",
                          "postgres", "UTF8"),
              std::to_string(values.size()) + "|0|1\n");
    server.psql("DROP TABLE xml_ours, xml_theirs;");
    server.psql("DROP DATABASE " + database + ";");
}

}  // namespace
}  // namespace vorn::test
