#include <gtest/gtest.h>

#include <string>

#include "storage/text_buffer.h"

namespace vorn::test {
namespace {

TEST(TextBuffer, GrowsKeepingItsBytesAndRollsBack) {
    TextBuffer out;
    EXPECT_TRUE(out.empty());
    std::string expected;
    // Past several doublings, through each way in.
    for (int i = 0; i < 5000; ++i) {
        const std::string piece = std::to_string(i);
        switch (i % 3) {
            case 0:
                out.append(piece);
                break;
            case 1:
                for (char c : piece)
                    out.push_back(c);
                break;
            default: {
                char* at = out.ensure(piece.size() + 10);
                piece.copy(at, piece.size());
                out.advance(piece.size());
            }
        }
        expected += piece;
    }
    EXPECT_EQ(out.view(), expected);
    EXPECT_GE(out.capacity(), out.size());

    out.truncate(3);
    EXPECT_EQ(out.view(), expected.substr(0, 3));
    out.truncate(10);  // never grows
    EXPECT_EQ(out.size(), 3u);
    out.clear();
    EXPECT_TRUE(out.empty());
    out.append("", 0);
    EXPECT_TRUE(out.empty());
}

TEST(TextBuffer, ReserveAndMoveKeepTheBytes) {
    TextBuffer out(10);
    EXPECT_GE(out.capacity(), 10u);
    out.append("abc");
    out.reserve(100000);
    EXPECT_GE(out.capacity(), 100000u);
    TextBuffer moved(std::move(out));
    EXPECT_EQ(moved.view(), "abc");
}

}  // namespace
}  // namespace vorn::test
