// Glob patterns over file paths: parsing, matching one path component, and the
// directory walk that expands a pattern into the paths it matches.
//
// Syntax: `?` one character, `*` any run of characters within one component,
// `**` as a whole component any number of directories (none included),
// `[...]` a character class (`[!...]` negated, `a-z` ranges, a `]` right after
// the opening bracket is literal). There is no escape character: a special
// character is matched literally through a class such as `[*]`. Matching is
// case-sensitive and a name's leading dot is matched only by a literal dot, so
// wildcards never pick up hidden names.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "source/io_error.h"
#include "util/result.h"

namespace jorvane::glob {

// A pattern the parser refuses; `pos` counts characters from 0.
struct PatternError {
    size_t pos = 0;
    std::string message;
    std::string to_string() const;
};

// A directory that could not be read during the walk.
struct WalkError {
    std::string path;  // raw bytes as the walk built it
    IoError error;
    std::string to_string() const;
};

// One entry of a directory listing.
struct DirEntry {
    std::string name;     // raw bytes, never "." or ".."
    bool is_dir = false;  // a directory, symbolic links followed
    bool is_link = false; // the entry itself is a symbolic link
};

enum class PathKind { Missing, Directory, Other };

// The file-system view of the walk; tests substitute their own.
class DirLister {
public:
    virtual ~DirLister() = default;
    // The entries of `dir` ("" is the current directory), in any order.
    virtual Result<std::vector<DirEntry>, IoError> list(const std::string& dir) = 0;
    // What `path` names, symbolic links followed.
    virtual PathKind kind(const std::string& path) = 0;
};

// The real file system.
class PosixDirLister final : public DirLister {
public:
    Result<std::vector<DirEntry>, IoError> list(const std::string& dir) override;
    PathKind kind(const std::string& path) override;
};

// True when `text` is a pattern rather than a plain path: it holds `*`, `?` or `[`.
bool is_pattern(std::string_view text);

class Pattern {
public:
    static Result<Pattern, PatternError> parse(std::string_view text);

    // Whether one path component (raw bytes) matches the component pattern
    // `index` of this pattern; exposed for tests.
    bool component_matches(size_t index, std::string_view name) const;

    using Sink = std::function<void(const std::string&)>;
    // Expands the pattern: calls `on_match` with each matching path (raw
    // bytes), depth first, the entries of each directory in ascending byte
    // order of their names. `**` does not descend into hidden directories nor
    // through symbolic links. Stops at the first directory that cannot be read.
    Result<void, WalkError> walk(DirLister& fs, const Sink& on_match) const;

    // One element of a component pattern.
    struct Token {
        enum Kind : uint8_t { Char, AnyChar, AnySequence, Class } kind = Char;
        uint32_t ch = 0;  // Char
        bool negated = false;  // Class
        std::vector<std::pair<uint32_t, uint32_t>> ranges;  // Class, inclusive
    };
    struct Component {
        enum Kind : uint8_t { Literal, Wild, Recursive } kind = Literal;
        std::string literal;        // Literal: the text itself
        std::vector<Token> tokens;  // Wild
    };

private:
    Result<void, WalkError> walk_dir(DirLister& fs, const std::string& dir, size_t index,
                                     const Sink& on_match) const;
    Result<void, WalkError> match_entry(DirLister& fs, const std::string& dir, const DirEntry& entry,
                                        size_t index, const Sink& on_match) const;
    void emit(const std::string& path, bool is_dir, const Sink& on_match) const;

    bool absolute_ = false;
    bool dir_only_ = false;  // written with a trailing '/'
    std::vector<Component> components_;
};

// Convenience: parse and walk, collecting the matches.
struct ExpandError {
    bool is_pattern_error = false;  // else a walk error
    std::string text;
};
Result<std::vector<std::string>, ExpandError> expand(std::string_view pattern, DirLister& fs);

}  // namespace jorvane::glob
