#include "source/glob.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>

namespace jorvane::glob {
namespace {

// An in-memory tree: paths ending in '/' are directories; "@x" marks a
// directory whose listing fails; "->" marks a symbolic link to a directory.
class FakeFs final : public DirLister {
public:
    explicit FakeFs(std::set<std::string> paths) : paths_(std::move(paths)) {}
    Result<std::vector<DirEntry>, IoError> list(const std::string& dir) override {
        listed.push_back(dir);
        std::string d = dir.empty() ? "" : (dir.back() == '/' ? dir : dir + "/");
        if (unreadable.count(dir)) return make_err(IoError::os(EACCES));
        std::map<std::string, DirEntry> out;
        for (const std::string& p : paths_) {
            if (p.size() <= d.size() || p.compare(0, d.size(), d) != 0) continue;
            std::string rest = p.substr(d.size());
            size_t slash = rest.find('/');
            DirEntry e;
            e.name = rest.substr(0, slash);
            e.is_dir = slash != std::string::npos;
            e.is_link = links.count(d + e.name) > 0;
            if (e.is_link) e.is_dir = true;
            out[e.name] = e;
        }
        // Deliberately unsorted: the walk sorts.
        std::vector<DirEntry> v;
        for (auto it = out.rbegin(); it != out.rend(); ++it) v.push_back(it->second);
        return v;
    }
    PathKind kind(const std::string& path) override {
        for (const std::string& p : paths_) {
            if (p == path) return PathKind::Other;
            if (p.compare(0, path.size() + 1, path + "/") == 0) return PathKind::Directory;
        }
        return PathKind::Missing;
    }
    std::set<std::string> unreadable;
    std::set<std::string> links;
    std::vector<std::string> listed;

private:
    std::set<std::string> paths_;
};

std::vector<std::string> run(const std::string& pattern, FakeFs& fs) {
    auto r = expand(pattern, fs);
    EXPECT_TRUE(r.ok()) << (r.ok() ? "" : r.error().text);
    return r.ok() ? *r : std::vector<std::string>{};
}

using V = std::vector<std::string>;

TEST(GlobMatch, WildcardsClassesAndHiddenNames) {
    struct Case {
        const char* pattern;
        const char* name;
        bool match;
    } cases[] = {
        {"*.json", "a.json", true},     {"*.json", "a.jsonl", false},  {"a?c", "abc", true},
        {"a?c", "ac", false},           {"[ab]x", "bx", true},         {"[!ab]x", "bx", false},
        {"[!ab]x", "cx", true},         {"[a-c]", "b", true},          {"[a-c]", "d", false},
        {"[]]", "]", true},             {"[!]]", "a", true},           {"[a-]", "-", true},
        {"[*]", "*", true},             {"[*]", "a", false},           {"*", ".hidden", false},
        {"?hidden", ".hidden", false},  {"[.]h", ".h", false},         {".*", ".hidden", true},
        {"*.json", "A.JSON", false},    {"a*b*c", "axxbyyc", true},    {"a*b*c", "axxbyy", false},
        {"*", "", true},                {"é?", "éx", true},            {"?", "é", true},
        {"x*", "x\xff", true},          {"?", "\xff", true},           {"[!a]", "\xff", true},
    };
    for (const Case& c : cases) {
        auto p = Pattern::parse(c.pattern);
        ASSERT_TRUE(p.ok()) << c.pattern;
        EXPECT_EQ(p->component_matches(0, c.name), c.match) << c.pattern << " vs " << c.name;
    }
}

TEST(GlobParse, RefusedPatterns) {
    struct Case {
        const char* pattern;
        size_t pos;
        const char* message;
    } cases[] = {
        {"a/***", 2, "wildcards are either `*` or a whole-component `**`"},
        {"a**/b", 1, "`**` must be a whole path component (like a/**/b)"},
        {"x/**b", 2, "`**` must be a whole path component (like a/**/b)"},
        {"ab[c", 2, "unterminated character class"},
        {"[]", 0, "unterminated character class"},
        {"[!]", 0, "unterminated character class"},
        {"é[", 1, "unterminated character class"},
    };
    for (const Case& c : cases) {
        auto p = Pattern::parse(c.pattern);
        ASSERT_FALSE(p.ok()) << c.pattern;
        EXPECT_EQ(p.error().pos, c.pos) << c.pattern;
        EXPECT_EQ(p.error().message, c.message) << c.pattern;
    }
    EXPECT_EQ(Pattern::parse("ab[c").error().to_string(), "unterminated character class at position 2");
    EXPECT_TRUE(is_pattern("a[b"));
    EXPECT_TRUE(is_pattern("*"));
    EXPECT_FALSE(is_pattern("plain/path.json"));
}

TEST(GlobWalk, ByteOrderDepthFirstAndFilesOnlyWhereAsked) {
    FakeFs fs({"d/b.json", "d/a.json", "d/B.json", "d/sub/c.json", "d/.h.json", "d/x.txt", "d/sub2.json/z"});
    EXPECT_EQ(run("d/*.json", fs), (V{"d/B.json", "d/a.json", "d/b.json", "d/sub2.json"}));
    EXPECT_EQ(run("d/.*.json", fs), (V{"d/.h.json"}));
    EXPECT_EQ(run("d/*/", fs), (V{"d/sub", "d/sub2.json"}));
    EXPECT_EQ(run("*/sub/*", fs), (V{"d/sub/c.json"}));
    EXPECT_EQ(run("nope/*", fs), V{});
}

TEST(GlobWalk, RecursiveWildcard) {
    FakeFs fs({"r/a.json", "r/b/c.json", "r/b/d/e.json", "r/.git/x.json", "r/f.json", "r/b/.h.json",
               "r/loop/q.json"});
    fs.links.insert("r/loop");
    // Depth first, each directory's entries in byte order, hidden directories
    // and symbolic links not entered.
    EXPECT_EQ(run("r/**/*.json", fs), (V{"r/a.json", "r/b/c.json", "r/b/d/e.json", "r/f.json"}));
    EXPECT_EQ(run("r/**/**/c.json", fs), (V{"r/b/c.json"}));
    EXPECT_EQ(run("r/**/.h.json", fs), (V{"r/b/.h.json"}));
    EXPECT_EQ(run("**/e.json", fs), (V{"r/b/d/e.json"}));
    // A trailing ** stands for everything below, directories included.
    EXPECT_EQ(run("r/b/**", fs), (V{"r/b/c.json", "r/b/d", "r/b/d/e.json"}));
    // Hidden directories are only entered through a literal dot.
    EXPECT_EQ(run("r/.git/*.json", fs), (V{"r/.git/x.json"}));
    EXPECT_EQ(run("r/*/x.json", fs), V{});
}

TEST(GlobWalk, LiteralComponentsAreNotListed) {
    FakeFs fs({"top/locked/data.json", "top/locked/other.json"});
    fs.unreadable.insert("top/locked");
    EXPECT_EQ(run("top/locked/../locked/data.js[o]n", fs).size(), 0u);  // needs a listing: fails below
    fs.listed.clear();
    fs.unreadable.clear();
    fs.unreadable.insert("top");
    EXPECT_EQ(run("top/locked/*.json", fs), (V{"top/locked/data.json", "top/locked/other.json"}));
    EXPECT_EQ(fs.listed, (V{"top/locked"}));
}

TEST(GlobWalk, UnreadableDirectoryStopsTheWalk) {
    FakeFs fs({"w/a/1.json", "w/b/2.json", "w/c/3.json"});
    fs.unreadable.insert("w/b");
    std::vector<std::string> seen;
    auto p = Pattern::parse("w/*/*.json");
    ASSERT_TRUE(p.ok());
    auto r = p->walk(fs, [&](const std::string& m) { seen.push_back(m); });
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().path, "w/b");
    EXPECT_EQ(r.error().to_string(), "cannot read directory \"w/b\": " + IoError::os(EACCES).to_string());
    EXPECT_EQ(seen, (V{"w/a/1.json"}));

    auto e = expand("w/**/*.json", fs);
    ASSERT_FALSE(e.ok());
    EXPECT_FALSE(e.error().is_pattern_error);
    auto bad = expand("w/[", fs);
    ASSERT_FALSE(bad.ok());
    EXPECT_TRUE(bad.error().is_pattern_error);
}

TEST(GlobWalk, RealFileSystemWithRawByteNames) {
    namespace fs = std::filesystem;
    char tmpl[] = "/tmp/jorvane_glob_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    std::string root = tmpl;
    std::string odd = root + "/caf\xe9.json";  // Latin-1 byte: not UTF-8
    for (const std::string& p : {root + "/b.json", root + "/a.json", odd, root + "/.h.json"}) {
        std::ofstream(p) << "{}";
    }
    fs::create_directory(root + "/sub");
    fs::create_directory_symlink(root, root + "/sub/up");
    PosixDirLister lister;
    auto r = expand(root + "/*.json", lister);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(*r, (V{root + "/a.json", root + "/b.json", odd}));
    auto deep = expand(root + "/**/*.json", lister);  // the link back up is not followed
    ASSERT_TRUE(deep.ok());
    EXPECT_EQ(deep->size(), 3u);
    EXPECT_EQ(lister.kind(root + "/sub/up"), PathKind::Directory);
    EXPECT_EQ(lister.kind(root + "/missing"), PathKind::Missing);
    EXPECT_EQ(lister.kind(odd), PathKind::Other);
    fs::remove_all(root);
}

}  // namespace
}  // namespace jorvane::glob
