// Watches a registrar reached over UDP. Over UDP the core notices a registrar that is gone
// only when a registration refresh times out, up to a minute and a half later; this probe
// asks it an OPTIONS once per interval (sSipKeepAlive) from a socket of its own, sent again
// after 0.5, 1.5 and 3.5 s while unanswered, as SIP retransmits a request. It calls the
// registrar gone when a round of them goes unanswered (4 s) or the host refuses the port
// (ICMP), and back at its first answer; while it is gone it asks every 5 s.
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
    bool Open(const std::string& localHost, const std::string& registrarHost, int registrarPort,
              std::chrono::milliseconds interval = std::chrono::seconds(30));
    bool IsOpen() const { return fd_ >= 0; }
    int Fd() const { return fd_; }
    // When Poll() has something to do next (a probe to send, a round to judge).
    std::chrono::steady_clock::time_point Next() const { return next_; }
    // Reads answers and sends the next probe when it is due; never blocks.
    Verdict Poll(std::chrono::steady_clock::time_point now);

    // The probe's request, for the tests.
    static std::string Request(const std::string& localHost, int localPort, const std::string& registrarHost,
                               int registrarPort, uint32_t sequence);

  private:
    int fd_ = -1;
    std::string localHost_, registrarHost_;
    int localPort_ = 0, registrarPort_ = 0;
    std::chrono::milliseconds interval_{30000};
    uint32_t sequence_ = 0;
    int sent_ = 0;  // probes of the round under way; 0: none is
    Verdict verdict_ = Verdict::Unknown;
    std::chrono::steady_clock::time_point roundStart_{}, next_{};
};

}  // namespace quvo::sip
