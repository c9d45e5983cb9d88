// One session with the X server that $DISPLAY names, for the length of one command.
//
// The console connects to the X server itself and hands the connected socket to
// XCB, so that one watchdog bounds every step of the session: the connection, the
// connection set-up (which Xlib's XOpenDisplay would wait for without end, for
// example behind an X11 forwarder whose far side stalls) and every round trip.
#pragma once

#include <xcb/xcb.h>

#include <memory>

namespace quvo::platform {

class XConnection {
  public:
    // Connects and makes the connection set-up. Everything done with the server,
    // from here to the last round trip, ends within a few seconds: a server that
    // is stopped, grabbed by another client, or is no X server at all then fails
    // the connection (and with it every later request) instead of hanging.
    XConnection();
    ~XConnection();
    XConnection(const XConnection&) = delete;
    XConnection& operator=(const XConnection&) = delete;

    // Null without a display or a server to connect to; else the connection,
    // which may have failed.
    xcb_connection_t* Get() const { return m_connection; }
    // The root window of the screen that the display name asks for; 0 when the
    // connection failed or the server has no such screen.
    xcb_window_t Root() const { return m_root; }

  private:
    class Watchdog;
    class HeldBrokenPipe;

    std::unique_ptr<HeldBrokenPipe> m_heldBrokenPipe;  // first in, last out
    xcb_connection_t* m_connection = nullptr;
    std::unique_ptr<Watchdog> m_watchdog;
    xcb_window_t m_root = 0;
};

}  // namespace quvo::platform
