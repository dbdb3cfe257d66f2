// Feeds raw connection bytes through the XML-RPC server's connections
// in-process: the bytes go to a connection over a socket pair, as a client
// that sends anything would send them, and the connection is driven the way
// the server's loop drives it. Each input is sent twice, on two connections:
// in pieces as large as the socket takes, and in pieces whose sizes the input
// chooses. Whatever arrives, what comes back must be whole HTTP replies (a
// status line, a Content-Length and that many bytes), each 200 reply XML a
// client can parse, the same replies both times; and once the connections
// are closed, the server holds no request or reply bytes.
//
// The server has no engine, so that a reply depends on the request alone.
// After the first byte, the input's bytes are sent as expandRepeats() reads
// them.
#include "MtcXmlPrivates.h"
#include "MtcXmlRpcIo.h"
#include "QiText.h"
#include "XmlRpcFuzzGenerator.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using Dispatch = XmlRpc::XmlRpcDispatch;

struct Server {
    Server() {
        server = static_cast<MtcXmlServer*>(io.getServer());
        fuzzsupport::offTheNetwork(server);
        server->requestTimeout = std::chrono::hours(1); // a slow run is not cut short
        resetter = new MtcXmlConnection(-1, server);    // kept for good
    }
    MtcXmlRpcIo io{nullptr};
    MtcXmlServer* server;
    MtcXmlConnection* resetter;
};

bool readable(int fd) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, 0) == 1;
}

void readAll(int fd, std::string& out) {
    char buf[16384];
    ssize_t n;
    while ((n = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT)) > 0)
        out.append(buf, static_cast<size_t>(n));
}

// Runs the connection's events until it waits for the client; false once it
// has closed.
bool pump(MtcXmlConnection* c, unsigned& mask, int client, std::string& out) {
    for (int round = 0; round < 256; ++round) {
        readAll(client, out);
        if (mask == Dispatch::ReadableEvent && !readable(c->getfd())) return true;
        mask = c->handleEvent(mask);
        if (mask == 0) return false;
    }
    return true;
}

// The replies in `out`, which must be a run of whole HTTP replies; interim
// "100 Continue" answers are checked and left out (a client that sends its
// body at once is not asked to go on).
std::vector<std::string> replies(const std::string& out) {
    std::vector<std::string> found;
    size_t at = 0;
    while (at < out.size()) {
        if (out.compare(at, 9, "HTTP/1.1 ") != 0) std::abort();
        const size_t end = out.find("\r\n\r\n", at);
        if (end == std::string::npos) std::abort();
        std::string head = out.substr(at, end - at);
        for (char& ch : head)
            ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
        const size_t bodyStart = end + 4;
        if (head == "http/1.1 100 continue") {
            at = bodyStart;
            continue;
        }
        const size_t length = head.find("\r\ncontent-length: ");
        if (length == std::string::npos) std::abort();
        const size_t bodyLength = std::strtoul(head.c_str() + length + 18, nullptr, 10);
        if (out.size() - bodyStart < bodyLength) std::abort();
        if (head.compare(9, 3, "200") == 0 && !qiIsXmlSafeText(out.data() + bodyStart, bodyLength))
            std::abort();
        found.push_back(out.substr(at, bodyStart + bodyLength - at));
        at = bodyStart + bodyLength;
    }
    return found;
}

// Sends `bytes` to a new connection in pieces of at most `piece(at)` bytes and
// returns what came back.
template <typename Piece>
std::string exchange(MtcXmlServer* server, const std::string& bytes, Piece piece) {
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) std::abort();
    const int client = fds[1];
    auto* c = new MtcXmlConnection(fds[0], server); // deleted by close()
    c->lookUpInline(true);
    unsigned mask = Dispatch::ReadableEvent;
    std::string out;
    bool open = true;
    for (size_t at = 0; open && at < bytes.size();) {
        const size_t n = std::min(bytes.size() - at, piece());
        const ssize_t sent = ::send(client, bytes.data() + at, n, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (sent > 0)
            at += static_cast<size_t>(sent);
        else if (sent < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
            break;
        open = pump(c, mask, client, out);
    }
    // The client has said all it will: every request it sent is answered.
    ::shutdown(client, SHUT_WR);
    for (int round = 0; round < 4096 && open; ++round)
        open = pump(c, mask, client, out);
    c->close();
    readAll(client, out);
    ::close(client);
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Server s; // stopped in order at exit
    if (size < 1) return 0;
    const std::string bytes = fuzzsupport::expandRepeats(data + 1, size - 1);
    const auto whole = replies(exchange(s.server, bytes, [] { return size_t(1) << 24; }));
    // The first byte seeds the piece sizes: 1 byte up to 256 << (its low bits).
    uint32_t seed = data[0] * 2654435761u + 1;
    const size_t largest = size_t(256) << (data[0] & 7);
    const auto split = replies(exchange(s.server, bytes, [&seed, largest] {
        seed = seed * 1103515245u + 12345u;
        return 1 + (seed >> 8) % largest;
    }));
    if (whole != split) std::abort();
    // A "Log" redirection is undone, so that the next input starts alike.
    s.resetter->respondTo(
        "<methodCall><methodName>SetGen</methodName><params><param><value><struct>"
        "<member><name>Log</name><value>Reset</value></member>"
        "</struct></value></param></params></methodCall>");
    if (s.server->requestBytesHeld() != 0 || s.server->replyBytesHeld() != 0) std::abort();
    return 0;
}
