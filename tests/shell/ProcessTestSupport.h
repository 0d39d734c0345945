#pragma once

#include <signal.h>
#include <unistd.h>

#include <QProcess>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "platform/system/qt/QSettingsUserDefaults.h"
#include "tests/support/Eventually.h"

namespace tobble::shell::testing {

inline bool onPath(const std::string& program) {
    const std::string command = "command -v " + program + " >/dev/null 2>&1";
    return std::system(command.c_str()) == 0;
}

// A child program with its stdout and stderr read as one stream. The caller owns a
// QCoreApplication (ensureApplication()), which QProcess needs to watch its child.
class ChildProcess {
  public:
    ChildProcess(const std::string& program, const std::map<std::string, std::string>& env,
                 const std::vector<std::string>& args = {}) {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        for (const auto& [key, value] : env)
            environment.insert(QString::fromStdString(key), QString::fromStdString(value));
        QStringList arguments;
        for (const auto& arg : args) arguments << QString::fromStdString(arg);
        process_.setProcessEnvironment(environment);
        process_.setProcessChannelMode(QProcess::MergedChannels);
        process_.start(QString::fromStdString(program), arguments);
        process_.waitForStarted();
    }
    ~ChildProcess() {
        if (process_.state() == QProcess::NotRunning) return;
        process_.kill();
        process_.waitForFinished();
    }

    pid_t pid() const { return static_cast<pid_t>(process_.processId()); }
    bool isRunning() const { return process_.state() == QProcess::Running; }

    // Reads output until it contains `text` or `timeout` passes.
    bool waitForOutput(const std::string& text, std::chrono::milliseconds timeout) {
        const auto found = [&] { return output().find(text) != std::string::npos; };
        tobble::testing::eventually(
            [&] {
                if (found() || !isRunning()) return true;
                process_.waitForReadyRead(50);
                return false;
            },
            timeout);
        return found();
    }

    // The exit status, or -1 when it did not exit normally within `timeout`.
    int waitForExit(std::chrono::milliseconds timeout) {
        if (!process_.waitForFinished(static_cast<int>(timeout.count()))) return -1;
        return process_.exitStatus() == QProcess::NormalExit ? process_.exitCode() : -1;
    }
    // Sends `signal`, then waits as waitForExit does.
    int signalAndWait(int signal, std::chrono::milliseconds timeout) {
        ::kill(pid(), signal);
        return waitForExit(timeout);
    }

    const std::string& output() {
        output_ += process_.readAll().toStdString();
        return output_;
    }

  private:
    QProcess process_;
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
    // The first-run guide answered, as after the user's first start.
    void completeOnboarding() const {
        system::qt::QSettingsUserDefaults defaults((root / "config/Tobble/Tobble.ini").string());
        defaults.setBoolean("onboardingCompleted", true);
        defaults.flush();
    }
};

}  // namespace tobble::shell::testing
