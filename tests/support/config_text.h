#pragma once

#include <string>

namespace vorn::test {

// Text of a conf/vorn.ini for the tests: a dotted key as nested elements,
// "a.b.c" -> <a><b><c>text</c></b></a>, and a whole file around such elements.
std::string configElement(const std::string& path, const std::string& text);
std::string configFile(const std::string& body);

}  // namespace vorn::test
