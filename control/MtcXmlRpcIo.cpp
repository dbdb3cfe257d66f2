// The XML-RPC server: facade, server thread, connections and value conversion.
#include "MtcXmlRpcIo.h"
#include "MtcXmlMethod.h"
#include "MtcXmlPrivates.h"

#include "MtCore.h"
#include "QiArgRetVal.h"
#include "QiOutput.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

using XmlRpc::XmlRpcException;
using XmlRpc::XmlRpcServerMethod;
using XmlRpc::XmlRpcValue;

// ------------------------------------------------------------ connections

MtcXmlConnection::MtcXmlConnection(int fd, MtcXmlServer* server)
    : XmlRpc::XmlRpcServerConnection(fd, server, true), owner(server), lastActivity(Clock::now()),
      lastEvent(lastActivity) {}

unsigned MtcXmlConnection::handleEvent(unsigned eventType) {
    lastEvent = Clock::now();
    if (!inRequest) {
        inRequest = true;
        requestStart = Clock::now();
    }
    // The library reads a whole body in one go once its header is complete, so
    // a body over the cap is refused from the header, before it is read.
    if (_connectionState == READ_HEADER && announcedBodyTooLarge())
        return refuse("request too large");
    unsigned mask = XmlRpc::XmlRpcServerConnection::handleEvent(eventType);
    if (mask == 0) return 0;
    // The library reads whatever arrives into memory and parses it on the one
    // server thread; cap what a client can make it hold and parse.
    if (_connectionState == READ_HEADER && _header.size() > kMaxHeaderBytes)
        return refuse("request header too long");
    if (_connectionState == READ_REQUEST && _contentLength > kMaxBodyBytes)
        return refuse("request too large");
    if (_connectionState == READ_HEADER && _header.empty()) {
        // A reply went out completely; the connection waits for the next request.
        inRequest = false;
        lastActivity = Clock::now();
    }
    return mask;
}

bool MtcXmlConnection::announcedBodyTooLarge() {
    char buf[kMaxHeaderBytes];
    ssize_t n = ::recv(getfd(), buf, sizeof buf - 1, MSG_PEEK | MSG_DONTWAIT);
    if (n <= 0) return false;
    std::string head = _header + std::string(buf, static_cast<size_t>(n));
    size_t end = head.find("\r\n\r\n");
    if (end == std::string::npos) return false;
    head.resize(end);
    const char* field = strcasestr(head.c_str(), "\ncontent-length:");
    if (!field) return false;
    long long length = std::strtoll(field + 16, nullptr, 10); // negatives: the library's case
    return length > static_cast<long long>(kMaxBodyBytes);
}

unsigned MtcXmlConnection::refuse(const char* why) {
    gOutput->trace(QiOutput::Warning, "XmlRpc: %s, closing the connection\n", why);
    _keepAlive = false;
    _request.clear();
    _header.clear();
    generateFaultResponse(why);
    _connectionState = WRITE_RESPONSE;
    return XmlRpc::XmlRpcDispatch::WritableEvent;
}

bool MtcXmlConnection::expired(Clock::time_point now) const {
    if (inRequest) return now - requestStart > owner->requestTimeout;
    return now - lastActivity > owner->idleTimeout;
}

// Depth of <value> elements inside each other, counted up to `limit` + 1. The
// library's parser recurses once per level, so this bounds its stack use.
static int valueNesting(const std::string& xml, int limit) {
    static const char open[] = "<value>";
    static const char close[] = "</value>";
    int depth = 0, deepest = 0;
    for (size_t i = xml.find('<'); i != std::string::npos; i = xml.find('<', i + 1)) {
        if (xml.compare(i, sizeof open - 1, open) == 0) {
            if (++depth > deepest) deepest = depth;
            if (deepest > limit) break;
        } else if (xml.compare(i, sizeof close - 1, close) == 0) {
            if (depth > 0) --depth;
        }
    }
    return deepest;
}

void MtcXmlConnection::executeRequest() {
    if (valueNesting(_request, kMaxNesting) > kMaxNesting) {
        generateFaultResponse("request nested too deeply");
        return;
    }
    // The library turns its own exceptions into faults; anything else thrown
    // inside a method would leave the work loop and end the process.
    try {
        XmlRpc::XmlRpcServerConnection::executeRequest();
    } catch (const std::exception& e) {
        gOutput->trace(QiOutput::Error, "XmlRpc: method failed: %s\n", e.what());
        generateFaultResponse(std::string("internal error: ") + e.what());
    } catch (...) {
        gOutput->trace(QiOutput::Error, "XmlRpc: method failed\n");
        generateFaultResponse("internal error");
    }
}

XmlRpc::XmlRpcServerConnection* MtcXmlServer::createConnection(int socket) {
    MtcXmlConnection* c = new MtcXmlConnection(socket, this);
    connections[c] = c;
    return c;
}

unsigned MtcXmlServer::acceptConnection() {
    unsigned mask = XmlRpc::XmlRpcServer::acceptConnection();
    // One over the limit: end this round of work() so that the loop closes
    // the longest-idle connection before anything else happens.
    if (connections.size() > connectionLimit()) exit();
    return mask;
}

size_t MtcXmlServer::connectionLimit() {
    constexpr size_t kLibraryFreeFds = 32; // the library refuses clients below this
    constexpr size_t kUnlimited = 65536;   // counted for a larger limit, or none
    rlimit rl{};
    size_t limit = kUnlimited;
    if (getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur != RLIM_INFINITY)
        limit = static_cast<size_t>(std::min<rlim_t>(rl.rlim_cur, kUnlimited));
    const size_t reserve = kLibraryFreeFds + std::max<size_t>(64, limit / 4);
    return limit > reserve ? limit - reserve : 1;
}

void MtcXmlServer::closeExcessConnections() {
    const size_t limit = connectionLimit();
    while (connections.size() > limit) {
        MtcXmlConnection* idlest = nullptr;
        for (const auto& entry : connections)
            if (!idlest || entry.second->lastHeard() < idlest->lastHeard()) idlest = entry.second;
        gOutput->trace(QiOutput::Warning,
                       "XmlRpc: %zu connections open, closing the longest idle one\n",
                       connections.size());
        _disp.removeSource(idlest);
        idlest->close(); // deletes the connection, which leaves `connections`
    }
}

void MtcXmlServer::removeConnection(XmlRpc::XmlRpcServerConnection* connection) {
    connections.erase(connection);
    XmlRpc::XmlRpcServer::removeConnection(connection);
}

void MtcXmlServer::closeExpiredConnections() {
    MtcXmlConnection::Clock::time_point now = MtcXmlConnection::Clock::now();
    std::vector<MtcXmlConnection*> stale;
    for (const auto& entry : connections)
        if (entry.second->expired(now)) stale.push_back(entry.second);
    for (MtcXmlConnection* c : stale) {
        gOutput->trace(QiOutput::Warning, "XmlRpc: closing a connection past its deadline\n");
        _disp.removeSource(c);
        c->close(); // deletes the connection, which leaves `connections`
    }
}

// ------------------------------------------------------------------ wake-up

MtcXmlWake::MtcXmlWake(XmlRpc::XmlRpcServer* s) : server(s) {
    int fds[2];
    if (pipe2(fds, O_NONBLOCK | O_CLOEXEC) == 0) {
        setfd(fds[0]);
        writeFd = fds[1];
    }
}

MtcXmlWake::~MtcXmlWake() {
    if (getfd() >= 0) ::close(getfd());
    if (writeFd >= 0) ::close(writeFd);
}

unsigned MtcXmlWake::handleEvent(unsigned) {
    char buf[64];
    while (::read(getfd(), buf, sizeof buf) > 0) {
    }
    server->exit(); // ends the current work() round; the loop then checks its flag
    return XmlRpc::XmlRpcDispatch::ReadableEvent;
}

void MtcXmlWake::wake() {
    if (writeFd < 0) return;
    char c = 1;
    ssize_t n = ::write(writeFd, &c, 1);
    (void)n; // a full pipe already holds a wake-up
}

// --------------------------------------------------------------- privates

MtcXmlPrivates::MtcXmlPrivates(MtCore* c, XmlRpcServerMethod** extraMethods, int p)
    : core(c), port(static_cast<uint32_t>(p)), wake(&server) {
    uint32_t extras = 0;
    if (extraMethods)
        while (extraMethods[extras])
            ++extras;
    methodCount = extras + 8;
    methods = new XmlRpcServerMethod*[methodCount]();
    for (uint32_t i = 0; i < extras; ++i) {
        server.addMethod(extraMethods[i]);
        methods[i] = extraMethods[i];
    }
    XmlRpcServerMethod** m = methods + extras;
    *m++ = new SetGen(this);
    *m++ = new PatternOption(this);
    *m++ = new GetGenOptions(this);
    *m++ = new SetAlias(this);
    *m++ = new MMCAlias(this);
    *m++ = new GetDreskoVersion(this);
    *m++ = new ReadEdid(this);
    *m++ = new RescanFormats(this);
}

MtcXmlPrivates::~MtcXmlPrivates() {
    running = false;
    // The thread owns the library server while it runs (the library has no
    // locks): wake it, let it leave its loop, and only then close everything.
    wake.wake();
    if (thread.joinable()) thread.join();
    server.exit();
    server.shutdown();
    for (uint32_t i = 0; i < methodCount; ++i) {
        if (!methods[i]) continue;
        server.removeMethod(methods[i]);
        delete methods[i];
    }
    delete[] methods;
}

void MtcXmlPrivates::serve() {
    server.enableIntrospection(true);
    if (wake.getfd() >= 0)
        server.get_dispatch()->addSource(&wake, XmlRpc::XmlRpcDispatch::ReadableEvent);
    while (running) {
        server.work(0.5);
        server.closeExpiredConnections();
        server.closeExcessConnections();
    }
    if (wake.getfd() >= 0) server.get_dispatch()->removeSource(&wake);
}

void threadHead(MtcXmlPrivates* d) {
    d->serve();
}

// ------------------------------------------------------------------ facade

MtcXmlRpcIo::MtcXmlRpcIo(MtCore* core, XmlRpcServerMethod** extraMethods, int port)
    : d(new MtcXmlPrivates(core, extraMethods, port)) {}

MtcXmlRpcIo::~MtcXmlRpcIo() {
    delete d;
}

bool MtcXmlRpcIo::serve(int port) {
    if (d->thread.joinable()) {
        gOutput->trace(QiOutput::Error, "XmlRpc: already serving on port %d\n",
                       static_cast<int>(d->port));
        errno = EALREADY;
        return false;
    }
    d->port = static_cast<uint32_t>(port);
    // Bound here, before the thread starts, so the caller knows whether the
    // port is ours before it tells anyone about it.
    if (!d->server.bindAndListen(port, 5)) {
        const int error = errno;
        // Nothing to wait on: a work loop would only spin. Start-up goes on
        // without the remote control.
        gOutput->trace(QiOutput::Error, "XmlRpc: cannot listen on port %d\n", port);
        errno = error;
        return false;
    }
    gOutput->trace(QiOutput::Info, "XmlRpc: listening on port %d\n", port);
    d->running = true;
    d->thread = std::thread(threadHead, d);
    return true;
}

bool MtcXmlRpcIo::serve() {
    return serve(static_cast<int>(d->port));
}

XmlRpc::XmlRpcServer* MtcXmlRpcIo::getServer() {
    return &d->server;
}

// -------------------------------------------------------- value conversion

bool rpcValStruct_qiArv(XmlRpcValue& params, QiArgRetVal& out) {
    XmlRpcValue& s = params[0];
    if (s.getType() != XmlRpcValue::TypeStruct)
        throw XmlRpcException("type error: expected a struct");
    for (auto& member : s) {
        const std::string& key = member.first;
        XmlRpcValue& v = member.second;
        switch (v.getType()) {
        case XmlRpcValue::TypeBoolean:
            out.set(key.c_str(), static_cast<bool&>(v) ? "true" : "false");
            break;
        case XmlRpcValue::TypeInt:
            out.set(key.c_str(), static_cast<int&>(v));
            break;
        case XmlRpcValue::TypeDouble:
            out.set(key.c_str(), static_cast<double&>(v));
            break;
        case XmlRpcValue::TypeString:
            out.set(key, static_cast<std::string&>(v));
            break;
        default:
            gOutput->trace(QiOutput::Info, "don't know how to translate type=%d for key=%s\n",
                           static_cast<int>(v.getType()), key.c_str());
            break;
        }
    }
    return true;
}

bool qiArv_rpcVal(QiArgRetVal& in, XmlRpcValue& out) {
    if (out.getType() != XmlRpcValue::TypeStruct) {
        out.clear();
        (void)out.begin(); // an empty struct, also when `in` is empty
    }
    for (const auto& kv : in)
        out[kv.first] = kv.second;
    return true;
}
