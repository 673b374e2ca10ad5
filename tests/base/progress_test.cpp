#include "base/progress.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace vorn {
namespace {

// Everything a bar writes, byte for byte.
class Capture {
  public:
    Capture() : file_(open_memstream(&data_, &size_)) {}
    ~Capture() {
        std::fclose(file_);
        std::free(data_);
    }
    std::FILE* file() { return file_; }
    std::string text() {
        std::fflush(file_);
        return std::string(data_, size_);
    }

  private:
    char* data_ = nullptr;
    size_t size_ = 0;
    std::FILE* file_;
};

// One drawing: '\r', the prefix, '[', `stars` '*', `dots` '.', ']' and the percent text.
std::string bar(int stars, int dots, const std::string& percent, char spinner,
                const std::string& prefix = "") {
    return "\r" + prefix + "[" + std::string(stars, '*') + std::string(dots, '.') + "] " + percent +
           "% " + spinner + " ";
}

const std::string kErase = "\r" + std::string(79, ' ') + "\r";

struct Case {
    const char* name;
    std::function<void(UiProgress&)> run;
    std::string expected;
};

TEST(UiProgressTest, DrawsExactBytes) {
    const std::vector<Case> cases = {
        {"half of 100",
         [](UiProgress& p) {
             p.begin(100);
             p.setProgress(50);
         },
         bar(33, 31, " 50.0", '|')},
        {"text is not drawn",
         [](UiProgress& p) {
             p.begin(100);
             p.setProgressText(50, "pg_class");
         },
         bar(33, 31, " 50.0", '|')},
        {"zero draws the empty bar once",
         [](UiProgress& p) {
             p.begin(100);
             p.setProgress(0);
             p.setProgress(0);
         },
         bar(0, 64, "  0.0", '|')},
        {"one cell as soon as anything is done",
         [](UiProgress& p) {
             p.begin(1000000);
             p.setProgress(1);
         },
         bar(1, 63, "  0.0", '|')},
        {"thirds cut to tenths",
         [](UiProgress& p) {
             p.beginPart(3, 1, 1, 1);
             p.setProgress(1);
             p.setProgress(2);
             p.setProgress(3);
         },
         bar(22, 42, " 33.3", '|') + bar(43, 21, " 66.6", '/') + bar(64, 0, "100.0", '-')},
        {"equal fill redraws and turns the spinner",
         [](UiProgress& p) {
             p.begin(1000);
             for (uint32_t cur = 1; cur <= 5; ++cur)
                 p.setProgress(cur);
         },
         bar(1, 63, "  0.1", '|') + bar(1, 63, "  0.2", '/') + bar(1, 63, "  0.3", '-') +
             bar(1, 63, "  0.4", '\\') + bar(1, 63, "  0.5", '|')},
        {"past the total draws nothing",
         [](UiProgress& p) {
             p.begin(100);
             p.setProgress(101);
         },
         ""},
        {"going backwards draws nothing",
         [](UiProgress& p) {
             p.begin(100);
             p.setProgress(50);
             p.setProgress(30);
         },
         bar(33, 31, " 50.0", '|')},
        {"zero after a drawing draws nothing",
         [](UiProgress& p) {
             p.begin(100);
             p.setProgress(50);
             p.setProgress(0);
         },
         bar(33, 31, " 50.0", '|')},
        {"step threshold",
         [](UiProgress& p) {
             p.beginPart(100, 10, 1, 1);
             p.setProgress(5);   // below the first threshold
             p.setProgress(25);  // draws; the next threshold is 20, not 30
             p.setProgress(26);  // 26 >= 20: draws
             p.setProgress(27);  // below 30
             p.updateNow(27);    // ignores the threshold
         },
         bar(17, 47, " 25.0", '|') + bar(17, 47, " 26.0", '/') + bar(18, 46, " 27.0", '-')},
        {"finish without updates draws the full bar and erases it",
         [](UiProgress& p) {
             p.beginPart(5, 1, 1, 1);
             p.finish();
         },
         bar(64, 0, "100.0", '|') + kErase},
        {"finish with a message",
         [](UiProgress& p) {
             p.begin(10);
             p.setProgress(5);
             p.finishWithMessage("done");
         },
         bar(33, 31, " 50.0", '|') + bar(64, 0, "100.0", '/') + kErase + "\ndone\n"},
        {"part prefix narrows the bar",
         [](UiProgress& p) {
             p.beginPart(100, 1, 3, 12);
             p.setProgress(50);
         },
         bar(29, 28, " 50.0", '|', " 3/12  ")},
        {"widest prefix stays inside the line",
         [](UiProgress& p) {
             p.beginPart(2, 1, 2147483647, 2147483647);
             p.setProgress(2);
         },
         bar(41, 0, "100.0", '|', "2147483647/2147483647  ")},
        {"one part has no prefix",
         [](UiProgress& p) {
             p.beginPart(4, 1, 7, 1);
             p.setProgress(4);
         },
         bar(64, 0, "100.0", '|')},
        {"drawEmpty only before anything was drawn",
         [](UiProgress& p) {
             p.begin(10);
             p.drawEmpty();
             p.drawEmpty();
             p.setProgress(0);
             p.setProgress(10), p.drawEmpty();
         },
         bar(0, 64, "  0.0", '|') + bar(64, 0, "100.0", '/')},
        {"restart draws afresh",
         [](UiProgress& p) {
             p.beginPart(10, 1, 2, 3);
             p.setProgress(10);
             p.begin(10);
             p.setProgress(5);
         },
         bar(59, 0, "100.0", '|', "2/3  ") + bar(33, 31, " 50.0", '|')},
        {"endPart erases after the last part only",
         [](UiProgress& p) {
             p.beginPart(10, 1, 1, 2);
             p.endPart();
             p.beginPart(10, 1, 2, 2);
             p.endPart();
         },
         kErase},
        {"hidden bar writes nothing",
         [](UiProgress& p) {
             p.beginPart(100, 1, -1, 1);
             p.drawEmpty();
             p.setProgress(0);
             p.setProgress(50), p.updateNow(60);
             p.endPart();
             p.clearLine(true);
             p.finish();
         },
         ""},
        {"zero total draws nothing but finish still erases",
         [](UiProgress& p) {
             p.begin(0);
             p.drawEmpty();
             p.setProgress(0);
             p.finish();
         },
         kErase},
        {"nothing before begin",
         [](UiProgress& p) {
             p.setProgress(1);
             p.drawEmpty();
             p.nop();
         },
         ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Capture out;
        UiProgress progress(out.file());
        c.run(progress);
        EXPECT_EQ(out.text(), c.expected);
    }
}

TEST(UiProgressTest, WorksThroughTheInterface) {
    Capture out;
    std::unique_ptr<IProgressBar> bar_ = std::make_unique<UiProgress>(out.file());
    bar_->begin(4);
    bar_->setProgress(4);
    EXPECT_EQ(out.text(), bar(64, 0, "100.0", '|'));
}

}  // namespace
}  // namespace vorn
