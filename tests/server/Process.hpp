#pragma once

// The server programs run for real, their output in a file; every wait has a limit.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <fstream>
#include <iterator>
#include <thread>

namespace proc {

using Clock = std::chrono::steady_clock;
constexpr auto patience = std::chrono::seconds(5); // enough for the sanitizer builds

template <typename Condition> bool eventually(Condition condition, Clock::duration limit = patience) {
    for (const auto end = Clock::now() + limit; !condition();
         std::this_thread::sleep_for(std::chrono::milliseconds(10)))
        if (Clock::now() > end)
            return false;
    return true;
}

inline std::string slurp(const std::string& path) {
    std::ifstream in(path);
    return {std::istreambuf_iterator<char>(in), {}};
}

// Starts args[0], its standard output and error appended to the file output.
inline pid_t spawn(std::vector<std::string> args, const std::string& output) {
    std::vector<char*> argv;
    for (auto& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    pid_t pid = -1;
    EXPECT_EQ(posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ), 0) << argv[0];
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

// The exit code, or 128 + the signal that ended it; -1 (and killed) when it does not end in time.
inline int reap(pid_t pid) {
    int status = 0;
    if (pid > 0 && eventually([&] { return waitpid(pid, &status, WNOHANG) == pid; }))
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    ADD_FAILURE() << "process " << pid << " did not end in time";
    if (pid > 0 && kill(pid, SIGKILL) == 0)
        waitpid(pid, nullptr, 0);
    return -1;
}

} // namespace proc
