#include "source/buffered_input.h"

namespace jorvane {

Result<bool, IoError> BufferedInput::fill() {
    if (pos_ < len_) return true;
    if (eof_) return false;
    auto r = reader_->read(buf_);
    if (!r) return make_err(std::move(r).error());
    pos_ = 0;
    len_ = *r;
    if (len_ == 0) {
        eof_ = true;
        return false;
    }
    return true;
}

Result<uint8_t, IoError> BufferedInput::next_byte() {
    auto r = fill();
    if (!r) return make_err(std::move(r).error());
    if (!*r) return make_err(IoError::simple(IoErrorKind::UnexpectedEof));
    return buf_[pos_++];
}

}  // namespace jorvane
