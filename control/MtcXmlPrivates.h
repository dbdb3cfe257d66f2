// The private part of MtcXmlRpcIo: the library server, the method table and
// the server thread, plus the connection handling added on top of the library.
#pragma once

#include "MtcHttpRequest.h"

#include <xmlrpcpp/XmlRpc.h>
#include <xmlrpcpp/XmlRpcServerConnection.h>

#include <netinet/in.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class MtCore;
class MtcXmlServer;
class QiOutput;

// Looks up the hosts that "Log" requests name, off the server thread. Shared
// with the lookup thread, which may outlive the server while a name server
// keeps it waiting.
struct MtcHostLookup {
    std::mutex mutex;
    bool done = false;
    std::map<std::string, in_addr> addresses; // the hosts that resolved
    bool finished();
};

// The addresses a request's "Log" members resolved to, for the method that
// redirects the trace (absent: the host did not resolve).
using MtcHostTable = std::map<std::string, in_addr>;

// The host names that the "Log" calls of a request (a SetGen, or the SetGen
// calls of a multicall) want looked up: not dotted addresses, a few at most.
std::vector<std::string> mtcLogHosts(const std::string& method, XmlRpc::XmlRpcValue& params);

// One client connection. The connection reads and writes HTTP itself (the
// library is used to parse the request and run its methods) so that every
// request gets an answer at once and whole: its HTTP framing (MtcHttpRequest)
// with its bounds, a deadline for each request, budgets shared by all
// connections for what requests being received and replies being sent hold,
// bounded multicalls, "Log" host names looked up without holding the server
// thread, and a catch-all around the method call so no exception leaves the loop.
class MtcXmlConnection : public XmlRpc::XmlRpcServerConnection {
public:
    using Clock = std::chrono::steady_clock;

    // Looked at (and read) from one connection per event, so each event's
    // work is bounded and every other connection is served in the same round.
    static constexpr size_t kReadPerEvent = 64 * 1024;
    static constexpr int kMaxNesting = 64; // <value> elements inside each other
    // The calls one system.multicall may carry, the reply it may build, and
    // how long its calls may hold the server thread (a call waiting for the
    // engine included): the calls not run by then are answered as not run.
    static constexpr int kMaxMulticallCalls = 10000;
    static constexpr size_t kMaxMulticallReply = 16 * 1024 * 1024;
    static constexpr std::chrono::milliseconds kMulticallTime{500};
    // Room for a reply that a request needs before anything of it runs.
    static constexpr size_t kSmallAnswer = 4096;

    MtcXmlConnection(int fd, MtcXmlServer* server);
    ~MtcXmlConnection() override;
    unsigned handleEvent(unsigned eventType) override;
    // Past its deadline (see MtcXmlServer's time-outs).
    bool expired(Clock::time_point now) const;
    // The last time the client sent or was sent anything (or the accept).
    Clock::time_point lastHeard() const { return lastEvent; }
    // Answers one request body as the server would, name lookups made here
    // and then; the whole HTTP reply. For tests and fuzzing.
    std::string respondTo(const std::string& body);
    // "Log" names are looked up in the call rather than on a thread of their
    // own. For tests and fuzzing.
    void lookUpInline(bool inline_) { lookupHere = inline_; }
    // Bytes of reply built and not yet sent, as the server counts them.
    size_t replyBytesHeld() const { return replyHeld; }

    // The server thread's side of a deferred request (outside work()).
    bool waitingForLookup() const { return phase == Phase::Lookup; }
    bool lookupFinished(Clock::time_point now);
    void finishLookup(); // runs the request with what the lookup found

protected:
    void executeRequest() override;

private:
    enum class Phase { Read, Lookup, Write, Drain };

    unsigned read();
    // Feeds the request the `n` bytes the client has sent; how many it used.
    size_t take(const char* data, size_t n);
    // Tells the server what the request being received holds; false, and not
    // counted, when that would pass the budget requests share.
    bool account();
    // Tells the server what the reply being built or sent holds.
    void countReply();
    void startRequest(std::string text);
    // Runs the parsed request with `hosts` as the "Log" lookups.
    void run(const std::string& method, XmlRpc::XmlRpcValue& params, const MtcHostTable& hosts);
    void runMulticall(XmlRpc::XmlRpcValue& params);
    std::string multicallEntry(XmlRpc::XmlRpcValue& call);
    unsigned write();
    unsigned drain();
    // Forgets the request being received; what is answered next is the last.
    void dropRequest();
    // Refuses the request with a fault and closes once the fault is sent.
    void refuse(const char* why);
    // Answers with an HTTP error status and closes once it is sent.
    void httpError(int status, const char* reason, const std::string& text);
    // Answers 503 and closes, tracing `format` filled with `bytes`.
    void busy(const char* format, size_t bytes);

    MtcXmlServer* owner;
    Phase phase = Phase::Read;
    MtcHttpRequest request; // the request being received
    size_t requestHeld = 0; // what the server counts of it
    size_t replyHeld = 0;   // what the server counts of the reply in _response
    bool interim = false;   // the reply being written is a "100 Continue"
    size_t drained = 0;     // read and dropped while the connection closes
    bool closeAfterWrite = false;
    bool sayKeepAlive = false; // the reply tells an HTTP/1.0 client the connection is kept
    size_t written = 0;
    std::shared_ptr<MtcHostLookup> lookup;
    std::string lookupMethod;
    XmlRpc::XmlRpcValue lookupParams;
    Clock::time_point lastActivity; // end of the last reply, or the accept
    Clock::time_point requestStart; // first byte of the request being read
    Clock::time_point lastEvent;    // the last event on the socket, or the accept
    Clock::time_point phaseStart;   // start of the lookup, or of the drain
    Clock::time_point lastWrite;    // the last piece of a reply the client took
    bool lookupHere = false;        // names are looked up in the call
};

// Where a lookup thread reports that it is done: the server's wake-up pipe,
// for as long as the server exists.
struct MtcWakeHandle {
    std::mutex mutex;
    int fd = -1;
    void wake();
};

// The library server with our connections, tracked so that stale ones can be
// closed between rounds of the work loop, and capped below the process's
// descriptor limit so that a new client can always be accepted.
class MtcXmlServer : public XmlRpc::XmlRpcServer {
public:
    MtcXmlServer();
    ~MtcXmlServer() override;

    // A request must arrive and its reply start to leave within
    // `requestTimeout` of the request's first byte, and each further piece of
    // the reply within `requestTimeout` of the one before; a kept-alive connection without a
    // request is closed after `idleTimeout`. Set before serving.
    std::chrono::milliseconds requestTimeout{10000};
    std::chrono::milliseconds idleTimeout{60000};
    // A "Log" host that has not resolved within this time is refused.
    std::chrono::milliseconds lookupTimeout{20000};
    // Name lookups running at once; past it a "Log" name is refused.
    static constexpr int kMaxLookups = 4;
    // Replies built and not yet sent, over all connections. No request runs
    // while they leave no room for a small answer, a single reply that would
    // pass them is refused, and a multicall stops running its calls. A reply
    // of kSmallReply or more may not take the last kSmallReplyReserve, so
    // ordinary replies are answered while large ones fill the rest.
    static constexpr size_t kMaxRepliesHeld = 64 * 1024 * 1024;
    static constexpr size_t kSmallReply = 64 * 1024;
    static constexpr size_t kSmallReplyReserve = 16 * 1024 * 1024;
    // Requests being received, over all connections. A request larger than
    // kSmallRequest may not take the last kSmallReserve of it, so a client
    // with an ordinary request is served while large ones fill the rest.
    static constexpr size_t kMaxRequestsHeld = 64 * 1024 * 1024;
    static constexpr size_t kSmallRequest = 64 * 1024;
    static constexpr size_t kSmallReserve = 16 * 1024 * 1024;
    // A connection whose request held `before` bytes now wants `after`:
    // true, and counted, when the budget allows it (or `always`).
    bool holdRequestBytes(size_t before, size_t after, bool always = false);
    // How many more bytes a request that holds `held` may take.
    size_t requestRoom(size_t held) const;
    size_t requestBytesHeld() const { return requestsHeld; }
    // A connection's reply went from `before` bytes to `after`.
    void holdReplyBytes(size_t before, size_t after);
    // The reply bytes `connection` may hold now: the room a large reply has,
    // or, when that is less, up to kSmallReply - 1 of the reserve.
    size_t replyRoom(const MtcXmlConnection* connection) const;
    size_t replyBytesHeld() const { return repliesHeld; }
    // Room left of `total` when `used` is taken: a small piece (up to
    // `smallRoom`) may take all of it, anything else not the last `reserve`.
    static size_t roomBesideReserve(size_t used, size_t total, size_t reserve, size_t smallRoom);
    // Gives memory freed after a burst back to the system. Server thread.
    void returnFreedMemory();
    // Looks a host name up (may wait on a name server; UdpOutput::resolve
    // unless replaced, as tests do).
    std::function<bool(const std::string& host, in_addr* address)> resolveHost;
    // Makes the output a "Log" request sends the trace to: a UdpOutput to
    // `port` of `address` unless replaced (the fuzz targets keep every line
    // in the process); null when it cannot send.
    std::function<std::shared_ptr<QiOutput>(const in_addr& address, unsigned short port)>
        traceOutput;

    void removeConnection(XmlRpc::XmlRpcServerConnection* connection) override;
    // Closes connections past their deadline. Server thread, outside work().
    void closeExpiredConnections();
    // Closes the longest-idle connections while more are open than
    // connectionLimit(). Server thread, outside work().
    void closeExcessConnections();
    // Answers the requests whose name lookups ended. Server thread, outside work().
    void finishLookups();
    // The open connections allowed: the descriptor limit of the process
    // (RLIMIT_NOFILE, as it is now) less 32 and a reserve for the rest of the
    // process (a quarter of the limit, at least 64).
    static size_t connectionLimit();
    // Watches the listening socket again once a pause after a failed accept
    // (no descriptors or memory left) is over. Server thread, outside work().
    void resumeAccepting();
    // One round of the work loop: waits up to `timeoutMs` for an event on
    // the sources the dispatcher watches and handles what came, as the
    // library's work() does, but at a cost that grows with the number of
    // sources: the library's looks each source up in its list again after
    // every wait, which costs the square of the connections open.
    void workRound(int timeoutMs);

    // For the connections: starts looking `hosts` up on a thread of its own;
    // null when no more lookups may run or nothing can wake the server.
    std::shared_ptr<MtcHostLookup> startLookup(const std::vector<std::string>& hosts);
    // Stops watching a connection that waits for a lookup (after this round).
    void park(MtcXmlConnection* connection);
    // While a request runs: its "Log" lookups (null outside a request).
    const MtcHostTable* requestHosts = nullptr;
    std::shared_ptr<MtcWakeHandle> wakeHandle;

protected:
    XmlRpc::XmlRpcServerConnection* createConnection(int socket) override;
    unsigned acceptConnection() override;

private:
    // Keyed by the library's pointer, so a connection being destroyed is
    // found without touching its (already destroyed) derived part.
    std::map<const XmlRpc::XmlRpcServerConnection*, MtcXmlConnection*> connections;
    std::vector<MtcXmlConnection*> toPark;
    struct LookupThread {
        std::shared_ptr<MtcHostLookup> lookup;
        std::thread thread;
    };
    std::vector<LookupThread> lookupThreads;
    size_t requestsHeld = 0; // by requests being received, all connections
    size_t repliesHeld = 0;  // by replies built and not yet sent
    size_t freedSinceTrim = 0;
    std::chrono::steady_clock::time_point lastTrim;
    bool acceptPaused = false; // the listening socket is not watched until acceptAgain
    std::chrono::steady_clock::time_point acceptAgain;
};

// Wakes the work loop from another thread: a pipe whose read end the
// dispatcher watches.
class MtcXmlWake : public XmlRpc::XmlRpcSource {
public:
    explicit MtcXmlWake(MtcXmlServer* server);
    ~MtcXmlWake() override;
    unsigned handleEvent(unsigned eventType) override;
    void wake();

private:
    MtcXmlServer* server;
    std::shared_ptr<MtcWakeHandle> handle; // the write end, shared with lookups
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
