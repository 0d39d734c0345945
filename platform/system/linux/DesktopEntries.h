#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace tobble::system::linux_desktop {

// What a desktop entry (*.desktop) says about an application.
struct DesktopEntry {
    std::string id;  // file name without ".desktop", the application's identity
    std::string name;
    std::string icon;
    std::string executable;  // base name of Exec's program
    std::string startupWMClass;
    bool shownInMenus = true;  // NoDisplay is not true
};

// The applications' desktop entries of the XDG data directories, indexed by the names a
// running process can be matched with.
class DesktopEntries {
  public:
    // Reads $XDG_DATA_HOME and $XDG_DATA_DIRS (their applications/ folders).
    static DesktopEntries scan();
    static DesktopEntries fromDirectories(const std::vector<std::string>& applicationDirs);

    static std::optional<DesktopEntry> parse(const std::string& text, const std::string& id);

    // The entry for a process with this executable base name and command name.
    const DesktopEntry* match(const std::string& executable, const std::string& comm) const;
    const DesktopEntry* byID(const std::string& id) const;

  private:
    std::map<std::string, DesktopEntry> byID_;
    std::map<std::string, std::string> byExecutable_;
};

}  // namespace tobble::system::linux_desktop
