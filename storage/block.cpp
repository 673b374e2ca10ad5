// What every page reader shares: taking a page, and noting what was wrong with it.

#include <cstdarg>
#include <cstdio>

#include "storage/block_except.h"
#include "storage/page_damage.h"
#include "storage/page_reader.h"

namespace vorn {

namespace {
constexpr uint16_t kMinBlockSize = 2048;
constexpr uint16_t kMaxBlockSize = 32768;
}  // namespace

void Block::setBuffer(const uint8_t* page, uint16_t blockSize) {
    if (page == nullptr)
        throw BlockExcept("block buffer is NULL");
    if (static_cast<uint16_t>(blockSize - kMinBlockSize) > kMaxBlockSize - kMinBlockSize)
        throw BlockExcept("block size [%u] must between %u and %u", unsigned{blockSize},
                          unsigned{kMinBlockSize}, unsigned{kMaxBlockSize});
    page_ = page;
    blockSize_ = blockSize;
    itemCount_ = 0;
    report_ = PageReport{};
    reasonText_[0] = '\0';
    loadPage();
}

void DamageNotes::rejectPage(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vsnprintf(text_, size_, format, args);
    va_end(args);
    report_.rejected = true;
    report_.reason = text_;
    report_.reasonItem = 0;
}

void DamageNotes::rejectTuple(uint32_t item, const char* format, ...) {
    ++report_.tuplesRejected;
    if (report_.reason != nullptr)
        return;
    va_list args;
    va_start(args, format);
    std::vsnprintf(text_, size_, format, args);
    va_end(args);
    report_.reason = text_;
    report_.reasonItem = item;
}

}  // namespace vorn
