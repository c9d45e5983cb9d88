// Top-level windows through X11 ($DISPLAY) and the window manager's EWMH hints:
// found by their titles, raised, restored and minimised as a pager would.
#include "platform/Window.h"

#include <xcb/xcb.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/Text.h"
#include "platform/posix/CompoundText.h"
#include "platform/posix/Utf8.h"
#include "platform/posix/XConnection.h"

namespace quvo::platform {

namespace {

// XCB's replies, freed with free().
struct FreeReply {
    void operator()(void* reply) const { std::free(reply); }
};
template <typename T>
using Reply = std::unique_ptr<T, FreeReply>;

constexpr uint32_t kIconicState = 3;  // WM_STATE's state of a minimised window (ICCCM)

}  // namespace

struct WindowSystem::State {
    XConnection x;
    xcb_connection_t* connection = nullptr;
    xcb_window_t root = 0;
    xcb_atom_t clientList = 0;
    xcb_atom_t clientListStacking = 0;
    xcb_atom_t netWmName = 0;
    xcb_atom_t utf8String = 0;
    xcb_atom_t compoundText = 0;
    xcb_atom_t wmState = 0;
    xcb_atom_t wmChangeState = 0;
    xcb_atom_t activeWindow = 0;

    bool Usable() const { return connection && !xcb_connection_has_error(connection) && root; }

    // The property's value when it has the given type (any type for XCB_ATOM_ANY,
    // which is then replaced by the property's) and format; false when the window
    // has no such property.
    bool Property(xcb_window_t window, xcb_atom_t property, xcb_atom_t& type, uint8_t format,
                  std::string& value) {
        if (!Usable()) return false;
        const Reply<xcb_get_property_reply_t> reply(xcb_get_property_reply(
            connection, xcb_get_property(connection, 0, window, property, type, 0, 1 << 16), nullptr));
        if (!reply || reply->format != format || (type != XCB_ATOM_ANY && reply->type != type)) return false;
        type = reply->type;
        const auto* data = static_cast<const char*>(xcb_get_property_value(reply.get()));
        value.assign(data, static_cast<size_t>(xcb_get_property_value_length(reply.get())));
        return true;
    }

    // The property as an array of 32-bit items.
    std::vector<uint32_t> LongProperty(xcb_window_t window, xcb_atom_t property, xcb_atom_t type) {
        std::string bytes;
        std::vector<uint32_t> values;
        if (Property(window, property, type, 32, bytes) && bytes.size() >= sizeof(uint32_t)) {
            values.resize(bytes.size() / sizeof(uint32_t));
            std::memcpy(values.data(), bytes.data(), values.size() * sizeof(uint32_t));
        }
        return values;
    }

    bool HasWmState(xcb_window_t window) { return !LongProperty(window, wmState, wmState).empty(); }

    // The window's title: _NET_WM_NAME in UTF-8, else WM_NAME in whatever
    // encoding it was stored. False when the window has neither.
    bool Title(xcb_window_t window, std::wstring& title) {
        std::string bytes;
        xcb_atom_t type = utf8String;
        if (Property(window, netWmName, type, 8, bytes)) {
            title = Utf8ToWide(bytes);
            return true;
        }
        type = XCB_ATOM_ANY;
        if (!Property(window, XCB_ATOM_WM_NAME, type, 8, bytes)) return false;
        std::string utf8;
        if (type == XCB_ATOM_STRING) {
            title.clear();
            for (const char c : bytes)
                title += static_cast<wchar_t>(static_cast<unsigned char>(c));  // Latin-1
        } else if (type == utf8String) {
            title = Utf8ToWide(bytes);
        } else if (type == compoundText && CompoundTextToUtf8(bytes, utf8)) {
            title = Utf8ToWide(utf8);
        } else {
            return false;
        }
        return true;
    }

    std::vector<xcb_window_t> Children(xcb_window_t window) {
        std::vector<xcb_window_t> children;
        if (!Usable()) return children;
        const Reply<xcb_query_tree_reply_t> reply(
            xcb_query_tree_reply(connection, xcb_query_tree(connection, window), nullptr));
        if (reply) {
            const xcb_window_t* first = xcb_query_tree_children(reply.get());
            children.assign(first, first + xcb_query_tree_children_length(reply.get()));
        }
        return children;
    }

    // The client window inside a top-level frame: the first descendant that carries
    // WM_STATE, searched breadth first.
    xcb_window_t ClientIn(xcb_window_t frame) {
        std::vector<xcb_window_t> level{frame};
        for (int depth = 0; depth < 4 && !level.empty(); ++depth) {
            std::vector<xcb_window_t> next;
            for (xcb_window_t window : level) {
                if (HasWmState(window)) return window;
                const std::vector<xcb_window_t> children = Children(window);
                next.insert(next.end(), children.begin(), children.end());
            }
            level = std::move(next);
        }
        return 0;
    }

    // Top-level client windows, topmost first when the window manager says so.
    std::vector<xcb_window_t> TopLevelWindows() {
        std::vector<uint32_t> list = LongProperty(root, clientListStacking, XCB_ATOM_WINDOW);
        if (!list.empty()) return {list.rbegin(), list.rend()};  // listed bottom to top
        list = LongProperty(root, clientList, XCB_ATOM_WINDOW);
        if (!list.empty()) return {list.begin(), list.end()};

        // No EWMH window manager: walk the root's children, topmost first; without
        // any window manager a child that holds no client is itself the window.
        std::vector<xcb_window_t> windows;
        const std::vector<xcb_window_t> children = Children(root);
        for (auto child = children.rbegin(); child != children.rend(); ++child) {
            const xcb_window_t client = ClientIn(*child);
            windows.push_back(client ? client : *child);
        }
        return windows;
    }

    // A client message about window to the window manager, through the root.
    void SendToWindowManager(xcb_window_t window, xcb_atom_t type, uint32_t first, uint32_t second = 0) {
        xcb_client_message_event_t event{};
        event.response_type = XCB_CLIENT_MESSAGE;
        event.format = 32;
        event.window = window;
        event.type = type;
        event.data.data32[0] = first;
        event.data.data32[1] = second;
        xcb_send_event(connection, 0, root,
                       XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                       reinterpret_cast<const char*>(&event));
    }

    void Activate(xcb_window_t window) {
        if (!Usable()) return;
        // Source indication 2: a pager, acting for the user; no time stamp.
        SendToWindowManager(window, activeWindow, 2, XCB_CURRENT_TIME);
        // Without an EWMH window manager the message has no effect; raising and
        // mapping restores an iconic window (ICCCM) and raises a normal one.
        const uint32_t above = XCB_STACK_MODE_ABOVE;
        xcb_configure_window(connection, window, XCB_CONFIG_WINDOW_STACK_MODE, &above);
        xcb_map_window(connection, window);
        Sync();
    }

    void Minimise(xcb_window_t window) {
        if (!Usable()) return;
        SendToWindowManager(window, wmChangeState, kIconicState);  // ICCCM's request to iconify
        Sync();
    }

    // One round trip: the requests before it have reached the server.
    void Sync() {
        if (Usable())
            std::free(xcb_get_input_focus_reply(connection, xcb_get_input_focus(connection), nullptr));
    }
};

WindowSystem::WindowSystem() : m_state(std::make_unique<State>()) {
    State& s = *m_state;
    s.connection = s.x.Get();
    if (!s.connection || xcb_connection_has_error(s.connection) || !s.x.Root()) return;
    const char* names[] = {
        "_NET_CLIENT_LIST", "_NET_CLIENT_LIST_STACKING", "_NET_WM_NAME",      "UTF8_STRING", "COMPOUND_TEXT",
        "WM_STATE",         "WM_CHANGE_STATE",           "_NET_ACTIVE_WINDOW"};
    xcb_atom_t* atoms[] = {&s.clientList,    &s.clientListStacking, &s.netWmName,
                           &s.utf8String,    &s.compoundText,       &s.wmState,
                           &s.wmChangeState, &s.activeWindow};
    xcb_intern_atom_cookie_t cookies[std::size(names)];
    for (size_t i = 0; i < std::size(names); ++i)
        cookies[i] = xcb_intern_atom(s.connection, 0, static_cast<uint16_t>(std::strlen(names[i])), names[i]);
    bool interned = true;
    for (size_t i = 0; i < std::size(names); ++i) {
        const Reply<xcb_intern_atom_reply_t> reply(xcb_intern_atom_reply(s.connection, cookies[i], nullptr));
        if (reply) *atoms[i] = reply->atom;
        interned = interned && reply;
    }
    if (interned) s.root = s.x.Root();  // usable from now on
}

WindowSystem::~WindowSystem() = default;

WindowId WindowSystem::Find(const std::string& title) {
    State& s = *m_state;
    if (!s.Usable()) return 0;
    const std::wstring wanted = ToWide(title);
    for (xcb_window_t window : s.TopLevelWindows()) {
        std::wstring name;
        if (s.Title(window, name) && EqualsIgnoringCase(name, wanted)) return window;
    }
    return 0;
}

bool WindowSystem::IsMinimised(WindowId window) {
    State& s = *m_state;
    if (!window || !s.Usable()) return false;
    const std::vector<uint32_t> state =
        s.LongProperty(static_cast<xcb_window_t>(window), s.wmState, s.wmState);
    return !state.empty() && state[0] == kIconicState;
}

void WindowSystem::Restore(WindowId window) {
    State& s = *m_state;
    if (!window || !s.Usable()) return;
    s.Activate(static_cast<xcb_window_t>(window));
}

void WindowSystem::BringToFront(WindowId window) {
    State& s = *m_state;
    if (!window || !s.Usable()) return;
    s.Activate(static_cast<xcb_window_t>(window));
}

void WindowSystem::Minimise(WindowId window) {
    State& s = *m_state;
    if (!window || !s.Usable()) return;
    s.Minimise(static_cast<xcb_window_t>(window));
}

}  // namespace quvo::platform
