// How many processors this process may use, on POSIX systems: those of its
// affinity mask and, on Linux, no more than its control group's CPU quota.

#include "platform/platform.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <sched.h>
#include <unistd.h>

namespace {

int affinityProcessorCount() {
#if defined(__linux__)
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) == 0) return CPU_COUNT(&set);
#endif
  const long online = sysconf(_SC_NPROCESSORS_ONLN);
  return online > 0 ? static_cast<int>(online) : 1;
}

std::vector<std::string> linesOf(const char* path) {
  std::vector<std::string> lines;
  std::FILE* file = std::fopen(path, "r");
  if (file == nullptr) return lines;
  char line[4096];
  while (std::fgets(line, sizeof line, file) != nullptr) {
    std::size_t length = std::strlen(line);
    if (length > 0 && line[length - 1] == '\n') --length;
    lines.emplace_back(line, length);
  }
  std::fclose(file);
  return lines;
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

// A control group hierarchy: where it is mounted, which of its groups the
// mount shows at that place, and the process's own group in it.
struct Hierarchy {
  std::string mountPoint;
  std::string mountRoot;
  std::string group;
};

// The hierarchy of the cpu controller, v1 (mounted as "cpu", "cpu,cpuacct"
// or any other name: /proc/self/mountinfo tells where) when the process is
// in one, otherwise the unified v2 hierarchy.
bool findCpuHierarchy(Hierarchy* found) {
  std::string v1Group, v2Group;
  bool inV1 = false, inV2 = false;
  for (const std::string& line : linesOf("/proc/self/cgroup")) {
    const std::vector<std::string> fields = split(line, ':');
    if (fields.size() < 3) continue;
    // The group's path may itself hold colons: it is everything after the second.
    const std::string group = line.substr(fields[0].size() + fields[1].size() + 2);
    if (fields[1].empty() && fields[0] == "0") {
      v2Group = group;
      inV2 = true;
    } else if (listHas(fields[1], "cpu")) {
      v1Group = group;
      inV1 = true;
    }
  }
  // mountinfo: ID parent major:minor root mount-point options ... - type source super-options
  for (const std::string& line : linesOf("/proc/self/mountinfo")) {
    const std::size_t dash = line.find(" - ");
    if (dash == std::string::npos) continue;
    const std::vector<std::string> before = split(line.substr(0, dash), ' ');
    const std::vector<std::string> after = split(line.substr(dash + 3), ' ');
    if (before.size() < 5 || after.size() < 3) continue;
    const bool isV1Cpu = inV1 && after[0] == "cgroup" && listHas(after[2], "cpu");
    const bool isV2 = !inV1 && inV2 && after[0] == "cgroup2";
    if (isV1Cpu || isV2) {
      *found = Hierarchy{before[4], before[3], isV1Cpu ? v1Group : v2Group};
      return true;
    }
  }
  return false;
}

// The first line of a file, read as whole numbers: how many were read.
int numbersOnFirstLine(const std::string& path, long long* first, long long* second) {
  const std::vector<std::string> lines = linesOf(path.c_str());
  return lines.empty() ? 0 : std::sscanf(lines[0].c_str(), "%lld %lld", first, second);
}

// The processors a group's quota allows, rounded up; 0 when it sets none
// (v2 "max PERIOD", v1 a quota of -1) or the files cannot be read.
long long quotaProcessors(const std::string& folder) {
  long long quota = 0, period = 0, unused = 0;
  if (numbersOnFirstLine(folder + "/cpu.max", &quota, &period) != 2 &&
      (numbersOnFirstLine(folder + "/cpu.cfs_quota_us", &quota, &unused) < 1 ||
       numbersOnFirstLine(folder + "/cpu.cfs_period_us", &period, &unused) < 1)) {
    return 0;
  }
  if (quota <= 0 || period <= 0) return 0;
  return (quota + period - 1) / period;
}

// The smallest quota of the process's group and the groups above it, as far
// as the mount shows them; 0 when none sets one.
long long cgroupProcessorLimit() {
  Hierarchy hierarchy;
  if (!findCpuHierarchy(&hierarchy)) return 0;
  std::string group = hierarchy.group;
  const std::string& root = hierarchy.mountRoot;
  // Inside a container the mount may show a group below the hierarchy's top.
  if (root != "/" && group.compare(0, root.size(), root) == 0) group = group.substr(root.size());
  long long limit = 0;
  for (;;) {
    const long long processors = quotaProcessors(hierarchy.mountPoint + (group == "/" ? "" : group));
    if (processors > 0 && (limit == 0 || processors < limit)) limit = processors;
    const std::size_t slash = group.find_last_of('/');
    if (group.empty() || group == "/" || slash == std::string::npos) break;
    group = slash == 0 ? "/" : group.substr(0, slash);
  }
  return limit;
}

}  // namespace

int platformUsableProcessorCount() {
  int processors = affinityProcessorCount();
#if defined(__linux__)
  const long long limit = cgroupProcessorLimit();
  if (limit > 0 && limit < processors) processors = static_cast<int>(limit);
#endif
  return processors > 0 ? processors : 1;
}
