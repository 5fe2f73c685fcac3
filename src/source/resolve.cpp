#include "source/resolve.h"

#include <sys/stat.h>

#include <climits>
#include <cstdlib>
#include <memory>

#include "source/glob.h"
#include "util/hash.h"
#include "util/text.h"

namespace jorvane {
namespace {

void add_unique(std::string_view path, SeenPaths& seen, std::vector<std::string>& files) {
    std::string canonical = canonicalize_path(path);
    if (seen.insert(canonical)) files.push_back(std::move(canonical));
}

}  // namespace

bool is_regular_file(std::string_view path) {
    if (path.find('\0') != std::string_view::npos) return false;
    std::string p(path);
    struct stat st {};
    return stat(p.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::optional<uint64_t> regular_file_size(std::string_view path) {
    if (path.find('\0') != std::string_view::npos) return std::nullopt;
    std::string p(path);
    struct stat st {};
    if (stat(p.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
    return static_cast<uint64_t>(st.st_size < 0 ? 0 : st.st_size);
}

std::string canonicalize_path(std::string_view path) {
    if (path.empty() || path.find('\0') != std::string_view::npos) return std::string(path);
    std::string p(path);
    std::unique_ptr<char, decltype(&std::free)> real(realpath(p.c_str(), nullptr), &std::free);
    if (!real) return p;
    return std::string(real.get());
}

std::string path_key(std::string_view path) {
    std::string key;
    if (!path.empty() && path[0] == '/') key = "/";
    size_t i = 0;
    bool first = true;
    while (i <= path.size()) {
        size_t end = path.find('/', i);
        if (end == std::string_view::npos) end = path.size();
        std::string_view part = path.substr(i, end - i);
        // A "." is dropped except as the first component of a relative path.
        bool keep = !part.empty() && (part != "." || (first && key.empty()));
        if (keep) {
            if (!key.empty() && key.back() != '/') key += '/';
            key += part;
        }
        if (!part.empty()) first = false;
        i = end + 1;
    }
    return key;
}

size_t SeenPaths::Hash::operator()(const std::string& s) const {
    return static_cast<size_t>(hash_bytes(s, random_seed()));
}

bool SeenPaths::insert(std::string_view path) { return set_.insert(path_key(path)).second; }

Result<void, std::string> resolve_path_spec(std::string_view spec, SeenPaths& seen, std::vector<std::string>& files) {
    if (!glob::is_pattern(spec)) {
        if (!is_regular_file(spec)) return make_err("not a readable file: " + debug_quote(spec));
        add_unique(spec, seen, files);
        return {};
    }
    auto pattern = glob::Pattern::parse(spec);
    if (!pattern) return make_err("invalid glob " + debug_quote(spec) + ": " + pattern.error().to_string());
    glob::PosixDirLister fs;
    auto walked = pattern->walk(fs, [&](const std::string& match) {
        if (is_regular_file(match)) add_unique(match, seen, files);
    });
    if (!walked) return make_err("error resolving glob " + debug_quote(spec) + ": " + walked.error().to_string());
    return {};
}

}  // namespace jorvane
