// MapGuard: keeps a window of a mapped file from killing the process when
// the file shrinks under it.
//
// Touching a mapped page that lies past the end of its file raises SIGBUS,
// and another process may truncate a file at any moment while it is being
// scanned. Every window is therefore registered while it is mapped. The
// first registration installs a SIGBUS handler (once per process, keeping the
// handler it replaces). For a fault inside a registered window, the handler
// maps a page of zeros over the lost page, marks the window, and lets the read
// go on; the window's owner sees the mark once it has scanned the window and
// reports a read failure instead of anything the zeros led to. Any other
// fault is handed to the handler that was there before (or to the default
// action).
//
// Signals belong to the process, so the table of windows is process-wide:
// the one shared table of the system, made of fixed slots of atomics that the
// handler can read safely. When every slot is taken the caller reads the
// window instead of mapping it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace jorvane {

class MapGuard {
public:
    // Guards nothing.
    MapGuard() = default;
    // Registers [begin, begin + len); an inactive guard (active() false)
    // when no slot is free.
    MapGuard(const void* begin, size_t len);
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
