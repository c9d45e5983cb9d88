// Top-level windows through X11 ($DISPLAY) and the window manager's EWMH hints.
//
// The console connects to the X server itself and hands the connected socket to
// XCB, so that one watchdog bounds every step of the session: the connection, the
// connection set-up (which Xlib's XOpenDisplay would wait for without end, for
// example behind an X11 forwarder whose far side stalls) and every round trip.
#include "platform/Window.h"

#include <X11/Xauth.h>
#include <fcntl.h>
#include <iconv.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iterator>
#include <mutex>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "platform/Text.h"
#include "platform/posix/Utf8.h"

namespace quvo::platform {

namespace {

// Everything one command does with the X server, from connecting to the last
// round trip, ends within this time. A server that is stopped, grabbed by another
// client, or is no X server at all then counts as a server without the window.
constexpr auto kSessionTime = std::chrono::seconds(3);

using Clock = std::chrono::steady_clock;

int RemainingMs(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

bool WaitFor(int fd, short events, Clock::time_point deadline) {
    for (;;) {
        pollfd entry{fd, events, 0};
        const int ready = ::poll(&entry, 1, RemainingMs(deadline));
        if (ready > 0) return true;
        if (ready == 0 || errno != EINTR) return false;
    }
}

// A socket of the given family connected to address before deadline, or -1.
int ConnectBefore(int family, const sockaddr* address, socklen_t length, Clock::time_point deadline) {
    const int fd = ::socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    if (::connect(fd, address, length) == 0) return fd;
    int error = errno;
    if (error == EINPROGRESS || error == EAGAIN) {
        socklen_t size = sizeof error;
        if (!WaitFor(fd, POLLOUT, deadline) || ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0)
            error = ETIMEDOUT;
        if (error == 0) return fd;
    }
    ::close(fd);
    return -1;
}

int ConnectUnix(const std::string& path, bool abstract, Clock::time_point deadline) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const size_t offset = abstract ? 1 : 0;
    if (path.size() + offset >= sizeof address.sun_path) return -1;
    std::memcpy(address.sun_path + offset, path.data(), path.size());
    const auto length =
        static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + offset + path.size() + (abstract ? 0 : 1));
    return ConnectBefore(AF_UNIX, reinterpret_cast<const sockaddr*>(&address), length, deadline);
}

// The digits of text as a number of at most limit (leading zeros allowed), or -1.
long Number(std::string_view text, long limit) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string_view::npos) return -1;
    long value = 0;
    for (const char digit : text) {
        value = value * 10 + (digit - '0');
        if (value > limit) return -1;
    }
    return value;
}

// A connected X server: its socket (-1 when there is none), display number and
// the screen that the display name asks for.
struct Server {
    int fd = -1;
    long number = 0;
    long screen = 0;
};

// The X server that name designates, connected before deadline: $DISPLAY's form
// [protocol/][host]:number[.screen], or the path of a socket with an optional
// .screen. A name of any other form (DECnet's host::number, an unknown protocol,
// a number that gives no TCP port) designates no server the console can judge,
// and so none at all.
Server Connect(const std::string& name, Clock::time_point deadline) {
    Server server;
    if (!name.empty() && name.front() == '/') {
        server.fd = ConnectUnix(name, false, deadline);
        const size_t dot = name.rfind('.');
        if (server.fd < 0 && dot != std::string::npos && dot > name.rfind('/')) {
            server.screen = Number(std::string_view(name).substr(dot + 1), 255);
            if (server.screen >= 0) server.fd = ConnectUnix(name.substr(0, dot), false, deadline);
        }
        return server;
    }
    std::string_view rest = name;
    std::string_view protocol;
    const size_t slash = rest.find('/');
    if (slash != std::string_view::npos) {
        protocol = rest.substr(0, slash);
        rest.remove_prefix(slash + 1);
        if (protocol != "tcp" && protocol != "inet" && protocol != "inet6" && protocol != "unix" &&
            protocol != "local")
            return server;
    }
    const size_t colon = rest.rfind(':');
    if (colon == std::string_view::npos || (colon > 0 && rest[colon - 1] == ':')) return server;
    std::string host(rest.substr(0, colon));
    if (host.size() > 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    const std::string_view display = rest.substr(colon + 1);
    const size_t dot = display.find('.');
    server.number = Number(display.substr(0, dot), 65535 - 6000);
    server.screen = dot == std::string_view::npos ? 0 : Number(display.substr(dot + 1), 255);
    if (server.number < 0 || server.screen < 0) return server;

    if ((host.empty() && protocol.empty()) || (host == "unix" && protocol.empty()) || protocol == "unix" ||
        protocol == "local") {
        const std::string path = "/tmp/.X11-unix/X" + std::to_string(server.number);
        server.fd = ConnectUnix(path, true, deadline);
        if (server.fd < 0) server.fd = ConnectUnix(path, false, deadline);
        return server;
    }
    if (host.empty()) host = "localhost";
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_family = protocol == "inet" ? AF_INET : protocol == "inet6" ? AF_INET6 : AF_UNSPEC;
    addrinfo* found = nullptr;
    const std::string port = std::to_string(6000 + server.number);
    if (::getaddrinfo(host.c_str(), port.c_str(), &hints, &found) != 0) return server;
    for (addrinfo* entry = found; entry && server.fd < 0; entry = entry->ai_next)
        server.fd = ConnectBefore(entry->ai_family, entry->ai_addr, entry->ai_addrlen, deadline);
    ::freeaddrinfo(found);
    return server;
}

// The MIT-MAGIC-COOKIE-1 entry of the authority file ($XAUTHORITY, else
// ~/.Xauthority) for the server on fd, looked up as Xlib and XCB look it up: a
// server on a local socket or on the loopback address under this host's name,
// any other under its address.
class Authority {
  public:
    Authority(int fd, long number) {
        sockaddr_storage peer{};
        socklen_t length = sizeof peer;
        if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) != 0) peer.ss_family = AF_UNIX;
        unsigned short family = FamilyLocal;
        const char* address = nullptr;
        size_t addressLength = 0;
        if (peer.ss_family == AF_INET6) {
            const auto& in6 = reinterpret_cast<const sockaddr_in6&>(peer).sin6_addr;
            if (IN6_IS_ADDR_V4MAPPED(&in6)) {
                address = reinterpret_cast<const char*>(&in6) + 12;
                addressLength = 4;
                if (std::memcmp(address, "\x7f\0\0\x01", 4) != 0) family = XCB_FAMILY_INTERNET;
            } else if (!IN6_IS_ADDR_LOOPBACK(&in6)) {
                address = reinterpret_cast<const char*>(&in6);
                addressLength = sizeof in6;
                family = XCB_FAMILY_INTERNET_6;
            }
        } else if (peer.ss_family == AF_INET) {
            const auto& in = reinterpret_cast<const sockaddr_in&>(peer).sin_addr;
            if (in.s_addr != htonl(INADDR_LOOPBACK)) {
                address = reinterpret_cast<const char*>(&in);
                addressLength = sizeof in;
                family = XCB_FAMILY_INTERNET;
            }
        }
        char host[256] = {};
        if (family == FamilyLocal) {
            if (::gethostname(host, sizeof host - 1) != 0) return;
            address = host;
            addressLength = std::strlen(host);
        }
        const std::string display = std::to_string(number);
        char type[] = "MIT-MAGIC-COOKIE-1";
        char* types[] = {type};
        const int typeLengths[] = {static_cast<int>(sizeof type - 1)};
        m_entry = XauGetBestAuthByAddr(family, static_cast<unsigned short>(addressLength), address,
                                       static_cast<unsigned short>(display.size()), display.c_str(), 1, types,
                                       typeLengths);
        if (!m_entry) return;
        m_info.name = m_entry->name;
        m_info.namelen = m_entry->name_length;
        m_info.data = m_entry->data;
        m_info.datalen = m_entry->data_length;
    }
    ~Authority() {
        if (m_entry) XauDisposeAuth(m_entry);
    }
    Authority(const Authority&) = delete;
    Authority& operator=(const Authority&) = delete;

    // Null when the file holds no entry: the set-up is then made without one.
    xcb_auth_info_t* Info() { return m_entry ? &m_info : nullptr; }

  private:
    Xauth* m_entry = nullptr;
    xcb_auth_info_t m_info{};
};

// Ends the connection's every wait once the session's time is up: shutting the
// socket down makes XCB's blocked set-up or round trip fail (which marks the
// connection as failed, so that every later request fails at once) instead of
// waiting for ever. Works on a descriptor of its own, so the shut-down cannot
// reach a descriptor that XCB has closed and the system given to someone else.
class Watchdog {
  public:
    Watchdog(int connection, Clock::time_point deadline)
        : m_fd(::fcntl(connection, F_DUPFD_CLOEXEC, 0)), m_deadline(deadline) {
        if (m_fd < 0) return;
        try {
            m_thread = std::thread([this] { Run(); });
        } catch (...) {
            ::close(m_fd);
            m_fd = -1;
        }
    }
    ~Watchdog() {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_done = true;
        }
        m_wake.notify_all();
        if (m_thread.joinable()) m_thread.join();
        if (m_fd >= 0) ::close(m_fd);
    }
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;

    bool Armed() const { return m_thread.joinable(); }

  private:
    void Run() {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (!m_wake.wait_until(lock, m_deadline, [this] { return m_done; })) ::shutdown(m_fd, SHUT_RDWR);
    }

    int m_fd;
    Clock::time_point m_deadline;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_done = false;
    std::thread m_thread;
};

// Writing to a connection that the server or the watchdog has ended raises
// SIGPIPE, which would end the console. The signal is held for this thread while
// the session lasts, and one that the session raised is taken before it is let
// through again.
class HeldBrokenPipe {
  public:
    HeldBrokenPipe() {
        sigemptyset(&m_pipe);
        sigaddset(&m_pipe, SIGPIPE);
        m_pendingBefore = Pending();
        m_held = ::pthread_sigmask(SIG_BLOCK, &m_pipe, &m_previous) == 0;
    }
    ~HeldBrokenPipe() {
        if (!m_held) return;
        if (!m_pendingBefore && Pending()) {
            const timespec immediately{};
            while (::sigtimedwait(&m_pipe, nullptr, &immediately) < 0 && errno == EINTR) {
            }
        }
        ::pthread_sigmask(SIG_SETMASK, &m_previous, nullptr);
    }
    HeldBrokenPipe(const HeldBrokenPipe&) = delete;
    HeldBrokenPipe& operator=(const HeldBrokenPipe&) = delete;

  private:
    static bool Pending() {
        sigset_t pending;
        return ::sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1;
    }

    sigset_t m_pipe{};
    sigset_t m_previous{};
    bool m_pendingBefore = false;
    bool m_held = false;
};

// A character set of COMPOUND_TEXT, by the name iconv knows its bytes under
// (with the high bit set on every byte). Null for ASCII.
struct Charset {
    const char* encoding = nullptr;
    bool twoBytes = false;
};

// The set that ISO 2022 designates with ESC followed by sequence: a 96-character
// ISO 8859 part to the right half (ESC - F), ASCII to the left half (ESC ( B), or
// one of the 94x94 sets of China, Japan and Korea to either half (ESC $ ( F,
// ESC $ ) F). False for any other sequence.
bool Designation(std::string_view sequence, Charset& set, bool& right) {
    if (sequence == "(B") {
        set = {};
        right = false;
        return true;
    }
    if (sequence.size() == 2 && sequence[0] == '-') {
        static constexpr std::pair<char, const char*> kParts[] = {
            {'A', "ISO-8859-1"},  {'B', "ISO-8859-2"},  {'C', "ISO-8859-3"},  {'D', "ISO-8859-4"},
            {'F', "ISO-8859-7"},  {'G', "ISO-8859-6"},  {'H', "ISO-8859-8"},  {'L', "ISO-8859-5"},
            {'M', "ISO-8859-9"},  {'V', "ISO-8859-10"}, {'Y', "ISO-8859-13"}, {'_', "ISO-8859-14"},
            {'b', "ISO-8859-15"}, {'f', "ISO-8859-16"}};
        for (const auto& [final, part] : kParts) {
            if (sequence[1] != final) continue;
            set = {part, false};
            right = true;
            return true;
        }
        return false;
    }
    if (sequence.size() == 3 && sequence[0] == '$' && (sequence[1] == '(' || sequence[1] == ')')) {
        const char* encoding = sequence[2] == 'A'   ? "EUC-CN"  // GB 2312
                               : sequence[2] == 'B' ? "EUC-JP"  // JIS X 0208
                               : sequence[2] == 'C' ? "EUC-KR"  // KS C 5601
                                                    : nullptr;
        if (!encoding) return false;
        set = {encoding, true};
        right = sequence[1] == ')';
        return true;
    }
    return false;
}

// Appends the characters of the given set to utf8; bytes carry their high bit.
bool AppendConverted(const Charset& set, std::string bytes, std::string& utf8) {
    if (!set.encoding) {
        utf8 += bytes;
        return true;
    }
    if (set.twoBytes && bytes.size() % 2 != 0) return false;
    if (std::strcmp(set.encoding, "ISO-8859-1") == 0) {
        for (const char c : bytes) utf8 += WideToUtf8(std::wstring(1, static_cast<unsigned char>(c)));
        return true;
    }
    const iconv_t converter = ::iconv_open("UTF-8", set.encoding);
    if (converter == reinterpret_cast<iconv_t>(-1)) return false;
    std::string out(bytes.size() * 4, '\0');
    char* from = bytes.data();
    char* to = out.data();
    size_t fromLeft = bytes.size();
    size_t toLeft = out.size();
    const bool converted = ::iconv(converter, &from, &fromLeft, &to, &toLeft) != static_cast<size_t>(-1);
    ::iconv_close(converter);
    if (converted) utf8.append(out.data(), out.size() - toLeft);
    return converted;
}

// COMPOUND_TEXT, the encoding of a WM_NAME that neither Latin-1 nor UTF-8 was
// chosen for, as UTF-8: the sets above on either half (ASCII on the left and
// Latin-1 on the right until others are designated), UTF-8 segments, and
// direction marks, which carry no text. False for anything else: other sets,
// controls, broken sequences.
bool CompoundTextToUtf8(std::string_view text, std::string& utf8) {
    Charset halves[2] = {{}, {"ISO-8859-1", false}};  // left, right
    utf8.clear();
    size_t i = 0;
    while (i < text.size()) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte == 0x1B) {
            if (text.substr(i + 1, 2) == "%G") {  // UTF-8 up to ESC % @
                const size_t end = text.find("\x1B%@", i + 3);
                utf8.append(text.substr(i + 3, end == std::string_view::npos ? end : end - i - 3));
                i = end == std::string_view::npos ? text.size() : end + 3;
                continue;
            }
            const size_t length = text.substr(i + 1, 1) == "$" ? 3 : 2;
            Charset set;
            bool right = false;
            if (!Designation(text.substr(i + 1, length), set, right)) return false;
            halves[right ? 1 : 0] = set;
            i += 1 + length;
        } else if (byte == 0x9B) {
            const size_t end = text.find(']', i + 1);  // CSI 1 ], CSI 2 ] or CSI ]
            if (end == std::string_view::npos || end > i + 2) return false;
            i = end + 1;
        } else if (byte == '\t' || byte == '\n' || byte == ' ') {
            utf8 += static_cast<char>(byte);
            ++i;
        } else if ((byte > 0x20 && byte < 0x7F) || byte >= 0xA0) {
            // A run of bytes of one half, in the set designated to it.
            const bool right = byte >= 0xA0;
            std::string run;
            for (; i < text.size(); ++i) {
                const auto next = static_cast<unsigned char>(text[i]);
                if (right ? next < 0xA0 : (next <= 0x20 || next >= 0x7F)) break;
                run += static_cast<char>(right || !halves[0].encoding ? next : next | 0x80);
            }
            if (!AppendConverted(halves[right ? 1 : 0], std::move(run), utf8)) return false;
        } else {
            return false;
        }
    }
    return true;
}

// XCB's replies, freed with free().
struct FreeReply {
    void operator()(void* reply) const { std::free(reply); }
};
template <typename T>
using Reply = std::unique_ptr<T, FreeReply>;

constexpr uint32_t kIconicState = 3;  // WM_STATE's state of a minimised window (ICCCM)

}  // namespace

struct WindowSystem::State {
    HeldBrokenPipe heldBrokenPipe;
    xcb_connection_t* connection = nullptr;
    std::unique_ptr<Watchdog> watchdog;
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
    const Clock::time_point deadline = Clock::now() + kSessionTime;
    const char* name = std::getenv("DISPLAY");
    if (!name || !*name) return;
    const Server server = Connect(name, deadline);
    if (server.fd < 0) return;
    // Armed before the set-up, which a server may answer slowly or never.
    s.watchdog = std::make_unique<Watchdog>(server.fd, deadline);
    if (!s.watchdog->Armed()) {  // a session without a bound could hang the console
        ::close(server.fd);
        return;
    }
    Authority authority(server.fd, server.number);
    s.connection = xcb_connect_to_fd(server.fd, authority.Info());  // the connection's now, failed or not
    if (xcb_connection_has_error(s.connection)) return;

    xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(s.connection));
    for (long i = 0; i < server.screen && screens.rem > 0; ++i) xcb_screen_next(&screens);
    if (screens.rem <= 0) return;
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
    if (interned) s.root = screens.data->root;  // usable from now on
}

WindowSystem::~WindowSystem() {
    State& s = *m_state;
    if (s.connection) xcb_disconnect(s.connection);
    s.watchdog.reset();
}

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
