// The prefetching reader. The thread loops: take a free buffer (waiting),
// fill it by repeated decoder reads, send it as a FilledBuf. A decoder error
// is sent in place of the buffer and ends the thread; so does the end of the
// decoded input, a closed free channel or a gone consumer. The thread body
// catches everything it could throw and sends it as an error value, so no
// exception ever leaves the thread.
#include "source/prefetch_source.h"

#include <algorithm>
#include <exception>
#include <new>
#include <span>
#include <system_error>

#include "source/read_source.h"
#include "util/panic.h"

namespace jorvane {

namespace {

using Buffer = std::vector<uint8_t>;
using Filled = PrefetchSource::Filled;

void fill_loop(Receiver<Buffer>& free_rx, ByteReader& decoder, Sender<Filled>& tx,
               size_t buf_len) {
    // The thread ends at the first error, so no fill goes on after one.
    BufferFill fill;
    for (;;) {
        auto got = free_rx.recv();
        if (!got) return;  // the source is gone
        if (tx.is_disconnected()) return;  // the consumer is gone: fill nothing more
        Buffer buf = std::move(got).value();
        if (buf.size() < PrefetchSource::kHeadroom + buf_len) buf.resize(PrefetchSource::kHeadroom + buf_len);
        auto filled = fill.fill(decoder, std::span<uint8_t>(buf).subspan(PrefetchSource::kHeadroom, buf_len));
        if (!filled) {
            (void)tx.send(Filled(std::in_place_type<IoError>, std::move(filled).error()));
            return;
        }
        if (*filled == 0) return;  // end of input
        if (!tx.send(Filled(FilledBuf{std::move(buf), *filled}))) return;
    }
}

// Sends the error made by `make`, falling back to a bare kind (which needs no
// memory) if making or sending it throws.
template <class Make>
void send_failure(Sender<Filled>& tx, Make make) {
    try {
        (void)tx.send(Filled(std::in_place_type<IoError>, make()));
    } catch (...) {
        try {
            (void)tx.send(Filled(std::in_place_type<IoError>,
                                 IoError::simple(IoErrorKind::OutOfMemory)));
        } catch (...) {
        }
    }
}

void reader_thread(Receiver<Buffer> free_rx, std::unique_ptr<ByteReader> decoder,
                   Sender<Filled> tx, size_t buf_len) noexcept {
    try {
        fill_loop(free_rx, *decoder, tx, buf_len);
    } catch (const std::bad_alloc&) {
        send_failure(tx, [] { return IoError::simple(IoErrorKind::OutOfMemory); });
    } catch (const Panic& p) {
        send_failure(tx, [&] { return IoError::custom(IoErrorKind::Other, p.message()); });
    } catch (const std::exception& e) {
        send_failure(tx, [&] { return IoError::custom(IoErrorKind::Other, e.what()); });
    } catch (...) {
        send_failure(tx, [] {
            return IoError::custom(IoErrorKind::Other, "prefetch reader thread failed");
        });
    }
    // Release in this order: the free receiver, the decoder (closing the
    // file), the filled sender; the last makes the consumer see the end
    // after what is queued.
    { Receiver<Buffer> drop(std::move(free_rx)); }
    decoder.reset();
    { Sender<Filled> drop(std::move(tx)); }
}

}  // namespace

PrefetchSource::PrefetchSource(Sender<Buffer> free_tx, Receiver<Filled> rx, size_t buffer_len)
    : buffer_len_(buffer_len), free_tx_(std::move(free_tx)), rx_(std::move(rx)) {}

std::unique_ptr<PrefetchSource> PrefetchSource::with_params(std::unique_ptr<ByteReader> decoder, size_t buffer_len) {
    buffer_len = std::max<size_t>(buffer_len, 1);
    auto [free_tx, free_rx] = bounded_channel<Buffer>(kBufCount);
    auto [filled_tx, filled_rx] = bounded_channel<Filled>(kBufCount);
    for (size_t i = 0; i < kBufCount; ++i) {
        if (!free_tx.send(Buffer(kHeadroom + buffer_len))) panic("free_rx alive");
    }
    auto source = std::make_unique<PrefetchSource>(std::move(free_tx), std::move(filled_rx), buffer_len);
    try {
        source->handle_ = std::thread(reader_thread, std::move(free_rx), std::move(decoder),
                                      std::move(filled_tx), buffer_len);
    } catch (const std::system_error&) {
        panic("failed to spawn thread");
    }
    return source;
}

PrefetchSource::~PrefetchSource() {
    free_tx_.reset();
    rx_.reset();
    if (handle_.joinable()) handle_.join();
    current_.reset();
}

BufferResult PrefetchSource::next_buffer() {
    if (current_) {
        Buffer buf = std::move(*current_);
        current_.reset();
        // Never waits: only four buffers exist and the channel holds four. If
        // the thread is gone the buffer is dropped.
        (void)free_tx_.value().send(std::move(buf));
    }
    auto got = rx_.value().recv();
    if (!got) return std::optional<ByteView>{};  // the thread has exited
    Filled& item = got.value();
    if (auto* err = std::get_if<IoError>(&item)) return make_err(*err);
    FilledBuf& filled = std::get<FilledBuf>(item);
    current_.emplace(std::move(filled.buf));
    return std::optional<ByteView>{ByteView(current_->data() + kHeadroom, filled.len)};
}

HandedResult PrefetchSource::next_handed(Buffer back) {
    if (current_) {
        (void)free_tx_.value().send(std::move(*current_));
        current_.reset();
    }
    // Taken before `back` is given, so the source never holds more than
    // its four buffers and the send never waits. If the thread is gone the
    // buffer is dropped.
    auto got = rx_.value().recv();
    (void)free_tx_.value().send(std::move(back));
    if (!got) return std::optional<HandedBuffer>{};
    Filled& item = got.value();
    if (auto* err = std::get_if<IoError>(&item)) return make_err(*err);
    FilledBuf& filled = std::get<FilledBuf>(item);
    return std::optional<HandedBuffer>{HandedBuffer{std::move(filled.buf), kHeadroom, static_cast<size_t>(filled.len)}};
}

}  // namespace jorvane
