#include "source/open_file.h"

#include "source/file_reader.h"
#include "source/gzip_decoder.h"
#include "source/prefetch_source.h"
#include "source/read_source.h"
#include "source/zstd_decoder.h"

namespace jorvane {
namespace {

std::unique_ptr<Source> decoded(std::unique_ptr<ByteReader> decoder, bool prefetch, size_t buffer_len) {
    if (prefetch) return PrefetchSource::with_params(std::move(decoder));
    return std::make_unique<ReadSource>(std::move(decoder), buffer_len);
}

}  // namespace

Result<std::unique_ptr<Source>, IoError> open_file_source(const std::string& path, bool prefetch, size_t buffer_len,
                                                          Compression compression) {
    if (compression == Compression::Unset) compression = compression_from_extension(path);
    auto file = FileReader::open(path);
    if (!file) return make_err(std::move(file.error()));
    std::unique_ptr<ByteReader> reader = std::move(*file);
    switch (compression) {
        case Compression::Gzip:
            return decoded(std::make_unique<GzipDecoder>(std::move(reader)), prefetch, buffer_len);
        case Compression::Zstd: {
            auto z = ZstdDecoder::create(std::move(reader));
            if (!z) return make_err(std::move(z.error()));
            return decoded(std::move(*z), prefetch, buffer_len);
        }
        default:
            return std::unique_ptr<Source>(std::make_unique<ReadSource>(std::move(reader), buffer_len));
    }
}

}  // namespace jorvane
