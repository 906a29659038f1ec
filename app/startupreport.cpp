#include "app/startupreport.h"

#include <chrono>
#include <dirent.h>
#include <fstream>
#include <map>
#include <sstream>
#include <unistd.h>
#include <vector>

namespace tamix::app {

namespace {

long ResidentKib(const std::string& statusPath) {
    std::ifstream status(statusPath);
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    return 0;
}

// Parent of each process, from /proc/PID/stat (the field after the parenthesised name).
std::map<long, long> Parents() {
    std::map<long, long> parents;
    DIR* proc = opendir("/proc");
    if (!proc) return parents;
    while (dirent* entry = readdir(proc)) {
        const std::string name = entry->d_name;
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        std::ifstream stat("/proc/" + name + "/stat");
        std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
        const auto close = text.rfind(')');
        if (close == std::string::npos) continue;
        std::istringstream rest(text.substr(close + 2));
        char state = 0;
        long parent = 0;
        rest >> state >> parent;
        parents[std::stol(name)] = parent;
    }
    closedir(proc);
    return parents;
}

} // namespace

long ResidentKibOfProcessTree() {
    const std::map<long, long> parents = Parents();
    const long self = getpid();
    long total = 0;
    for (const auto& [pid, parent] : parents) {
        long ancestor = pid;
        for (int depth = 0; depth < 16 && ancestor > 1 && ancestor != self; ++depth) {
            const auto up = parents.find(ancestor);
            ancestor = up == parents.end() ? 0 : up->second;
        }
        if (ancestor == self) total += ResidentKib("/proc/" + std::to_string(pid) + "/status");
    }
    return total;
}

std::string StartupReportLine() {
    const auto now = std::chrono::duration_cast<std::chrono::milliseconds>(
                         std::chrono::system_clock::now().time_since_epoch())
                         .count();
    return "first-page-loaded-epoch-ms=" + std::to_string(now) +
           " rss-kib=" + std::to_string(ResidentKib("/proc/self/status")) +
           " tree-rss-kib=" + std::to_string(ResidentKibOfProcessTree());
}

} // namespace tamix::app
