// A source may hand out a buffer and only later find that its bytes were not
// the input's (a mapped file shrank under it): the buffer's scan is then not
// trusted, and whatever it queued is dropped with it.
//
// An error's context shows the bytes up to 64 past its offset, which may lie
// in the buffers after the one that held it: those are read for that alone
// (nothing of them is scanned), where the source reads on freely; a read
// that fails or a buffer the source lost just ends the context there, as
// does a source whose reads run the caller's code.
#include "run/source_scan.h"

#include <string>
#include <utility>

#include "util/saturating.h"

namespace jorvane::run {
namespace {

void read_on_for_context(Source& source, engine::ParseError& error, uint64_t next_offset) {
    if (!source.reads_on_freely()) return;
    while (error.near_open) {
        BufferResult next = source.next_buffer();
        if (!next || !next.value()) return;
        const ByteView buffer = *next.value();
        // The bytes are copied out before the source is asked whether the
        // buffer held the input; a lost one's are taken back.
        const size_t shown = error.near.bytes.size();
        engine::show_bytes_after(error, next_offset, buffer);
        if (source.lost_buffer()) {
            error.near.bytes.resize(shown);
            return;
        }
        next_offset = saturating_add(next_offset, buffer.size());
    }
}

}  // namespace

SourceScan::SourceScan(engine::Engine engine, std::unique_ptr<Source> source, uint64_t source_index)
    : owned_engine_(std::make_unique<engine::Engine>(std::move(engine))),
      owned_source_(std::move(source)),
      engine_(owned_engine_.get()),
      source_(owned_source_.get()),
      source_index_(source_index) {}

SourceScan::SourceScan(engine::Engine& engine, Source& source, uint64_t source_index)
    : engine_(&engine), source_(&source), source_index_(source_index) {}

SourceScan::Step SourceScan::step(Interrupt* interrupt) {
    Step out;
    if (over_) {
        out.kind = Step::Kind::Ended;
        return out;
    }
    if (interrupt_requested(interrupt)) {
        out.kind = Step::Kind::Interrupted;
        return out;
    }
    BufferResult next = source_->next_buffer();
    if (!next) {
        out.kind = Step::Kind::Failed;
        out.error.emplace(JorvaneError::read(std::move(next.error()), source_index_));
        return out;
    }
    if (!next.value()) {
        over_ = true;
        out.kind = Step::Kind::Ended;
        if (auto error = engine_->finish(true)) out.error.emplace(JorvaneError::parse(std::move(*error)));
        return out;
    }
    const ByteView buffer = *next.value();
    engine::BufferScan scan = engine_->scan_buffer(buffer);
    if (auto lost = source_->lost_buffer()) {
        // What this buffer led to is not what the input holds.
        (void)engine_->drain_streams();
        (void)engine_->drain_keyed_streams();
        (void)engine_->take_raw_spans();
        (void)engine_->take_row_batch();
        over_ = true;
        out.kind = Step::Kind::Failed;
        out.error.emplace(JorvaneError::read(std::move(*lost), source_index_));
        return out;
    }
    out.output_ready = scan.output_ready;
    out.settled = scan.settled;
    out.bytes = buffer.size();
    if (scan.error) {
        over_ = true;
        read_on_for_context(*source_, *scan.error, saturating_add(engine_->bytes_scanned(), buffer.size()));
        out.error.emplace(JorvaneError::parse(std::move(*scan.error)));
    }
    return out;
}

std::optional<JorvaneError> SourceScan::stop() {
    over_ = true;
    source_->abandon();
    if (auto error = engine_->finish(false)) return JorvaneError::parse(std::move(*error));
    return std::nullopt;
}

}  // namespace jorvane::run
