// PrefetchSource: a Source whose decoder runs ahead on a reader thread of its
// own, filling up to four buffers while the consumer scans the buffer it
// holds.
//
// The four buffers circulate over two bounded channels of capacity 4: the
// free channel (source -> thread) and the filled channel (thread -> source,
// carrying a filled buffer or the error that ended the read). Buffers have
// the length the source is made with (the run's mode's, as a ReadSource
// would be made with), only the last one shorter, so what is scanned and
// reported does not depend on whether the input is prefetched. An error
// reaches the consumer exactly once, after every buffer filled before it (the
// bytes of the fill it broke are lost, as for a ReadSource); every later call
// returns end of input.
//
// A consumer that keeps what it reads (the cutter of a scan in ranges) takes
// the buffers themselves with next_handed and gives others back in their
// place: the decoder then writes straight into memory the consumer keeps,
// and four buffers are still being filled ahead. Each buffer has
// kHeadroom bytes ahead of the bytes the thread fills, for such a consumer
// to put the end of the previous buffer in front of the next.
//
// The reader thread is joined in the destructor. Before joining, the
// destructor closes both channel ends it holds, so the thread's next channel
// operation fails and it exits: the join waits at most for the decoder read
// in progress, never on a channel. The decoder must therefore not depend on
// the destroying thread to make progress (a plain file or bytes, as here).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <thread>
#include <variant>
#include <vector>

#include "source/byte_reader.h"
#include "source/source.h"
#include "util/channel.h"

namespace jorvane {

// What the reader thread sends for a filled buffer.
struct FilledBuf {
    std::vector<uint8_t> buf;
    uint64_t len = 0;  // valid bytes from PrefetchSource::kHeadroom on, 1 to the buffer length
};

class PrefetchSource final : public Source {
public:
    static constexpr size_t kBufCount = 4;
    static constexpr size_t kHeadroom = 65536;

    using Filled = std::variant<FilledBuf, IoError>;

    // Builds the channels and the four buffers of `buffer_len` bytes (at
    // least 1) and starts the reader thread over `decoder`. Failing to start
    // the thread is a panic ("failed to spawn thread").
    static std::unique_ptr<PrefetchSource> with_params(std::unique_ptr<ByteReader> decoder, size_t buffer_len);

    PrefetchSource(const PrefetchSource&) = delete;
    PrefetchSource& operator=(const PrefetchSource&) = delete;
    // Closes the free channel, then the filled channel, then joins the thread.
    ~PrefetchSource() override;

    BufferResult next_buffer() override;
    size_t buffer_grid() const override { return buffer_len_; }
    bool hands_buffers() const override { return true; }
    // A buffer `back` shorter than kHeadroom + the buffer length is grown by
    // the thread.
    HandedResult next_handed(std::vector<uint8_t> back) override;
    bool holds_threads() const override { return handle_.joinable(); }

    // Use with_params().
    PrefetchSource(Sender<std::vector<uint8_t>> free_tx, Receiver<Filled> rx, size_t buffer_len);

private:
    size_t buffer_len_;
    std::optional<Sender<std::vector<uint8_t>>> free_tx_;
    std::optional<Receiver<Filled>> rx_;
    std::optional<std::vector<uint8_t>> current_;
    std::thread handle_;
};

}  // namespace jorvane
