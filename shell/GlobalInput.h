#pragma once

#include <QPoint>
#include <functional>
#include <memory>

#include "services/KeyboardShortcut.h"

namespace tobble::shell {

// The shortcut's stored form is shared with the settings that record it; the shell binds it.
using app::KeyboardShortcut;
using app::KeyPress;
using app::kShortcutKeyKey;
using app::kShortcutModifiersKey;
namespace modifier = app::modifier;

// The key name a grab uses for Escape.
inline constexpr const char* kEscapeKey = "escape";

// The key press watch outside the application: a global grab of one shortcut. On X11 it is a
// passive key grab on the root window; on a Wayland session nothing can grab keys for us, so it
// reports itself unavailable and the onboarding explains why.
class GlobalShortcutGrab {
  public:
    virtual ~GlobalShortcutGrab() = default;

    // Whether a grab can work in this session: what the app calls "trusted".
    virtual bool isAvailable() const = 0;
    // Replaces any earlier grab. False when the shortcut could not be grabbed (another program
    // holds it, or there is no key for it on the keyboard).
    virtual bool install(const KeyboardShortcut& shortcut, std::function<void()> pressed) = 0;
    virtual void remove() = 0;
    virtual bool isInstalled() const = 0;
};

// The click watch outside the application: it reports every left-button press anywhere on the
// desktop with the pointer's global position (in Qt's logical pixels), without taking the click
// away from its target, at the moment the press arrives.
class GlobalClickMonitor {
  public:
    virtual ~GlobalClickMonitor() = default;

    virtual bool isAvailable() const = 0;
    virtual void start(std::function<void(QPoint globalPosition)> pressed) = 0;
    virtual void stop() = 0;
    virtual bool isRunning() const = 0;
};

// The session's implementations: X11 where the platform plugin is xcb, inert ones elsewhere
// (offscreen tests, Wayland).
// The shortcut that opens the panel: an X11 grab, or on Wayland the desktop's shortcuts portal
// where it offers one.
std::unique_ptr<GlobalShortcutGrab> makeGlobalShortcutGrab();
// Escape while the panel is open: an X11 grab only (on Wayland the panel has the keyboard, and
// no desktop should be asked to bind Escape).
std::unique_ptr<GlobalShortcutGrab> makeEscapeGrab();
std::unique_ptr<GlobalClickMonitor> makeGlobalClickMonitor();

}  // namespace tobble::shell

namespace tobble::shell {
// Whether the desktop session is Wayland (XDG_SESSION_TYPE, else WAYLAND_DISPLAY).
bool isWaylandSession();
// Whether this session lets a program take a global shortcut (an X11 grab, or the desktop's
// shortcuts portal on Wayland): what "trusted" means on Linux.
bool globalShortcutsPossible();
// Whether `shortcut`'s key exists on this keyboard, so that a grab could take it. True where
// nothing can be checked (no grab works in this session anyway).
bool canBindGlobalShortcut(const KeyboardShortcut& shortcut);
}  // namespace tobble::shell
