// The cgroup side of the processor figure, from the texts the kernel gives:
// quota files, /proc/self/cgroup and /proc/self/mountinfo as a host, a
// container and a v1 system show them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "run/usable_processors.h"

namespace jorvane::run {
namespace {

TEST(CgroupQuota, RoundsUpAndIgnoresWhatIsNoQuota) {
    struct Case {
        const char* cpu_max;
        std::optional<size_t> limit;
    };
    const Case v2[] = {
        {"200000 100000\n", 2}, {"150000 100000", 2}, {"50000 100000\n", 1}, {"1 100000", 1},
        {"6400000 100000", 64}, {"max 100000\n", std::nullopt}, {"0 100000", std::nullopt},
        {"100000 0", std::nullopt}, {"", std::nullopt}, {"200000", std::nullopt}, {"-1 100000", std::nullopt},
        {"99999999999999999999999 1", std::nullopt},
    };
    for (const Case& c : v2) EXPECT_EQ(cpu_max_limit(c.cpu_max), c.limit) << '"' << c.cpu_max << '"';
    EXPECT_EQ(cfs_quota_limit("250000\n", "100000\n"), 3u);
    EXPECT_EQ(cfs_quota_limit("100000", "100000"), 1u);
    EXPECT_EQ(cfs_quota_limit("-1\n", "100000\n"), std::nullopt);
    EXPECT_EQ(cfs_quota_limit("", "100000"), std::nullopt);
}

TEST(CgroupDirs, FromProcTexts) {
    using Dirs = std::vector<std::string>;
    // A host: the process's own cgroup and each ancestor up to the mount.
    const char* host_mounts =
        "24 30 0:22 / /sys/fs/cgroup rw,nosuid,nodev,noexec,relatime shared:9 - cgroup2 cgroup2 rw,nsdelegate\n";
    auto host = cpu_cgroup_dirs("0::/user.slice/user-1000.slice/session-2.scope\n", host_mounts);
    ASSERT_TRUE(host);
    EXPECT_TRUE(host->v2);
    EXPECT_EQ(host->dirs, (Dirs{"/sys/fs/cgroup/user.slice/user-1000.slice/session-2.scope",
                                "/sys/fs/cgroup/user.slice/user-1000.slice", "/sys/fs/cgroup/user.slice",
                                "/sys/fs/cgroup"}));

    // A container with its own cgroup namespace sees its cgroup as the root.
    auto boxed = cpu_cgroup_dirs("0::/\n", "1021 1011 0:26 / /sys/fs/cgroup ro,nosuid - cgroup2 cgroup rw\n");
    ASSERT_TRUE(boxed);
    EXPECT_EQ(boxed->dirs, (Dirs{"/sys/fs/cgroup"}));

    // A container sharing the host's namespace, its subtree mounted (a
    // mount point with a space, escaped), or some other subtree mounted.
    const char* subtree = "50 40 0:26 /docker/ab /sys/fs/my\\040cg rw - cgroup2 cgroup2 rw\n";
    EXPECT_EQ(cpu_cgroup_dirs("0::/docker/ab/inner\n", subtree)->dirs,
              (Dirs{"/sys/fs/my cg/inner", "/sys/fs/my cg"}));
    EXPECT_EQ(cpu_cgroup_dirs("0::/docker/abc\n", subtree)->dirs, (Dirs{"/sys/fs/my cg"}));

    // v1: the hierarchy holding cpu (with cpuacct here) wins over v2.
    const char* v1_cgroup = "12:pids:/x\n4:cpu,cpuacct:/batch/job:7\n1:name=systemd:/\n0::/\n";
    const char* v1_mounts =
        "31 23 0:28 / /sys/fs/cgroup rw,relatime - tmpfs tmpfs rw,mode=755\n"
        "33 31 0:30 / /sys/fs/cgroup/cpuacct rw,relatime - cgroup cgroup rw,cpuacct\n"
        "32 31 0:29 / /sys/fs/cgroup/cpu,cpuacct rw,relatime shared:5 - cgroup cgroup rw,cpu,cpuacct\n"
        "41 31 0:38 / /sys/fs/cgroup/unified rw,relatime - cgroup2 cgroup2 rw\n";
    auto v1 = cpu_cgroup_dirs(v1_cgroup, v1_mounts);
    ASSERT_TRUE(v1);
    EXPECT_FALSE(v1->v2);
    EXPECT_EQ(v1->dirs, (Dirs{"/sys/fs/cgroup/cpu,cpuacct/batch/job:7", "/sys/fs/cgroup/cpu,cpuacct/batch",
                              "/sys/fs/cgroup/cpu,cpuacct"}));
    // Without a cpu hierarchy mounted, the v2 one; with neither, nothing.
    auto unified = cpu_cgroup_dirs(v1_cgroup, "41 31 0:38 / /sys/fs/cgroup/unified rw - cgroup2 cgroup2 rw\n");
    ASSERT_TRUE(unified);
    EXPECT_TRUE(unified->v2);
    EXPECT_EQ(unified->dirs, (Dirs{"/sys/fs/cgroup/unified"}));
    EXPECT_FALSE(cpu_cgroup_dirs(v1_cgroup, "31 23 0:28 / /sys/fs/cgroup rw - tmpfs tmpfs rw\n"));
    EXPECT_FALSE(cpu_cgroup_dirs("", host_mounts));
}

}  // namespace
}  // namespace jorvane::run
