// Turning path arguments into files: the regular-file test,
// canonicalisation, the set of files already taken, and the expansion of one
// path or glob text into the files it names. Paths are raw bytes throughout
// (a name need not be valid UTF-8); only labels and messages use their lossy
// text.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "util/result.h"

namespace jorvane {

// True when `path` names an existing regular file (symbolic links followed).
// A path holding a NUL byte names nothing.
bool is_regular_file(std::string_view path);

// The size of the regular file `path` names (symbolic links followed);
// nothing when it names no regular file.
std::optional<uint64_t> regular_file_size(std::string_view path);

// The absolute path with ".", ".." and symbolic links resolved; `path`
// unchanged when that fails (missing file, NUL byte, permission).
std::string canonicalize_path(std::string_view path);

// The comparison form of a path: equal paths have equal components, so
// repeated separators, "." components and a trailing separator do not count.
std::string path_key(std::string_view path);

// Files already taken during one resolution pass. The hash is seeded at
// random once per process.
class SeenPaths {
public:
    // Records `path`; false when an equal path was recorded before.
    bool insert(std::string_view path);
    void clear() { set_.clear(); }
    size_t size() const { return set_.size(); }

private:
    struct Hash {
        size_t operator()(const std::string& s) const;
    };
    std::unordered_set<std::string, Hash> set_;
};

// Expands one path or glob text (a pattern when it holds `*`, `?` or `[`)
// into files appended to `files`, in the walk's order: a plain path must
// name a regular file; a pattern keeps the regular files it matches and
// skips everything else. Each file is appended under its canonical path
// (canonicalize_path), unless `seen` already holds it. The refusal is the
// whole message: "not a readable file: {spec}", "invalid glob {spec}: {why}"
// or "error resolving glob {spec}: {why}", the spec in its quoted form.
Result<void, std::string> resolve_path_spec(std::string_view spec, SeenPaths& seen, std::vector<std::string>& files);

}  // namespace jorvane
