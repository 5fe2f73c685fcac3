#include "source/file_reader.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>

namespace jorvane {

Result<std::unique_ptr<FileReader>, IoError> FileReader::open(std::string_view raw_path) {
    if (raw_path.find('\0') != std::string_view::npos) {
        return make_err(IoError::custom(IoErrorKind::InvalidInput,
                                        "file name contained an unexpected NUL byte"));
    }
    std::string path(raw_path);
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return make_err(IoError::last_os_error());
    return std::make_unique<FileReader>(fd);
}

FileReader::FileReader(int fd) : fd_(fd) {
    const off_t at = ::lseek(fd, 0, SEEK_CUR);
    if (at >= 0) offset_ = static_cast<uint64_t>(at);
}

FileReader::~FileReader() {
    if (fd_ >= 0) ::close(fd_);
}

Result<size_t, IoError> FileReader::read(std::span<uint8_t> dest) {
    auto n = read_descriptor(fd_, dest, offset_, longest_);
    if (!n && offset_ && n.error().raw_os_error() == ESPIPE) {
        // A device that answered the seek but refuses positioned reads.
        offset_.reset();
        n = read_descriptor(fd_, dest, std::nullopt, longest_);
    }
    if (n && offset_) *offset_ += *n;
    return n;
}

Result<size_t, IoError> read_descriptor(int fd, std::span<uint8_t> dest, std::optional<uint64_t> offset,
                                        size_t& longest) {
    constexpr size_t kShortest = 4096;
    for (;;) {
        const size_t want = std::min<size_t>({dest.size(), longest, 2147483647});
        const ssize_t n = offset ? ::pread(fd, dest.data(), want, static_cast<off_t>(*offset))
                                 : ::read(fd, dest.data(), want);
        if (n >= 0) return static_cast<size_t>(n);
        if (errno != ENOMEM || want <= kShortest) return make_err(IoError::last_os_error());
        longest = std::max(want / 2, kShortest);
    }
}

}  // namespace jorvane
