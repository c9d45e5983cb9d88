// quvo-emapp-sim: answers Extension Mobility login and logout requests the way the
// call server's web application does, for one device and a fixed set of users.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace {

constexpr const char* kUsage =
    "Usage: quvo-emapp-sim [options]\n"
    "\n"
    "Serves the Extension Mobility web application on 127.0.0.1 for one device:\n"
    "  GET /emapp/EMAppServlet?device=D&userid=U&seq=P   log user U on with password P\n"
    "  GET /emapp/EMAppServlet?device=D&doLogout=true    log the current user off\n"
    "Query values are percent-decoded ('+' is a blank). Answers are small XML\n"
    "documents (text/xml) whose text says, for a login:\n"
    "  Login Successful\n"
    "  Login Unsuccessful: Error: [11] Unknown device     (device is not ours)\n"
    "  Login Unsuccessful: Authentication Error           (unknown user, wrong password)\n"
    "  Login Unsuccessful: Another user logged in         (someone is logged on)\n"
    "and for a logout:\n"
    "  Logout Successful\n"
    "  Logout Unsuccessful: Error: [11] Unknown device\n"
    "  Logout Unsuccessful: No user logged in\n"
    "\n"
    "Options:\n"
    "  --port N              port to listen on; 0 (the default) picks a free one\n"
    "  --user NAME:PASSWORD  a user that may log on (repeatable; default alice:secret)\n"
    "  --device NAME         the device's name (default SEPQUVO0001)\n"
    "  --log FILE            append each request's method and target to FILE\n"
    "  --help                show this text\n"
    "\n"
    "Prints \"listening on 127.0.0.1:PORT\" once it accepts connections. Handles one\n"
    "connection at a time; a client that sends no complete request within 2 s is\n"
    "dropped. Ends cleanly on SIGTERM or SIGINT.\n";

constexpr auto kReadTimeout = std::chrono::seconds(2);
constexpr size_t kMaxRequestHead = 16 * 1024;

int g_wakePipe[2] = {-1, -1};

void OnSignal(int) {
    const char byte = 0;
    [[maybe_unused]] const ssize_t ignored = ::write(g_wakePipe[1], &byte, 1);
}

struct Options {
    int port = 0;
    std::map<std::string, std::string> users;
    std::string device = "SEPQUVO0001";
    std::string logFile;
};

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string PercentDecode(std::string_view text) {
    std::string decoded;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '+') {
            decoded += ' ';
        } else if (text[i] == '%' && i + 2 < text.size() && HexValue(text[i + 1]) >= 0 &&
                   HexValue(text[i + 2]) >= 0) {
            decoded += static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]));
            i += 2;
        } else {
            decoded += text[i];
        }
    }
    return decoded;
}

// The query's parameters; the first occurrence of a name counts, as in a servlet.
std::map<std::string, std::string> ParseQuery(std::string_view query) {
    std::map<std::string, std::string> parameters;
    while (!query.empty()) {
        const size_t end = query.find('&');
        const std::string_view pair = query.substr(0, end);
        query.remove_prefix(end == std::string_view::npos ? query.size() : end + 1);
        if (pair.empty()) continue;
        const size_t equals = pair.find('=');
        const std::string name = PercentDecode(pair.substr(0, equals));
        const std::string value =
            equals == std::string_view::npos ? "" : PercentDecode(pair.substr(equals + 1));
        parameters.emplace(name, value);
    }
    return parameters;
}

std::string XmlEscape(std::string_view text) {
    std::string escaped;
    for (char c : text) {
        switch (c) {
            case '<': escaped += "&lt;"; break;
            case '>': escaped += "&gt;"; break;
            case '&': escaped += "&amp;"; break;
            case '"': escaped += "&quot;"; break;
            default: escaped += c;
        }
    }
    return escaped;
}

struct Answer {
    int status = 200;
    std::string reason = "OK";
    std::string body;
};

Answer Document(const std::string& element, const std::string& text) {
    Answer answer;
    answer.body = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<response><" + element + ">" +
                  XmlEscape(text) + "</" + element + "></response>\n";
    return answer;
}

Answer Failure(int status, const std::string& reason, const std::string& text) {
    Answer answer = Document("failure", text);
    answer.status = status;
    answer.reason = reason;
    return answer;
}

// The application: one device, on which at most one user is logged on.
class ExtensionMobility {
  public:
    explicit ExtensionMobility(const Options& options) : m_options(options) {}

    Answer Handle(const std::string& method, const std::string& target) {
        const size_t question = target.find('?');
        const std::string path = target.substr(0, question);
        if (path != "/emapp/EMAppServlet") return Failure(404, "Not Found", "Not Found");
        if (method != "GET") return Failure(405, "Method Not Allowed", "Method Not Allowed");
        const auto parameters =
            ParseQuery(question == std::string::npos ? std::string_view{}
                                                     : std::string_view(target).substr(question + 1));
        const auto value = [&](const char* name) -> std::optional<std::string> {
            const auto found = parameters.find(name);
            if (found == parameters.end()) return std::nullopt;
            return found->second;
        };
        const auto device = value("device");
        if (value("doLogout") == "true") return Logout(device.value_or(""));
        const auto user = value("userid");
        if (!user) return Failure(400, "Bad Request", "Error: missing parameter userid or doLogout");
        return Login(device.value_or(""), *user, value("seq").value_or(""));
    }

  private:
    Answer Login(const std::string& device, const std::string& user, const std::string& password) {
        if (device != m_options.device)
            return Document("failure", "Login Unsuccessful: Error: [11] Unknown device");
        const auto known = m_options.users.find(user);
        if (known == m_options.users.end() || known->second != password)
            return Document("failure", "Login Unsuccessful: Authentication Error");
        if (!m_loggedOn.empty()) return Document("failure", "Login Unsuccessful: Another user logged in");
        m_loggedOn = user;
        return Document("success", "Login Successful");
    }

    Answer Logout(const std::string& device) {
        if (device != m_options.device)
            return Document("failure", "Logout Unsuccessful: Error: [11] Unknown device");
        if (m_loggedOn.empty()) return Document("failure", "Logout Unsuccessful: No user logged in");
        m_loggedOn.clear();
        return Document("success", "Logout Successful");
    }

    const Options& m_options;
    std::string m_loggedOn;
};

void SendAll(int fd, const std::string& data) {
    size_t sent = 0;
    while (sent < data.size()) {
        const ssize_t n = ::send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        sent += static_cast<size_t>(n);
    }
}

// Reads the request head, giving up after kReadTimeout or at kMaxRequestHead.
std::optional<std::string> ReadRequestHead(int fd) {
    const auto deadline = std::chrono::steady_clock::now() + kReadTimeout;
    std::string head;
    while (head.find("\r\n\r\n") == std::string::npos && head.find("\n\n") == std::string::npos) {
        if (head.size() > kMaxRequestHead) return std::nullopt;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return std::nullopt;
        pollfd waiting{fd, POLLIN, 0};
        const int ready = ::poll(&waiting, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return std::nullopt;
        char buffer[4096];
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return std::nullopt;
        head.append(buffer, static_cast<size_t>(n));
    }
    return head;
}

void Serve(int client, ExtensionMobility& application, FILE* log) {
    const auto head = ReadRequestHead(client);
    if (!head) return;
    const std::string line = head->substr(0, head->find_first_of("\r\n"));
    const size_t first = line.find(' ');
    const size_t second = first == std::string::npos ? std::string::npos : line.find(' ', first + 1);
    Answer answer;
    if (second == std::string::npos) {
        answer = Failure(400, "Bad Request", "Bad Request");
    } else {
        const std::string method = line.substr(0, first);
        const std::string target = line.substr(first + 1, second - first - 1);
        if (log) {
            std::fprintf(log, "%s %s\n", method.c_str(), target.c_str());
            std::fflush(log);
        }
        answer = application.Handle(method, target);
    }
    const std::string response =
        "HTTP/1.1 " + std::to_string(answer.status) + " " + answer.reason +
        "\r\nContent-Type: text/xml; charset=utf-8\r\nContent-Length: " + std::to_string(answer.body.size()) +
        "\r\nConnection: close\r\n\r\n" + answer.body;
    SendAll(client, response);
}

bool ParseOptions(int argc, char** argv, Options& options) {
    bool defaultUsers = true;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (option == "--help" || option == "-h") {
            std::fputs(kUsage, stdout);
            std::exit(0);
        }
        if (i + 1 >= argc) {
            std::fprintf(stderr, "quvo-emapp-sim: %s needs a value (see --help)\n", option.c_str());
            return false;
        }
        const std::string value = argv[++i];
        if (option == "--port") {
            char* end = nullptr;
            const long port = std::strtol(value.c_str(), &end, 10);
            if (value.empty() || *end || port < 0 || port > 65535) {
                std::fprintf(stderr, "quvo-emapp-sim: bad port %s\n", value.c_str());
                return false;
            }
            options.port = static_cast<int>(port);
        } else if (option == "--user") {
            const size_t colon = value.find(':');
            if (colon == std::string::npos || colon == 0) {
                std::fprintf(stderr, "quvo-emapp-sim: --user wants NAME:PASSWORD, got %s\n", value.c_str());
                return false;
            }
            if (defaultUsers) options.users.clear();
            defaultUsers = false;
            options.users[value.substr(0, colon)] = value.substr(colon + 1);
        } else if (option == "--device") {
            options.device = value;
        } else if (option == "--log") {
            options.logFile = value;
        } else {
            std::fprintf(stderr, "quvo-emapp-sim: unknown option %s (see --help)\n", option.c_str());
            return false;
        }
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    options.users["alice"] = "secret";
    if (!ParseOptions(argc, argv, options)) return 2;

    FILE* log = nullptr;
    if (!options.logFile.empty()) {
        log = std::fopen(options.logFile.c_str(), "a");
        if (!log) {
            std::fprintf(stderr, "quvo-emapp-sim: cannot open %s: %s\n", options.logFile.c_str(),
                         std::strerror(errno));
            return 1;
        }
    }

    if (::pipe2(g_wakePipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        std::perror("quvo-emapp-sim: pipe");
        return 1;
    }
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGINT, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int yes = 1;
    ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(options.port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener, 16) != 0) {
        std::fprintf(stderr, "quvo-emapp-sim: cannot listen on 127.0.0.1:%d: %s\n", options.port,
                     std::strerror(errno));
        return 1;
    }
    socklen_t length = sizeof address;
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    std::printf("listening on 127.0.0.1:%u\n", static_cast<unsigned>(ntohs(address.sin_port)));
    std::fflush(stdout);

    ExtensionMobility application(options);
    while (true) {
        pollfd waiting[2] = {{listener, POLLIN, 0}, {g_wakePipe[0], POLLIN, 0}};
        if (::poll(waiting, 2, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (waiting[1].revents) break;
        if (!(waiting[0].revents & POLLIN)) continue;
        const int client = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) continue;
        Serve(client, application, log);
        ::shutdown(client, SHUT_WR);
        ::close(client);
    }
    ::close(listener);
    if (log) std::fclose(log);
    return 0;
}
