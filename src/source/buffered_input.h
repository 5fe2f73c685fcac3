// BufferedInput: the compressed side of a decoder: a ByteReader read a
// buffer at a time, with its unread bytes exposed for the decoder to consume.
//
// Each buffer is filled whole before the decoder sees any of it (only the
// input's last buffer is shorter), however few bytes each read returns. The
// decoder is therefore handed the same pieces of the same input whether the
// reader is a file, bytes in memory or a file-like that answers a byte at a
// time, and what it reports (its output, its error and where that error
// falls) cannot depend on how the reader cut the input. Once the reader has
// returned 0 it is not asked again.
//
// A read error is held: every fill after it returns it again without asking
// the reader, so that a decoder that meets it while it still has output to
// give meets it again on its next read, and the error always reaches the
// decoder's caller; it is never retried behind its back. A retryable error
// (the failed read took nothing) is held only until the decoder has returned
// it to its caller and says so (hand_out): the next fill then asks the
// reader again and goes on filling the buffer the error interrupted, whose
// bytes were kept aside, so the decoder is handed the same buffers as in a
// run without the failure. Every other error is held for good.
//
// A few bytes can stand in front of the buffer: bytes a decoder read ahead
// and hands back (unread), or the short end of one buffer joined to the start
// of the next so that a structure crossing the cut is seen in one piece
// (gather). They are read before the buffer's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "source/byte_reader.h"

namespace jorvane {

// The input buffer length of every decoder, whatever it reads from.
inline constexpr size_t kDecoderInputLen = 1048576;

class BufferedInput {
public:
    BufferedInput(std::unique_ptr<ByteReader> reader, size_t buf_len)
        : reader_(std::move(reader)), buf_(buf_len == 0 ? 1 : buf_len) {}

    // Reads the next buffer when every buffered byte is consumed, asking the
    // reader again until the buffer is full or the input ends. True when
    // unread bytes are available, false at the end of the input. A read error
    // is returned, now and by every later call until it is released; none of
    // the bytes of the buffer being filled is available before it is full.
    Result<bool, IoError> fill();
    // How a decoder returns an error `e` to its caller: a retryable read error
    // is let go, so the next fill asks the reader again and the decoder goes
    // on where it stopped; any other is kept in `kept`, the error the
    // decoder returns to every later read.
    Result<size_t, IoError> hand_out(IoError e, std::optional<IoError>& kept);
    // The unread bytes in one piece (empty until fill() has found some): the
    // bytes in front, else the buffer's.
    std::span<const uint8_t> available() const {
        if (front_pos_ < front_.size()) return {front_.data() + front_pos_, front_.size() - front_pos_};
        return {buf_.data() + pos_, len_ - pos_};
    }
    // Consumes `n` bytes of the piece available() returned.
    void consume(size_t n);
    // The input has ended and every byte is consumed.
    bool exhausted() const { return front_pos_ == front_.size() && eof_ && pos_ == len_; }
    // One byte; "unexpected end of file" at the end of the input.
    Result<uint8_t, IoError> next_byte();
    // Puts `bytes` back in front of the unread ones.
    void unread(std::span<const uint8_t> bytes);
    // Makes available() at least `n` bytes long, reading on as fill() does;
    // shorter only at the end of the input or when a read fails. The read
    // error is returned (and held, as by fill()); the bytes gathered before
    // it stay available, and a later gather goes on after them.
    Result<void, IoError> gather(size_t n);

private:
    // Reads the next buffer once the current one is consumed (fill() without
    // the bytes in front).
    Result<bool, IoError> refill();

    std::unique_ptr<ByteReader> reader_;
    std::vector<uint8_t> buf_;
    size_t pos_ = 0;
    size_t len_ = 0;
    size_t filling_ = 0;  // bytes of the next buffer read before a retryable error
    bool eof_ = false;
    std::optional<IoError> error_;  // held until released (retryable) or for good
    std::vector<uint8_t> front_;  // bytes read before the buffer's, from front_pos_ on
    size_t front_pos_ = 0;
};

}  // namespace jorvane
