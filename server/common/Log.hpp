#pragma once

#include <string>

// The servers' log: one line per event on standard error.
namespace serverlog {

// A line's syslog priority: journald filters and rate-limits by it.
enum class Level {
    Error = 3,   // the server cannot go on
    Warning = 4, // a refusal or an outage
    Info = 6,    // an increment, an admin change
    Debug = 7,   // a connect, a disconnect, a whoami
};

// Writes one line; under the journal it starts with its priority ("<4>"), elsewhere it is as given.
void line(Level level, const std::string& text);

// Whether standard error is the journal's stream, as JOURNAL_STREAM ("DEVICE:INODE") names it.
bool toJournal(const char* journalStream, unsigned long long device, unsigned long long inode);

} // namespace serverlog
