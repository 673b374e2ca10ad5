#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace vorn {

// Progress sink of long operations (dictionary load and bootstrap, table unload). Callers that
// want no progress pass a null pointer instead of a bar.
class IProgressBar {
  public:
    virtual ~IProgressBar() = default;

    // Starts a single part: beginPart(total, 1, 1, 1).
    virtual void begin(uint32_t total) = 0;
    virtual void nop() = 0;
    // The text is not drawn; only `cur` counts.
    virtual void setProgressText(uint32_t cur, const std::string& text) = 0;
    virtual void setProgress(uint32_t cur) = 0;
    // Draws the full bar, then erases the line.
    virtual void finish() = 0;
    // finish, then prints "\n<msg>\n" (also where the bar is not drawn).
    virtual void finishWithMessage(const char* msg) = 0;
    // `cur` == `total` means done; redraws only once `cur` advanced by `step` (0: every call).
    // A negative `index` hides the bar; with `count` >= 2 the bar is prefixed "index/count".
    virtual void beginPart(uint32_t total, uint32_t step, int32_t index, int32_t count) = 0;
    virtual void drawEmpty() = 0;
    virtual void update(uint32_t cur) = 0;
    // Draws `cur` regardless of the step threshold.
    virtual void updateNow(uint32_t cur) = 0;
    // Erases the line after the last part.
    virtual void endPart() = 0;
    virtual void clearLine(bool last) = 0;
};

// A one-line text bar redrawn in place with a leading '\r':
//
//   \r[*****************...........]  50.0% |
//
// 64 cells between the brackets (fewer by the width of a part prefix " 3/12  "), a cell
// filled per 1/64 of the way, the percent cut to tenths and a spinner that turns on every
// drawing. Drawing never allocates: the line lives in the object.
class UiProgress : public IProgressBar {
  public:
    // The bar of the console: drawn on standard output when it is a terminal
    // (consoleIsTerminal, base/console_color.h); otherwise nothing is drawn or erased, and a
    // file gets only the lines around the bar.
    UiProgress();
    // Drawn on `out`, whatever it is: for tests of the bar itself.
    explicit UiProgress(std::FILE* out);
    UiProgress(const UiProgress&) = delete;
    UiProgress& operator=(const UiProgress&) = delete;

    void begin(uint32_t total) override;
    void nop() override;
    void setProgressText(uint32_t cur, const std::string& text) override;
    void setProgress(uint32_t cur) override;
    void finish() override;
    void finishWithMessage(const char* msg) override;
    void beginPart(uint32_t total, uint32_t step, int32_t index, int32_t count) override;
    void drawEmpty() override;
    void update(uint32_t cur) override;
    void updateNow(uint32_t cur) override;
    void endPart() override;
    void clearLine(bool last) override;

  private:
    static constexpr int kLineSize = 84;
    static constexpr int kFullWidth = 64;
    static constexpr int32_t kNothingDrawn = -2;
    static constexpr int32_t kEmptyDrawn = -1;

    struct State {
        uint32_t total;
        uint32_t step;
        uint32_t next;  // the smallest `cur` that redraws
        int32_t index;
        int32_t count;
        char line[kLineSize];  // line[0] is always '\r'
        int32_t lastFill;      // kNothingDrawn, kEmptyDrawn or the last fill
        uint32_t spinner;      // number of drawings
        int32_t barStart;      // position of '[' in `line`
        int32_t width;         // cells between '[' and ']'
        int32_t digits;        // field width of the part numbers
    };

    // Cells 0..fill are '*'; `millionths` is the progress in millionths of `total`.
    void draw(int32_t fill, uint32_t millionths);
    bool hidden() const { return out_ == nullptr || state_.index < 0 || state_.total == 0; }

    std::FILE* out_;  // null: nothing is drawn
    State state_{};
};

}  // namespace vorn
