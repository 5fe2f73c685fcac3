#include "source/resolve.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace jorvane {
namespace {

TEST(PathKey, EqualComponentsAreEqualPaths) {
    EXPECT_EQ(path_key("a//b/"), "a/b");
    EXPECT_EQ(path_key("/x/./y"), "/x/y");
    EXPECT_EQ(path_key("./a"), "./a");
    EXPECT_EQ(path_key("//"), "/");
    EXPECT_NE(path_key("a/../b"), path_key("b"));  // ".." is not resolved lexically
    SeenPaths seen;
    EXPECT_TRUE(seen.insert("/no/such/file.json"));
    EXPECT_FALSE(seen.insert("/no/such/file.json/"));
    EXPECT_FALSE(seen.insert("/no//such/file.json"));
    EXPECT_TRUE(seen.insert("/no/such/other.json"));
}

TEST(Canonicalize, ResolvesLinksAndKeepsWhatItCannotResolve) {
    namespace fs = std::filesystem;
    char tmpl[] = "/tmp/jorvane_resolve_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    std::string root = fs::canonical(tmpl).string();
    std::ofstream(root + "/f.json") << "[]";
    fs::create_symlink(root + "/f.json", root + "/link.json");
    fs::create_directory(root + "/d");
    EXPECT_EQ(canonicalize_path(root + "/d/../link.json"), root + "/f.json");
    EXPECT_EQ(canonicalize_path("missing/x.json"), "missing/x.json");
    EXPECT_EQ(canonicalize_path(std::string("a\0b", 3)), std::string("a\0b", 3));
    EXPECT_TRUE(is_regular_file(root + "/link.json"));
    EXPECT_FALSE(is_regular_file(root + "/d"));
    EXPECT_FALSE(is_regular_file(root + "/nope"));
    std::string with_nul = root + "/f.json";
    with_nul.push_back('\0');
    EXPECT_FALSE(is_regular_file(with_nul + "x"));
    fs::remove_all(root);
}

// Path and glob texts over a temporary tree: which files each yields, in
// which order, what the seen-file set drops, and the refusals' messages.
TEST(ResolvePathSpec, ExpandsPathsAndGlobsIntoRegularFiles) {
    namespace fs = std::filesystem;
    char tmpl[] = "/tmp/jorvane_spec_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    const std::string root = fs::canonical(tmpl).string();
    for (const char* f :
         {"/b.json", "/a.json", "/.h.json", "/sub/c.json", "/sub/.d.json", "/sub/deep/e.json", "/x[1].txt"}) {
        fs::create_directories(fs::path(root + f).parent_path());
        std::ofstream(root + f) << "{}";
    }
    fs::create_directory(root + "/dir.json");
    fs::create_symlink(root + "/a.json", root + "/link.json");
    fs::create_symlink(root + "/missing", root + "/dangling.json");
    const std::string q = "\"" + root;  // the quoted form of a path under root, less its closing quote

    struct Case {
        std::string spec;
        std::vector<std::string> files;  // under root
        std::string error;               // empty: none
    } cases[] = {
        {root + "/a.json", {"/a.json"}, ""},
        {root + "/sub/../link.json", {"/a.json"}, ""},  // canonical, links resolved
        {root + "/dir.json", {}, "not a readable file: " + q + "/dir.json\""},
        {root + "/nope.json", {}, "not a readable file: " + q + "/nope.json\""},
        {root + "/dangling.json", {}, "not a readable file: " + q + "/dangling.json\""},
        // Directories, dangling links and hidden names are skipped; the link
        // to a.json is a.json again and is kept once.
        {root + "/*.json", {"/a.json", "/b.json"}, ""},
        {root + "/.*", {"/.h.json"}, ""},
        {root + "/**/*.json", {"/a.json", "/b.json", "/sub/c.json", "/sub/deep/e.json"}, ""},
        {root + "/s?b/[c-e].json", {"/sub/c.json"}, ""},
        {root + "/x[[]1].txt", {"/x[1].txt"}, ""},
        {root + "/x[1].txt", {}, ""},  // a pattern, which matches nothing
        {root + "/*.csv", {}, ""},
        {root + "/[a", {}, "invalid glob " + q + "/[a\": unterminated character class at position " +
                               std::to_string(root.size() + 1)},
    };
    for (const Case& c : cases) {
        SeenPaths seen;
        std::vector<std::string> files;
        auto r = resolve_path_spec(c.spec, seen, files);
        EXPECT_EQ(r ? "" : r.error(), c.error) << c.spec;
        std::vector<std::string> expected;
        for (const auto& f : c.files) expected.push_back(root + f);
        if (r) {
            EXPECT_EQ(files, expected) << c.spec;
        }
    }

    // One seen-file set across texts: a file keeps its first mention only.
    SeenPaths seen;
    std::vector<std::string> files;
    ASSERT_TRUE(resolve_path_spec(root + "/b.json", seen, files));
    ASSERT_TRUE(resolve_path_spec(root + "/*.json", seen, files));
    ASSERT_TRUE(resolve_path_spec(root + "/link.json", seen, files));
    EXPECT_EQ(files, (std::vector<std::string>{root + "/b.json", root + "/a.json"}));

    // A directory the walk cannot read ends it (only where permissions bind).
    fs::create_directory(root + "/locked");
    chmod((root + "/locked").c_str(), 0);
    if (DIR* d = opendir((root + "/locked").c_str())) {
        closedir(d);
    } else {
        files.clear();
        auto r = resolve_path_spec(root + "/locked/*", seen, files);
        ASSERT_FALSE(r);
        EXPECT_EQ(r.error().rfind("error resolving glob " + q + "/locked/*\": ", 0), 0u) << r.error();
    }
    chmod((root + "/locked").c_str(), 0700);
    fs::remove_all(root);
}

}  // namespace
}  // namespace jorvane
