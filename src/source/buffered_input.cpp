#include "source/buffered_input.h"

namespace jorvane {

Result<bool, IoError> BufferedInput::fill() {
    if (pos_ < len_) return true;
    if (eof_) return false;
    if (error_) return make_err(*error_);
    pos_ = 0;
    len_ = 0;
    while (len_ < buf_.size()) {
        auto r = reader_->read(std::span<uint8_t>(buf_).subspan(len_));
        if (!r) {
            len_ = 0;
            error_ = r.error();
            return make_err(std::move(r).error());
        }
        if (*r == 0) {
            eof_ = true;
            break;
        }
        len_ += *r;
    }
    return len_ > 0;
}

Result<uint8_t, IoError> BufferedInput::next_byte() {
    auto r = fill();
    if (!r) return make_err(std::move(r).error());
    if (!*r) return make_err(IoError::simple(IoErrorKind::UnexpectedEof));
    return buf_[pos_++];
}

}  // namespace jorvane
