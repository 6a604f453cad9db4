// How many processors this process may use, on POSIX systems: those of its
// affinity mask and, on Linux, no more than its control group's CPU quota.

#include "platform/platform.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <sched.h>
#include <unistd.h>

namespace {

// The processors of the affinity mask; where the system cannot tell, those
// online, or -1 when it cannot tell them either (which counts as one).
int affinityProcessorCount() {
#if defined(__linux__)
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) == 0) return CPU_COUNT(&set);
#endif
  return static_cast<int>(sysconf(_SC_NPROCESSORS_ONLN));
}

// Closes a file and frees getline's buffer however the scope is left, an
// allocation that failed included.
struct LinesReading {
  std::FILE* file;
  char* line = nullptr;
  ~LinesReading() {
    std::free(line);
    std::fclose(file);
  }
};

// The lines of a file, whatever their length, without their ends; none when
// it cannot be read.
std::vector<std::string> linesOf(const std::string& path) {
  std::vector<std::string> lines;
  std::FILE* file = std::fopen(path.c_str(), "r");
  if (file == nullptr) return lines;
  LinesReading reading{file};
  std::size_t capacity = 0;
  for (ssize_t length; (length = getline(&reading.line, &capacity, file)) != -1;) {
    if (reading.line[length - 1] == '\n') --length;  // getline gives at least one character
    lines.emplace_back(reading.line, static_cast<std::size_t>(length));
  }
  return lines;
}

std::string firstLineOf(const std::string& path) {
  const std::vector<std::string> lines = linesOf(path);
  return lines.empty() ? std::string() : lines[0];
}

std::vector<std::string> split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  for (std::size_t end; (end = text.find(separator, start)) != std::string::npos; start = end + 1)
    parts.push_back(text.substr(start, end - start));
  parts.push_back(text.substr(start));
  return parts;
}

bool listHas(const std::string& list, const char* item) {
  for (const std::string& part : split(list, ',')) {
    if (part == item) return true;
  }
  return false;
}

// The whole decimal number that the text is; 0, which no quota or period
// can be, when it is none ("max", "", "150000x").
long long wholeNumberOf(const std::string& text) {
  char* end = nullptr;
  errno = 0;
  const long long value = std::strtoll(text.c_str(), &end, 10);
  return *end == '\0' && errno == 0 ? value : 0;
}

// The process's group in each hierarchy that counts here, from
// /proc/self/cgroup: one line "ID:CONTROLLERS:PATH" per hierarchy, "0::PATH"
// for the unified (v2) one, the only one without a controller or a name. A
// group's path always starts with "/"; empty where the process is in no such
// hierarchy.
struct ProcessGroups {
  std::string cpuV1;    // in the v1 hierarchy that has the cpu controller
  std::string unified;  // in the v2 hierarchy
};

ProcessGroups readProcessGroups(const std::string& path) {
  ProcessGroups groups;
  for (const std::string& line : linesOf(path)) {
    // A line without two colons names no group, and is skipped.
    const std::size_t idEnd = line.find(':');
    const std::size_t controllersEnd = idEnd == std::string::npos ? idEnd : line.find(':', idEnd + 1);
    if (controllersEnd == std::string::npos) continue;
    const std::string controllers = line.substr(idEnd + 1, controllersEnd - idEnd - 1);
    // The path may itself hold colons: it is all that follows.
    const std::string group = line.substr(controllersEnd + 1);
    if (controllers.empty()) {
      groups.unified = group;
    } else if (listHas(controllers, "cpu")) {
      groups.cpuV1 = group;
    }
  }
  return groups;
}

// A path field of /proc/self/mountinfo, where the kernel writes a blank, a
// tab, a newline and a backslash as \040, \011, \012 and \134.
std::string decodeMountField(const std::string& field) {
  std::string decoded;
  for (std::size_t i = 0; i < field.size(); ++i) {
    const std::string octal = field[i] == '\\' ? field.substr(i + 1, 3) : std::string();
    if (octal.size() == 3) {
      decoded += static_cast<char>(std::strtol(octal.c_str(), nullptr, 8));
      i += 3;
    } else {
      decoded += field[i];
    }
  }
  return decoded;
}

// One line of /proc/self/mountinfo:
//   ID PARENT MAJOR:MINOR ROOT MOUNT-POINT OPTIONS [OPTIONAL...] - TYPE SOURCE SUPER-OPTIONS
// The optional fields vary in number, so the fields after the " - " are
// counted from there.
struct Mount {
  std::string root;        // the folder of the file system that the mount shows at its mount point
  std::string mountPoint;
  std::string type;
  std::string superOptions;
};

// A line that is none gives a Mount of no type.
Mount readMount(const std::string& line) {
  enum { kRoot = 3, kMountPoint, kOptions, kFieldsBefore };
  enum { kType, kSource, kSuperOptions, kFieldsAfter };
  const std::size_t dash = line.find(" - ");
  if (dash == std::string::npos) return Mount{};
  const std::vector<std::string> before = split(line.substr(0, dash), ' ');
  const std::vector<std::string> after = split(line.substr(dash + 3), ' ');
  if (before.size() < kFieldsBefore || after.size() < kFieldsAfter) return Mount{};
  return Mount{decodeMountField(before[kRoot]), decodeMountField(before[kMountPoint]), after[kType],
               after[kSuperOptions]};
}

bool isCpuMount(const Mount& mount, bool unified) {
  return unified ? mount.type == "cgroup2" : mount.type == "cgroup" && listHas(mount.superOptions, "cpu");
}

// Where a group's folder lies below a mount that shows the hierarchy from the
// group `root` on: the group's path with the root taken off ("/" for the root
// itself). False when the group is not the root or below it: a root
// "/kubepods/pod1" holds "/kubepods/pod1/x" but not "/kubepods/pod12/x".
bool pathBelowRoot(const std::string& group, const std::string& root, std::string* below) {
  const std::string prefix = root == "/" ? std::string() : root;
  if (group.compare(0, prefix.size(), prefix) != 0) return false;
  const std::string rest = group.substr(prefix.size());
  if (!rest.empty() && rest[0] != '/') return false;
  *below = rest.empty() ? "/" : rest;
  return true;
}

// The processors that a quota of `quota` microseconds in every period of
// `period` allows, rounded up; 0 for none set (either of them 0 or less).
long long processorsOfQuota(long long quota, long long period) {
  if (quota <= 0 || period <= 0) return 0;
  return quota / period + (quota % period != 0 ? 1 : 0);
}

// A v2 group's quota: cpu.max holds "QUOTA PERIOD", QUOTA "max" for none.
long long unifiedQuotaProcessors(const std::string& folder) {
  enum { kQuota, kPeriod, kFields };
  const std::vector<std::string> fields = split(firstLineOf(folder + "/cpu.max"), ' ');
  if (fields.size() != kFields) return 0;
  return processorsOfQuota(wholeNumberOf(fields[kQuota]), wholeNumberOf(fields[kPeriod]));
}

// A v1 group's quota: cpu.cfs_quota_us ("-1" for none) and cpu.cfs_period_us.
long long v1QuotaProcessors(const std::string& folder) {
  return processorsOfQuota(wholeNumberOf(firstLineOf(folder + "/cpu.cfs_quota_us")),
                           wholeNumberOf(firstLineOf(folder + "/cpu.cfs_period_us")));
}

// The smallest quota, in processors, of the group `below` and the groups
// above it up to the mount's root, whose folder is mountFolder; 0 when none
// sets one. A group whose files cannot be read sets none.
long long smallestQuotaUpward(const std::string& mountFolder, std::string below, bool unified) {
  long long limit = 0;
  for (;;) {
    const std::string folder = mountFolder + below;
    const long long processors = unified ? unifiedQuotaProcessors(folder) : v1QuotaProcessors(folder);
    if (processors > 0) limit = limit == 0 ? processors : std::min(limit, processors);
    if (below == "/") return limit;
    const std::size_t slash = below.find_last_of('/');
    below = slash == 0 ? "/" : below.substr(0, slash);
  }
}

// The processors that the control groups allow the process, on a system
// whose /proc and /sys lie under `root`; 0 when no quota applies. The cpu
// controller's hierarchy is v1 when the process is in one that has it
// (mounted as "cpu", "cpu,cpuacct" or under any other name: the mount's
// options tell), otherwise the unified v2 one; of its mounts, the first whose
// root holds the process's group is read.
long long cgroupProcessorLimit(const std::string& root) {
  const ProcessGroups groups = readProcessGroups(root + "/proc/self/cgroup");
  const bool unified = groups.cpuV1.empty();
  const std::string& group = unified ? groups.unified : groups.cpuV1;
  if (group.empty()) return 0;
  for (const std::string& line : linesOf(root + "/proc/self/mountinfo")) {
    const Mount mount = readMount(line);
    std::string below;
    if (isCpuMount(mount, unified) && pathBelowRoot(group, mount.root, &below)) {
      return smallestQuotaUpward(root + mount.mountPoint, below, unified);
    }
  }
  return 0;
}

}  // namespace

int platformUsableProcessorCountUnder(const std::string& root, int affinityProcessors) {
  long long processors = affinityProcessors;
  const long long limit = cgroupProcessorLimit(root);
  if (limit > 0) processors = std::min(processors, limit);
  return static_cast<int>(std::max<long long>(processors, 1));
}

// Only Linux has the control groups' files; elsewhere the affinity alone counts.
int platformUsableProcessorCount() { return platformUsableProcessorCountUnder("", affinityProcessorCount()); }
