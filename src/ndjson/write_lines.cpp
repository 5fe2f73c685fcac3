// Lines are staged until at least 1 MiB is waiting and then handed to the
// sink in one piece, so the sink sees whole lines only and a failure leaves
// a file that ends at a line boundary. A staged piece that would start empty
// is written straight from the emitter's batch without a copy.
#include "ndjson/write_lines.h"

#include <string>

namespace jorvane::ndjson {
namespace {
constexpr size_t kStageBytes = 1 << 20;
}  // namespace

Result<uint64_t, JorvaneError> write_lines(NdjsonEmitter& emitter, NdjsonSink& sink) {
    std::string staged;
    staged.reserve(kStageBytes);
    Lines batch;
    uint64_t count = 0;
    for (;;) {
        batch.clear();
        auto more = emitter.next_lines(batch);
        if (!more) return make_err(std::move(more.error()));
        const std::string& text = batch.text();
        size_t from = 0;  // the batch's bytes not yet staged
        for (size_t i = 0; i < batch.size(); ++i) {
            const size_t to = batch.next_start(i);
            if (staged.size() + (to - from) < kStageBytes) continue;
            const std::string_view piece(text.data() + from, to - from);
            Result<void, IoError> written;
            if (staged.empty()) {
                written = sink.write_all(piece);
            } else {
                staged += piece;
                written = sink.write_all(staged);
                staged.clear();
            }
            if (!written) return make_err(JorvaneError::write(std::move(written.error())));
            from = to;
        }
        staged.append(text, from, std::string::npos);
        count += batch.size();
        if (!*more) break;
    }
    if (!staged.empty()) {
        if (auto r = sink.write_all(staged); !r) return make_err(JorvaneError::write(std::move(r.error())));
    }
    if (auto r = sink.flush(); !r) return make_err(JorvaneError::write(std::move(r.error())));
    if (auto r = sink.finish(); !r) return make_err(JorvaneError::write(std::move(r.error())));
    return count;
}

}  // namespace jorvane::ndjson
