// The control channel on Windows: a TCP port on 127.0.0.1 that takes one request per
// connection, its words separated by tabs and ended by a new line, and answers with output
// lines prefixed "+", then "OK" or "ERR text". "events" instead streams one line per event
// until the client closes the connection. A test runner on Linux reaches it directly; the
// "ctl" client of this program speaks it too.
#pragma once

#include <winsock2.h>

#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/Control.h"

namespace quvo::sim {

// The port from --ctl-port, else QUVO_SIM_CTL_PORT, else the default.
int ControlPortNumber(int option);

class ControlPort {
  public:
    // Runs a request and returns its answer: output lines, or an error text. Called on the
    // connection's thread; may block until the simulator's loop has carried it out.
    using Handler =
        std::function<std::string(const ControlRequest& request, std::vector<std::string>& lines)>;

    ControlPort() = default;
    ~ControlPort() { Stop(); }
    ControlPort(const ControlPort&) = delete;
    ControlPort& operator=(const ControlPort&) = delete;

    bool Start(int port, Handler handler, std::string& error);
    // Thread-safe: sends one line to every "events" client.
    void Broadcast(const std::string& line);
    // Closes every connection and joins the threads.
    void Stop();

  private:
    void Accept();
    void Serve(SOCKET client);

    SOCKET listener_ = INVALID_SOCKET;
    Handler handler_;
    std::thread acceptor_;
    std::mutex mutex_;
    bool stopping_ = false;
    std::vector<SOCKET> clients_;
    std::vector<SOCKET> watchers_;
    std::vector<std::thread> workers_;
};

// "quvo-softphone-sim.exe ctl ...": words as UTF-8. Returns the exit status.
int RunControlClient(const std::vector<std::string>& words, int port);

}  // namespace quvo::sim
