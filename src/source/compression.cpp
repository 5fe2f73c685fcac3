#include "source/compression.h"

namespace jorvane {

const char* compression_name(Compression c) {
    switch (c) {
        case Compression::Gzip: return "gzip";
        case Compression::Zstd: return "zstd";
        case Compression::None: return "none";
        case Compression::Unset: return "unset";
    }
    return "unset";
}

namespace {

bool ends_with_folded(std::string_view path, std::string_view lower_suffix) {
    if (path.size() < lower_suffix.size()) return false;
    std::string_view tail = path.substr(path.size() - lower_suffix.size());
    for (size_t i = 0; i < tail.size(); ++i) {
        char c = tail[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != lower_suffix[i]) return false;
    }
    return true;
}

}  // namespace

Compression compression_from_extension(std::string_view path) {
    if (ends_with_folded(path, ".gz")) return Compression::Gzip;
    if (ends_with_folded(path, ".zst") || ends_with_folded(path, ".zstd")) return Compression::Zstd;
    return Compression::None;
}

}  // namespace jorvane
