// Provisional: completed with the byte sources.
#include "source/io_error.h"

#include <cerrno>
#include <cstring>

namespace jorvane {

IoError IoError::os(int errno_value) {
    IoError e;
    e.kind_ = IoErrorKind::Other;
    e.body_ = Os{errno_value};
    return e;
}
IoError IoError::simple(IoErrorKind kind) {
    IoError e;
    e.kind_ = kind;
    return e;
}
namespace {
class MessagePayload final : public IoPayload {
public:
    explicit MessagePayload(std::string m) : m_(std::move(m)) {}
    std::string message() const override { return m_; }

private:
    std::string m_;
};
}  // namespace
IoError IoError::custom(IoErrorKind kind, std::string message) {
    return custom(kind, std::make_shared<const MessagePayload>(std::move(message)));
}
IoError IoError::custom(IoErrorKind kind, std::shared_ptr<const IoPayload> payload) {
    IoError e;
    e.kind_ = kind;
    e.body_ = std::move(payload);
    return e;
}
int IoError::raw_os_error() const {
    if (auto* o = std::get_if<Os>(&body_)) return o->code;
    return 0;
}
std::string IoError::to_string() const {
    if (auto* o = std::get_if<Os>(&body_)) {
        return std::string(strerror(o->code)) + " (os error " + std::to_string(o->code) + ")";
    }
    if (auto* p = std::get_if<std::shared_ptr<const IoPayload>>(&body_)) return (*p)->message();
    return io_error_kind_text(kind_);
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
    }
    return "other error";
}

}  // namespace jorvane
