#include "run/input_facts.h"

#include <optional>

#include "source/mapped_file.h"
#include "source/open_file.h"

namespace jorvane::run {
namespace {

// `on_grid`: buffers are cut on a grid; `in_place`: a plain file mapped in
// place, of `size` bytes.
SplitFacts with_input(SplitFacts facts, bool on_grid, bool in_place, std::optional<uint64_t> size) {
    facts.size.reset();
    if (!on_grid) {
        facts.input = SplitFacts::Input::Other;
    } else if (in_place) {
        facts.input = SplitFacts::Input::PlainFile;
        facts.size = size;
    } else {
        facts.input = SplitFacts::Input::Sequential;
    }
    return facts;
}

}  // namespace

SplitFacts input_facts(const Source& source, SplitFacts facts) {
    const MappedFile* file = source.mapped_file();
    std::optional<uint64_t> size;
    if (file) {
        if (auto s = file->size()) size = *s;
    }
    return with_input(std::move(facts), source.buffer_grid() != 0, file != nullptr, size);
}

SplitFacts file_input_facts(const std::string& path, Compression compression, SplitFacts facts) {
    // Every file's source cuts buffers on a grid: mapped windows, or a
    // buffer filled by reads of the file or of its decoder.
    const std::optional<uint64_t> size = size_mapped_in_place(path, compression);
    return with_input(std::move(facts), true, size.has_value(), size);
}

SplitFacts bytes_input_facts(Compression compression, SplitFacts facts) {
    // Plain bytes are handed out as they are; a decoder fills a buffer.
    return with_input(std::move(facts), is_compressed(compression), false, std::nullopt);
}

}  // namespace jorvane::run
