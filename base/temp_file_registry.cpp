#include "base/temp_file_registry.h"

#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>

namespace vorn {

namespace {

std::atomic<char*> slots[kTempFileSlots];
static_assert(std::atomic<char*>::is_always_lock_free);

// Set by the handler before it sweeps the slots; never cleared, the process is ending.
std::atomic<bool> closed{false};
static_assert(std::atomic<bool>::is_always_lock_free);

// Entries between track() and created() (or forget()): files that may be being created.
std::atomic<int> creating{0};
static_assert(std::atomic<int>::is_always_lock_free);

// How long the handler waits for the creations under way. Only a thread stalled inside
// open(2) (a FIFO, a hung network file system) or the handler's own thread, interrupted
// between track() and created(), keeps it waiting that long.
constexpr int kCreationWaitSteps = 100;
constexpr long kCreationWaitStepNanoseconds = 1000 * 1000;

}  // namespace

void TempFileEntry::track(const std::string& path) noexcept {
    forget();
    creating.fetch_add(1);
    creating_ = true;
    if (closed.load()) {
        // The process is ending on a signal and the registry has been swept, or is being
        // swept: this file is not created at all. The handler ends the process soon (its
        // watchdog at the latest).
        for (;;)
            pause();
    }
    path_ = strdup(path.c_str());
    if (path_ == nullptr)
        return;
    for (size_t i = 0; i < kTempFileSlots; ++i) {
        char* empty = nullptr;
        if (slots[i].compare_exchange_strong(empty, path_)) {
            slot_ = static_cast<int>(i);
            return;
        }
    }
}

void TempFileEntry::created() noexcept {
    if (!creating_)
        return;
    // The handler may have swept the slots before the file existed. path_ is still valid:
    // the handler never frees, and only forget() on this entry does.
    if (closed.load() && path_ != nullptr)
        ::unlink(path_);
    creating_ = false;
    creating.fetch_sub(1);
}

void TempFileEntry::forget() noexcept {
    if (creating_) {
        creating_ = false;
        creating.fetch_sub(1);
    }
    if (path_ == nullptr)
        return;
    // Null when the handler took the path first: the path is the handler's then, and the
    // process is ending; it is left alone rather than freed under a reader.
    const bool ours = slot_ < 0 || slots[slot_].exchange(nullptr) != nullptr;
    if (ours)
        free(path_);
    path_ = nullptr;
    slot_ = -1;
}

void unlinkRegisteredTempFiles() noexcept {
    closed.store(true);
    // A creation under way ends with its file either in a slot or removed by created().
    for (int step = 0; step < kCreationWaitSteps && creating.load() > 0; ++step) {
        timespec wait{0, kCreationWaitStepNanoseconds};
        nanosleep(&wait, nullptr);
    }
    for (std::atomic<char*>& slot : slots) {
        if (const char* path = slot.exchange(nullptr))
            ::unlink(path);
    }
}

}  // namespace vorn
