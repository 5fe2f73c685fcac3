// Opening a file or bytes in memory as a Source: the input, a decoder when
// the compression (or, for a file whose compression is unset, its name's
// extension) asks for one, and a buffered or a prefetching source over them.
// A plain regular file is mapped a window at a time (source/mapped_file.h)
// rather than read. Needs no interpreter, so a worker thread can open a file
// only when it takes it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "source/compression.h"
#include "source/io_error.h"
#include "source/source.h"
#include "util/result.h"

namespace jorvane {

// `path` holds the raw bytes of the file name; buffers are `buffer_len` bytes
// long (only the last shorter), prefetched or not.
Result<std::unique_ptr<Source>, IoError> open_file_source(const std::string& path, bool prefetch, size_t buffer_len,
                                                          Compression compression);

// The size of the file `path` names when open_file_source would map it in
// place (with `compression` as there): a plain, regular file (symbolic links
// followed) that reports a size above 0. Nothing when it would be read in
// order through a buffer instead, or cannot be looked up. Looks the file up
// without opening it.
std::optional<uint64_t> size_mapped_in_place(const std::string& path, Compression compression);

// Bytes in memory: handed out as they are (4 MiB slices, no grid) unless
// `compression` is gzip or zstd, which is decoded in buffers of `buffer_len`
// bytes. Fails only when the Zstandard decoder cannot be made.
Result<std::unique_ptr<Source>, IoError> open_bytes_source(std::vector<uint8_t> data, size_t buffer_len,
                                                           Compression compression);

}  // namespace jorvane
