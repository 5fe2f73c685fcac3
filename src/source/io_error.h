// IoError: the input/output error value of every read and write.
//
// It has a kind and one of three bodies: an operating-system error number
// (text: "<strerror> (os error N)"), a bare kind (text: the kind's
// description, e.g. "unexpected end of file"), or a payload (text: the
// payload's own). A payload can be found again by its type after the error has
// passed through decoders and consumers (a Python exception carried out of a
// file-like's read() is one such payload).
//
// A payload may say that the read it ended is worth asking again (a
// file-like's read() interrupted by a signal): such an error is retryable,
// and the readers and decoders above it keep what they had read so that the
// next read goes on where the failed one stopped. Every other error ends the
// reading for good.
#pragma once

#include <memory>
#include <string>
#include <utility>

namespace jorvane {

enum class IoErrorKind {
    NotFound,
    PermissionDenied,
    AlreadyExists,
    WouldBlock,
    InvalidInput,
    InvalidData,
    TimedOut,
    WriteZero,
    Interrupted,
    Unsupported,
    UnexpectedEof,
    OutOfMemory,
    Other,
    BrokenPipe,
    NotADirectory,
    IsADirectory,
    StorageFull,
    FileTooLarge,
};

// Base of every custom payload.
class IoPayload {
public:
    virtual ~IoPayload() = default;
    virtual std::string message() const = 0;
    // The read that failed took nothing from the reader, which is where it
    // was: asking again reads on.
    virtual bool retryable() const { return false; }
};

// The payload of an error made from a message.
class IoMessage final : public IoPayload {
public:
    explicit IoMessage(std::string text) : text_(std::move(text)) {}
    std::string message() const override { return text_; }
    const std::string& text() const { return text_; }

private:
    std::string text_;
};

class IoError {
public:
    // An operating-system error; the kind is derived from the number.
    static IoError os(int errno_value);
    // The operating-system error in `errno` now.
    static IoError last_os_error();
    // A bare kind; its text is the kind's description.
    static IoError simple(IoErrorKind kind);
    // A message payload of the given kind (found again as IoMessage).
    static IoError custom(IoErrorKind kind, std::string message);
    // A typed payload of the given kind.
    static IoError custom(IoErrorKind kind, std::shared_ptr<const IoPayload> payload);

    IoErrorKind kind() const { return kind_; }
    // The OS error number, or 0 when the error has none.
    int raw_os_error() const;
    std::string to_string() const;
    // The read that failed took nothing and may be asked again (the payload
    // says so); false for every error without such a payload.
    bool retryable() const { return payload_ && payload_->retryable(); }

    // The payload when it is of type P, else nullptr.
    template <class P>
    const P* find_payload() const {
        return dynamic_cast<const P*>(payload_.get());
    }

private:
    // Exactly one body: an OS error number (os_code_ >= 0), a payload, or
    // neither (a bare kind).
    IoErrorKind kind_ = IoErrorKind::Other;
    int os_code_ = -1;
    std::shared_ptr<const IoPayload> payload_;
};

// The kind of an operating-system error number.
IoErrorKind io_error_kind_of_errno(int errno_value);

// The description of a bare kind ("unexpected end of file", "entity not found", ...).
const char* io_error_kind_text(IoErrorKind kind);

}  // namespace jorvane
