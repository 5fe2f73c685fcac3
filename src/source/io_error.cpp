// IoError construction and text. An OS error shows the C library's
// description of its number followed by " (os error N)"; its kind comes from
// the number. A bare kind shows the kind's fixed description; a payload shows
// its own message.
#include "source/io_error.h"

#include <cerrno>
#include <cstring>

namespace jorvane {

IoError IoError::os(int errno_value) {
    IoError e;
    e.kind_ = io_error_kind_of_errno(errno_value);
    e.os_code_ = errno_value;
    return e;
}

IoError IoError::last_os_error() { return os(errno); }

IoError IoError::simple(IoErrorKind kind) {
    IoError e;
    e.kind_ = kind;
    return e;
}

IoError IoError::custom(IoErrorKind kind, std::string message) {
    return custom(kind, std::make_shared<const IoMessage>(std::move(message)));
}

IoError IoError::custom(IoErrorKind kind, std::shared_ptr<const IoPayload> payload) {
    IoError e;
    e.kind_ = kind;
    e.payload_ = std::move(payload);
    return e;
}

int IoError::raw_os_error() const {
    return os_code_ >= 0 ? os_code_ : 0;
}

std::string IoError::to_string() const {
    if (os_code_ >= 0) {
        char buf[256];
        // The GNU strerror_r: returns either buf or a static text.
        const char* text = strerror_r(os_code_, buf, sizeof buf);
        return std::string(text) + " (os error " + std::to_string(os_code_) + ")";
    }
    if (payload_) return payload_->message();
    return io_error_kind_text(kind_);
}

IoErrorKind io_error_kind_of_errno(int errno_value) {
    switch (errno_value) {
        case ENOENT: return IoErrorKind::NotFound;
        case EPERM:
        case EACCES: return IoErrorKind::PermissionDenied;
        case EEXIST: return IoErrorKind::AlreadyExists;
        case EAGAIN: return IoErrorKind::WouldBlock;
        case EINVAL: return IoErrorKind::InvalidInput;
        case ETIMEDOUT: return IoErrorKind::TimedOut;
        case EINTR: return IoErrorKind::Interrupted;
        case ENOSYS:
        case EOPNOTSUPP: return IoErrorKind::Unsupported;
        case ENOMEM: return IoErrorKind::OutOfMemory;
        case EPIPE: return IoErrorKind::BrokenPipe;
        case ENOTDIR: return IoErrorKind::NotADirectory;
        case EISDIR: return IoErrorKind::IsADirectory;
        case ENOSPC: return IoErrorKind::StorageFull;
        case EFBIG: return IoErrorKind::FileTooLarge;
        default: return IoErrorKind::Other;
    }
}

const char* io_error_kind_text(IoErrorKind kind) {
    switch (kind) {
        case IoErrorKind::NotFound: return "entity not found";
        case IoErrorKind::PermissionDenied: return "permission denied";
        case IoErrorKind::AlreadyExists: return "entity already exists";
        case IoErrorKind::WouldBlock: return "operation would block";
        case IoErrorKind::InvalidInput: return "invalid input parameter";
        case IoErrorKind::InvalidData: return "invalid data";
        case IoErrorKind::TimedOut: return "timed out";
        case IoErrorKind::WriteZero: return "write zero";
        case IoErrorKind::Interrupted: return "operation interrupted";
        case IoErrorKind::Unsupported: return "unsupported";
        case IoErrorKind::UnexpectedEof: return "unexpected end of file";
        case IoErrorKind::OutOfMemory: return "out of memory";
        case IoErrorKind::Other: return "other error";
        case IoErrorKind::BrokenPipe: return "broken pipe";
        case IoErrorKind::NotADirectory: return "not a directory";
        case IoErrorKind::IsADirectory: return "is a directory";
        case IoErrorKind::StorageFull: return "no storage space";
        case IoErrorKind::FileTooLarge: return "file too large";
    }
    return "other error";
}

}  // namespace jorvane
