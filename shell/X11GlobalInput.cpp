// X11 implementations of the global key grab and the global click watch, over Qt's own xcb
// connection: events for the root window come through Qt's native event filter.
#include <QAbstractNativeEventFilter>
#include <QGuiApplication>
#include <QScreen>
#include <array>
#include <cstdlib>
#include <optional>
#include <string_view>

#include "shell/GlobalInput.h"
#include "shell/PortalShortcutGrab.h"

#ifdef TOBBLE_HAVE_X11
#include <xcb/xcb.h>
#include <xcb/xcb_keysyms.h>
#include <xcb/xinput.h>
#endif

namespace tobble::shell {

namespace {

class InertShortcutGrab final : public GlobalShortcutGrab {
  public:
    bool isAvailable() const override { return false; }
    bool install(const KeyboardShortcut&, std::function<void()>) override { return false; }
    void remove() override {}
    bool isInstalled() const override { return false; }
};

class InertClickMonitor final : public GlobalClickMonitor {
  public:
    bool isAvailable() const override { return false; }
    void start(std::function<void(QPoint)>) override { running_ = true; }
    void stop() override { running_ = false; }
    bool isRunning() const override { return running_; }

  private:
    bool running_ = false;
};

#ifdef TOBBLE_HAVE_X11

xcb_connection_t* x11Connection() {
    if (QGuiApplication::platformName() != QLatin1String("xcb")) return nullptr;
    auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    return x11 ? x11->connection() : nullptr;
}

xcb_window_t rootWindow(xcb_connection_t* connection) {
    return xcb_setup_roots_iterator(xcb_get_setup(connection)).data->root;
}

uint16_t x11Modifiers(int64_t bits) {
    uint16_t mask = 0;
    if (bits & modifier::kShift) mask |= XCB_MOD_MASK_SHIFT;
    if (bits & modifier::kControl) mask |= XCB_MOD_MASK_CONTROL;
    if (bits & modifier::kOption) mask |= XCB_MOD_MASK_1;
    if (bits & modifier::kCommand) mask |= XCB_MOD_MASK_4;
    return mask;
}

// Caps Lock and Num Lock change the state bits of a press, so each grab is made once for
// every combination of the two.
constexpr std::array<uint16_t, 4> kLockVariants = {0, XCB_MOD_MASK_LOCK, XCB_MOD_MASK_2,
                                                   XCB_MOD_MASK_LOCK | XCB_MOD_MASK_2};
constexpr uint16_t kRelevantState =
    XCB_MOD_MASK_SHIFT | XCB_MOD_MASK_CONTROL | XCB_MOD_MASK_1 | XCB_MOD_MASK_4;

// The keysym of a one-character key ("t", "5", ";"): Latin-1 keysyms equal their code points.
std::optional<xcb_keysym_t> keysymFor(const std::string& key) {
    if (key == kEscapeKey) return 0xff1b;  // XK_Escape
    if (key.size() != 1) return std::nullopt;
    const auto c = static_cast<unsigned char>(key[0]);
    if (c < 0x20 || c > 0x7e) return std::nullopt;
    return static_cast<xcb_keysym_t>(c);
}

class X11ShortcutGrab final : public GlobalShortcutGrab, public QAbstractNativeEventFilter {
  public:
    X11ShortcutGrab() { qApp->installNativeEventFilter(this); }
    ~X11ShortcutGrab() override {
        remove();
        if (qApp) qApp->removeNativeEventFilter(this);
    }

    bool isAvailable() const override { return x11Connection() != nullptr; }

    bool install(const KeyboardShortcut& shortcut, std::function<void()> pressed) override {
        remove();
        auto* connection = x11Connection();
        const auto keysym = keysymFor(shortcut.key);
        if (!connection || !keysym) return false;
        xcb_key_symbols_t* symbols = xcb_key_symbols_alloc(connection);
        xcb_keycode_t* codes = symbols ? xcb_key_symbols_get_keycode(symbols, *keysym) : nullptr;
        const xcb_keycode_t code = codes ? codes[0] : 0;
        free(codes);
        if (symbols) xcb_key_symbols_free(symbols);
        if (code == 0) return false;

        const uint16_t mods = x11Modifiers(shortcut.modifiers);
        const xcb_window_t root = rootWindow(connection);
        bool grabbed = true;
        for (uint16_t lock : kLockVariants) {
            auto cookie = xcb_grab_key_checked(connection, 1, root, mods | lock, code,
                                               XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC);
            if (xcb_generic_error_t* error = xcb_request_check(connection, cookie)) {
                grabbed = false;
                free(error);
            }
        }
        keycode_ = code;
        modifiers_ = mods;
        pressed_ = std::move(pressed);
        if (!grabbed) {
            remove();
            return false;
        }
        return true;
    }

    void remove() override {
        auto* connection = x11Connection();
        if (keycode_ != 0 && connection) {
            const xcb_window_t root = rootWindow(connection);
            for (uint16_t lock : kLockVariants) {
                xcb_ungrab_key(connection, keycode_, root, modifiers_ | lock);
            }
            xcb_flush(connection);
        }
        keycode_ = 0;
        pressed_ = nullptr;
    }

    bool isInstalled() const override { return keycode_ != 0; }

    bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr*) override {
        if (keycode_ == 0 || eventType != "xcb_generic_event_t") return false;
        auto* event = static_cast<xcb_generic_event_t*>(message);
        if ((event->response_type & 0x7f) != XCB_KEY_PRESS) return false;
        auto* key = reinterpret_cast<xcb_key_press_event_t*>(event);
        if (key->detail != keycode_ || (key->state & kRelevantState) != modifiers_) return false;
        // Run outside the filter: the handler may re-install grabs.
        if (pressed_) QMetaObject::invokeMethod(qApp, pressed_, Qt::QueuedConnection);
        return true;
    }

  private:
    xcb_keycode_t keycode_ = 0;
    uint16_t modifiers_ = 0;
    std::function<void()> pressed_;
};

// X11 reports the pointer in device pixels of one root window spanning every screen; Qt places
// each screen at its device-pixel origin and scales only within it. A point maps through the
// screen that holds it.
QPoint logicalPosition(QPoint device) {
    for (QScreen* screen : QGuiApplication::screens()) {
        const QRect logical = screen->geometry();
        const qreal ratio = screen->devicePixelRatio();
        const QRect native(logical.topLeft(), logical.size() * ratio);
        if (native.contains(device)) {
            const QPointF offset = QPointF(device - native.topLeft()) / ratio;
            return logical.topLeft() + offset.toPoint();
        }
    }
    return device;
}

constexpr uint32_t kLeftButton = 1;

// XInput 2 raw button events on the root window reach every client that asks, so they report
// clicks in other applications without grabbing the pointer.
class X11ClickMonitor final : public GlobalClickMonitor, public QAbstractNativeEventFilter {
  public:
    X11ClickMonitor() {
        if (auto* connection = x11Connection()) {
            const auto* ext = xcb_get_extension_data(connection, &xcb_input_id);
            if (ext && ext->present) opcode_ = ext->major_opcode;
        }
        qApp->installNativeEventFilter(this);
    }
    ~X11ClickMonitor() override {
        stop();
        if (qApp) qApp->removeNativeEventFilter(this);
    }

    bool isAvailable() const override { return opcode_ >= 0 && x11Connection(); }

    void start(std::function<void(QPoint)> pressed) override {
        pressed_ = std::move(pressed);
        running_ = true;
        select(XCB_INPUT_XI_EVENT_MASK_RAW_BUTTON_PRESS);
    }

    void stop() override {
        if (running_) select(0);
        running_ = false;
        pressed_ = nullptr;
    }

    bool isRunning() const override { return running_; }

    bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr*) override {
        if (!running_ || opcode_ < 0 || eventType != "xcb_generic_event_t") return false;
        auto* event = static_cast<xcb_generic_event_t*>(message);
        if ((event->response_type & 0x7f) != XCB_GE_GENERIC) return false;
        auto* generic = reinterpret_cast<xcb_ge_generic_event_t*>(event);
        if (generic->extension != opcode_ || generic->event_type != XCB_INPUT_RAW_BUTTON_PRESS) {
            return false;
        }
        // Right-clicks (a tray icon's menu) and wheel steps elsewhere leave the panel open.
        if (reinterpret_cast<xcb_input_raw_button_press_event_t*>(event)->detail != kLeftButton) {
            return true;
        }
        auto* connection = x11Connection();
        if (!connection) return true;
        auto reply = xcb_query_pointer_reply(
            connection, xcb_query_pointer(connection, rootWindow(connection)), nullptr);
        if (!reply) return true;
        const QPoint position = logicalPosition(QPoint(reply->root_x, reply->root_y));
        free(reply);
        // At once, not queued: what was under the pointer is judged as it was at the press.
        if (pressed_) {
            auto pressed = pressed_;
            pressed(position);
        }
        return true;
    }

  private:
    void select(uint32_t mask) {
        auto* connection = x11Connection();
        if (!connection || opcode_ < 0) return;
        struct {
            xcb_input_event_mask_t head;
            uint32_t mask;
        } events{{XCB_INPUT_DEVICE_ALL_MASTER, 1}, mask};
        xcb_input_xi_select_events(connection, rootWindow(connection), 1, &events.head);
        xcb_flush(connection);
    }

    int opcode_ = -1;
    bool running_ = false;
    std::function<void(QPoint)> pressed_;
};

#endif  // TOBBLE_HAVE_X11

}  // namespace

bool isWaylandSession() {
    const char* type = std::getenv("XDG_SESSION_TYPE");
    if (type && *type) return std::string_view(type) == "wayland";
    const char* display = std::getenv("WAYLAND_DISPLAY");
    return display && *display;
}

// Through XWayland an X11 grab or click watch sees only the other X11 clients, so on a Wayland
// session neither is used even when Qt runs on xcb.
std::unique_ptr<GlobalShortcutGrab> makeEscapeGrab() {
#ifdef TOBBLE_HAVE_X11
    if (x11Connection() && !isWaylandSession()) return std::make_unique<X11ShortcutGrab>();
#endif
    return std::make_unique<InertShortcutGrab>();
}

std::unique_ptr<GlobalShortcutGrab> makeGlobalShortcutGrab() {
    if (isWaylandSession()) {
        auto portal = std::make_unique<PortalShortcutGrab>(QDBusConnection::sessionBus());
        if (portal->isAvailable()) return portal;
        return std::make_unique<InertShortcutGrab>();
    }
    return makeEscapeGrab();
}

std::unique_ptr<GlobalClickMonitor> makeGlobalClickMonitor() {
#ifdef TOBBLE_HAVE_X11
    if (x11Connection() && !isWaylandSession()) return std::make_unique<X11ClickMonitor>();
#endif
    return std::make_unique<InertClickMonitor>();
}

}  // namespace tobble::shell

namespace tobble::shell {

bool canBindGlobalShortcut(const KeyboardShortcut& shortcut) {
#ifdef TOBBLE_HAVE_X11
    auto* connection = x11Connection();
    if (!connection) return true;
    const auto keysym = keysymFor(shortcut.key);
    if (!keysym) return false;
    xcb_key_symbols_t* symbols = xcb_key_symbols_alloc(connection);
    xcb_keycode_t* codes = symbols ? xcb_key_symbols_get_keycode(symbols, *keysym) : nullptr;
    const bool found = codes && codes[0] != 0;
    free(codes);
    if (symbols) xcb_key_symbols_free(symbols);
    return found;
#else
    (void)shortcut;
    return true;
#endif
}

bool globalShortcutsPossible() {
    if (isWaylandSession()) {
        static const bool portal =
            PortalShortcutGrab::portalOffersShortcuts(QDBusConnection::sessionBus());
        return portal;
    }
#ifdef TOBBLE_HAVE_X11
    return x11Connection() != nullptr;
#else
    return false;
#endif
}

}  // namespace tobble::shell
