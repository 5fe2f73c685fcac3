// MappedFile: a plain file whose bytes the engine scans where the kernel
// keeps them, without copying them into a buffer first.
//
// The file is mapped a window at a time (never whole: a window's pages count
// as the process's memory while it is mapped), each window guarded against a
// shrinking file (source/map_guard.h). A window is read into a buffer
// instead when the file cannot be mapped or no guard is free. The size is
// asked of the file again whenever it matters, so a file that grows or
// shrinks between windows reads as read(2) would read it.
//
// MappedFileSource hands out such windows as a Source: buffers of the buffer
// length at offsets that are multiples of it (only the last one shorter), as
// a read-based source would.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "source/io_error.h"
#include "source/map_guard.h"
#include "source/source.h"
#include "util/result.h"

namespace jorvane {

// The bytes of one window: mapped (and unmapped when dropped), or read into
// the caller's spare buffer.
class FileWindow {
public:
    FileWindow() = default;
    FileWindow(const FileWindow&) = delete;
    FileWindow& operator=(const FileWindow&) = delete;
    FileWindow(FileWindow&& other) noexcept;
    FileWindow& operator=(FileWindow&& other) noexcept;
    ~FileWindow();

    ByteView bytes() const { return bytes_; }
    // A page of the window was lost to a shrinking file while it was mapped:
    // what was scanned of it is not what the file held.
    bool lost() const { return guard_.lost(); }

private:
    friend class MappedFile;
    void unmap();

    void* map_ = nullptr;  // the page-aligned mapping, if mapped
    size_t map_len_ = 0;
    MapGuard guard_;
    ByteView bytes_;
};

class MappedFile {
public:
    // Opens `raw_path` read-only, with the errors FileReader::open gives.
    static Result<std::shared_ptr<MappedFile>, IoError> open(std::string_view raw_path);

    // Takes ownership of an open descriptor.
    explicit MappedFile(int fd) : fd_(fd) {}
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;
    ~MappedFile();

    // The file's size now.
    Result<uint64_t, IoError> size() const;
    // Whether it is a regular file (the only kind that is mapped).
    bool regular() const;
    // Gives up the descriptor (the caller closes it).
    int release_fd() { return std::exchange(fd_, -1); }

    // The bytes [offset, offset + len) (len > 0), which the caller knows the
    // file holds; `spare` is used when they are read instead of mapped.
    // Fewer bytes only when the file ended sooner after all.
    Result<FileWindow, IoError> window(uint64_t offset, size_t len, std::vector<uint8_t>& spare) const;
    // The same bytes always read into `spare`, never mapped: for threads
    // that read at once and for short looks, where a mapping costs more than
    // the copy (mapping and unmapping take the process's address-space lock,
    // and unmapping interrupts every core that runs one of its threads).
    Result<FileWindow, IoError> read_window(uint64_t offset, size_t len, std::vector<uint8_t>& spare) const;

private:
    int fd_;
};

class MappedFileSource final : public Source {
public:
    // Reads `file` from `start` (a multiple of `buffer_len`) in buffers of
    // `buffer_len` bytes (0: a source that is empty).
    MappedFileSource(std::shared_ptr<const MappedFile> file, size_t buffer_len, uint64_t start = 0)
        : file_(std::move(file)), buffer_len_(buffer_len), at_(start) {}

    BufferResult next_buffer() override;
    std::optional<IoError> lost_buffer() const override;
    const MappedFile* mapped_file() const override { return file_.get(); }
    size_t buffer_grid() const override { return buffer_len_; }

private:
    std::shared_ptr<const MappedFile> file_;
    size_t buffer_len_;
    uint64_t at_;
    FileWindow window_;
    std::vector<uint8_t> spare_;
};

// The read failure of a window whose pages were lost to a shrinking file.
IoError file_shrank();

}  // namespace jorvane
