#include "source/buffered_input.h"

#include <algorithm>
#include <utility>

namespace jorvane {

Result<bool, IoError> BufferedInput::refill() {
    if (pos_ < len_) return true;
    if (eof_) return false;
    if (error_) return make_err(*error_);
    // The bytes go in behind those a retryable error left, and none of them
    // is available before the buffer is full or the input ends.
    pos_ = 0;
    len_ = 0;
    while (filling_ < buf_.size()) {
        auto r = reader_->read(std::span<uint8_t>(buf_).subspan(filling_));
        if (!r) {
            if (!r.error().retryable()) filling_ = 0;
            error_ = r.error();
            return make_err(std::move(r).error());
        }
        if (*r == 0) {
            eof_ = true;
            break;
        }
        filling_ += *r;
    }
    len_ = std::exchange(filling_, 0);
    return len_ > 0;
}

Result<size_t, IoError> BufferedInput::hand_out(IoError e, std::optional<IoError>& kept) {
    if (!e.retryable()) {
        kept = e;
    } else if (error_ && error_->retryable()) {
        error_.reset();
    }
    return make_err(std::move(e));
}

Result<bool, IoError> BufferedInput::fill() {
    if (front_pos_ < front_.size()) return true;
    return refill();
}

void BufferedInput::consume(size_t n) {
    if (front_pos_ < front_.size()) {
        front_pos_ += n;
        if (front_pos_ == front_.size()) {
            front_.clear();
            front_pos_ = 0;
        }
        return;
    }
    pos_ += n;
}

Result<uint8_t, IoError> BufferedInput::next_byte() {
    auto r = fill();
    if (!r) return make_err(std::move(r).error());
    if (!*r) return make_err(IoError::simple(IoErrorKind::UnexpectedEof));
    uint8_t b = available()[0];
    consume(1);
    return b;
}

void BufferedInput::unread(std::span<const uint8_t> bytes) {
    if (bytes.empty()) return;
    if (front_pos_ >= bytes.size()) {
        front_pos_ -= bytes.size();
        std::copy(bytes.begin(), bytes.end(), front_.begin() + static_cast<ptrdiff_t>(front_pos_));
        return;
    }
    front_.erase(front_.begin(), front_.begin() + static_cast<ptrdiff_t>(front_pos_));
    front_.insert(front_.begin(), bytes.begin(), bytes.end());
    front_pos_ = 0;
}

Result<void, IoError> BufferedInput::gather(size_t n) {
    if (available().size() >= n) return {};
    front_.erase(front_.begin(), front_.begin() + static_cast<ptrdiff_t>(front_pos_));
    front_pos_ = 0;
    for (;;) {
        size_t take = std::min(n - front_.size(), len_ - pos_);
        front_.insert(front_.end(), buf_.begin() + static_cast<ptrdiff_t>(pos_),
                      buf_.begin() + static_cast<ptrdiff_t>(pos_ + take));
        pos_ += take;
        if (front_.size() >= n) return {};
        auto r = refill();
        if (!r) return make_err(std::move(r).error());
        if (!*r) return {};
    }
}

}  // namespace jorvane
