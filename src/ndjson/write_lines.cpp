// Lines are staged until at least 1 MiB is waiting and then handed to the
// file, so the file sees whole lines only and a failure leaves a file that
// ends at a line boundary. Only the lines left over after the last hand-over
// of a batch are copied into the staging buffer; the rest of the batch goes
// to the file straight from the emitter's buffer, after what was staged.
#include "ndjson/write_lines.h"

#include <string>

namespace jorvane::ndjson {
namespace {
constexpr size_t kStageBytes = 1 << 20;
}  // namespace

Result<uint64_t, JorvaneError> write_lines(NdjsonEmitter& emitter, OutputFile& file, run::Interrupt* interrupt) {
    std::string staged;
    staged.reserve(kStageBytes);
    Lines batch;
    uint64_t count = 0;
    for (;;) {
        batch.clear();
        auto more = emitter.next_lines(batch, interrupt);
        if (!more) return make_err(std::move(more.error()));
        const std::string& text = batch.text();
        size_t from = 0;  // the batch's bytes not yet staged
        for (size_t i = 0; i < batch.size(); ++i) {
            const size_t to = batch.next_start(i);
            if (staged.size() + (to - from) < kStageBytes) continue;
            if (!staged.empty()) {
                auto written = file.write_all(staged);
                staged.clear();
                if (!written) return make_err(JorvaneError::write(std::move(written.error())));
            }
            if (auto written = file.write_all(std::string_view(text.data() + from, to - from)); !written)
                return make_err(JorvaneError::write(std::move(written.error())));
            from = to;
        }
        staged.append(text, from, std::string::npos);
        count += batch.size();
        if (!*more) break;
    }
    if (!staged.empty()) {
        if (auto r = file.write_all(staged); !r) return make_err(JorvaneError::write(std::move(r.error())));
    }
    if (auto r = file.flush(); !r) return make_err(JorvaneError::write(std::move(r.error())));
    if (auto r = file.finish(); !r) return make_err(JorvaneError::write(std::move(r.error())));
    return count;
}

}  // namespace jorvane::ndjson
