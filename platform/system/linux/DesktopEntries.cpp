#include "platform/system/linux/DesktopEntries.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace tobble::system::linux_desktop {

namespace {

std::string baseName(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The program of an Exec line: the first word that is not an environment assignment or "env".
// Words may be double-quoted, spaces included.
std::string execProgram(const std::string& exec) {
    size_t i = 0;
    while (i < exec.size()) {
        while (i < exec.size() && exec[i] == ' ') ++i;
        std::string word;
        if (i < exec.size() && exec[i] == '"') {
            const size_t close = exec.find('"', i + 1);
            word =
                exec.substr(i + 1, close == std::string::npos ? std::string::npos : close - i - 1);
            i = close == std::string::npos ? exec.size() : close + 1;
        } else {
            const size_t end = exec.find(' ', i);
            word = exec.substr(i, end == std::string::npos ? std::string::npos : end - i);
            i = end == std::string::npos ? exec.size() : end;
        }
        if (word.empty() || word == "env" || word.find('=') != std::string::npos) continue;
        return baseName(word);
    }
    return {};
}

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> out;
    std::string part;
    std::istringstream in(text);
    while (std::getline(in, part, separator)) {
        if (!part.empty()) out.push_back(part);
    }
    return out;
}

}  // namespace

std::optional<DesktopEntry> DesktopEntries::parse(const std::string& text, const std::string& id) {
    DesktopEntry entry;
    entry.id = id;
    bool inMain = false;
    bool isApplication = false;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line[0] == '#') continue;
        if (line[0] == '[') {
            inMain = line == "[Desktop Entry]";
            continue;
        }
        if (!inMain) continue;
        const auto eq = line.find('=');
        if (eq == std::string::npos) continue;
        std::string key = line.substr(0, eq);
        const std::string value = line.substr(eq + 1);
        while (!key.empty() && key.back() == ' ') key.pop_back();
        if (key == "Type") isApplication = value == "Application";
        if (key == "Name") entry.name = value;
        if (key == "Icon") entry.icon = value;
        if (key == "Exec") entry.executable = execProgram(value);
        if (key == "StartupWMClass") entry.startupWMClass = value;
        if (key == "NoDisplay" || key == "Hidden")
            entry.shownInMenus = entry.shownInMenus && value != "true";
    }
    if (!isApplication) return std::nullopt;
    return entry;
}

DesktopEntries DesktopEntries::scan() {
    std::vector<std::string> dirs;
    const char* home = std::getenv("HOME");
    const char* dataHome = std::getenv("XDG_DATA_HOME");
    if (dataHome && *dataHome) {
        dirs.push_back(std::string(dataHome) + "/applications");
    } else if (home) {
        dirs.push_back(std::string(home) + "/.local/share/applications");
    }
    const char* dataDirs = std::getenv("XDG_DATA_DIRS");
    for (const auto& d :
         split(dataDirs && *dataDirs ? dataDirs : "/usr/local/share:/usr/share", ':')) {
        dirs.push_back(d + "/applications");
    }
    return fromDirectories(dirs);
}

DesktopEntries DesktopEntries::fromDirectories(const std::vector<std::string>& applicationDirs) {
    DesktopEntries entries;
    for (const auto& dir : applicationDirs) {
        std::error_code ec;
        for (const auto& file : std::filesystem::recursive_directory_iterator(dir, ec)) {
            if (file.path().extension() != ".desktop") continue;
            // Earlier directories win, as in the XDG lookup order.
            std::string id = std::filesystem::relative(file.path(), dir, ec).string();
            id = id.substr(0, id.size() - 8);
            std::replace(id.begin(), id.end(), '/', '-');
            if (entries.byID_.count(id)) continue;
            std::ifstream in(file.path());
            std::stringstream text;
            text << in.rdbuf();
            auto entry = parse(text.str(), id);
            if (!entry) continue;
            if (!entry->executable.empty()) entries.byExecutable_.emplace(entry->executable, id);
            if (!entry->startupWMClass.empty())
                entries.byExecutable_.emplace(entry->startupWMClass, id);
            entries.byID_.emplace(id, std::move(*entry));
        }
    }
    return entries;
}

const DesktopEntry* DesktopEntries::match(const std::string& executable,
                                          const std::string& comm) const {
    for (const std::string* key : {&executable, &comm}) {
        if (key->empty()) continue;
        if (auto it = byExecutable_.find(*key); it != byExecutable_.end()) return byID(it->second);
        if (const DesktopEntry* e = byID(*key)) return e;
    }
    return nullptr;
}

const DesktopEntry* DesktopEntries::byID(const std::string& id) const {
    auto it = byID_.find(id);
    return it == byID_.end() ? nullptr : &it->second;
}

}  // namespace tobble::system::linux_desktop
