#include "source/open_file.h"

#include "source/file_reader.h"
#include "source/gzip_decoder.h"
#include "source/mapped_file.h"
#include "source/prefetch_source.h"
#include "source/read_source.h"
#include "source/zstd_decoder.h"

namespace jorvane {
namespace {

std::unique_ptr<Source> decoded(std::unique_ptr<ByteReader> decoder, bool prefetch, size_t buffer_len) {
    if (prefetch) return PrefetchSource::with_params(std::move(decoder), buffer_len);
    return std::make_unique<ReadSource>(std::move(decoder), buffer_len);
}

}  // namespace

Result<std::unique_ptr<Source>, IoError> open_file_source(const std::string& path, bool prefetch, size_t buffer_len,
                                                          Compression compression) {
    if (compression == Compression::Unset) compression = compression_from_extension(path);
    auto opened = MappedFile::open(path);
    if (!opened) return make_err(std::move(opened.error()));
    std::shared_ptr<MappedFile> mapped = std::move(*opened);
    if (compression != Compression::Gzip && compression != Compression::Zstd && mapped->regular()) {
        // A plain regular file is scanned where the kernel keeps it; one that
        // reports no size (some virtual files) is read, as it may still hold
        // bytes.
        auto size = mapped->size();
        if (size && *size > 0)
            return std::unique_ptr<Source>(std::make_unique<MappedFileSource>(std::move(mapped), buffer_len));
    }
    std::unique_ptr<ByteReader> reader = std::make_unique<FileReader>(mapped->release_fd());
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
