// Standard input for the plain mode.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <streambuf>

#include "platform/LineEditor.h"

namespace quvo::platform {

namespace {

// Standard input through read(2): libstdc++'s file buffer throws on a read error,
// which the console cannot tell from a fault of its own.
class CStandardInput final : public std::streambuf {
  public:
    CStandardInput() {
        // A closed standard input would be taken by the next descriptor opened (the
        // bus connection's, say) and read as commands: it reads as empty instead.
        if (::fcntl(STDIN_FILENO, F_GETFD) < 0 && errno == EBADF) {
            const int fd = ::open("/dev/null", O_RDONLY | O_NOCTTY);
            if (fd > STDIN_FILENO) ::close(fd);
        }
    }

  protected:
    int_type underflow() override {
        if (gptr() < egptr()) return traits_type::to_int_type(*gptr());
        for (;;) {
            const ssize_t n = ::read(STDIN_FILENO, m_buffer, sizeof m_buffer);
            if (n > 0) {
                setg(m_buffer, m_buffer, m_buffer + n);
                return traits_type::to_int_type(*gptr());
            }
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                // Non-blocking by someone else's choice: wait for the input to come.
                pollfd fd = {STDIN_FILENO, POLLIN, 0};
                if (::poll(&fd, 1, -1) >= 0 || errno == EINTR) continue;
            }
            return traits_type::eof();  // the end, or an error that ends the input all the same
        }
    }

  private:
    char m_buffer[64 * 1024];
};

}  // namespace

std::streambuf& StandardInput() {
    static CStandardInput input;
    return input;
}

}  // namespace quvo::platform
