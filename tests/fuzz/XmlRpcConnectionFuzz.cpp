// Feeds raw connection bytes through the XML-RPC server's framing in-process:
// the bytes go to a connection over a socket pair in pieces whose sizes the
// input chooses, as a client that sends anything would send them, and the
// connection is driven the way the server's loop drives it. Whatever arrives,
// what comes back must be whole HTTP replies (a status line, a
// Content-Length and that many bytes), each 200 reply XML a client can parse.
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

namespace {

using Dispatch = XmlRpc::XmlRpcDispatch;

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

// Checks that `out` is a run of whole HTTP replies.
void checkReplies(const std::string& out) {
    size_t at = 0;
    while (at < out.size()) {
        if (out.compare(at, 9, "HTTP/1.1 ") != 0) std::abort();
        const size_t end = out.find("\r\n\r\n", at);
        if (end == std::string::npos) std::abort();
        std::string head = out.substr(at, end - at);
        for (char& ch : head)
            ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
        const size_t bodyStart = end + 4;
        if (head.compare(9, 3, "100") == 0) {
            at = bodyStart;
            continue;
        }
        const size_t length = head.find("\r\ncontent-length: ");
        if (length == std::string::npos) std::abort();
        const size_t bodyLength = std::strtoul(head.c_str() + length + 18, nullptr, 10);
        if (out.size() - bodyStart < bodyLength) std::abort();
        if (head.compare(9, 3, "200") == 0 && !qiIsXmlSafeText(out.data() + bodyStart, bodyLength))
            std::abort();
        at = bodyStart + bodyLength;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static fuzzsupport::XmlRpcGenerator generator; // stopped in order at exit
    if (size < 1) return 0;
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) std::abort();
    const int client = fds[1];
    auto* c = new MtcXmlConnection(fds[0], generator.server); // deleted by close()
    c->lookUpInline(true);
    unsigned mask = Dispatch::ReadableEvent;
    std::string out;
    bool open = true;

    // The first byte seeds the piece sizes (1 to 256 bytes).
    uint32_t seed = data[0] * 2654435761u + 1;
    size_t at = 1;
    while (open && at < size) {
        seed = seed * 1103515245u + 12345u;
        const size_t piece = std::min<size_t>(size - at, 1 + (seed >> 16) % 256);
        const ssize_t n = ::send(client, data + at, piece, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n > 0)
            at += static_cast<size_t>(n);
        else if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
            break;
        open = pump(c, mask, client, out);
    }
    if (open) {
        // The client has said all it will.
        ::shutdown(client, SHUT_WR);
        for (int round = 0; round < 4 && open; ++round)
            open = pump(c, mask, client, out);
    }
    c->close();
    readAll(client, out);
    ::close(client);
    checkReplies(out);
    return 0;
}
