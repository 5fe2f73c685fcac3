#include "source/compression.h"

#include "source/gzip_decoder.h"
#include "source/zstd_decoder.h"

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

std::optional<Compression> parse_compression(std::string_view text) {
    if (text == "gzip" || text == "gz") return Compression::Gzip;
    if (text == "zstd" || text == "zst") return Compression::Zstd;
    if (text == "none" || text == "raw") return Compression::None;
    return std::nullopt;
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

Compression file_compression(Compression option, std::string_view path) {
    return option == Compression::Unset ? compression_from_extension(path) : option;
}

bool is_compressed(Compression c) { return c == Compression::Gzip || c == Compression::Zstd; }

Result<std::unique_ptr<ByteReader>, IoError> make_decoder(Compression c, std::unique_ptr<ByteReader> input) {
    switch (c) {
        case Compression::Gzip: return std::unique_ptr<ByteReader>(std::make_unique<GzipDecoder>(std::move(input)));
        case Compression::Zstd: {
            auto z = ZstdDecoder::create(std::move(input));
            if (!z) return make_err(std::move(z.error()));
            return std::unique_ptr<ByteReader>(std::move(*z));
        }
        case Compression::None:
        case Compression::Unset: break;
    }
    return input;
}

}  // namespace jorvane
