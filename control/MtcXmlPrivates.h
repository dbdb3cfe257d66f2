// The private part of MtcXmlRpcIo: the library server, the method table and
// the server thread, plus the connection handling added on top of the library.
#pragma once

#include <xmlrpcpp/XmlRpc.h>
#include <xmlrpcpp/XmlRpcServerConnection.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <thread>

class MtCore;
class MtcXmlServer;

// One client connection. Adds to the library's connection the limits that
// keep one client from holding the single server thread or all of memory: a
// header and a body size cap, a deadline for each request, and a catch-all
// around the method call so no exception leaves the server's loop.
class MtcXmlConnection : public XmlRpc::XmlRpcServerConnection {
public:
    using Clock = std::chrono::steady_clock;

    static constexpr size_t kMaxHeaderBytes = 16 * 1024;
    static constexpr int kMaxBodyBytes = 4 * 1024 * 1024;
    static constexpr int kMaxNesting = 64; // <value> elements inside each other

    MtcXmlConnection(int fd, MtcXmlServer* server);
    unsigned handleEvent(unsigned eventType) override;
    // Past its deadline (see MtcXmlServer's time-outs).
    bool expired(Clock::time_point now) const;
    // The last time the client sent or was sent anything (or the accept).
    Clock::time_point lastHeard() const { return lastEvent; }

protected:
    void executeRequest() override;

private:
    // Refuses the request with a fault and closes once the fault is sent.
    unsigned refuse(const char* why);
    // True when the header already waiting on the socket announces a body over the cap.
    bool announcedBodyTooLarge();

    MtcXmlServer* owner;
    Clock::time_point lastActivity; // end of the last reply, or the accept
    Clock::time_point requestStart; // first byte of the request being read
    Clock::time_point lastEvent;    // the last event on the socket, or the accept
    bool inRequest = false;
};

// The library server with our connections, tracked so that stale ones can be
// closed between rounds of the work loop, and capped below the process's
// descriptor limit so that a new client can always be accepted.
class MtcXmlServer : public XmlRpc::XmlRpcServer {
public:
    // A request must arrive and its reply leave within `requestTimeout` of the
    // request's first byte; a kept-alive connection without a request is
    // closed after `idleTimeout`. Set before serving.
    std::chrono::milliseconds requestTimeout{10000};
    std::chrono::milliseconds idleTimeout{60000};

    void removeConnection(XmlRpc::XmlRpcServerConnection* connection) override;
    // Closes connections past their deadline. Server thread, outside work().
    void closeExpiredConnections();
    // Closes the longest-idle connections while more are open than
    // connectionLimit(). Server thread, outside work().
    void closeExcessConnections();
    // The open connections allowed: the descriptor limit of the process
    // (RLIMIT_NOFILE, as it is now) less what the library keeps free (32) and
    // a reserve for the rest of the process (a quarter of the limit, at least 64).
    static size_t connectionLimit();

protected:
    XmlRpc::XmlRpcServerConnection* createConnection(int socket) override;
    unsigned acceptConnection() override;

private:
    // Keyed by the library's pointer, so a connection being destroyed is
    // found without touching its (already destroyed) derived part.
    std::map<const XmlRpc::XmlRpcServerConnection*, MtcXmlConnection*> connections;
};

// Wakes the work loop from another thread: a pipe whose read end the
// dispatcher watches.
class MtcXmlWake : public XmlRpc::XmlRpcSource {
public:
    explicit MtcXmlWake(XmlRpc::XmlRpcServer* server);
    ~MtcXmlWake() override;
    unsigned handleEvent(unsigned eventType) override;
    void wake();

private:
    XmlRpc::XmlRpcServer* server;
    int writeFd = -1;
};

class MtcXmlPrivates {
public:
    MtcXmlPrivates(MtCore* core, XmlRpc::XmlRpcServerMethod** extraMethods, int port);
    ~MtcXmlPrivates();
    void serve(); // the server thread's body

    MtCore* core;
    MtcXmlServer server;
    XmlRpc::XmlRpcServerMethod** methods = nullptr;
    uint32_t methodCount = 0;
    uint32_t port;
    std::thread thread;
    std::atomic<bool> running{false};
    MtcXmlWake wake;
};

void threadHead(MtcXmlPrivates* d);
