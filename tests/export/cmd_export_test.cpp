// How UNLOAD TABLE and UNLOAD SCHEMA fold the names they are given, as PostgreSQL folds
// identifiers. The commands themselves run over a real data directory in
// cmd_export_fixture_test.cpp.

#include "export/cmd_export.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

namespace vorn::test {
namespace {

TEST(FoldIdentifier, Rules) {
    const std::pair<const char*, const char*> cases[] = {
        {"EMP", "emp"},   {"EM", "EM"},     {"\"Emp\"", "Emp"}, {"\"E\"", "E"},
        {"\"\"", "\"\""}, {"Ab\"", "ab\""}, {"", ""},           {"\"AB", "\"ab"},
    };
    for (const auto& [typed, folded] : cases) {
        std::string s = typed;
        foldIdentifier(s);
        EXPECT_EQ(s, folded) << typed;
    }
}

}  // namespace
}  // namespace vorn::test
