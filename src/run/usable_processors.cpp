// The affinity set is read on every call (a process may be re-pinned while it
// runs, and the call is one system call). The cgroup quota is read once per
// process: it takes a walk through /proc and the cgroup file system, and
// every entry point asks for the thread budget. The cgroup of the process is
// found from /proc/self/cgroup (its path in each hierarchy) and
// /proc/self/mountinfo (where each hierarchy is mounted, and which of its
// directories the mount shows, a container seeing only its own subtree); the
// quota of each directory from there up to the mount point is read and the
// smallest one kept.
#include "run/usable_processors.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <limits>
#include <sstream>

#ifdef __linux__
#include <sched.h>
#endif

#include "util/text.h"

namespace jorvane::run {
namespace {

// One or more digits, nothing else, no overflow.
std::optional<uint64_t> parse_digits(std::string_view s) {
    if (s.empty()) return std::nullopt;
    uint64_t v = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return std::nullopt;
        const auto d = static_cast<uint64_t>(c - '0');
        if (v > (std::numeric_limits<uint64_t>::max() - d) / 10) return std::nullopt;
        v = v * 10 + d;
    }
    return v;
}

// quota / period rounded up, at least 1; nothing unless both are positive numbers.
std::optional<size_t> quota_processors(std::string_view quota, std::string_view period) {
    const std::optional<uint64_t> q = parse_digits(quota), p = parse_digits(period);
    if (!q || !p || *q == 0 || *p == 0) return std::nullopt;
    const uint64_t n = *q / *p + (*q % *p != 0 ? 1 : 0);
    return static_cast<size_t>(std::clamp<uint64_t>(n, 1, std::numeric_limits<size_t>::max()));
}

std::vector<std::string_view> split(std::string_view s, char sep) {
    std::vector<std::string_view> out;
    for (;;) {
        const size_t at = s.find(sep);
        out.push_back(s.substr(0, at));
        if (at == std::string_view::npos) return out;
        s.remove_prefix(at + 1);
    }
}

// mountinfo writes space, tab, newline and backslash in paths as \ooo.
std::string unescape_octal(std::string_view s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        const auto octal = [&](size_t at, char top) { return s[at] >= '0' && s[at] <= top; };
        if (s[i] == '\\' && s.size() - i >= 4 && octal(i + 1, '3') && octal(i + 2, '7') && octal(i + 3, '7')) {
            out += static_cast<char>((s[i + 1] - '0') * 64 + (s[i + 2] - '0') * 8 + (s[i + 3] - '0'));
            i += 3;
        } else {
            out += s[i];
        }
    }
    return out;
}

// A mount of a cgroup hierarchy: the cgroup directory it shows (`root`) and where.
struct CgroupMount {
    std::string root;
    std::string point;
};

// The first mount of file system type `fstype` whose super options include
// `option` (any, when empty).
std::optional<CgroupMount> find_mount(std::string_view mountinfo, std::string_view fstype, std::string_view option) {
    for (std::string_view line : split(mountinfo, '\n')) {
        const std::vector<std::string_view> fields = split(line, ' ');
        const auto dash = std::find(fields.begin(), fields.end(), std::string_view("-"));
        if (fields.size() < 6 || dash == fields.end() || fields.end() - dash < 4 || dash[1] != fstype) continue;
        if (!option.empty()) {
            const std::vector<std::string_view> options = split(dash[3], ',');
            if (std::find(options.begin(), options.end(), option) == options.end()) continue;
        }
        return CgroupMount{unescape_octal(fields[3]), unescape_octal(fields[4])};
    }
    return std::nullopt;
}

// The directory of cgroup `path` under `mount` and those of its ancestors up
// to the mount point, innermost first. A path outside the mounted subtree
// (the mount shows some other part of the hierarchy, or the path climbs
// above the namespace's root with "..") gives the mount point.
std::vector<std::string> dirs_up(const CgroupMount& mount, std::string_view path) {
    std::string_view rel;
    std::string_view root = mount.root;
    while (!root.empty() && root.back() == '/') root.remove_suffix(1);
    const bool climbs = path.find("/..") != std::string_view::npos;
    if (!climbs && path.substr(0, root.size()) == root && (path.size() == root.size() || path[root.size()] == '/'))
        rel = path.substr(root.size());
    std::string point = mount.point;
    while (point.size() > 1 && point.back() == '/') point.pop_back();
    std::vector<std::string> out;
    for (;;) {
        while (!rel.empty() && rel.back() == '/') rel.remove_suffix(1);
        out.push_back(point + std::string(rel));
        if (rel.empty()) return out;
        const size_t parent = rel.rfind('/');
        rel = parent == std::string_view::npos ? std::string_view() : rel.substr(0, parent);
    }
}

std::optional<std::string> read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad()) return std::nullopt;
    return std::move(text).str();
}

std::optional<size_t> process_cgroup_limit() {
    const std::optional<std::string> cgroup = read_file("/proc/self/cgroup");
    const std::optional<std::string> mountinfo = cgroup ? read_file("/proc/self/mountinfo") : std::nullopt;
    if (!mountinfo) return std::nullopt;
    return cgroup_cpu_limit(*cgroup, *mountinfo, read_file);
}

size_t online_processors() {
    const long n = sysconf(_SC_NPROCESSORS_ONLN);
    return n > 0 ? static_cast<size_t>(n) : 1;
}

// The processors of the affinity set; nothing when it cannot be read.
std::optional<size_t> affinity_processors() {
#ifdef __linux__
    // The kernel refuses a set smaller than its own: grow until it fits.
    for (int cpus = CPU_SETSIZE; cpus <= (1 << 20); cpus *= 2) {
        cpu_set_t* set = CPU_ALLOC(cpus);
        if (!set) return std::nullopt;
        const size_t bytes = CPU_ALLOC_SIZE(cpus);
        const bool read = sched_getaffinity(0, bytes, set) == 0;
        const int count = read ? CPU_COUNT_S(bytes, set) : 0;
        CPU_FREE(set);
        if (read) return count > 0 ? std::optional<size_t>(static_cast<size_t>(count)) : std::nullopt;
        if (errno != EINVAL) return std::nullopt;
    }
#endif
    return std::nullopt;
}

}  // namespace

std::optional<size_t> cpu_max_limit(std::string_view cpu_max) {
    const std::vector<std::string_view> fields = split(trim_unicode_whitespace(cpu_max), ' ');
    if (fields.size() != 2 || fields[0] == "max") return std::nullopt;
    return quota_processors(fields[0], fields[1]);
}

std::optional<size_t> cfs_quota_limit(std::string_view quota, std::string_view period) {
    return quota_processors(trim_unicode_whitespace(quota), trim_unicode_whitespace(period));
}

std::optional<CpuCgroupDirs> cpu_cgroup_dirs(std::string_view proc_cgroup, std::string_view mountinfo) {
    std::optional<std::string_view> v1_path, v2_path;
    for (std::string_view line : split(proc_cgroup, '\n')) {
        // "hierarchy:controllers:path"; the path may hold colons itself.
        const size_t first = line.find(':');
        const size_t second = first == std::string_view::npos ? first : line.find(':', first + 1);
        if (second == std::string_view::npos) continue;
        const std::string_view hierarchy = line.substr(0, first);
        const std::string_view controllers = line.substr(first + 1, second - first - 1);
        const std::string_view path = line.substr(second + 1);
        if (hierarchy == "0" && controllers.empty()) {
            v2_path = path;
            continue;
        }
        const std::vector<std::string_view> names = split(controllers, ',');
        if (std::find(names.begin(), names.end(), std::string_view("cpu")) != names.end()) v1_path = path;
    }
    if (v1_path) {
        if (std::optional<CgroupMount> mount = find_mount(mountinfo, "cgroup", "cpu"))
            return CpuCgroupDirs{false, dirs_up(*mount, *v1_path)};
    }
    if (v2_path) {
        if (std::optional<CgroupMount> mount = find_mount(mountinfo, "cgroup2", ""))
            return CpuCgroupDirs{true, dirs_up(*mount, *v2_path)};
    }
    return std::nullopt;
}

std::optional<size_t> cgroup_cpu_limit(std::string_view proc_cgroup, std::string_view mountinfo,
                                       const CgroupFileReader& read) {
    const std::optional<CpuCgroupDirs> found = cpu_cgroup_dirs(proc_cgroup, mountinfo);
    if (!found) return std::nullopt;
    std::optional<size_t> least;
    for (const std::string& dir : found->dirs) {
        std::optional<size_t> limit;
        if (found->v2) {
            if (auto text = read(dir + "/cpu.max")) limit = cpu_max_limit(*text);
        } else {
            auto quota = read(dir + "/cpu.cfs_quota_us");
            auto period = quota ? read(dir + "/cpu.cfs_period_us") : std::nullopt;
            if (period) limit = cfs_quota_limit(*quota, *period);
        }
        if (limit) least = least ? std::min(*least, *limit) : *limit;
    }
    return least;
}

size_t processors_allowed(size_t affinity, std::optional<size_t> cgroup_limit) {
    const size_t n = cgroup_limit ? std::min(affinity, *cgroup_limit) : affinity;
    return std::max<size_t>(n, 1);
}

size_t usable_processors() {
    // Read once: the quota walk reads several files.
    static const std::optional<size_t> quota = process_cgroup_limit();
    return processors_allowed(affinity_processors().value_or(online_processors()), quota);
}

}  // namespace jorvane::run
