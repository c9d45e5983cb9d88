// Top-level windows through X11 ($DISPLAY) and the window manager's EWMH hints.
#include "platform/Window.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <cstring>
#include <vector>

#include "platform/Text.h"
#include "platform/posix/Utf8.h"

namespace quvo::platform {

namespace {

// Errors about windows that went away between finding and acting are expected;
// they are swallowed instead of ending the process.
int IgnoreXError(Display*, XErrorEvent*) {
    return 0;
}

// A lost connection is not fatal either: the display is marked dead and every
// later request on it fails.
int IgnoreXIOError(Display*) {
    return 0;
}
void KeepRunningAfterIOError(Display*, void* dead) {
    *static_cast<bool*>(dead) = true;
}

}  // namespace

struct WindowSystem::State {
    Display* display = nullptr;
    XErrorHandler previousHandler = nullptr;
    XIOErrorHandler previousIOHandler = nullptr;
    bool dead = false;
    Window root = 0;
    Atom clientList = 0;
    Atom clientListStacking = 0;
    Atom netWmName = 0;
    Atom utf8String = 0;
    Atom wmState = 0;
    Atom activeWindow = 0;

    bool Usable() const { return display && !dead; }

    // The property's items when it has the given type and format (items of format
    // 32 come as longs from Xlib); false when the window has no such property.
    bool Property(Window window, Atom property, Atom type, int format, std::vector<unsigned char>& bytes,
                  unsigned long& count) {
        if (!Usable()) return false;
        Atom actualType = 0;
        int actualFormat = 0;
        unsigned long after = 0;
        unsigned char* data = nullptr;
        count = 0;
        bool found = false;
        if (XGetWindowProperty(display, window, property, 0, 1 << 16, False, type, &actualType, &actualFormat,
                               &count, &after, &data) == Success &&
            data && actualType == type && actualFormat == format) {
            const size_t itemSize = format == 32 ? sizeof(long) : static_cast<size_t>(format / 8);
            bytes.assign(data, data + count * itemSize);
            found = true;
        }
        if (data) XFree(data);
        return found;
    }

    // The property as an array of 32-bit items.
    std::vector<unsigned long> LongProperty(Window window, Atom property, Atom type) {
        std::vector<unsigned char> bytes;
        unsigned long count = 0;
        std::vector<unsigned long> values;
        if (Property(window, property, type, 32, bytes, count) && count > 0) {
            values.resize(count);
            std::memcpy(values.data(), bytes.data(), count * sizeof(unsigned long));
        }
        return values;
    }

    bool HasWmState(Window window) { return !LongProperty(window, wmState, wmState).empty(); }

    // The window's title: _NET_WM_NAME in UTF-8, else WM_NAME in whatever
    // encoding it was stored. False when the window has neither.
    bool Title(Window window, std::wstring& title) {
        std::vector<unsigned char> bytes;
        unsigned long count = 0;
        if (Property(window, netWmName, utf8String, 8, bytes, count)) {
            title = Utf8ToWide(std::string(bytes.begin(), bytes.end()));
            return true;
        }
        bool found = false;

        XTextProperty name{};
        if (!Usable() || !XGetWMName(display, window, &name) || !name.value) return false;
        if (name.encoding == XA_STRING && name.format == 8) {
            title.assign(name.value, name.value + name.nitems);  // Latin-1
            found = true;
        } else if (name.encoding == utf8String && name.format == 8) {
            title = Utf8ToWide(std::string(reinterpret_cast<const char*>(name.value), name.nitems));
            found = true;
        } else {
            char** list = nullptr;
            int pieces = 0;
            if (Xutf8TextPropertyToTextList(display, &name, &list, &pieces) >= Success && list) {
                std::string joined;
                for (int i = 0; i < pieces; ++i) joined += list[i];
                title = Utf8ToWide(joined);
                found = true;
                XFreeStringList(list);
            }
        }
        XFree(name.value);
        return found;
    }

    // The client window inside a top-level frame: the first descendant that carries
    // WM_STATE, searched breadth first.
    Window ClientIn(Window frame) {
        std::vector<Window> level{frame};
        for (int depth = 0; depth < 4 && !level.empty(); ++depth) {
            std::vector<Window> next;
            for (Window window : level) {
                if (HasWmState(window)) return window;
                Window rootReturn = 0;
                Window parent = 0;
                Window* children = nullptr;
                unsigned int count = 0;
                if (Usable() && XQueryTree(display, window, &rootReturn, &parent, &children, &count) &&
                    children) {
                    next.insert(next.end(), children, children + count);
                }
                if (children) XFree(children);
            }
            level = std::move(next);
        }
        return 0;
    }

    // Top-level client windows, topmost first when the window manager says so.
    std::vector<Window> TopLevelWindows() {
        std::vector<unsigned long> list = LongProperty(root, clientListStacking, XA_WINDOW);
        if (!list.empty()) return {list.rbegin(), list.rend()};  // listed bottom to top
        list = LongProperty(root, clientList, XA_WINDOW);
        if (!list.empty()) return {list.begin(), list.end()};

        // No EWMH window manager: walk the root's children, topmost first; without
        // any window manager a child that holds no client is itself the window.
        std::vector<Window> windows;
        Window rootReturn = 0;
        Window parent = 0;
        Window* children = nullptr;
        unsigned int count = 0;
        if (Usable() && XQueryTree(display, root, &rootReturn, &parent, &children, &count) && children) {
            for (unsigned int i = count; i-- > 0;) {
                const Window client = ClientIn(children[i]);
                windows.push_back(client ? client : children[i]);
            }
        }
        if (children) XFree(children);
        return windows;
    }

    void Activate(Window window) {
        if (!Usable()) return;
        XEvent event{};
        event.xclient.type = ClientMessage;
        event.xclient.serial = 0;
        event.xclient.send_event = True;
        event.xclient.display = display;
        event.xclient.window = window;
        event.xclient.message_type = activeWindow;
        event.xclient.format = 32;
        event.xclient.data.l[0] = 2;  // source indication: a pager, acting for the user
        event.xclient.data.l[1] = CurrentTime;
        event.xclient.data.l[2] = 0;
        XSendEvent(display, root, False, SubstructureRedirectMask | SubstructureNotifyMask, &event);
        // Without an EWMH window manager the message has no effect; mapping and
        // raising restores an iconic window (ICCCM) and raises a normal one.
        if (Usable()) XMapRaised(display, window);
        Sync();
    }

    void Sync() {
        if (Usable()) XSync(display, False);
    }
};

WindowSystem::WindowSystem() : m_state(std::make_unique<State>()) {
    State& s = *m_state;
    s.display = XOpenDisplay(nullptr);
    if (!s.display) return;
    s.previousHandler = XSetErrorHandler(IgnoreXError);
    s.previousIOHandler = XSetIOErrorHandler(IgnoreXIOError);
    XSetIOErrorExitHandler(s.display, KeepRunningAfterIOError, &s.dead);
    s.root = DefaultRootWindow(s.display);
    const char* names[] = {"_NET_CLIENT_LIST", "_NET_CLIENT_LIST_STACKING", "_NET_WM_NAME", "UTF8_STRING",
                           "WM_STATE",         "_NET_ACTIVE_WINDOW"};
    Atom atoms[6] = {};
    XInternAtoms(s.display, const_cast<char**>(names), 6, False, atoms);
    s.clientList = atoms[0];
    s.clientListStacking = atoms[1];
    s.netWmName = atoms[2];
    s.utf8String = atoms[3];
    s.wmState = atoms[4];
    s.activeWindow = atoms[5];
}

WindowSystem::~WindowSystem() {
    State& s = *m_state;
    if (!s.display) return;
    s.Sync();
    XCloseDisplay(s.display);
    XSetErrorHandler(s.previousHandler);
    XSetIOErrorHandler(s.previousIOHandler);
}

WindowId WindowSystem::Find(const std::string& title) {
    State& s = *m_state;
    if (!s.Usable()) return 0;
    const std::wstring wanted = ToWide(title);
    for (Window window : s.TopLevelWindows()) {
        std::wstring name;
        if (s.Title(window, name) && EqualsIgnoringCase(name, wanted)) return window;
    }
    return 0;
}

bool WindowSystem::IsMinimised(WindowId window) {
    State& s = *m_state;
    if (!window || !s.Usable()) return false;
    const std::vector<unsigned long> state = s.LongProperty(window, s.wmState, s.wmState);
    return !state.empty() && state[0] == IconicState;
}

void WindowSystem::Restore(WindowId window) {
    State& s = *m_state;
    if (!window || !s.Usable()) return;
    s.Activate(window);
}

void WindowSystem::BringToFront(WindowId window) {
    State& s = *m_state;
    if (!window || !s.Usable()) return;
    s.Activate(window);
}

void WindowSystem::Minimise(WindowId window) {
    State& s = *m_state;
    if (!window || !s.Usable()) return;
    XIconifyWindow(s.display, window, DefaultScreen(s.display));
    s.Sync();
}

}  // namespace quvo::platform
