#include "bench/support/ProcStat.hpp"

#include <dirent.h>
#include <fstream>
#include <sstream>

std::string threadStatPath(pid_t pid, const std::string& name) {
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task/";
    DIR* dir = opendir(tasks.c_str());
    if (dir == nullptr)
        return {};
    std::string found;
    while (const dirent* task = readdir(dir)) {
        std::ifstream comm(tasks + task->d_name + "/comm");
        std::string line;
        if (found.empty() && std::getline(comm, line) && line == name)
            found = tasks + task->d_name + "/stat";
    }
    closedir(dir);
    return found;
}

std::string processStatPath(pid_t pid) {
    return "/proc/" + std::to_string(pid) + "/stat";
}

long cpuTicks(const std::string& statPath) {
    std::ifstream stat(statPath);
    std::string text;
    if (!std::getline(stat, text))
        return -1;
    // Fields after the parenthesised name (which may hold spaces): state is field 3, utime 14.
    std::istringstream rest(text.substr(text.rfind(')') + 2));
    std::string skipped;
    for (int field = 3; field < 14; ++field)
        rest >> skipped;
    long user = 0;
    long system = 0;
    rest >> user >> system;
    return rest ? user + system : -1;
}

long peakResidentKiB(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmHWM:", 0) == 0)
            return std::stol(line.substr(6));
    return -1;
}
