// Opening a file source off the interpreter: the same reader chain as the
// file branch of open_resolved (file, optional decoder, chunked or prefetching
// source), with the failure returned as an I/O error. A multi-source run uses
// it to open each file only when a worker takes it.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "source/compression.h"
#include "source/io_error.h"
#include "source/source.h"
#include "util/result.h"

namespace jorvane::py {

Result<std::unique_ptr<Source>, IoError> open_file_chain(const std::string& path, bool prefetch, size_t chunk_len,
                                                         Compression compression);

}  // namespace jorvane::py
