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

}  // namespace
}  // namespace vorn::test
