#include "source/compression.h"

namespace jorvane {

std::optional<Compression> parse_compression(std::string_view text) {
    if (text == "gzip" || text == "gz") return Compression::Gzip;
    if (text == "zstd" || text == "zst") return Compression::Zstd;
    if (text == "none" || text == "raw") return Compression::None;
    return std::nullopt;
}

const char* compression_name(Compression c) {
    switch (c) {
        case Compression::Gzip: return "gzip";
        case Compression::Zstd: return "zstd";
        case Compression::None: return "none";
        case Compression::Unset: break;
    }
    return "unset";
}

namespace {
// True when `path` ends with `suffix` (lower-case ASCII), ignoring ASCII case.
bool ends_with_folded(std::string_view path, std::string_view suffix) {
    if (path.size() < suffix.size()) return false;
    std::string_view tail = path.substr(path.size() - suffix.size());
    for (size_t i = 0; i < suffix.size(); ++i) {
        char c = tail[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != suffix[i]) return false;
    }
    return true;
}
}  // namespace

Compression compression_from_extension(std::string_view path) {
    if (ends_with_folded(path, ".gz")) return Compression::Gzip;
    if (ends_with_folded(path, ".zst") || ends_with_folded(path, ".zstd")) return Compression::Zstd;
    return Compression::None;
}

Compression compression_for_file(Compression requested, std::string_view path) {
    return requested == Compression::Unset ? compression_from_extension(path) : requested;
}

}  // namespace jorvane
