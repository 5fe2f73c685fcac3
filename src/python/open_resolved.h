// Opening resolved sources: the one place where byte sources are made from
// a file path, bytes in memory or a Python file-like object, with the
// decompression chosen by option or, for files, by extension.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "python/py.h"
#include "python/resolve_sources.h"
#include "engine/scan_mode.h"
#include "run/run_policy.h"
#include "source/compression.h"
#include "source/source.h"

namespace jorvane::py {

// Makes the source for `item` (consumed either way). `prefetch` matters only
// for compressed files. Null with ValueError set ("cannot open {:?}: {}",
// "zstd decoder: {}"); called with the interpreter lock held.
std::unique_ptr<Source> open_resolved(ResolvedItem&& item, bool prefetch, size_t buffer_len, Compression compression);

// The file branch of open_resolved: `path` is opened, `path_text` shown in
// messages.
std::unique_ptr<Source> open_source(const std::string& path, const std::string& path_text, bool prefetch,
                                    size_t buffer_len, Compression compression);

// The one source of a run over a single source, the mode it runs in, and
// the engines that may scan its ranges at once (1: one engine scans it).
struct OneSource {
    engine::ScanMode mode;
    std::unique_ptr<Source> source;
    size_t walkers = 1;
    // The source reads by calling a Python file-like object.
    bool python_reads = false;
};

// The opening sequence of every entry point that reads one source: the mode
// chosen for the `mode` option (ValueError for an unknown name), then the
// source opened by `open` with that mode's buffer length. Nothing with an
// exception set.
std::optional<OneSource> open_one_source(const std::optional<std::string>& mode,
                                         const std::function<std::unique_ptr<Source>(size_t buffer_len)>& open);

// The input's facts (run/input_facts.h) of a resolved item before it is
// opened with `compression`: those of a file or of bytes in memory. A
// file-like object leaves `facts` as they are.
void add_input_facts(const ResolvedItem& item, Compression compression, run::SplitFacts& facts);

// The one source of a table-shaped consumer, through open_one_source:
// parsed, resolved, checked to be exactly one source without query-only
// options (the refusals name `caller`, the function called, such as
// "describe()"), and opened without prefetching. A writer passes its `output`
// path: a path that names the same file as any file of the source (symbolic
// links followed; a file-like object by its file descriptor) is refused with
// ValueError before anything is opened, since opening the output for writing
// would destroy the input.
// The consumer passes the facts of its run as `split` (the input's own facts
// are read from the resolved source): with the mode left to the run policy
// (None or "auto") the mode is chosen as for a Query over that one source,
// and `walkers` is the thread budget's walkers for it; an explicit mode
// keeps one walker.
std::optional<OneSource> open_table_source(PyObject* source, const std::optional<std::string>& mode,
                                           const std::string* output, const run::SplitFacts& split,
                                           std::string_view caller);

}  // namespace jorvane::py
