#include "shell/XdgLoginItem.h"

#include <QFile>
#include <QSaveFile>
#include <QString>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <system_error>

namespace tobble::shell {

namespace {

// Exec values quote arguments that hold spaces or reserved characters.
std::string quotedExec(const std::string& path) {
    if (path.find_first_of(" \t\"'\\$`") == std::string::npos) return path;
    std::string out = "\"";
    for (char c : path) {
        if (c == '"' || c == '`' || c == '$' || c == '\\') out += '\\';
        out += c;
    }
    return out + "\"";
}

std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace

XdgLoginItem::XdgLoginItem(std::filesystem::path executable,
                           std::filesystem::path autostartDirectory)
    : executable_(std::move(executable)),
      autostartDirectory_(autostartDirectory.empty() ? userAutostartDirectory()
                                                     : std::move(autostartDirectory)) {}

std::filesystem::path XdgLoginItem::userAutostartDirectory() {
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && *xdg == '/') {
        return std::filesystem::path(xdg) / "autostart";
    }
    const char* home = std::getenv("HOME");
    return std::filesystem::path(home ? home : "/") / ".config" / "autostart";
}

std::filesystem::path XdgLoginItem::runningExecutable() {
    std::error_code error;
    auto path = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? std::filesystem::path() : path;
}

bool XdgLoginItem::isInstalled() const {
    if (executable_.empty()) return false;
    const auto bin = executable_.parent_path();
    if (bin.filename() != "bin") return false;
    std::error_code error;
    return std::filesystem::exists(
        bin.parent_path() / "share" / "applications" / kInstalledEntryFileName, error);
}

ui::LoginItemStatus XdgLoginItem::status() const {
    if (!isInstalled()) return ui::LoginItemStatus::NotFound;
    std::error_code error;
    if (!std::filesystem::exists(entryPath(), error)) return ui::LoginItemStatus::NotRegistered;
    const std::string text = readFile(entryPath());
    // An entry the desktop was told to skip does not start anything.
    if (text.find("\nHidden=true") != std::string::npos ||
        text.find("\nX-GNOME-Autostart-enabled=false") != std::string::npos) {
        return ui::LoginItemStatus::NotRegistered;
    }
    return ui::LoginItemStatus::Enabled;
}

std::optional<std::string> XdgLoginItem::registerItem() {
    if (!isInstalled()) {
        return "Tobble is not installed: launch at login needs the installed program "
               "(the tobble package or cmake --install).";
    }
    std::error_code error;
    std::filesystem::create_directories(autostartDirectory_, error);
    if (error) {
        return "Could not create " + autostartDirectory_.string() + ": " + error.message();
    }
    const std::string entry =
        "[Desktop Entry]\n"
        "Type=Application\n"
        "Name=Tobble\n"
        "Comment=Per-application volume mixer\n"
        "Exec=" +
        quotedExec(executable_.string()) + " " + kAtLoginOption +
        "\n"
        "Icon=tobble\n"
        "Terminal=false\n"
        "X-GNOME-Autostart-enabled=true\n";
    QSaveFile file(QString::fromStdString(entryPath().string()));
    if (!file.open(QIODevice::WriteOnly) ||
        file.write(entry.data(), static_cast<qint64>(entry.size())) !=
            static_cast<qint64>(entry.size()) ||
        !file.commit()) {
        return "Could not write " + entryPath().string() + ": " + file.errorString().toStdString();
    }
    return std::nullopt;
}

std::optional<std::string> XdgLoginItem::unregisterItem() {
    std::error_code error;
    std::filesystem::remove(entryPath(), error);
    if (error) return "Could not remove " + entryPath().string() + ": " + error.message();
    return std::nullopt;
}

}  // namespace tobble::shell
