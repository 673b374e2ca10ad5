#include "tests/support/config_text.h"

namespace vorn::test {

std::string configElement(const std::string& path, const std::string& text) {
    std::string open, close;
    size_t start = 0;
    for (;;) {
        const size_t dot = path.find('.', start);
        const std::string name = path.substr(start, dot - start);
        open += "<" + name + ">";
        close = "</" + name + ">" + close;
        if (dot == std::string::npos)
            break;
        start = dot + 1;
    }
    return open + text + close;
}

std::string configFile(const std::string& body) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<vorn>" + body + "</vorn>\n";
}

}  // namespace vorn::test
