#pragma once

// The temporary files being written right now ("<final>.tmp" of an export file, the
// dictionary cache files of a bootstrap), so that a process ended by a signal removes them:
// an interrupted unload must not leave a cut-off file of hundreds of megabytes behind.
//
// The registry is a fixed array of slots, each an atomic pointer to a strdup'ed path. The
// signal handler (base/signals.h) may run on any thread while the others go on writing;
// it takes no lock and allocates nothing: it exchanges each slot with null and unlinks the
// path it got, both async-signal-safe. Whoever exchanges a slot first owns its path, so a
// writer that forgets its file at the same moment never frees a path the handler reads.
//
// A file must never exist unregistered while a signal may end the process:
//
//   writer                              handler
//   TempFileEntry::track(path)          (1) marks the registry closed
//   create the file                     (2) waits for the creations under way
//   TempFileEntry::created()            (3) unlinks every registered path
//   ... write ...                       _exit
//   rename or remove the file
//   TempFileEntry::forget()
//
// A creation counts as under way from track() to created(). One that began before (1)
// ends, before (3), with its file in a slot or, when created() sees the closed mark,
// removed by the writer itself; waiting for it matters, since _exit could otherwise end
// the writer between creating the file and created(). A track() after (1) never returns:
// the process is ending and that file is not created. The wait is bounded (100 ms): the
// handler may have interrupted its own thread between track() and created(), and then
// that file exists and is in a slot, or does not exist yet and never will.

#include <cstddef>
#include <string>

namespace vorn {

// More than the files of the widest parallel unload (10 workers, each one file at a time)
// with a script and a bootstrap beside them. A file that finds every slot taken is written
// all the same, only without removal on a signal.
constexpr size_t kTempFileSlots = 64;

// The registration of one temporary file; forgotten when the entry is destroyed.
class TempFileEntry {
  public:
    TempFileEntry() = default;
    ~TempFileEntry() { forget(); }
    TempFileEntry(const TempFileEntry&) = delete;
    TempFileEntry& operator=(const TempFileEntry&) = delete;

    // Registers `path`, before the file is created; an entry tracks one path at a time, so
    // a path tracked before is forgotten first. Once the process has begun to end on a
    // signal, does not return.
    void track(const std::string& path) noexcept;
    // Once the file exists. If the process is ending on a signal, whose handler may have
    // swept the registry before the file was there, removes the file; the writer goes on
    // into the removed file until the process ends.
    void created() noexcept;
    // After the file was renamed to its final name or removed (or could not be created): a
    // signal no longer touches it.
    void forget() noexcept;

    bool tracked() const { return slot_ >= 0; }

  private:
    char* path_ = nullptr;  // strdup'ed; the slot's pointer while the entry has one
    int slot_ = -1;
    bool creating_ = false;  // between track() and created()
};

// For the signal handler: closes the registry and unlinks every registered path.
// Async-signal-safe; the paths are not freed, the process is about to end.
void unlinkRegisteredTempFiles() noexcept;

}  // namespace vorn
