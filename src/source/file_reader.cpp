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

FileReader::~FileReader() {
    if (fd_ >= 0) ::close(fd_);
}

Result<size_t, IoError> FileReader::read(std::span<uint8_t> dest) {
    size_t want = std::min<size_t>(dest.size(), 2147483647);
    ssize_t n = ::read(fd_, dest.data(), want);
    if (n < 0) return make_err(IoError::last_os_error());
    return static_cast<size_t>(n);
}

}  // namespace jorvane
