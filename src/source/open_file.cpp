#include "source/open_file.h"

#include "source/bytes_source.h"
#include "source/file_reader.h"
#include "source/mapped_file.h"
#include "source/memory_reader.h"
#include "source/prefetch_source.h"
#include "source/read_source.h"
#include "source/resolve.h"

namespace jorvane {
namespace {

// A plain regular file is scanned where the kernel keeps it; one that
// reports no size (some virtual files) is read, as it may still hold bytes.
// `regular_size` is the file's size when it is a regular file.
bool maps_in_place(Compression compression, std::optional<uint64_t> regular_size) {
    return !is_compressed(compression) && regular_size && *regular_size > 0;
}

std::unique_ptr<Source> decoded(std::unique_ptr<ByteReader> decoder, bool prefetch, size_t buffer_len) {
    if (prefetch) return PrefetchSource::with_params(std::move(decoder), buffer_len);
    return std::make_unique<ReadSource>(std::move(decoder), buffer_len);
}

}  // namespace

Result<std::unique_ptr<Source>, IoError> open_file_source(const std::string& path, bool prefetch, size_t buffer_len,
                                                          Compression compression) {
    compression = file_compression(compression, path);
    auto opened = MappedFile::open(path);
    if (!opened) return make_err(std::move(opened.error()));
    std::shared_ptr<MappedFile> mapped = std::move(*opened);
    std::optional<uint64_t> regular_size;
    if (!is_compressed(compression) && mapped->regular()) {
        if (auto size = mapped->size()) regular_size = *size;
    }
    if (maps_in_place(compression, regular_size))
        return std::unique_ptr<Source>(std::make_unique<MappedFileSource>(std::move(mapped), buffer_len));
    std::unique_ptr<ByteReader> reader = std::make_unique<FileReader>(mapped->release_fd());
    if (!is_compressed(compression))
        return std::unique_ptr<Source>(std::make_unique<ReadSource>(std::move(reader), buffer_len));
    auto decoder = make_decoder(compression, std::move(reader));
    if (!decoder) return make_err(std::move(decoder.error()));
    return decoded(std::move(*decoder), prefetch, buffer_len);
}

std::optional<uint64_t> size_mapped_in_place(const std::string& path, Compression compression) {
    const std::optional<uint64_t> size = regular_file_size(path);
    if (!maps_in_place(file_compression(compression, path), size)) return std::nullopt;
    return size;
}

Result<std::unique_ptr<Source>, IoError> open_bytes_source(std::vector<uint8_t> data, size_t buffer_len,
                                                           Compression compression) {
    if (!is_compressed(compression)) return std::unique_ptr<Source>(std::make_unique<BytesSource>(std::move(data)));
    auto decoder = make_decoder(compression, std::make_unique<MemoryReader>(std::move(data)));
    if (!decoder) return make_err(std::move(decoder.error()));
    return std::unique_ptr<Source>(std::make_unique<ReadSource>(std::move(*decoder), buffer_len));
}

}  // namespace jorvane
