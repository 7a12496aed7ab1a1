#include "tests/support/ClientProcess.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <link.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

std::map<std::string, std::string> inheritedEnvironment() {
    std::map<std::string, std::string> vars;
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
        const std::string text = *entry;
        const auto eq = text.find('=');
        if (eq != std::string::npos)
            vars[text.substr(0, eq)] = text.substr(eq + 1);
    }
    return vars;
}

std::string defaultBuildDir() {
#ifdef BRANNOC_BUILD_DIR
    return BRANNOC_BUILD_DIR;
#else
    return ".";
#endif
}

#if defined(__SANITIZE_ADDRESS__)
// Path of the loaded shared object whose path contains part, or empty.
std::string loadedObject(const char* part) {
    struct Search {
        const char* part;
        std::string found;
    } search{part, {}};
    dl_iterate_phdr(
        [](dl_phdr_info* info, std::size_t, void* data) {
            auto* s = static_cast<Search*>(data);
            if (info->dlpi_name != nullptr && std::strstr(info->dlpi_name, s->part) != nullptr) {
                s->found = info->dlpi_name;
                return 1;
            }
            return 0;
        },
        &search);
    return search.found;
}
#endif

// Mesa unloads its software GL driver when the display closes, before the leak check at exit, so
// the driver's process-lifetime allocations show up as leaks from an unknown module that no
// suppression can name. Preloading the driver keeps it mapped to the end; the sanitizer runtime
// has to stay first in the list.
void keepGlDriverLoaded(std::map<std::string, std::string>& vars) {
#if defined(__SANITIZE_ADDRESS__)
    const std::string runtime = loadedObject("/libasan.so");
    std::string driver;
    for (const char* dir :
         {"/usr/lib/x86_64-linux-gnu/dri", "/usr/lib/aarch64-linux-gnu/dri", "/usr/lib/dri"}) {
        const std::string path = std::string(dir) + "/swrast_dri.so";
        if (access(path.c_str(), R_OK) == 0) {
            driver = path;
            break;
        }
    }
    if (runtime.empty() || driver.empty())
        return;
    const auto existing = vars.find("LD_PRELOAD");
    vars["LD_PRELOAD"] = runtime + " " + (existing != vars.end() ? existing->second + " " : "") + driver;
#else
    (void)vars;
#endif
}

} // namespace

std::string ExitStatus::describe() const {
    if (exited)
        return "exit code " + std::to_string(code);
    if (signalled)
        return std::string("signal ") + std::to_string(signal) + " (" + strsignal(signal) + ")";
    return "not ended";
}

ClientProcess::ClientProcess(Options options) {
    if (options.workingDir.empty())
        options.workingDir = defaultBuildDir();
    if (options.program.empty())
        options.program = defaultBuildDir() + "/brannoc";

    auto vars = inheritedEnvironment();
    if (!options.display.empty())
        vars["DISPLAY"] = options.display;
    // Without a sound card OpenAL Soft prints errors on every call; the null driver stays silent.
    if (options.soundConfig.empty()) {
        vars["ALSOFT_DRIVERS"] = "null";
        vars.erase("ALSOFT_CONF");
    } else {
        vars["ALSOFT_CONF"] = options.soundConfig;
        vars.erase("ALSOFT_DRIVERS");
    }
    for (const auto& [name, value] : options.env)
        vars[name] = value;
    keepGlDriverLoaded(vars);

    // Everything the child needs is built before the spawn: the test process has threads.
    std::vector<std::string> envText;
    for (const auto& [name, value] : vars)
        envText.push_back(name + "=" + value);
    std::vector<char*> envp;
    for (auto& entry : envText)
        envp.push_back(entry.data());
    envp.push_back(nullptr);
    std::vector<std::string> argText{options.program};
    argText.insert(argText.end(), options.args.begin(), options.args.end());
    std::vector<char*> argv;
    for (auto& arg : argText)
        argv.push_back(arg.data());
    argv.push_back(nullptr);

    int outPipe[2] = {-1, -1};
    int errPipe[2] = {-1, -1};
    if (pipe2(outPipe, O_CLOEXEC) != 0 || pipe2(errPipe, O_CLOEXEC) != 0) {
        spawnError_ = std::string("pipe2: ") + std::strerror(errno);
        for (int fd : {outPipe[0], outPipe[1], errPipe[0], errPipe[1]})
            if (fd >= 0)
                close(fd);
        return;
    }

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
    posix_spawn_file_actions_adddup2(&actions, errPipe[1], 2);
    posix_spawn_file_actions_addchdir_np(&actions, options.workingDir.c_str());
    pid_t child = -1;
    const int rc = posix_spawn(&child, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    close(outPipe[1]);
    close(errPipe[1]);
    if (rc != 0) {
        spawnError_ = "posix_spawn " + options.program + ": " + std::strerror(rc);
        close(outPipe[0]);
        close(errPipe[0]);
        return;
    }
    pid_ = child;
    out_.fd = outPipe[0];
    err_.fd = errPipe[0];
    outReader_ = std::thread([this] { readLoop(out_); });
    errReader_ = std::thread([this] { readLoop(err_); });
}

ClientProcess::~ClientProcess() {
    stop();
}

void ClientProcess::readLoop(Stream& stream) {
    char buffer[4096];
    for (;;) {
        const ssize_t n = read(stream.fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        std::lock_guard<std::mutex> lock(mutex_);
        if (n <= 0) {
            stream.closed = true;
            changed_.notify_all();
            return;
        }
        stream.text.append(buffer, static_cast<std::size_t>(n));
        changed_.notify_all();
    }
}

std::vector<std::string> ClientProcess::splitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t end = text.find('\n'); end != std::string::npos; end = text.find('\n', start)) {
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

std::vector<std::string> ClientProcess::stdoutLines() const {
    return splitLines(stdoutText());
}
std::vector<std::string> ClientProcess::stderrLines() const {
    return splitLines(stderrText());
}

std::string ClientProcess::stdoutText() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return out_.text;
}

std::string ClientProcess::stderrText() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return err_.text;
}

bool ClientProcess::waitForLine(const std::string& text, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    bool found = false;
    // Stops early when the stream has ended: the line can no longer come.
    changed_.wait_for(lock, timeout, [&] {
        for (const auto& line : splitLines(out_.text))
            found = found || line == text;
        return found || out_.closed;
    });
    return found;
}

bool ClientProcess::waitForLines(std::size_t count, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, timeout, [&] { return splitLines(out_.text).size() >= count || out_.closed; });
    return splitLines(out_.text).size() >= count;
}

bool ClientProcess::reap(bool block) {
    if (pid_ <= 0 || reaped_)
        return true;
    int status = 0;
    pid_t r;
    do {
        r = waitpid(pid_, &status, block ? 0 : WNOHANG);
    } while (r < 0 && errno == EINTR);
    if (r == 0)
        return false;
    reaped_ = true;
    if (r == pid_) {
        if (WIFEXITED(status)) {
            status_.exited = true;
            status_.code = WEXITSTATUS(status);
        } else if (WIFSIGNALED(status)) {
            status_.signalled = true;
            status_.signal = WTERMSIG(status);
        }
    }
    return true;
}

bool ClientProcess::running() {
    return !reap(false);
}

bool ClientProcess::waitForExit(std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (!reap(false)) {
        if (Clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    joinReaders();
    return true;
}

void ClientProcess::joinReaders() {
    // The pipes reach end of file once the program and anything that inherited them have ended.
    if (outReader_.joinable())
        outReader_.join();
    if (errReader_.joinable())
        errReader_.join();
    for (Stream* stream : {&out_, &err_}) {
        if (stream->fd >= 0) {
            close(stream->fd);
            stream->fd = -1;
        }
    }
}

void ClientProcess::stop(std::chrono::milliseconds grace) {
    if (pid_ <= 0)
        return;
    if (!reap(false)) {
        // Not reaped yet, so the pid cannot have been reused.
        kill(pid_, SIGTERM);
        if (!waitForExit(grace)) {
            kill(pid_, SIGKILL);
            reap(true);
        }
    }
    joinReaders();
}

bool writeWaveCaptureConfig(const std::string& configPath, const std::string& wavPath) {
    std::ofstream file(configPath, std::ios::trunc);
    // Mono int16 keeps the captured peak exactly the source peak times the volume.
    file << "[general]\ndrivers=wave\nchannels=mono\nsample-type=int16\nfrequency=44100\n[wave]\nfile="
         << wavPath << "\n";
    file.close();
    return static_cast<bool>(file);
}

void expectNoSanitizerReport(const ClientProcess& process) {
    static const char* const markers[] = {
        "ERROR: AddressSanitizer", "runtime error:", "WARNING: ThreadSanitizer", "ERROR: LeakSanitizer"};
    const std::string text = process.stderrText();
    for (const char* marker : markers) {
        const auto at = text.find(marker);
        if (at != std::string::npos)
            ADD_FAILURE() << "sanitizer report on the client's standard error:\n"
                          << text.substr(at > 200 ? at - 200 : 0, 6000);
    }
}
