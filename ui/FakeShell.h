#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "ui/PanelContext.h"

namespace tobble::ui {

// In-memory shell hooks: the panel and the onboarding without a desktop behind them, for tests
// and tobble-snapshot. Every call is counted; state is set directly.
class FakeAccessibility final : public AccessibilityPermission {
  public:
    bool isGranted() const override { return granted; }
    void refresh() override { ++refreshes; }
    void startPolling() override { ++pollers; }
    void stopPolling() override { --pollers; }
    void openSettings() override { ++settingsOpened; }
    Subscription observe(std::function<void(bool)> changed) override {
        auto entry = std::make_shared<std::function<void(bool)>>(std::move(changed));
        observers.push_back(entry);
        return entry;
    }
    // Changes the permission and tells the observers still subscribed.
    void setGranted(bool value) {
        granted = value;
        for (auto& weak : observers) {
            if (auto observer = weak.lock()) (*observer)(value);
        }
    }

    bool granted = false;
    int refreshes = 0;
    int pollers = 0;
    int settingsOpened = 0;
    std::vector<std::weak_ptr<std::function<void(bool)>>> observers;
};

class FakeLoginItem final : public LoginItem {
  public:
    LoginItemStatus status() const override { return current; }
    std::optional<std::string> registerItem() override {
        calls.push_back("register");
        if (failure) return failure;
        current = LoginItemStatus::Enabled;
        return std::nullopt;
    }
    std::optional<std::string> unregisterItem() override {
        calls.push_back("unregister");
        if (failure) return failure;
        current = LoginItemStatus::NotRegistered;
        return std::nullopt;
    }

    LoginItemStatus current = LoginItemStatus::NotRegistered;
    std::optional<std::string> failure;
    std::vector<std::string> calls;
};

class FakeUpdates final : public Updates {
  public:
    bool hasUpdater() const override { return present; }
    void checkForUpdates() override { ++checks; }
    bool automaticChecks() const override { return automatic; }
    void setAutomaticChecks(bool enabled) override {
        automatic = enabled;
        ++automaticWrites;
    }
    bool updateAvailable() const override { return available; }
    Subscription observeUpdateAvailable(std::function<void(bool)> changed) override {
        auto entry = std::make_shared<std::function<void(bool)>>(std::move(changed));
        observers.push_back(entry);
        return entry;
    }

    bool present = true;
    bool automatic = true;
    bool available = false;
    int checks = 0;
    int automaticWrites = 0;
    std::vector<std::weak_ptr<std::function<void(bool)>>> observers;
};

struct FakeShell {
    FakeAccessibility accessibility;
    FakeLoginItem loginItem;
    FakeUpdates updates;
    std::vector<std::string> openedURLs;
    int shortcutChanges = 0;
    int quits = 0;
    std::string clipboard;
    std::optional<std::string> shortcutProblem;
    bool shortcutsBindable = true;
    ShellHooks hooks{accessibility,
                     loginItem,
                     updates,
                     [this](const std::string& url) { openedURLs.push_back(url); },
                     [this] { ++shortcutChanges; },
                     nullptr,
                     "1.0.0",
                     "100",
                     [this] { ++quits; },
                     [this](const std::string& text) { clipboard = text; },
                     [this] { return shortcutProblem; },
                     [this](int64_t, const std::string&) { return shortcutsBindable; }};
};

}  // namespace tobble::ui
