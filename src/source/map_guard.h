// MapGuard: keeps a window of a mapped file from killing the process when
// the file shrinks under it.
//
// Touching a mapped page that lies past the end of its file raises SIGBUS,
// and another process may truncate a file at any moment while it is being
// scanned. Every window is therefore registered while it is mapped, with the
// file it maps and the thread that maps it. For a fault inside a registered
// window, the SIGBUS handler maps a page of zeros over the lost page, marks
// the window, and lets the read go on; the window's owner sees the mark once
// it has scanned the window and reports a read failure instead of anything
// the zeros led to.
//
// Other code installs SIGBUS handlers too, at any time (Python's faulthandler
// for one), and such a handler knows nothing of our windows. So every new
// window first checks that the handler is still ours and installs it again
// in front of whatever replaced it. Faults outside our windows go to the
// handlers ours replaced, newest first, each as if it had been installed
// alone: the next older one gets the fault when a handler returns without
// curing it (the page still cannot be read) or raises it again, and the
// default action ends the chain. A handler installed while a window is
// mapped sees that window's fault first; when it raises the signal again
// (what faulthandler does after printing its report), the signal carries no
// address, so the handler takes it for a fault of the raising thread's own
// windows whose files no longer reach their end, and maps zeros over the
// pages they lost.
//
// Signals belong to the process, so the tables of windows, of replaced
// handlers and of threads passing a fault on are process-wide: the one
// shared state of the system, made of fixed slots of atomics that the handler
// can read safely. When every slot is taken the caller reads the window
// instead of mapping it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace jorvane {

class MapGuard {
public:
    // Guards nothing.
    MapGuard() = default;
    // Registers [begin, begin + len), a mapping of the descriptor `fd` from
    // the page-aligned `file_offset`, for the calling thread (the one that
    // reads it); an inactive guard (active() false) when no slot is free.
    // The descriptor must stay open while the guard lives.
    MapGuard(const void* begin, size_t len, int fd, uint64_t file_offset);
    MapGuard(const MapGuard&) = delete;
    MapGuard& operator=(const MapGuard&) = delete;
    MapGuard(MapGuard&& other) noexcept : slot_(other.slot_) { other.slot_ = kNoSlot; }
    MapGuard& operator=(MapGuard&& other) noexcept;
    ~MapGuard();

    bool active() const { return slot_ != kNoSlot; }
    // Some page of the window was lost (and reads as zeros).
    bool lost() const;

private:
    static constexpr size_t kNoSlot = SIZE_MAX;
    void release();
    size_t slot_ = kNoSlot;
};

}  // namespace jorvane
