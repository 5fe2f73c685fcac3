// Opening resolved sources: the one place where byte sources are made from
// a file path, bytes in memory or a Python file-like object, with the
// decompression chosen by option or, for files, by extension.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "python/py.h"
#include "python/resolve_sources.h"
#include "source/compression.h"
#include "source/source.h"

namespace jorvane::py {

// Buffer lengths the callers pass: 4 MiB in pipelined mode, 1 MiB otherwise.
inline constexpr size_t kPipelinedBufferLen = 4194304;
inline constexpr size_t kBatchedBufferLen = 1048576;

// Makes the source for `item` (consumed either way). `prefetch` matters only
// for compressed files. Null with ValueError set ("cannot open {:?}: {}",
// "zstd decoder: {}"); called with the interpreter lock held.
std::unique_ptr<Source> open_resolved(ResolvedItem&& item, bool prefetch, size_t buffer_len, Compression compression);

// The file branch of open_resolved: `path` is opened, `path_text` shown in
// messages.
std::unique_ptr<Source> open_source(const std::string& path, const std::string& path_text, bool prefetch,
                                    size_t buffer_len, Compression compression);

// The one source of a table-shaped consumer: parsed, resolved, checked to be
// exactly one source without query-only options, and opened without
// prefetching (4 MiB buffers when `pipelined`, else 1 MiB). A writer passes
// its `output` path: a path that names the same file as any file of the
// source (symbolic links followed; a file-like object by its file
// descriptor) is refused with ValueError before anything is opened, since
// opening the output for writing would destroy the input. Null with an
// exception set.
std::unique_ptr<Source> single_table_source(PyObject* source, bool pipelined, const std::string* output = nullptr);

}  // namespace jorvane::py
