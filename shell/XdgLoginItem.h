#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "ui/PanelContext.h"

namespace tobble::shell {

// Launch at login on a freedesktop.org desktop: an autostart entry ("tobble.desktop" in
// $XDG_CONFIG_HOME/autostart) that starts the installed program. A program run from outside an
// installed location (a build tree) cannot be registered: its status is NotFound. Nothing here
// needs the user's approval, so RequiresApproval never occurs on Linux.
class XdgLoginItem final : public ui::LoginItem {
  public:
    static constexpr const char* kEntryFileName = "tobble.desktop";
    // The application's own entry, under its application id, as the package installs it.
    static constexpr const char* kInstalledEntryFileName = "org.tobble.Tobble.desktop";
    // Given to the program started by the entry.
    static constexpr const char* kAtLoginOption = "--at-login";

    // `executable`: the running program. `autostartDirectory`: where entries go (empty: the
    // user's autostart folder).
    explicit XdgLoginItem(std::filesystem::path executable,
                          std::filesystem::path autostartDirectory = {});

    ui::LoginItemStatus status() const override;
    std::optional<std::string> registerItem() override;
    std::optional<std::string> unregisterItem() override;

    // Installed: the program lives in "<prefix>/bin" and "<prefix>/share/applications" holds
    // its desktop entry, as the package and `cmake --install` leave it.
    bool isInstalled() const;
    std::filesystem::path entryPath() const { return autostartDirectory_ / kEntryFileName; }

    static std::filesystem::path userAutostartDirectory();
    static std::filesystem::path runningExecutable();

  private:
    std::filesystem::path executable_;
    std::filesystem::path autostartDirectory_;
};

}  // namespace tobble::shell
