// Watches a registrar reached over UDP. Over UDP the core notices a registrar that is gone
// only when a registration refresh times out, up to a minute and a half later; this probe
// asks it an OPTIONS every second from a socket of its own and calls it gone when two go
// unanswered or the host refuses the port (ICMP), and back at its first answer.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace quvo::sip {

class RegistrarProbe {
  public:
    enum class Verdict { Unknown, Alive, Gone };

    RegistrarProbe() = default;
    RegistrarProbe(const RegistrarProbe&) = delete;
    RegistrarProbe& operator=(const RegistrarProbe&) = delete;
    ~RegistrarProbe();

    // Numeric addresses only; false (and no probing) otherwise.
    bool Open(const std::string& localHost, const std::string& registrarHost, int registrarPort);
    bool IsOpen() const { return fd_ >= 0; }
    // Reads answers and sends the next probe when it is due; never blocks.
    Verdict Poll(std::chrono::steady_clock::time_point now);

    // The probe's request, for the tests.
    static std::string Request(const std::string& localHost, int localPort, const std::string& registrarHost,
                               int registrarPort, uint32_t sequence);

  private:
    int fd_ = -1;
    std::string localHost_, registrarHost_;
    int localPort_ = 0, registrarPort_ = 0;
    uint32_t sequence_ = 0;
    int unanswered_ = 0;
    Verdict verdict_ = Verdict::Unknown;
    std::chrono::steady_clock::time_point next_{};
};

}  // namespace quvo::sip
