// Resolution of classified source items into openable ones: globs expanded
// to their files, plain paths checked, URLs opened through fsspec, and, for
// Query, a label for every resolved source.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "python/py.h"
#include "python/source_items.h"
#include "source/resolve.h"

namespace jorvane::py {

// One openable source.
struct ResolvedItem {
    enum class Kind : uint8_t { File = 0, Bytes = 1, Reader = 2 };
    Kind kind = Kind::File;
    std::string path;       // File: raw path bytes, what is opened
    std::string path_text;  // File: the path as UTF-8 (invalid bytes replaced), for labels and messages
    std::vector<uint8_t> bytes;  // Bytes: the JSON text
    Ref reader;             // Reader: the file-like object
    bool keep_open = true;  // Reader: false when the system opened it (closed on abandon)
};

struct ResolvedSource {
    SourceOptions options;
    ResolvedItem item;
};

// Query's sources: three lists of one length, index by index the same source.
struct LabeledSources {
    std::vector<ResolvedItem> items;
    std::vector<std::string> labels;
    std::vector<SourceOptions> options;
};

// Opens `url` through fsspec.open(url, "rb", compression="infer").open();
// null with an exception set (ImportError when fsspec is not installed; the
// import's own exception when an installed fsspec fails to import).
Ref open_url(const std::string& url);

// Resolution without labels or one-file rules (items, kvitems, tables).
bool resolve_source_items(std::vector<ClassifiedItem>&& items, std::vector<ResolvedSource>& out);

// Resolution with labels for Query; a named source or one with a progress
// callback must stand for exactly one file.
bool resolve_labeled_sources(std::vector<ClassifiedItem>&& items, LabeledSources& out);

}  // namespace jorvane::py
