#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace tobble::shell::testing {

// A child program with its stderr (and stdout) captured through a pipe.
class ChildProcess {
  public:
    ChildProcess(const std::string& program, const std::map<std::string, std::string>& env,
                 std::vector<std::string> args = {}) {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
        posix_spawn_file_actions_adddup2(&actions, fds[1], 2);
        std::vector<std::string> entries;
        for (char** e = environ; *e; ++e) {
            const std::string entry(*e);
            if (!env.count(entry.substr(0, entry.find('=')))) entries.push_back(entry);
        }
        for (const auto& [key, value] : env) entries.push_back(key + "=" + value);
        std::vector<char*> envp;
        for (auto& entry : entries) envp.push_back(entry.data());
        envp.push_back(nullptr);
        args.insert(args.begin(), program);
        std::vector<char*> argv;
        for (auto& arg : args) argv.push_back(arg.data());
        argv.push_back(nullptr);
        if (posix_spawnp(&pid_, program.c_str(), &actions, nullptr, argv.data(), envp.data()) !=
            0) {
            pid_ = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
        ::close(fds[1]);
        out_ = fds[0];
    }
    ~ChildProcess() {
        if (pid_ > 0 && !exited_) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        if (out_ >= 0) ::close(out_);
    }

    pid_t pid() const { return pid_; }

    // Reads output until it contains `text` or `timeout` passes.
    bool waitForOutput(const std::string& text, std::chrono::milliseconds timeout) {
        const auto until = std::chrono::steady_clock::now() + timeout;
        while (output_.find(text) == std::string::npos) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                until - std::chrono::steady_clock::now());
            if (left.count() <= 0) return false;
            pollfd p{out_, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
            char buffer[4096];
            const ssize_t n = ::read(out_, buffer, sizeof(buffer));
            if (n <= 0) return output_.find(text) != std::string::npos;
            output_.append(buffer, static_cast<size_t>(n));
        }
        return true;
    }

    // The exit status, or -1 when it did not exit normally within `timeout`.
    int waitForExit(std::chrono::milliseconds timeout) {
        const auto until = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < until) {
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                exited_ = true;
                drain();
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return -1;
    }

    bool isRunning() {
        int status = 0;
        return !exited_ && ::waitpid(pid_, &status, WNOHANG) == 0;
    }

    const std::string& output() const { return output_; }

  private:
    void drain() {
        char buffer[4096];
        pollfd p{out_, POLLIN, 0};
        while (::poll(&p, 1, 200) > 0) {
            const ssize_t n = ::read(out_, buffer, sizeof(buffer));
            if (n <= 0) break;
            output_.append(buffer, static_cast<size_t>(n));
        }
    }

    pid_t pid_ = -1;
    int out_ = -1;
    bool exited_ = false;
    std::string output_;
};

// A scratch home for a launched tobble: its own data, config and runtime folders.
struct ScratchHome {
    std::filesystem::path root;
    explicit ScratchHome(const std::string& name) {
        root = std::filesystem::temp_directory_path() / (name + "-" + std::to_string(::getpid()));
        std::filesystem::remove_all(root);
        std::filesystem::create_directories(root / "runtime");
        std::filesystem::permissions(root / "runtime", std::filesystem::perms::owner_all);
    }
    ~ScratchHome() {
        std::error_code ignored;
        std::filesystem::remove_all(root, ignored);
    }
    std::map<std::string, std::string> env(const std::string& platform) const {
        return {{"XDG_DATA_HOME", (root / "data").string()},
                {"XDG_CONFIG_HOME", (root / "config").string()},
                {"XDG_RUNTIME_DIR", (root / "runtime").string()},
                {"QT_QPA_PLATFORM", platform},
                {"TOBBLE_AUDIO", "sim"}};
    }
};

}  // namespace tobble::shell::testing
