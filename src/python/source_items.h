// Classification of source arguments: every entry point that reads JSON turns
// its `source` argument into an ordered list of classified items, each a kind
// of source (path or glob, JSON text in memory, URL, file-like object) with
// the per-source options of a `Source(...)` wrapper. Nothing is opened, read
// or looked up on disk here.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "python/py.h"
#include "source/compression.h"

namespace jorvane::py {

// The options that belong to one source argument (all absent for a bare one).
struct SourceOptions {
    Ref progress;  // the progress callback, null when absent
    std::optional<uint64_t> progress_interval;
    std::optional<std::string> name;
    Compression compression = Compression::Unset;
};

// One classified source argument.
struct InputItem {
    enum class Kind : uint8_t { Path = 0, Bytes = 1, Url = 2, Reader = 3 };
    Kind kind = Kind::Path;
    std::string text;   // Path: the path or pattern; Url: the URL as written
    std::vector<uint8_t> bytes;  // Bytes: a copy of the JSON text
    Ref reader;         // Reader: the file-like object
};

struct ClassifiedItem {
    SourceOptions options;
    InputItem item;
};

// Classifies one object (a `Source` wrapper is unwrapped and its options
// taken). nullopt with an exception set when the object is no accepted form.
std::optional<ClassifiedItem> classify_source_with_options(PyObject* obj);

// Classifies a whole `source` argument: a list gives one item per element,
// anything else one item. False with an exception set at the first failure.
bool parse_source_items(PyObject* source, std::vector<ClassifiedItem>& out);

// The dict form of `Query`'s sources: each value classified in iteration
// order, its key (a str) becoming the item's name. A wrapper whose own name
// differs from its key is refused.
bool parse_source_dict(PyObject* dict, std::vector<ClassifiedItem>& out);

// Refuses the options only `Query` honours, for `consumer`, the function
// called ("items()", "describe()"): the progress callback first, then the
// name. False with ValueError set.
bool reject_query_only_options(const std::optional<std::string>& name, PyObject* progress,
                               std::string_view consumer);

}  // namespace jorvane::py
