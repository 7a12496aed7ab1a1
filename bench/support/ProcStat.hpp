#pragma once

#include <string>
#include <sys/types.h>

// CPU time of processes and threads, read from /proc.

// The stat file of the thread of process pid named name, or "" when there is none.
std::string threadStatPath(pid_t pid, const std::string& name);

// The stat file of process pid as a whole.
std::string processStatPath(pid_t pid);

// utime + stime in clock ticks from a stat file, or -1 when it cannot be read (the task is gone).
long cpuTicks(const std::string& statPath);

// Peak resident memory of process pid in KiB (VmHWM), or -1 when it cannot be read.
long peakResidentKiB(pid_t pid);
