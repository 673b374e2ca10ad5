// The date and time encoders of COPY BINARY against the server's own receive functions: a
// value the server refuses ("date out of range", "time out of range") must be sent as NULL,
// since one such field makes COPY FROM fail the whole table; every value the server takes
// must be sent as it is stored.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "storage/copy_binary_buffer.h"
#include "storage/copy_binary_encode.h"
#include "tests/support/pg_server.h"
#include "tests/support/temp_dir.h"

namespace vorn::test {
namespace {

struct RangeCase {
    const char* type;
    BinaryEncodeFn encoder;
    std::vector<int64_t> values;  // the stored value (for timetz: the time; zones below)
    std::vector<int32_t> zones;   // timetz only: each time with each zone
};

// Little-endian stored bytes of one value, as the page holds them.
std::vector<uint8_t> stored(const RangeCase& c, int64_t value, int32_t zone) {
    std::vector<uint8_t> bytes;
    auto put = [&](uint64_t v, int n) {
        for (int i = 0; i < n; ++i)
            bytes.push_back(static_cast<uint8_t>(v >> (8 * i)));
    };
    if (std::strcmp(c.type, "date") == 0) {
        put(static_cast<uint32_t>(static_cast<int32_t>(value)), 4);
    } else {
        put(static_cast<uint64_t>(value), 8);
        if (std::strcmp(c.type, "timetz") == 0)
            put(static_cast<uint32_t>(zone), 4);
    }
    return bytes;
}

// A COPY BINARY file of one row holding `field` (big-endian body, as a client sends it).
void writeOneRowFile(const std::string& path, const std::vector<uint8_t>& field) {
    CopyBinaryBuffer file;
    file.appendHeader();
    file.appendFieldCount(1);
    file.appendField(field.data(), field.size());
    file.appendTrailer();
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(file.data()),
               static_cast<std::streamsize>(file.size()));
}

TEST(BinaryRanges, EncodersSendNullExactlyWhereTheServerRefuses) {
    PgServer& server = PgServer::shared();
    TempDir dir;
    constexpr int64_t kDay = int64_t(86400) * 1000000;
    const std::vector<RangeCase> cases = {
        {"date",
         encodeBinaryDate,
         {INT32_MIN, INT32_MIN + 1, -2451546, -2451545, 0, 2147483494 - 2451545 - 1,
          2147483494 - 2451545, INT32_MAX - 1, INT32_MAX},
         {}},
        {"time", encodeBinaryTime, {-1, 0, kDay - 1, kDay, kDay + 1, INT64_MAX}, {}},
        {"timetz",
         encodeBinaryTimeTz,
         {-1, 0, kDay, kDay + 1},
         {-57601, -57600, -57599, 0, 57599, 57600, 57601}},
        {"timestamp",
         encodeBinaryTimestamp,
         {INT64_MIN, INT64_MIN + 1, -211813488000000001, -211813488000000000, 0,
          9223371331199999999, 9223371331200000000, INT64_MAX - 1, INT64_MAX},
         {}},
        {"timestamptz",
         encodeBinaryTimestampTz,
         {INT64_MIN, -211813488000000001, -211813488000000000, 9223371331199999999,
          9223371331200000000, INT64_MAX},
         {}},
    };
    for (const RangeCase& c : cases) {
        SCOPED_TRACE(c.type);
        const std::string table = std::string("range_") + c.type;
        // One psql run per type: each file loaded on its own, the row count after each says
        // whether the server took it.
        std::string script = "DROP TABLE IF EXISTS " + table + "; CREATE TABLE " + table + " (v " +
                             c.type + ");\n\\set ON_ERROR_STOP 0\n";
        struct Probe {
            std::string label;
            bool sentNull;
            std::vector<uint8_t> body, sent;
        };
        std::vector<Probe> probes;
        const std::vector<int32_t> zones = c.zones.empty() ? std::vector<int32_t>{0} : c.zones;
        for (const int64_t value : c.values) {
            for (const int32_t zone : zones) {
                Probe probe;
                probe.label = std::to_string(value) + " zone " + std::to_string(zone);
                const std::vector<uint8_t> bytes = stored(c, value, zone);
                CopyBinaryBuffer out;
                probe.sentNull = !c.encoder(bytes.data(), static_cast<uint32_t>(bytes.size()), out);
                if (probe.sentNull) {
                    EXPECT_EQ(out.size(), 0u) << probe.label;  // a refusal writes nothing
                } else {
                    ASSERT_GE(out.size(), 4u) << probe.label;
                    probe.sent.assign(out.data() + 4, out.data() + out.size());
                }
                // The server's form: the int32 or int64, then timetz's zone, each big-endian.
                const size_t first = bytes.size() == 4 ? 4 : 8;
                probe.body.resize(bytes.size());
                for (size_t i = 0; i < first; ++i)
                    probe.body[i] = bytes[first - 1 - i];
                for (size_t i = first; i < bytes.size(); ++i)
                    probe.body[i] = bytes[bytes.size() - 1 - (i - first)];
                const std::string file = dir.path() + "/" + table + std::to_string(probes.size());
                writeOneRowFile(file, probe.body);
                script += "\\copy " + table + " FROM " + PgServer::quoteLiteral(file) +
                          " WITH (FORMAT binary)\nSELECT count(*) FROM " + table + ";\n";
                probes.push_back(probe);
            }
        }
        std::istringstream counts(server.psql(script));
        int64_t before = 0;
        for (const Probe& probe : probes) {
            SCOPED_TRACE(probe.label);
            int64_t after = -1;
            ASSERT_TRUE(counts >> after);
            const bool accepted = after > before;
            before = after;
            EXPECT_EQ(!probe.sentNull, accepted);
            if (!probe.sentNull) {
                EXPECT_EQ(probe.sent, probe.body);
            }
        }
    }
}

}  // namespace
}  // namespace vorn::test
