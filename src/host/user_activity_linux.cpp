// The active window's program and the idle time from the X server, through
// libxcb opened at run time: a Wayland or headless client has no X and keeps
// the defaults. XCB and not Xlib, because Xlib reports a failed request (a
// window closing while it is asked about) to the process-wide error handler,
// and xfreerdp's handler aborts the client.
#include <dlfcn.h>
#include <sys/uio.h>
#include <unistd.h>

#include <xcb/xcb.h>
#include <xcb/xcbext.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <type_traits>

#include "platform/log.h"
#include "user_activity.h"

namespace {

struct Xcb {
    decltype(&xcb_connect) connect = nullptr;
    decltype(&xcb_connection_has_error) hasError = nullptr;
    decltype(&xcb_disconnect) disconnect = nullptr;
    decltype(&xcb_get_setup) getSetup = nullptr;
    decltype(&xcb_setup_roots_iterator) rootsIterator = nullptr;
    decltype(&xcb_screen_next) screenNext = nullptr;
    decltype(&xcb_intern_atom) internAtom = nullptr;
    decltype(&xcb_intern_atom_reply) internAtomReply = nullptr;
    decltype(&xcb_get_property) getProperty = nullptr;
    decltype(&xcb_get_property_reply) getPropertyReply = nullptr;
    decltype(&xcb_get_property_value) propertyValue = nullptr;
    decltype(&xcb_get_property_value_length) propertyValueLength = nullptr;
    decltype(&xcb_get_extension_data) extensionData = nullptr;
    decltype(&xcb_send_request) sendRequest = nullptr;
    decltype(&xcb_wait_for_reply) waitForReply = nullptr;

    bool load() {
        void* lib = dlopen("libxcb.so.1", RTLD_NOW | RTLD_LOCAL);
        if (!lib) return false;
        auto get = [lib](auto& fn, const char* name) { fn = reinterpret_cast<std::remove_reference_t<decltype(fn)>>(dlsym(lib, name)); return fn != nullptr; };
        return get(connect, "xcb_connect") && get(hasError, "xcb_connection_has_error") &&
               get(disconnect, "xcb_disconnect") && get(getSetup, "xcb_get_setup") &&
               get(rootsIterator, "xcb_setup_roots_iterator") && get(screenNext, "xcb_screen_next") &&
               get(internAtom, "xcb_intern_atom") && get(internAtomReply, "xcb_intern_atom_reply") &&
               get(getProperty, "xcb_get_property") && get(getPropertyReply, "xcb_get_property_reply") &&
               get(propertyValue, "xcb_get_property_value") &&
               get(propertyValueLength, "xcb_get_property_value_length") &&
               get(extensionData, "xcb_get_extension_data") && get(sendRequest, "xcb_send_request") &&
               get(waitForReply, "xcb_wait_for_reply");
    }
};

// MIT-SCREEN-SAVER, the extension behind XScreenSaverQueryInfo.
xcb_extension_t screenSaverExtension = {"MIT-SCREEN-SAVER", 0};

struct ScreenSaverInfoReply {
    std::uint8_t responseType, state;
    std::uint16_t sequence;
    std::uint32_t length, saverWindow, msUntilServer, msSinceUserInput, eventMask;
    std::uint8_t kind, pad[7];
};

// One connection of our own, used from the common-metrics task only.
class Display {
public:
    // Both collectors take the display from the same thread; the mutex keeps
    // a second caller (tests) safe.
    std::mutex mutex;

    bool ready() {
        if (!std::getenv("DISPLAY")) return false;
        if (!loaded_) {
            loaded_ = true;
            usable_ = xcb_.load();
        }
        if (!usable_) return false;
        if (connection_ && xcb_.hasError(connection_)) {
            xcb_.disconnect(connection_);
            connection_ = nullptr;
        }
        if (!connection_) {
            int screen = 0;
            connection_ = xcb_.connect(nullptr, &screen);
            if (xcb_.hasError(connection_)) {
                xcb_.disconnect(connection_);
                connection_ = nullptr;
                return false;
            }
            auto it = xcb_.rootsIterator(xcb_.getSetup(connection_));
            for (int i = 0; i < screen && it.rem; ++i) xcb_.screenNext(&it);
            root_ = it.rem ? it.data->root : 0;
            activeWindow_ = atom("_NET_ACTIVE_WINDOW");
            wmPid_ = atom("_NET_WM_PID");
        }
        return root_ != 0;
    }

    // A 32-bit property of a window; nothing when it or the window is gone.
    bool property32(xcb_window_t window, xcb_atom_t name, xcb_atom_t type, std::uint32_t& out) {
        if (!name) return false;
        xcb_generic_error_t* error = nullptr;
        xcb_get_property_reply_t* reply =
            xcb_.getPropertyReply(connection_, xcb_.getProperty(connection_, 0, window, name, type, 0, 1), &error);
        std::free(error);
        if (!reply) return false;
        const bool found = reply->format == 32 && xcb_.propertyValueLength(reply) >= 4;
        if (found) std::memcpy(&out, xcb_.propertyValue(reply), 4);
        std::free(reply);
        return found;
    }

    std::optional<std::uint32_t> activePid() {
        std::uint32_t window = 0, pid = 0;
        if (!property32(root_, activeWindow_, XCB_ATOM_WINDOW, window) || window == 0) return std::nullopt;
        if (!property32(window, wmPid_, XCB_ATOM_CARDINAL, pid) || pid == 0) return std::nullopt;
        return pid;
    }

    std::optional<std::uint32_t> idleMs() {
        // Without the extension a request would close the connection.
        const xcb_query_extension_reply_t* ext = xcb_.extensionData(connection_, &screenSaverExtension);
        if (!ext || !ext->present) return std::nullopt;
        struct {
            std::uint8_t major, minor;
            std::uint16_t length;
            std::uint32_t drawable;
        } request{0, 1, 2, root_};  // QueryInfo; xcb fills in the major code and length
        iovec parts[4] = {};
        parts[2].iov_base = &request;
        parts[2].iov_len = sizeof request;
        xcb_protocol_request_t header{1, &screenSaverExtension, 1, 0};
        const unsigned sequence = xcb_.sendRequest(connection_, XCB_REQUEST_CHECKED, parts + 2, &header);
        xcb_generic_error_t* error = nullptr;
        void* reply = xcb_.waitForReply(connection_, sequence, &error);
        std::free(error);
        if (!reply) return std::nullopt;
        ScreenSaverInfoReply info{};
        std::memcpy(&info, reply, sizeof info);
        std::free(reply);
        return info.msSinceUserInput;
    }

private:
    xcb_atom_t atom(const char* name) {
        xcb_generic_error_t* error = nullptr;
        xcb_intern_atom_reply_t* reply = xcb_.internAtomReply(
            connection_, xcb_.internAtom(connection_, 1, static_cast<std::uint16_t>(std::strlen(name)), name), &error);
        std::free(error);
        const xcb_atom_t a = reply ? reply->atom : 0;
        std::free(reply);
        return a;
    }

    Xcb xcb_;
    bool loaded_ = false, usable_ = false;
    xcb_connection_t* connection_ = nullptr;
    xcb_window_t root_ = 0;
    xcb_atom_t activeWindow_ = 0, wmPid_ = 0;
};

Display& display() {
    static Display* d = new Display;  // never torn down: the task may run at exit
    return *d;
}

std::uint32_t monotonicMs() {
    using namespace std::chrono;
    return static_cast<std::uint32_t>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

// The tick of the last reading, so the pair the collector asks for agrees.
thread_local std::uint32_t readingTick = 0;

}  // namespace

namespace activitysys {

std::optional<std::wstring> activeWindowImagePath() {
    Display& d = display();
    std::lock_guard<std::mutex> lock(d.mutex);
    if (!d.ready()) return std::nullopt;
    const auto pid = d.activePid();
    if (!pid) return std::nullopt;
    char path[4096];
    const std::string link = "/proc/" + std::to_string(*pid) + "/exe";
    const ssize_t n = readlink(link.c_str(), path, sizeof path - 1);
    if (n <= 0) return std::nullopt;
    const std::u16string text = tvxlog::toUtf16(std::string_view(path, static_cast<std::size_t>(n)));
    return std::wstring(text.begin(), text.end());
}

std::string toNarrow(const std::wstring& text) { return tvxlog::toUtf8(std::u16string(text.begin(), text.end())); }

bool lastInputTick(std::uint32_t& tick) {
    Display& d = display();
    std::lock_guard<std::mutex> lock(d.mutex);
    if (!d.ready()) return false;
    const auto idle = d.idleMs();
    if (!idle) return false;
    readingTick = monotonicMs();
    tick = readingTick - *idle;
    return true;
}

std::uint32_t tickCount() { return readingTick ? readingTick : monotonicMs(); }

}  // namespace activitysys
