#include "base/progress.h"

#include <algorithm>
#include <array>

#include "base/console_color.h"

namespace vorn {

namespace {

constexpr char kSpinner[] = "|/-\\";
constexpr uint32_t kMillion = 1000000;
// Keeps the percent text at three digits whatever the caller reports.
constexpr uint32_t kMaxMillionths = 9999999;
constexpr int kPrefixRoom = 80;
constexpr int kMinBarWidth = 10;
constexpr int kPercentTextSize = 10;  // " %3d.%1d%% %c "

// '\r', 79 blanks, '\r': wipes the bar and leaves the cursor at the left edge.
constexpr auto kEraseLine = [] {
    std::array<char, 82> text{};
    text[0] = '\r';
    for (int i = 1; i <= 79; ++i)
        text[i] = ' ';
    text[80] = '\r';
    return text;
}();

// Progress in millionths, plus 50 so the percent text cut to tenths reads 33.3 for 1 of 3
// and 100.0 only when done.
uint32_t millionthsOf(uint32_t cur, uint32_t total) {
    const uint64_t v = static_cast<uint64_t>(cur) * kMillion / total + 50;
    return static_cast<uint32_t>(std::min<uint64_t>(v, kMaxMillionths));
}

int32_t decimalDigits(int32_t n) {
    int32_t digits = 1;
    while (n >= 10) {
        n /= 10;
        ++digits;
    }
    return digits;
}

}  // namespace

UiProgress::UiProgress() : UiProgress(consoleIsTerminal() ? stdout : nullptr) {}

UiProgress::UiProgress(std::FILE* out) : out_(out) {
    static_assert(kLineSize > 1 + kFullWidth + 2 + kPercentTextSize,
                  "the line must hold '\\r', the bar and the percent text");
    state_.line[0] = '\r';
}

void UiProgress::begin(uint32_t total) {
    beginPart(total, 1, 1, 1);
}

void UiProgress::nop() {}

void UiProgress::setProgressText(uint32_t cur, const std::string& /*text*/) {
    update(cur);
}

void UiProgress::setProgress(uint32_t cur) {
    update(cur);
}

void UiProgress::finish() {
    updateNow(state_.total);
    clearLine(true);
}

void UiProgress::finishWithMessage(const char* msg) {
    finish();
    std::FILE* const out = out_ != nullptr ? out_ : stdout;
    std::fprintf(out, "\n%s\n", msg != nullptr ? msg : "");
    std::fflush(out);
}

void UiProgress::beginPart(uint32_t total, uint32_t step, int32_t index, int32_t count) {
    State& s = state_;
    s.total = total;
    s.step = step;
    s.next = step;
    s.index = index;
    s.count = count;
    s.width = kFullWidth;
    s.lastFill = kNothingDrawn;
    s.spinner = 0;
    s.barStart = 1;
    s.digits = 0;
    if (index < 0 || count < 2)
        return;

    // "index/count" right-aligned to the digits of count, two blanks; the bar gives up the room.
    s.digits = decimalDigits(count);
    const int len =
        std::snprintf(s.line + 1, kPrefixRoom, "%*d/%*d  ", s.digits, index, s.digits, count);
    if (len > 0 && s.width - len > kMinBarWidth) {
        s.barStart += len;
        s.width -= len;
    }
}

void UiProgress::drawEmpty() {
    if (state_.lastFill != kNothingDrawn || hidden())
        return;
    draw(kEmptyDrawn, 0);
}

void UiProgress::update(uint32_t cur) {
    State& s = state_;
    if (hidden() || cur > s.total)
        return;

    int32_t fill;
    if (cur == s.total) {
        fill = s.width;
        if (s.width < s.lastFill)
            return;
    } else if (cur > 0) {
        if (s.step != 0) {
            if (cur < s.next)
                return;
            s.next += s.step;
        }
        fill = static_cast<int32_t>(millionthsOf(cur, s.total) * static_cast<uint32_t>(s.width) /
                                    kMillion);
        // An equal fill redraws so the spinner shows the work goes on; a smaller one is a
        // report going backwards.
        if (fill < s.lastFill)
            return;
    } else {
        fill = kEmptyDrawn;
        if (s.lastFill != kNothingDrawn)
            return;
    }
    draw(fill, millionthsOf(cur, s.total));
}

void UiProgress::updateNow(uint32_t cur) {
    state_.next = cur;
    update(cur);
}

void UiProgress::endPart() {
    clearLine(state_.count < 1 || state_.index >= state_.count);
}

void UiProgress::clearLine(bool last) {
    if (!last || state_.index < 0 || out_ == nullptr)
        return;
    // Whatever is pending on either stream lands before the bar is wiped.
    std::fflush(stdout);
    std::fflush(stderr);
    if (out_ != stdout)
        std::fflush(out_);
    std::fputs(kEraseLine.data(), out_);
    std::fflush(out_);
}

void UiProgress::draw(int32_t fill, uint32_t millionths) {
    State& s = state_;
    int pos = s.barStart;
    s.line[pos++] = '[';
    for (int32_t i = 0; i < s.width; ++i)
        s.line[pos++] = i <= fill ? '*' : '.';
    s.line[pos++] = ']';
    std::snprintf(s.line + pos, kLineSize - pos, " %3d.%1d%% %c ",
                  static_cast<int>(millionths / 10000), static_cast<int>(millionths % 10000 / 1000),
                  kSpinner[s.spinner % 4]);
    ++s.spinner;
    s.lastFill = fill;
    std::fputs(s.line, out_);
    std::fflush(out_);
}

}  // namespace vorn
