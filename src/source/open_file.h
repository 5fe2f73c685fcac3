// Opening a file as a Source: the file, a decoder when the compression (or,
// when unset, the file name's extension) asks for one, and a buffered or a
// prefetching source over them. A plain regular file is mapped a window at a
// time (source/mapped_file.h) rather than read. Needs no interpreter, so a worker thread can
// open a file only when it takes it.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "source/compression.h"
#include "source/io_error.h"
#include "source/source.h"
#include "util/result.h"

namespace jorvane {

// `path` holds the raw bytes of the file name; buffers are `buffer_len` bytes
// long (only the last shorter), prefetched or not.
Result<std::unique_ptr<Source>, IoError> open_file_source(const std::string& path, bool prefetch, size_t buffer_len,
                                                          Compression compression);

}  // namespace jorvane
