// FileReader: a plain file as a ByteReader. Each read is one read(2) call on
// the descriptor; an interrupted call is reported, not retried.
#pragma once

#include <memory>
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

    // Takes ownership of an open descriptor.
    explicit FileReader(int fd) : fd_(fd) {}
    FileReader(const FileReader&) = delete;
    FileReader& operator=(const FileReader&) = delete;
    ~FileReader() override;

    Result<size_t, IoError> read(std::span<uint8_t> dest) override;

private:
    int fd_;
};

}  // namespace jorvane
