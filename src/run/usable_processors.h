// usable_processors: how many processors this process may keep busy, the
// figure the run policy's default thread budget starts from. A process
// pinned to a few cores, or a container given a CPU quota on a large host,
// would only queue its threads behind each other if it started one per
// core of the machine.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace jorvane::run {

// On Linux the processors of the affinity set, capped by the CPU quota of
// the process's cgroup and of its ancestors; elsewhere (or when the affinity
// set cannot be read) the online processors. At least 1.
size_t usable_processors();

// The processors a cgroup v2 "cpu.max" file allows ("<quota> <period>",
// or "max <period>" for no quota): the quota over the period rounded up, at
// least 1. Nothing for no quota or text that is not of that form.
std::optional<size_t> cpu_max_limit(std::string_view cpu_max);

// The same for cgroup v1's cpu.cfs_quota_us ("-1" for no quota) and
// cpu.cfs_period_us.
std::optional<size_t> cfs_quota_limit(std::string_view quota, std::string_view period);

// Where the CPU controller's files of the process's cgroup lie: its own
// directory first, then each ancestor's up to the controller's mount point
// (a quota anywhere on that path limits the process).
struct CpuCgroupDirs {
    bool v2 = false;  // cpu.max files; otherwise v1's cpu.cfs_quota_us and cpu.cfs_period_us
    std::vector<std::string> dirs;
};

// The directories, from the text of /proc/self/cgroup and of
// /proc/self/mountinfo. A v1 hierarchy holding the cpu controller takes
// precedence over the v2 hierarchy (the controller is then not in v2).
// Nothing when neither is mounted.
std::optional<CpuCgroupDirs> cpu_cgroup_dirs(std::string_view proc_cgroup, std::string_view mountinfo);

// The text of the file at a path, nothing when it cannot be read.
using CgroupFileReader = std::function<std::optional<std::string>(const std::string& path)>;

// The smallest CPU quota, in processors, of the process's cgroup and its
// ancestors, from the texts of /proc/self/cgroup and /proc/self/mountinfo
// and the quota files `read` gives. Nothing when no directory on the way
// has a quota.
std::optional<size_t> cgroup_cpu_limit(std::string_view proc_cgroup, std::string_view mountinfo,
                                       const CgroupFileReader& read);

// The figure usable_processors gives for `affinity` processors (of the
// affinity set, or online) and the cgroup's limit: the smaller, at least 1.
size_t processors_allowed(size_t affinity, std::optional<size_t> cgroup_limit);

}  // namespace jorvane::run
