#include "Window.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <vector>

namespace quvo::server {
namespace {

// A window that vanishes or a request that the server refuses must not end the process.
int IgnoreXError(Display*, XErrorEvent*) {
    return 0;
}

// The X server went away: the window is lost, the softphone goes on without it.
int IgnoreXIOError(Display*) {
    return 0;
}

// Connections to an X server that went away: Xlib can neither use nor free them,
// so they are kept here for the rest of the run instead of being lost.
void KeepBrokenConnection(Display* display, GC gc) {
    static auto* kept = new std::vector<void*>;
    static std::mutex mutex;
    std::lock_guard<std::mutex> lock(mutex);
    kept->push_back(display);
    kept->push_back(gc);
}

constexpr long kNormalState = 1;
constexpr long kIconicState = 3;

// The window's class from the program's name: quvo-softphone-sim -> QuvoSoftphoneSim.
std::string ClassName(const std::string& program) {
    std::string out;
    bool upper = true;
    for (const char c : program) {
        if (c == '-') {
            upper = true;
            continue;
        }
        out += upper ? static_cast<char>(std::toupper(static_cast<unsigned char>(c))) : c;
        upper = false;
    }
    return out;
}

}  // namespace

struct PhoneWindow::State {
    Display* display = nullptr;
    Window window = 0;
    GC gc = nullptr;
    Atom wmProtocols = 0, wmDelete = 0, wmState = 0, wmChangeState = 0, netActive = 0;
    bool emulateWm = false;  // no window manager: answer iconify and activate requests ourselves
    int wakeFd = -1;
    std::atomic<bool> stop{false};
    std::atomic<bool> broken{false};  // the display connection failed
    std::mutex mutex;
    std::string status;
    std::string title;
    std::function<void()> onClose;
    std::thread thread;

    void SetWmState(long state) {
        long data[2] = {state, 0};
        XChangeProperty(display, window, wmState, wmState, 32, PropModeReplace,
                        reinterpret_cast<unsigned char*>(data), 2);
    }

    void Draw() {
        std::string text;
        {
            std::lock_guard<std::mutex> lock(mutex);
            text = status;
        }
        XClearWindow(display, window);
        XDrawString(display, window, gc, 12, 30, title.c_str(), static_cast<int>(title.size()));
        XDrawString(display, window, gc, 12, 60, text.c_str(), static_cast<int>(text.size()));
    }

    void Handle(XEvent& ev) {
        switch (ev.type) {
            case Expose:
                if (ev.xexpose.count == 0) Draw();
                break;
            case ClientMessage:
                if (ev.xclient.window == window && ev.xclient.message_type == wmProtocols &&
                    static_cast<Atom>(ev.xclient.data.l[0]) == wmDelete) {
                    if (onClose) onClose();
                } else if (emulateWm && ev.xclient.window == window) {
                    if (ev.xclient.message_type == wmChangeState && ev.xclient.data.l[0] == kIconicState) {
                        XUnmapWindow(display, window);
                        SetWmState(kIconicState);
                    } else if (ev.xclient.message_type == netActive) {
                        XMapRaised(display, window);
                        SetWmState(kNormalState);
                    }
                }
                break;
            default: break;
        }
    }

    void Run() {
        const int xfd = ConnectionNumber(display);
        while (!stop.load() && !broken.load()) {
            while (!broken.load() && XPending(display) > 0) {
                XEvent ev;
                XNextEvent(display, &ev);
                if (!broken.load()) Handle(ev);
            }
            if (broken.load()) break;
            XFlush(display);
            pollfd fds[2] = {{xfd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
            if (::poll(fds, 2, -1) < 0) continue;
            // The server hung up: stop here rather than let Xlib run into its I/O error path.
            if (fds[0].revents & (POLLHUP | POLLERR)) broken.store(true);
            if (broken.load()) break;
            if (fds[1].revents & POLLIN) {
                uint64_t count;
                [[maybe_unused]] ssize_t n = ::read(wakeFd, &count, sizeof count);
                if (!stop.load()) Draw();
            }
        }
        // A broken connection is left alone: Xlib can do nothing more with it.
        if (broken.load()) {
            KeepBrokenConnection(display, gc);
            while (!stop.load()) {
                pollfd wake = {wakeFd, POLLIN, 0};
                ::poll(&wake, 1, -1);
                uint64_t count;
                [[maybe_unused]] ssize_t n = ::read(wakeFd, &count, sizeof count);
            }
            return;
        }
        XDestroyWindow(display, window);
        XFreeGC(display, gc);
        XCloseDisplay(display);
        display = nullptr;
    }
};

PhoneWindow::PhoneWindow() = default;

PhoneWindow::~PhoneWindow() {
    Stop();
}

bool PhoneWindow::Start(const std::string& program, const std::string& title, const std::string& status,
                        std::function<void()> onClose) {
    const char* name = std::getenv("DISPLAY");
    if (!name || !*name) return false;
    XInitThreads();
    XSetErrorHandler(IgnoreXError);
    XSetIOErrorHandler(IgnoreXIOError);
    Display* display = XOpenDisplay(nullptr);
    if (!display) return false;

    auto s = std::make_unique<State>();
    s->display = display;
    XSetIOErrorExitHandler(
        display, [](Display*, void* self) { static_cast<State*>(self)->broken.store(true); }, s.get());
    s->title = title;
    s->status = status;
    s->onClose = std::move(onClose);
    s->wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (s->wakeFd < 0) {
        XCloseDisplay(display);
        return false;
    }

    const int screen = DefaultScreen(display);
    const Window root = RootWindow(display, screen);
    s->window = XCreateSimpleWindow(display, root, 0, 0, 320, 120, 1, BlackPixel(display, screen),
                                    WhitePixel(display, screen));
    s->gc = XCreateGC(display, s->window, 0, nullptr);
    XSetForeground(display, s->gc, BlackPixel(display, screen));

    // WM_NAME as STRING (Latin-1) when the title fits, else COMPOUND_TEXT; _NET_WM_NAME as UTF-8.
    XTextProperty wmName{};
    char* list[] = {const_cast<char*>(title.c_str())};
    if (Xutf8TextListToTextProperty(display, list, 1, XStdICCTextStyle, &wmName) >= Success) {
        XSetWMName(display, s->window, &wmName);
        XFree(wmName.value);
    } else {
        XStoreName(display, s->window, title.c_str());
    }
    const Atom utf8 = XInternAtom(display, "UTF8_STRING", False);
    XChangeProperty(display, s->window, XInternAtom(display, "_NET_WM_NAME", False), utf8, 8, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(title.data()), static_cast<int>(title.size()));
    XClassHint hint;
    std::string resName = program;
    std::string resClass = ClassName(program);
    hint.res_name = resName.data();
    hint.res_class = resClass.data();
    XSetClassHint(display, s->window, &hint);
    const long pid = ::getpid();
    XChangeProperty(display, s->window, XInternAtom(display, "_NET_WM_PID", False), XA_CARDINAL, 32,
                    PropModeReplace, reinterpret_cast<const unsigned char*>(&pid), 1);

    s->wmProtocols = XInternAtom(display, "WM_PROTOCOLS", False);
    s->wmDelete = XInternAtom(display, "WM_DELETE_WINDOW", False);
    s->wmState = XInternAtom(display, "WM_STATE", False);
    s->wmChangeState = XInternAtom(display, "WM_CHANGE_STATE", False);
    s->netActive = XInternAtom(display, "_NET_ACTIVE_WINDOW", False);
    XSetWMProtocols(display, s->window, &s->wmDelete, 1);

    // Without a window manager nobody answers iconify and activate requests, which are sent
    // to the root window; listen there and keep WM_STATE ourselves.
    Atom type = None;
    int format = 0;
    unsigned long items = 0, after = 0;
    unsigned char* data = nullptr;
    XGetWindowProperty(display, root, XInternAtom(display, "_NET_SUPPORTING_WM_CHECK", False), 0, 1, False,
                       XA_WINDOW, &type, &format, &items, &after, &data);
    s->emulateWm = items == 0;
    if (data) XFree(data);
    if (s->emulateWm) XSelectInput(display, root, SubstructureNotifyMask);

    XSelectInput(display, s->window, ExposureMask | StructureNotifyMask);
    XMapWindow(display, s->window);
    if (s->emulateWm) s->SetWmState(kNormalState);
    XFlush(display);

    state_ = std::move(s);
    State* raw = state_.get();
    raw->thread = std::thread([raw] { raw->Run(); });
    return true;
}

void PhoneWindow::SetStatus(const std::string& status) {
    if (!state_) return;
    {
        std::lock_guard<std::mutex> lock(state_->mutex);
        state_->status = status;
    }
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(state_->wakeFd, &one, sizeof one);
}

void PhoneWindow::Stop() {
    if (!state_) return;
    state_->stop.store(true);
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(state_->wakeFd, &one, sizeof one);
    if (state_->thread.joinable()) state_->thread.join();
    ::close(state_->wakeFd);
    state_.reset();
}

}  // namespace quvo::server
