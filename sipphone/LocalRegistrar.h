// A registrar of the phone's own for the peer-to-peer mode. liblinphone builds a call's
// contact from its account's registration; without one the contact stays unknown, and the
// core's conference crashes when a member leaves. So without sSipProxy the phone registers
// its account here: a UDP socket on its own address that answers every REGISTER with 200.
// Calls do not go through it.
#pragma once

#include <string>

namespace quvo::sip {

class LocalRegistrar {
  public:
    LocalRegistrar() = default;
    LocalRegistrar(const LocalRegistrar&) = delete;
    LocalRegistrar& operator=(const LocalRegistrar&) = delete;
    ~LocalRegistrar();

    // Listens on host at a free port.
    bool Open(const std::string& host, std::string& error);
    int Port() const { return port_; }
    int Fd() const { return fd_; }
    // Answers what has arrived; never blocks.
    void Poll();

    // The answer to one request: 200 for REGISTER, 405 for anything else, nothing for what
    // is no SIP request.
    static std::string Answer(const std::string& request);

  private:
    int fd_ = -1;
    int port_ = 0;
};

}  // namespace quvo::sip
