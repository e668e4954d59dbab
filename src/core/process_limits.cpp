#include "core/process_limits.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <new>
#include <sstream>

namespace sovelk::limits {

namespace {

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

std::string trim(const std::string& s) {
    size_t b = 0, e = s.size();
    while (b < e && is_blank(s[b])) ++b;
    while (e > b && is_blank(s[e - 1])) --e;
    return s.substr(b, e - b);
}

std::vector<std::string> split(const std::string& s, char sep) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        const size_t at = s.find(sep, start);
        parts.push_back(s.substr(start, at == std::string::npos ? std::string::npos : at - start));
        if (at == std::string::npos) return parts;
        start = at + 1;
    }
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines = split(text, '\n');
    if (!lines.empty() && lines.back().empty()) lines.pop_back();
    return lines;
}

// mountinfo writes blanks and backslashes in paths as octal escapes (\040).
std::string unescape(const std::string& s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 3 < s.size() &&
            std::all_of(s.begin() + static_cast<ptrdiff_t>(i) + 1, s.begin() + static_cast<ptrdiff_t>(i) + 4,
                        [](char c) { return c >= '0' && c <= '7'; })) {
            out += static_cast<char>((s[i + 1] - '0') * 64 + (s[i + 2] - '0') * 8 + (s[i + 3] - '0'));
            i += 3;
        } else {
            out += s[i];
        }
    }
    return out;
}

bool contains_word(const std::string& list, char sep, const std::string& word) {
    for (const std::string& w : split(list, sep))
        if (trim(w) == word) return true;
    return false;
}

struct Mount {
    std::string root, point;  // the hierarchy's folder that is mounted, and where
};

// The cgroup mount for `controller`: the unified hierarchy (v2) or a v1 hierarchy holding it.
std::optional<Mount> find_mount(const std::string& mountinfo, bool v2, const std::string& controller) {
    for (const std::string& line : lines_of(mountinfo)) {
        const std::vector<std::string> f = split(line, ' ');
        const auto dash = std::find(f.begin(), f.end(), "-");
        if (f.size() < 5 || dash == f.end() || f.end() - dash < 4) continue;
        const std::string& fstype = dash[1];
        const std::string& super_options = dash[3];
        if (v2 ? fstype == "cgroup2" : (fstype == "cgroup" && contains_word(super_options, ',', controller)))
            return Mount{unescape(f[3]), unescape(f[4])};
    }
    return std::nullopt;
}

// The folders from mount point + the group's path up to the mount point itself.
std::vector<std::string> chain_below(const Mount& mount, const std::string& group) {
    std::string relative;
    if (mount.root == "/") {
        relative = group;
    } else if (group.compare(0, mount.root.size(), mount.root) == 0 &&
               (group.size() == mount.root.size() || group[mount.root.size()] == '/')) {
        relative = group.substr(mount.root.size());
    }  // else: a group outside what is mounted here; only the mounted folder can be read
    while (!relative.empty() && relative.back() == '/') relative.pop_back();
    std::vector<std::string> folders;
    for (;;) {
        folders.push_back(mount.point + relative);
        if (relative.empty()) return folders;
        relative.erase(relative.rfind('/'));
    }
}

}  // namespace

void keep_least(std::optional<uint64_t>& best, std::optional<uint64_t> candidate) {
    if (candidate && (!best || *candidate < *best)) best = candidate;
}

std::optional<std::string> read_text(const std::string& root, const std::string& path) {
    // Plain read(2): these files are read on every filtering call, and a stream costs several
    // times more than the kernel takes to produce them.
    const int fd = ::open((root + path).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    std::string text;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n > 0) {
            text.append(buffer, static_cast<size_t>(n));
        } else if (n == 0 || errno != EINTR) {
            ::close(fd);
            if (n < 0) return std::nullopt;
            return text;
        }
    }
}

std::optional<uint64_t> parse_u64(const std::string& text) {
    const size_t newline = text.find('\n');
    const std::string first = trim(text.substr(0, newline));
    if (newline != std::string::npos && !trim(text.substr(newline)).empty()) return std::nullopt;
    if (first.empty() || first.size() > 20) return std::nullopt;
    uint64_t value = 0;
    for (char c : first) {
        if (c < '0' || c > '9') return std::nullopt;
        const uint64_t digit = static_cast<uint64_t>(c - '0');
        if (value > (UINT64_MAX - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

CgroupChain cgroup_chain(const std::string& root, const std::string& controller) {
    CgroupChain chain;
    const auto own = read_text(root, "/proc/self/cgroup");
    if (!own) return chain;
    // Lines are "id:controllers:path"; the unified hierarchy has id 0 and no controllers.
    std::optional<std::string> v2_group, v1_group;
    for (const std::string& line : lines_of(*own)) {
        const size_t a = line.find(':');
        const size_t b = a == std::string::npos ? a : line.find(':', a + 1);
        if (b == std::string::npos) continue;
        const std::string controllers = line.substr(a + 1, b - a - 1);
        const std::string group = line.substr(b + 1);
        if (group.empty() || group[0] != '/') continue;
        if (line.compare(0, a, "0") == 0 && controllers.empty())
            v2_group = group;
        else if (contains_word(controllers, ',', controller))
            v1_group = group;
    }
    const auto mountinfo = read_text(root, "/proc/self/mountinfo");
    if (v2_group) {
        // Where mountinfo cannot be read, the usual place of a unified-only system.
        const Mount mount = (mountinfo ? find_mount(*mountinfo, true, controller) : std::nullopt)
                                .value_or(Mount{"/", "/sys/fs/cgroup"});
        // The unified hierarchy serves the controller only if its root enables it.
        const auto enabled = read_text(root, mount.point + "/cgroup.controllers");
        if (enabled && contains_word(trim(*enabled), ' ', controller)) {
            chain.v2 = true;
            chain.folders = chain_below(mount, *v2_group);
            return chain;
        }
    }
    if (v1_group) {
        const Mount mount = (mountinfo ? find_mount(*mountinfo, false, controller) : std::nullopt)
                                .value_or(Mount{"/", "/sys/fs/cgroup/" + controller});
        chain.folders = chain_below(mount, *v1_group);
    }
    return chain;
}

namespace {

// The process's own chain is found once: reading mountinfo costs a good part of a millisecond,
// and a process stays in its groups (a child inherits them). Other roots are tests' fake trees.
CgroupChain chain_for(const std::string& root, const char* controller) {
    if (!root.empty()) return cgroup_chain(root, controller);
    static const CgroupChain memory = cgroup_chain("", "memory");
    static const CgroupChain cpu = cgroup_chain("", "cpu");
    return std::string(controller) == "memory" ? memory : cpu;
}

}  // namespace

std::optional<uint64_t> cgroup_memory_left(const std::string& root) {
    const CgroupChain chain = chain_for(root, "memory");
    const char* limit_file = chain.v2 ? "/memory.max" : "/memory.limit_in_bytes";
    const char* usage_file = chain.v2 ? "/memory.current" : "/memory.usage_in_bytes";
    std::optional<uint64_t> least;
    // v1 writes "no limit" as a number near 2^63; nothing at or above 2^60 bytes limits anything.
    // Usage is read only under a real limit: the kernel sums it up on every read.
    constexpr uint64_t kNoLimit = uint64_t{1} << 60;
    for (const std::string& folder : chain.folders) {
        const auto limit_text = read_text(root, folder + limit_file);
        const auto limit = limit_text ? parse_u64(*limit_text) : std::nullopt;  // "max": none here
        if (!limit || *limit >= kNoLimit) continue;
        const auto usage_text = read_text(root, folder + usage_file);
        const auto usage = usage_text ? parse_u64(*usage_text) : std::nullopt;
        if (usage) keep_least(least, *limit > *usage ? *limit - *usage : 0);
    }
    return least;
}

std::optional<int> cgroup_cpu_limit(const std::string& root) {
    const CgroupChain chain = chain_for(root, "cpu");
    std::optional<uint64_t> least;
    for (const std::string& folder : chain.folders) {
        std::optional<uint64_t> quota, period;
        if (chain.v2) {
            // "max 100000" (no quota) or "<quota> <period>", both in microseconds.
            const auto text = read_text(root, folder + "/cpu.max");
            if (!text) continue;
            std::istringstream words(*text);
            std::string q, p, extra;
            if (!(words >> q >> p) || (words >> extra)) continue;
            quota = parse_u64(q);
            period = parse_u64(p);
        } else {
            // cpu.cfs_quota_us is -1 where no quota is set: not a number here, so no limit.
            const auto q = read_text(root, folder + "/cpu.cfs_quota_us");
            const auto p = read_text(root, folder + "/cpu.cfs_period_us");
            if (!q || !p) continue;
            quota = parse_u64(*q);
            period = parse_u64(*p);
        }
        if (!quota || !period || *period == 0) continue;
        keep_least(least, std::max<uint64_t>(1, *quota / *period + (*quota % *period != 0)));
    }
    if (!least) return std::nullopt;
    return static_cast<int>(std::min<uint64_t>(*least, 1u << 20));
}

void warn_ignored_setting(const char* name, const char* value, const char* accepted) noexcept {
    std::string line;
    try {
        line = std::string("Sovelk: warning: ") + name + "='";
        constexpr size_t shown = 64;  // bytes of the value; a longer one is cut with "..."
        size_t i = 0;
        for (; value[i] != '\0' && i < shown; ++i) {
            const unsigned char c = static_cast<unsigned char>(value[i]);
            if (c >= 0x20 && c < 0x7f && c != '\'' && c != '\\') {
                line += static_cast<char>(c);
            } else {
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
                line += escaped;
            }
        }
        if (value[i] != '\0') line += "...";
        line += std::string("' is ignored; it takes ") + accepted + "\n";
    } catch (const std::bad_alloc&) {
        return;  // too little memory for one line: the setting is ignored all the same
    }
    // One write() for the whole line, so that no other thread's output lands inside it.
    for (size_t done = 0; done < line.size();) {
        const ssize_t wrote = ::write(STDERR_FILENO, line.data() + done, line.size() - done);
        if (wrote < 0 && errno == EINTR) continue;
        if (wrote <= 0) return;  // stderr closed or failing: nothing else to tell it through
        done += static_cast<size_t>(wrote);
    }
}

}  // namespace sovelk::limits
