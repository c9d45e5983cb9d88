// The X connection: the display name's socket, the authority to present on it,
// and the guards that keep a session from hanging or ending the console.
#include "platform/posix/XConnection.h"

#include <X11/Xauth.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>
#include <thread>

#include "platform/posix/DisplayName.h"

namespace quvo::platform {

namespace {

// Everything one command does with the X server, from connecting to the last
// round trip, ends within this time. A server that is stopped, grabbed by another
// client, or is no X server at all then counts as a server without the window.
constexpr auto kSessionTime = std::chrono::seconds(3);

using Clock = std::chrono::steady_clock;

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

}  // namespace

// Ends the connection's every wait once the session's time is up: shutting the
// socket down makes XCB's blocked set-up or round trip fail (which marks the
// connection as failed, so that every later request fails at once) instead of
// waiting for ever. Works on a descriptor of its own, so the shut-down cannot
// reach a descriptor that XCB has closed and the system given to someone else.
class XConnection::Watchdog {
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
class XConnection::HeldBrokenPipe {
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

XConnection::XConnection() : m_heldBrokenPipe(std::make_unique<HeldBrokenPipe>()) {
    const Clock::time_point deadline = Clock::now() + kSessionTime;
    const char* name = std::getenv("DISPLAY");
    if (!name || !*name) return;
    const XServer server = ConnectToDisplay(name, deadline);
    if (server.fd < 0) return;
    // Armed before the set-up, which a server may answer slowly or never.
    m_watchdog = std::make_unique<Watchdog>(server.fd, deadline);
    if (!m_watchdog->Armed()) {  // a session without a bound could hang the console
        ::close(server.fd);
        return;
    }
    Authority authority(server.fd, server.number);
    m_connection = xcb_connect_to_fd(server.fd, authority.Info());  // the connection's now, failed or not
    if (xcb_connection_has_error(m_connection)) return;

    xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(m_connection));
    for (long i = 0; i < server.screen && screens.rem > 0; ++i) xcb_screen_next(&screens);
    if (screens.rem > 0) m_root = screens.data->root;
}

XConnection::~XConnection() {
    if (m_connection) xcb_disconnect(m_connection);
    m_watchdog.reset();
}

}  // namespace quvo::platform
