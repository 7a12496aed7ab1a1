#include "server/common/Log.hpp"

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace serverlog {

bool toJournal(const char* journalStream, unsigned long long device, unsigned long long inode) {
    if (!journalStream)
        return false;
    unsigned long long d = 0, i = 0;
    char end = 0;
    return std::sscanf(journalStream, "%llu:%llu%c", &d, &i, &end) == 2 && d == device && i == inode;
}

void line(Level level, const std::string& text) {
    // Standard error may be redirected after start (never by us), but not in a way that matters:
    // decide once.
    static const bool journal = [] {
        struct stat info {};
        return ::fstat(2, &info) == 0 && toJournal(std::getenv("JOURNAL_STREAM"), info.st_dev, info.st_ino);
    }();
    const std::string whole =
        (journal ? "<" + std::to_string(static_cast<int>(level)) + ">" : std::string()) + text + "\n";
    std::fwrite(whole.data(), 1, whole.size(), stderr);
}

} // namespace serverlog
