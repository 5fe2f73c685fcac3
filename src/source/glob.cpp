// Glob expansion without the C library's glob(3): the pattern is split into
// path components, each parsed into tokens (or kept as a literal name when it
// has no wildcard). The walk goes depth first from the pattern's root: a
// literal component is looked up directly (so "." and ".." work and a
// directory needs no read permission to be passed through), a wildcard
// component lists the directory and keeps the entries that match, in byte
// order of their names, and `**` matches the remaining pattern against every
// entry of the directory and of each non-hidden subdirectory below it.
#include "source/glob.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>

#include "util/text.h"

namespace jorvane::glob {

namespace {

// Code points of UTF-8 text; a byte that does not start a valid sequence
// becomes 0x110000 + byte, which no pattern character equals.
std::vector<uint32_t> code_points(std::string_view s) {
    std::vector<uint32_t> out;
    out.reserve(s.size());
    size_t i = 0;
    while (i < s.size()) {
        const unsigned char b = static_cast<unsigned char>(s[i]);
        size_t len = 0;
        uint32_t cp = 0, min = 0;
        if (b < 0x80) {
            out.push_back(b);
            ++i;
            continue;
        }
        if (b >= 0xc2 && b <= 0xdf) len = 2, cp = b & 0x1f, min = 0x80;
        else if (b >= 0xe0 && b <= 0xef) len = 3, cp = b & 0x0f, min = 0x800;
        else if (b >= 0xf0 && b <= 0xf4) len = 4, cp = b & 0x07, min = 0x10000;
        bool ok = len != 0 && i + len <= s.size();
        for (size_t k = 1; ok && k < len; ++k) {
            const unsigned char cont = static_cast<unsigned char>(s[i + k]);
            ok = (cont & 0xc0) == 0x80;
            cp = (cp << 6) | (cont & 0x3f);
        }
        ok = ok && cp >= min && cp <= 0x10ffff && !(cp >= 0xd800 && cp <= 0xdfff);
        if (ok) {
            out.push_back(cp);
            i += len;
        } else {
            out.push_back(0x110000u + b);
            ++i;
        }
    }
    return out;
}

bool single_matches(const Pattern::Token& t, uint32_t c, size_t pos) {
    // A leading dot is matched by a literal dot only.
    if (pos == 0 && c == '.' && t.kind != Pattern::Token::Char) return false;
    switch (t.kind) {
        case Pattern::Token::Char: return t.ch == c;
        case Pattern::Token::AnyChar: return true;
        case Pattern::Token::Class: {
            bool in = false;
            for (auto [lo, hi] : t.ranges) {
                if (c >= lo && c <= hi) {
                    in = true;
                    break;
                }
            }
            return in != t.negated;
        }
        case Pattern::Token::AnySequence: break;
    }
    return false;
}

// Matching with single-star backtracking: enough, since stars never cross a
// component boundary.
bool tokens_match(const std::vector<Pattern::Token>& toks, const std::vector<uint32_t>& name) {
    size_t t = 0, n = 0;
    size_t star_t = SIZE_MAX, star_n = 0;
    while (n < name.size()) {
        if (t < toks.size() && toks[t].kind == Pattern::Token::AnySequence) {
            star_t = t++;
            star_n = n;
            continue;
        }
        if (t < toks.size() && single_matches(toks[t], name[n], n)) {
            ++t;
            ++n;
            continue;
        }
        if (star_t != SIZE_MAX) {
            if (star_n == 0 && name[0] == '.') return false;  // a star never eats a leading dot
            ++star_n;
            n = star_n;
            t = star_t + 1;
            continue;
        }
        return false;
    }
    while (t < toks.size() && toks[t].kind == Pattern::Token::AnySequence) ++t;
    return t == toks.size();
}

std::string join(const std::string& dir, std::string_view name) {
    if (dir.empty()) return std::string(name);
    std::string p = dir;
    if (p.back() != '/') p += '/';
    p += name;
    return p;
}

bool is_hidden(const DirEntry& e) { return !e.name.empty() && e.name[0] == '.'; }

// Parses one component's characters [begin, end) of `cps`; `offset` is the
// position of cps[0] in the whole pattern.
Result<Pattern::Component, PatternError> parse_component(const std::vector<uint32_t>& cps, size_t begin,
                                                         size_t end, std::string_view text) {
    Pattern::Component comp;
    if (end - begin == 2 && cps[begin] == '*' && cps[begin + 1] == '*') {
        comp.kind = Pattern::Component::Recursive;
        return comp;
    }
    bool wild = false;
    size_t i = begin;
    while (i < end) {
        uint32_t c = cps[i];
        Pattern::Token tok;
        if (c == '*') {
            size_t run = 0;
            while (i + run < end && cps[i + run] == '*') ++run;
            if (run >= 3) return make_err(PatternError{i, "wildcards are either `*` or a whole-component `**`"});
            if (run == 2)
                return make_err(PatternError{i, "`**` must be a whole path component (like a/**/b)"});
            tok.kind = Pattern::Token::AnySequence;
            i += 1;
            wild = true;
        } else if (c == '?') {
            tok.kind = Pattern::Token::AnyChar;
            i += 1;
            wild = true;
        } else if (c == '[') {
            size_t first = i + 1;
            bool negated = first < end && cps[first] == '!';
            if (negated) ++first;
            // The first character of the class is literal, even a ']'.
            size_t close = first + 1;
            while (close < end && cps[close] != ']') ++close;
            if (first >= end || close >= end)
                return make_err(PatternError{i, "unterminated character class"});
            tok.kind = Pattern::Token::Class;
            tok.negated = negated;
            size_t k = first;
            while (k < close) {
                if (k + 2 < close && cps[k + 1] == '-') {
                    tok.ranges.emplace_back(cps[k], cps[k + 2]);
                    k += 3;
                } else {
                    tok.ranges.emplace_back(cps[k], cps[k]);
                    k += 1;
                }
            }
            i = close + 1;
            wild = true;
        } else {
            tok.kind = Pattern::Token::Char;
            tok.ch = c;
            i += 1;
        }
        comp.tokens.push_back(std::move(tok));
    }
    if (!wild) {
        comp.kind = Pattern::Component::Literal;
        comp.literal = std::string(text);
        comp.tokens.clear();
    } else {
        comp.kind = Pattern::Component::Wild;
    }
    return comp;
}

}  // namespace

std::string PatternError::to_string() const { return message + " at position " + std::to_string(pos); }

std::string WalkError::to_string() const {
    return "cannot read directory " + debug_quote(path.empty() ? std::string(".") : path) + ": " +
           error.to_string();
}

bool is_pattern(std::string_view text) { return text.find_first_of("*?[") != std::string_view::npos; }

Result<Pattern, PatternError> Pattern::parse(std::string_view text) {
    Pattern p;
    std::vector<uint32_t> cps = code_points(text);
    p.absolute_ = !text.empty() && text[0] == '/';
    p.dir_only_ = text.size() > 1 && text.back() == '/';
    // Walk components by byte offsets in `text` and character offsets in `cps`.
    size_t bi = 0, ci = 0;
    while (bi <= text.size()) {
        size_t bend = text.find('/', bi);
        if (bend == std::string_view::npos) bend = text.size();
        std::string_view part = text.substr(bi, bend - bi);
        size_t cend = ci + code_points(part).size();
        if (!part.empty()) {
            auto comp = parse_component(cps, ci, cend, part);
            if (!comp) return make_err(std::move(comp).error());
            bool collapse = comp->kind == Component::Recursive && !p.components_.empty() &&
                            p.components_.back().kind == Component::Recursive;
            if (!collapse) p.components_.push_back(std::move(*comp));
        }
        bi = bend + 1;
        ci = cend + 1;
    }
    return p;
}

bool Pattern::component_matches(size_t index, std::string_view name) const {
    const Component& c = components_.at(index);
    switch (c.kind) {
        case Component::Literal: return name == c.literal;
        case Component::Wild: return tokens_match(c.tokens, code_points(name));
        case Component::Recursive: return !name.empty() && name[0] != '.';
    }
    return false;
}

void Pattern::emit(const std::string& path, bool is_dir, const Sink& on_match) const {
    if (dir_only_ && !is_dir) return;
    on_match(path);
}

Result<void, WalkError> Pattern::walk(DirLister& fs, const Sink& on_match) const {
    std::string root = absolute_ ? "/" : "";
    if (components_.empty()) {
        if (absolute_) emit(root, true, on_match);
        return {};
    }
    return walk_dir(fs, root, 0, on_match);
}

namespace {
Result<std::vector<DirEntry>, WalkError> sorted_listing(DirLister& fs, const std::string& dir) {
    auto listed = fs.list(dir);
    if (!listed) return make_err(WalkError{dir, std::move(listed).error()});
    std::vector<DirEntry> entries = std::move(*listed);
    std::sort(entries.begin(), entries.end(), [](const DirEntry& a, const DirEntry& b) { return a.name < b.name; });
    return entries;
}
}  // namespace

Result<void, WalkError> Pattern::walk_dir(DirLister& fs, const std::string& dir, size_t index,
                                          const Sink& on_match) const {
    const Component& c = components_[index];
    const bool last = index + 1 == components_.size();
    if (c.kind == Component::Literal) {
        std::string path = join(dir, c.literal);
        PathKind k = fs.kind(path);
        if (k == PathKind::Missing) return {};
        if (last) {
            emit(path, k == PathKind::Directory, on_match);
            return {};
        }
        if (k == PathKind::Directory) return walk_dir(fs, path, index + 1, on_match);
        return {};
    }
    auto entries = sorted_listing(fs, dir);
    if (!entries) return make_err(std::move(entries).error());
    for (const DirEntry& e : *entries) {
        if (c.kind == Component::Wild) {
            auto r = match_entry(fs, dir, e, index, on_match);
            if (!r) return r;
            continue;
        }
        // `**`: the rest of the pattern may start at this entry, and the
        // entry may be one more directory the `**` stands for.
        const bool descend = e.is_dir && !e.is_link && !is_hidden(e);
        if (last) {
            if (is_hidden(e)) continue;
            emit(join(dir, e.name), e.is_dir, on_match);
        } else {
            auto r = match_entry(fs, dir, e, index + 1, on_match);
            if (!r) return r;
        }
        if (descend) {
            auto r = walk_dir(fs, join(dir, e.name), index, on_match);
            if (!r) return r;
        }
    }
    return {};
}

Result<void, WalkError> Pattern::match_entry(DirLister& fs, const std::string& dir, const DirEntry& entry,
                                             size_t index, const Sink& on_match) const {
    if (!component_matches(index, entry.name)) return {};
    std::string path = join(dir, entry.name);
    if (index + 1 == components_.size()) {
        emit(path, entry.is_dir, on_match);
        return {};
    }
    if (entry.is_dir) return walk_dir(fs, path, index + 1, on_match);
    return {};
}

Result<std::vector<DirEntry>, IoError> PosixDirLister::list(const std::string& dir) {
    const std::string path = dir.empty() ? "." : dir;
    DIR* d = opendir(path.c_str());
    if (!d) return make_err(IoError::os(errno));
    std::vector<DirEntry> out;
    for (;;) {
        errno = 0;
        struct dirent* ent = readdir(d);
        if (!ent) {
            int err = errno;
            closedir(d);
            if (err != 0) return make_err(IoError::os(err));
            break;
        }
        std::string_view name = ent->d_name;
        if (name == "." || name == "..") continue;
        DirEntry e;
        e.name = std::string(name);
        if (ent->d_type == DT_DIR) {
            e.is_dir = true;
        } else if (ent->d_type == DT_LNK || ent->d_type == DT_UNKNOWN) {
            std::string full = join(dir, name);
            struct stat st {};
            if (lstat(full.c_str(), &st) == 0) {
                e.is_link = S_ISLNK(st.st_mode);
                e.is_dir = S_ISDIR(st.st_mode);
                if (e.is_link && stat(full.c_str(), &st) == 0) e.is_dir = S_ISDIR(st.st_mode);
            }
        }
        out.push_back(std::move(e));
    }
    return out;
}

PathKind PosixDirLister::kind(const std::string& path) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) return PathKind::Missing;
    return S_ISDIR(st.st_mode) ? PathKind::Directory : PathKind::Other;
}

Result<std::vector<std::string>, ExpandError> expand(std::string_view pattern, DirLister& fs) {
    auto p = Pattern::parse(pattern);
    if (!p) return make_err(ExpandError{true, p.error().to_string()});
    std::vector<std::string> out;
    auto r = p->walk(fs, [&](const std::string& m) { out.push_back(m); });
    if (!r) return make_err(ExpandError{false, r.error().to_string()});
    return out;
}

}  // namespace jorvane::glob
