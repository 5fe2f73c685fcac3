// The cgroup side of the processor figure, from the texts the kernel gives:
// quota files, /proc/self/cgroup and /proc/self/mountinfo of a host, a
// container and a v1 system.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "run/usable_processors.h"

namespace jorvane::run {
namespace {

TEST(CgroupQuota, RoundsUpAndIgnoresWhatIsNoQuota) {
    const std::pair<const char*, std::optional<size_t>> v2[] = {
        {"200000 100000\n", 2}, {"150000 100000", 2}, {"1 100000", 1},         {"max 100000\n", std::nullopt},
        {"0 100000", std::nullopt}, {"100000 0", std::nullopt}, {"", std::nullopt}, {"-1 100000", std::nullopt},
    };
    for (const auto& [text, limit] : v2) EXPECT_EQ(cpu_max_limit(text), limit) << '"' << text << '"';
    EXPECT_EQ(cfs_quota_limit("250000\n", "100000\n"), 3u);
    EXPECT_EQ(cfs_quota_limit("-1\n", "100000\n"), std::nullopt);
}

TEST(CgroupDirs, FromProcTexts) {
    using Dirs = std::vector<std::string>;
    // A host: the process's own cgroup and each ancestor up to the mount.
    const char* host = "24 30 0:22 / /sys/fs/cgroup rw,relatime shared:9 - cgroup2 cgroup2 rw,nsdelegate\n";
    auto own = cpu_cgroup_dirs("0::/user.slice/session-2.scope\n", host);
    ASSERT_TRUE(own);
    EXPECT_TRUE(own->v2);
    EXPECT_EQ(own->dirs, (Dirs{"/sys/fs/cgroup/user.slice/session-2.scope", "/sys/fs/cgroup/user.slice",
                               "/sys/fs/cgroup"}));
    // A container sharing the host's namespace with its subtree mounted (at
    // a mount point holding an escaped space), or another subtree mounted.
    const char* subtree = "50 40 0:26 /docker/ab /sys/fs/my\\040cg rw - cgroup2 cgroup2 rw\n";
    EXPECT_EQ(cpu_cgroup_dirs("0::/docker/ab/inner\n", subtree)->dirs, (Dirs{"/sys/fs/my cg/inner", "/sys/fs/my cg"}));
    EXPECT_EQ(cpu_cgroup_dirs("0::/docker/abc\n", subtree)->dirs, (Dirs{"/sys/fs/my cg"}));
    EXPECT_EQ(cpu_cgroup_dirs("0::/docker/ab/../../x\n", subtree)->dirs, (Dirs{"/sys/fs/my cg"}));

    // v1: the hierarchy holding cpu wins over v2; without it mounted, v2.
    const char* v1_cgroup = "12:pids:/x\n4:cpu,cpuacct:/batch/job:7\n0::/\n";
    const char* v1_mounts =
        "33 31 0:30 / /sys/fs/cgroup/cpuacct rw - cgroup cgroup rw,cpuacct\n"
        "32 31 0:29 / /sys/fs/cgroup/cpu,cpuacct rw shared:5 - cgroup cgroup rw,cpu,cpuacct\n"
        "41 31 0:38 / /sys/fs/cgroup/unified rw - cgroup2 cgroup2 rw\n";
    auto v1 = cpu_cgroup_dirs(v1_cgroup, v1_mounts);
    ASSERT_TRUE(v1);
    EXPECT_FALSE(v1->v2);
    EXPECT_EQ(v1->dirs, (Dirs{"/sys/fs/cgroup/cpu,cpuacct/batch/job:7", "/sys/fs/cgroup/cpu,cpuacct/batch",
                              "/sys/fs/cgroup/cpu,cpuacct"}));
    auto unified = cpu_cgroup_dirs(v1_cgroup, "41 31 0:38 / /sys/fs/cgroup/unified rw - cgroup2 cgroup2 rw\n");
    ASSERT_TRUE(unified);
    EXPECT_TRUE(unified->v2);
    EXPECT_FALSE(cpu_cgroup_dirs(v1_cgroup, "31 23 0:28 / /sys/fs/cgroup rw - tmpfs tmpfs rw\n"));
}

TEST(ProcessorFigure, AffinityCappedByTheLeastQuotaOnTheCgroupPath) {
    using Files = std::map<std::string, std::string>;
    const char* v2_mount = "24 30 0:22 / /sys/fs/cgroup rw - cgroup2 cgroup2 rw\n";
    const char* v2_nested = "0::/app/job\n";
    const char* v1_cgroup = "4:cpu,cpuacct:/batch/job\n0::/\n";
    const char* v1_mount = "32 31 0:29 / /sys/fs/cgroup/cpu rw - cgroup cgroup rw,cpu,cpuacct\n";
    struct Case {
        const char* what;
        size_t affinity;
        const char* cgroup;
        const char* mountinfo;
        Files files;
        size_t figure;
    };
    const Case cases[] = {
        {"no quota anywhere", 8, v2_nested, v2_mount,
         {{"/sys/fs/cgroup/app/job/cpu.max", "max 100000\n"}, {"/sys/fs/cgroup/app/cpu.max", "max 100000\n"}}, 8},
        {"a parent's smaller quota over the child's larger one", 8, v2_nested, v2_mount,
         {{"/sys/fs/cgroup/app/job/cpu.max", "400000 100000\n"}, {"/sys/fs/cgroup/app/cpu.max", "150000 100000\n"}},
         2},
        {"the child's smaller quota over the parent's", 8, v2_nested, v2_mount,
         {{"/sys/fs/cgroup/app/job/cpu.max", "50000 100000\n"}, {"/sys/fs/cgroup/app/cpu.max", "300000 100000\n"}},
         1},
        {"a parent's quota under a child without one", 8, v2_nested, v2_mount,
         {{"/sys/fs/cgroup/app/job/cpu.max", "max 100000\n"}, {"/sys/fs/cgroup/app/cpu.max", "300000 100000\n"}}, 3},
        {"a quota above the affinity set", 2, v2_nested, v2_mount, {{"/sys/fs/cgroup/app/cpu.max", "600000 100000"}}, 2},
        {"no cgroup file system mounted", 6, v2_nested, "31 23 0:28 / /sys/fs/cgroup rw - tmpfs tmpfs rw\n",
         {{"/sys/fs/cgroup/app/cpu.max", "100000 100000"}}, 6},
        {"v1: the parent's quota under the child's -1", 16, v1_cgroup, v1_mount,
         {{"/sys/fs/cgroup/cpu/batch/job/cpu.cfs_quota_us", "-1\n"},
          {"/sys/fs/cgroup/cpu/batch/job/cpu.cfs_period_us", "100000\n"},
          {"/sys/fs/cgroup/cpu/batch/cpu.cfs_quota_us", "300000\n"},
          {"/sys/fs/cgroup/cpu/batch/cpu.cfs_period_us", "100000\n"}},
         3},
        {"v1: a quota without its period is none", 16, v1_cgroup, v1_mount,
         {{"/sys/fs/cgroup/cpu/batch/cpu.cfs_quota_us", "300000\n"}}, 16},
        {"a mount point with an escaped backslash and space", 8, "0::/app\n",
         "24 30 0:22 / /sys/fs/c\\134g\\040x rw - cgroup2 cgroup2 rw\n",
         {{"/sys/fs/c\\g x/app/cpu.max", "250000 100000\n"}}, 3},
        {"never below one", 0, v2_nested, v2_mount, {}, 1},
    };
    for (const Case& c : cases) {
        const CgroupFileReader read = [&c](const std::string& path) -> std::optional<std::string> {
            const auto it = c.files.find(path);
            if (it == c.files.end()) return std::nullopt;
            return it->second;
        };
        EXPECT_EQ(processors_allowed(c.affinity, cgroup_cpu_limit(c.cgroup, c.mountinfo, read)), c.figure) << c.what;
    }
}

}  // namespace
}  // namespace jorvane::run
