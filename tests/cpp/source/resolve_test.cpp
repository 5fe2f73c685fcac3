#include "source/resolve.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>


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

}  // namespace
}  // namespace jorvane
