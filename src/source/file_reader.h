// FileReader: a plain file as a ByteReader. Each read is one call on the
// descriptor (or a shorter one after a refusal, see read_descriptor); an
// interrupted call is reported, not retried.
//
// A descriptor that can seek is read with pread(2) at an offset the reader
// keeps itself, starting where the descriptor stood when it was handed
// over: the descriptor's own offset lives in the open file, which a forked
// process's copy of the reader (or a dup of the descriptor) shares, and
// reads through one copy must not move the other's place. A descriptor that
// cannot seek (a pipe, a FIFO, a terminal) is read with read(2).
#pragma once

#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <span>
#include <string_view>

#include "source/byte_reader.h"

namespace jorvane {

class FileReader final : public ByteReader {
public:
    // Opens `raw_path` read-only. The path is raw bytes (it need not be
    // UTF-8); one holding a NUL byte fails with "file name contained an
    // unexpected NUL byte", other failures carry the OS error.
    static Result<std::unique_ptr<FileReader>, IoError> open(std::string_view raw_path);

    // Takes ownership of an open descriptor, read from its current offset.
    explicit FileReader(int fd);
    FileReader(const FileReader&) = delete;
    FileReader& operator=(const FileReader&) = delete;
    ~FileReader() override;

    Result<size_t, IoError> read(std::span<uint8_t> dest) override;

private:
    int fd_;
    std::optional<uint64_t> offset_;  // the next read's place; none: read(2)
    size_t longest_ = std::numeric_limits<size_t>::max();  // see read_descriptor
};

// One read(2) of `fd` into `dest` (pread(2) at `offset` when given), asking
// for at most `longest` bytes. Some kernel files (the settings under
// /proc/sys) refuse a long request with ENOMEM instead of reading less: such
// a refusal is asked again at half the length, down to a page, and
// `longest` keeps the length that was not refused for the next call.
Result<size_t, IoError> read_descriptor(int fd, std::span<uint8_t> dest, std::optional<uint64_t> offset,
                                        size_t& longest);

}  // namespace jorvane
