// The XML-RPC server: facade, server thread, connections and value conversion.
#include "MtcXmlRpcIo.h"
#include "MtcXmlMethod.h"
#include "MtcXmlPrivates.h"
#include "MtcXmlText.h"
#include "OsDep.h"
#include "QiText.h"

#include "MtCore.h"
#include "QiArgRetVal.h"
#include "QiCLocale.h"
#include "QiOutput.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <utility>
#include <vector>

using XmlRpc::XmlRpcException;
using XmlRpc::XmlRpcServerMethod;
using XmlRpc::XmlRpcValue;

// ------------------------------------------------------------ connections

namespace {

using Clock = MtcXmlConnection::Clock;

// A kept connection that is being closed reads what the client still sends
// for this long, so the client sees the reply rather than a reset.
constexpr std::chrono::milliseconds kDrainTime{2000};

// Depth of <value> elements inside each other, counted up to `limit` + 1. The
// library's parser recurses once per level, so this bounds its stack use.
int valueNesting(const std::string& xml, int limit) {
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

XmlRpcValue faultValue(int code, const std::string& message) {
    XmlRpcValue fault;
    fault["faultCode"] = code;
    fault["faultString"] = message;
    return fault;
}

} // namespace

MtcXmlConnection::MtcXmlConnection(int fd, MtcXmlServer* server)
    : XmlRpc::XmlRpcServerConnection(fd, server, true), owner(server), lastActivity(Clock::now()),
      requestStart(lastActivity), lastEvent(lastActivity) {}

MtcXmlConnection::~MtcXmlConnection() {
    owner->holdRequestBytes(requestHeld, 0, true);
    owner->holdReplyBytes(replyHeld, 0);
}

unsigned MtcXmlConnection::handleEvent(unsigned) {
    lastEvent = Clock::now();
    switch (phase) {
    case Phase::Lookup:
        // Not watched while the lookup runs: the loop parks it after this round.
        owner->park(this);
        return XmlRpc::XmlRpcDispatch::ReadableEvent;
    case Phase::Drain:
        return drain();
    case Phase::Write:
        return write();
    case Phase::Read:
        break;
    }
    const unsigned mask = read();
    if (phase == Phase::Lookup) {
        owner->park(this);
        return XmlRpc::XmlRpcDispatch::ReadableEvent;
    }
    if (phase == Phase::Read || mask == 0) return mask;
    return write();
}

unsigned MtcXmlConnection::read() {
    // Empty lines before a request start no deadline; a request, however
    // fast its client sends, has its time.
    if (!request.started()) requestStart = lastEvent;
    if (request.started() && lastEvent - requestStart > owner->requestTimeout) {
        gOutput->trace(QiOutput::Warning,
                       "XmlRpc: a request not complete in time, closing the connection\n");
        return 0;
    }
    // The bytes are looked at where they are and only those the request takes
    // are read: what comes after it (a pipelined request) stays with the
    // system until this one is answered, and no more is taken than the budget
    // of requests being received allows.
    const size_t want =
        std::min(kReadPerEvent, request.bytesAwaited() + owner->requestRoom(requestHeld));
    if (want == 0) {
        busy("requests being received hold %zu bytes, refusing one more\n",
             owner->requestBytesHeld());
        return XmlRpc::XmlRpcDispatch::WritableEvent;
    }
    char buf[kReadPerEvent];
    ssize_t n;
    do
        n = ::recv(getfd(), buf, want, MSG_PEEK | MSG_DONTWAIT);
    while (n < 0 && errno == EINTR);
    if (n < 0)
        return errno == EAGAIN || errno == EWOULDBLOCK ? XmlRpc::XmlRpcDispatch::ReadableEvent : 0;
    if (n == 0) {
        // The client has finished sending.
        if (!request.started()) return 0;
        httpError(400, "Bad Request", "the request ended before it was complete");
        return XmlRpc::XmlRpcDispatch::WritableEvent;
    }
    const size_t used = take(buf, static_cast<size_t>(n));
    // One read per event: every other connection is served, and every
    // deadline checked, between two reads of this one.
    if (used > 0 && ::recv(getfd(), buf, used, MSG_DONTWAIT) != static_cast<ssize_t>(used))
        return 0; // what was just looked at is gone: the connection failed
    return XmlRpc::XmlRpcDispatch::ReadableEvent;
}

size_t MtcXmlConnection::take(const char* data, size_t n) {
    size_t used = 0;
    while (used < n && phase == Phase::Read) {
        const MtcHttpRequest::State before = request.state();
        request.limitHeld(requestHeld + owner->requestRoom(requestHeld));
        used += request.feed(data + used, n - used);
        const MtcHttpRequest::State state = request.state();
        if (state == MtcHttpRequest::State::Failed) {
            const std::string why = request.error(); // the request is dropped
            if (request.tooLarge())
                refuse(why.c_str());
            else
                httpError(request.status(), request.reason(), why);
        } else if (!account() || request.outOfRoom()) {
            busy("requests being received hold %zu bytes, refusing one more\n",
                 owner->requestBytesHeld());
        } else if (state == MtcHttpRequest::State::Complete) {
            closeAfterWrite = !request.keepAlive();
            sayKeepAlive = request.keepAlive() && request.isHttp10();
            startRequest(request.takeBody());
        } else if (before == MtcHttpRequest::State::Header &&
                   state == MtcHttpRequest::State::Body && request.expectsContinue() && used == n) {
            // Asked for once the body has its room (a chunked body's length
            // is not known: room for the largest), and only while the client
            // waits for it (no byte of the body has come yet).
            if (request.chunkedBody() &&
                owner->requestRoom(requestHeld) < MtcHttpRequest::kMaxBodyBytes) {
                busy("requests being received hold %zu bytes, no room for a chunked body\n",
                     owner->requestBytesHeld());
                break;
            }
            interim = true;
            _response = "HTTP/1.1 100 Continue\r\n\r\n";
            countReply();
            phase = Phase::Write;
        }
    }
    return used;
}

bool MtcXmlConnection::account() {
    const size_t now = request.bytesHeld();
    if (!owner->holdRequestBytes(requestHeld, now)) return false;
    requestHeld = now;
    return true;
}

void MtcXmlConnection::countReply() {
    const size_t now = MtcHttpRequest::heapBytes(_response);
    owner->holdReplyBytes(replyHeld, now);
    replyHeld = now;
}

void MtcXmlConnection::startRequest(std::string text) {
    account(); // the body has left the request
    phase = Phase::Write;
    written = 0;
    if (owner->replyRoom(this) < kSmallAnswer) {
        // Nothing runs while the replies held leave no room for an answer.
        busy("replies held come to %zu bytes, refusing a request\n", owner->replyBytesHeld());
        return;
    }
    // The library reads a value up to its first NUL; text that replies cannot
    // carry otherwise reaches the methods, which refuse it with their replies.
    const size_t nul = text.find('\0');
    std::string why;
    if (nul != std::string::npos) {
        char where[96];
        std::snprintf(where, sizeof where, "request is not well-formed XML: byte %zu is NUL", nul);
        gOutput->trace(QiOutput::Warning, "XmlRpc: %s\n", where);
        generateFaultResponse(where);
    } else if (!mtcDecodeCharRefs(text, &why)) {
        generateFaultResponse("request is not well-formed XML: " + why);
    } else {
        _request.swap(text);
        executeRequest();
    }
    countReply();
}

void MtcXmlConnection::executeRequest() {
    // The request's text is given back on every path, once parsed or refused.
    struct Forget {
        std::string& text;
        ~Forget() { std::string().swap(text); }
    } forget{_request};
    if (valueNesting(_request, kMaxNesting) > kMaxNesting) {
        generateFaultResponse("request nested too deeply");
        return;
    }
    XmlRpcValue params;
    std::string method;
    try {
        method = parseRequest(params);
    } catch (const std::exception& e) {
        generateFaultResponse(std::string("malformed request: ") + e.what());
        return;
    }
    std::string().swap(_request);
    mtcDecodeMemberNames(params);
    std::vector<std::string> hosts;
    try {
        hosts = mtcLogHosts(method, params);
    } catch (const XmlRpcException&) {
        hosts.clear(); // the call itself will fault
    }
    if (!hosts.empty() && lookupHere) {
        MtcHostTable found;
        for (const std::string& host : hosts) {
            in_addr address{};
            if (owner->resolveHost(host, &address)) found[host] = address;
        }
        run(method, params, found);
    } else if (!hosts.empty() && (lookup = owner->startLookup(hosts))) {
        // Answered once the names are looked up; the server goes on meanwhile.
        lookupMethod = method;
        lookupParams = params;
        phase = Phase::Lookup;
        phaseStart = Clock::now();
    } else {
        run(method, params, MtcHostTable());
    }
}

void MtcXmlConnection::run(const std::string& method, XmlRpcValue& params,
                           const MtcHostTable& hosts) {
    owner->requestHosts = &hosts;
    // The library turns its own exceptions into faults; anything else thrown
    // inside a method would leave the work loop and end the process.
    try {
        if (method == "system.multicall") {
            runMulticall(params);
        } else {
            XmlRpcValue result;
            if (!executeMethod(method, params, result))
                generateFaultResponse(qiEscapeText(method.c_str()) + ": unknown method name");
            else
                generateResponse(result.toXml());
        }
    } catch (const XmlRpcException& fault) {
        generateFaultResponse(fault.getMessage(), fault.getCode());
    } catch (const std::exception& e) {
        gOutput->trace(QiOutput::Error, "XmlRpc: method failed: %s\n", e.what());
        generateFaultResponse(std::string("internal error: ") + e.what());
    } catch (...) {
        gOutput->trace(QiOutput::Error, "XmlRpc: method failed\n");
        generateFaultResponse("internal error");
    }
    owner->requestHosts = nullptr;
    // Whatever a method answered, a reply no XML client could read never
    // leaves (the methods refuse such text before it is stored).
    const size_t body = _response.find("\r\n\r\n");
    if (body != std::string::npos &&
        !qiIsXmlSafeText(_response.data() + body + 4, _response.size() - body - 4)) {
        gOutput->trace(QiOutput::Error, "XmlRpc: the reply to %s is not well-formed XML\n",
                       qiEscapeText(method.c_str()).c_str());
        generateFaultResponse("the reply holds text that XML cannot carry");
    }
    // A reply larger than the replies held leave room for is not kept. Only
    // a read can answer at such length (the answer to a change is small), so
    // nothing the client asked to change is lost: it may ask again later.
    if (_response.size() > owner->replyRoom(this))
        busy("a reply of %zu bytes would pass the replies held, refusing it\n", _response.size());
}

// The answer to one call of a multicall, as XML: its result in an array of
// one, or a fault; empty when the call gave up waiting for the engine.
std::string MtcXmlConnection::multicallEntry(XmlRpcValue& call) {
    XmlRpcValue answer;
    std::string name;
    try {
        if (call.getType() != XmlRpcValue::TypeStruct || !call.hasMember("methodName") ||
            call["methodName"].getType() != XmlRpcValue::TypeString)
            throw XmlRpcException("system.multicall: a call is a struct with a methodName "
                                  "and params");
        name = static_cast<std::string&>(call["methodName"]);
        if (name == "system.multicall")
            throw XmlRpcException("system.multicall: a multicall cannot hold another");
        XmlRpcValue noParams;
        XmlRpcValue& callParams = call.hasMember("params") ? call["params"] : noParams;
        XmlRpcValue result;
        if (!executeMethod(name, callParams, result)) {
            answer = faultValue(-1, qiEscapeText(name.c_str()) + ": unknown method name");
        } else {
            answer.setSize(1);
            answer[0] = result;
        }
    } catch (const XmlRpcException& fault) {
        answer = faultValue(fault.getCode(), fault.getMessage());
    } catch (const MtCoreBusy&) {
        return std::string();
    } catch (const std::exception& e) {
        gOutput->trace(QiOutput::Error, "XmlRpc: method failed: %s\n", e.what());
        answer = faultValue(-1, std::string("internal error: ") + e.what());
    }
    std::string text = answer.toXml();
    if (qiIsXmlSafeText(text.data(), text.size())) return text;
    // This call's answer alone: the others keep theirs.
    gOutput->trace(QiOutput::Error, "XmlRpc: the reply to %s is not well-formed XML\n",
                   qiEscapeText(name.c_str()).c_str());
    return faultValue(-1, "system.multicall: the reply to this call holds text that XML "
                          "cannot carry")
        .toXml();
}

void MtcXmlConnection::runMulticall(XmlRpcValue& params) {
    if (params.getType() != XmlRpcValue::TypeArray || params.size() != 1 ||
        params[0].getType() != XmlRpcValue::TypeArray)
        throw XmlRpcException("system.multicall: Invalid argument (expected an array)");
    XmlRpcValue& calls = params[0];
    if (calls.size() > kMaxMulticallCalls) {
        char why[96];
        std::snprintf(why, sizeof why, "system.multicall: %d calls, at most %d are taken",
                      calls.size(), kMaxMulticallCalls);
        throw XmlRpcException(why);
    }
    // Each call's reply is turned into text as soon as it is made, and no
    // call runs once the reply could not take a small answer more and still
    // say of every later call that it did not run, nor once the calls have
    // held the server thread for their time: a call that ran is never left
    // out, one that did not run says so, and the whole reply keeps to its
    // bounds. A call waiting for the engine waits until that time at most.
    constexpr size_t kEnvelope = 512; // the HTTP header and the methodResponse around it
    static const char kOpen[] = "<value><array><data>";
    static const char kClose[] = "</data></array></value>";
    const Clock::time_point deadline = Clock::now() + kMulticallTime;
    const MtCore::WaitLimit engineWait(deadline);
    const size_t budget = std::min(kMaxMulticallReply, owner->replyRoom(this));
    const size_t room = budget > kEnvelope ? budget - kEnvelope : 0;
    char full[160];
    std::snprintf(full, sizeof full,
                  "system.multicall: not run, the multicall reached its bound (%lld ms, or a "
                  "reply of %zu bytes)",
                  static_cast<long long>(kMulticallTime.count()), budget);
    const std::string notRun = faultValue(-1, full).toXml();
    const size_t count = static_cast<size_t>(calls.size());
    if (sizeof kOpen + sizeof kClose + count * notRun.size() > room) {
        std::snprintf(full, sizeof full, "system.multicall: the reply would exceed %zu bytes",
                      budget);
        throw XmlRpcException(full);
    }
    std::string xml = kOpen;
    bool stopped = false;
    for (size_t i = 0; i < count; ++i) {
        // Room kept for the calls after this one, were none of them to run.
        const size_t later = (count - i - 1) * notRun.size() + sizeof kClose;
        stopped = stopped || xml.size() + kSmallAnswer + later > room || Clock::now() >= deadline;
        std::string text = stopped ? notRun : multicallEntry(calls[static_cast<int>(i)]);
        if (text.empty() || xml.size() + text.size() + later > room) {
            // Gave up waiting for the engine, or a read whose own reply is
            // too big (an answer to a change is small).
            stopped = true;
            text = notRun;
        }
        xml += text;
    }
    xml += kClose;
    generateResponse(xml);
}

std::string MtcXmlConnection::respondTo(const std::string& body) {
    _response.clear();
    lookupHere = true;
    startRequest(body);
    lookupHere = false;
    std::string reply;
    reply.swap(_response);
    countReply();
    phase = Phase::Read;
    return reply;
}

unsigned MtcXmlConnection::write() {
    if ((closeAfterWrite || sayKeepAlive) && !interim && written == 0 && !_response.empty()) {
        // Tell the client, which may speak HTTP/1.1, that this is the last
        // reply; or one that speaks HTTP/1.0 that the connection is kept.
        const std::string field = closeAfterWrite ? "Connection: close" : "Connection: keep-alive";
        const size_t end = _response.find("\r\n\r\n");
        if (end != std::string::npos && _response.find("Connection: ") > end) {
            std::string out; // exactly as long as it must be, as it is counted
            out.reserve(_response.size() + field.size() + 2);
            out.append(_response, 0, end + 2).append(field).append("\r\n");
            out.append(_response, end + 2, std::string::npos);
            _response.swap(out);
        }
        sayKeepAlive = false;
        countReply();
    }
    // A bounded piece per event, so a fast reader of a long reply does not
    // hold the other connections either.
    constexpr size_t kWritePerEvent = 4 * 1024 * 1024;
    size_t sent = 0;
    while (written < _response.size()) {
        if (sent >= kWritePerEvent) return XmlRpc::XmlRpcDispatch::WritableEvent;
        ssize_t n = ::send(getfd(), _response.data() + written,
                           std::min(_response.size() - written, kWritePerEvent),
                           MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n > 0) {
            written += static_cast<size_t>(n);
            sent += static_cast<size_t>(n);
            lastWrite = Clock::now();
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return XmlRpc::XmlRpcDispatch::WritableEvent;
        return 0; // the client is gone
    }
    std::string().swap(_response);
    written = 0;
    countReply();
    phase = Phase::Read;
    if (std::exchange(interim, false)) return XmlRpc::XmlRpcDispatch::ReadableEvent;
    request.reset();
    lastActivity = Clock::now();
    if (!closeAfterWrite) return XmlRpc::XmlRpcDispatch::ReadableEvent;
    // The whole reply is on its way; let the client read it before the
    // connection goes.
    ::shutdown(getfd(), SHUT_WR);
    phase = Phase::Drain;
    phaseStart = Clock::now();
    return drain();
}

unsigned MtcXmlConnection::drain() {
    // A client that goes on sending after its answer is not read for ever.
    if (Clock::now() - phaseStart > kDrainTime || drained > MtcHttpRequest::kMaxFramingBytes)
        return 0;
    char buf[kReadPerEvent];
    ssize_t n;
    do
        n = ::recv(getfd(), buf, sizeof buf, MSG_DONTWAIT);
    while (n < 0 && errno == EINTR);
    if (n > 0) drained += static_cast<size_t>(n);
    if (n > 0 || (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)))
        return XmlRpc::XmlRpcDispatch::ReadableEvent;
    return 0; // the client has closed too
}

void MtcXmlConnection::dropRequest() {
    request.reset();
    account();
    phase = Phase::Write;
    written = 0;
    closeAfterWrite = true;
    sayKeepAlive = false;
    interim = false;
}

void MtcXmlConnection::refuse(const char* why) {
    gOutput->trace(QiOutput::Warning, "XmlRpc: %s, closing the connection\n", why);
    dropRequest();
    generateFaultResponse(why);
    countReply();
}

void MtcXmlConnection::httpError(int status, const char* reason, const std::string& text) {
    gOutput->trace(QiOutput::Warning, "XmlRpc: %d %s: %s\n", status, reason, text.c_str());
    dropRequest();
    char head[256];
    std::snprintf(head, sizeof head,
                  "HTTP/1.1 %d %s\r\n%sContent-Type: text/plain\r\nContent-Length: %zu\r\n"
                  "Connection: close\r\n\r\n",
                  status, reason, status == 405 ? "Allow: POST\r\n" : "", text.size() + 1);
    _response = std::string(head) + text + "\n";
    countReply();
}

void MtcXmlConnection::busy(const char* format, size_t bytes) {
    char why[160];
    std::snprintf(why, sizeof why, format, bytes);
    gOutput->trace(QiOutput::Warning, "XmlRpc: %s", why);
    httpError(503, "Service Unavailable", "the server is busy, try again later");
}

bool MtcXmlConnection::expired(Clock::time_point now) const {
    switch (phase) {
    case Phase::Lookup:
        return false; // the lookup has its own time-out
    case Phase::Drain:
        return now - phaseStart > kDrainTime;
    case Phase::Write:
        // A long reply to a client that reads slowly may take longer than the
        // request's time: it has the time-out again after every piece taken.
        if (written > 0 && !interim) return now - lastWrite > owner->requestTimeout;
        return now - requestStart > owner->requestTimeout;
    case Phase::Read:
        break;
    }
    if (request.started()) return now - requestStart > owner->requestTimeout;
    return now - lastActivity > owner->idleTimeout;
}

MtcXmlServer::MtcXmlServer()
    : resolveHost([](const std::string& host, in_addr* address) {
          return UdpOutput::resolve(host.c_str(), address);
      }),
      traceOutput([](const in_addr& address, unsigned short port) -> std::shared_ptr<QiOutput> {
          auto udp = std::make_shared<UdpOutput>(address, port);
          if (!udp->hasDestination()) return nullptr;
          return udp;
      }) {}

MtcXmlServer::~MtcXmlServer() {
    // Connections waiting for a lookup are not the dispatcher's to close.
    std::vector<MtcXmlConnection*> left;
    for (const auto& entry : connections)
        left.push_back(entry.second);
    for (MtcXmlConnection* c : left)
        c->close();
    // Nor is the listening socket while accepting rests after a failure.
    if (acceptPaused) close();
    for (LookupThread& t : lookupThreads) {
        // A lookup that a name server still holds ends on its own; it keeps
        // only its own state alive.
        if (t.lookup->finished())
            t.thread.join();
        else
            t.thread.detach();
    }
}

XmlRpc::XmlRpcServerConnection* MtcXmlServer::createConnection(int socket) {
    MtcXmlConnection* c = new MtcXmlConnection(socket, this);
    connections[c] = c;
    return c;
}

unsigned MtcXmlServer::acceptConnection() {
    // Many clients per round while more are waiting: a client that connects
    // behind a flood of busy connections waits in the listen queue until all
    // before it are taken, and each round serves every connection taken.
    // Each accept costs the same however many connections are open: they
    // are counted here, not looked for among the process's descriptors.
    constexpr int kAcceptsPerEvent = 256;
    const size_t limit = connectionLimit();
    for (int i = 0; i < kAcceptsPerEvent && connections.size() <= limit; ++i) {
        const int fd = ::accept4(getfd(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd >= 0) {
            _disp.addSource(createConnection(fd), XmlRpc::XmlRpcDispatch::ReadableEvent);
            continue;
        }
        const int error = errno;
        if (error == EAGAIN || error == EWOULDBLOCK) break; // none waiting
        // A client gone before it was taken, or a network error the system
        // reports on the new connection: the next one may be fine.
        if (error == EINTR || error == ECONNABORTED || error == EPROTO || error == ENETDOWN ||
            error == ENOPROTOOPT || error == EHOSTDOWN || error == ENONET ||
            error == EHOSTUNREACH || error == EOPNOTSUPP || error == ENETUNREACH)
            continue;
        // No descriptor or memory left: the client stays in the listen queue,
        // which would wake every round. The socket is not watched for a while.
        gOutput->trace(QiOutput::Error, "XmlRpc: cannot accept a connection: %s\n",
                       std::strerror(error));
        acceptPaused = true;
        acceptAgain = MtcXmlConnection::Clock::now() + std::chrono::seconds(1);
        return 0; // no longer watched; the library keeps its own socket open
    }
    // One over the limit: end this round of work() so that the loop closes
    // the longest-idle connection before anything else happens.
    if (connections.size() > limit) exit();
    return XmlRpc::XmlRpcDispatch::ReadableEvent;
}

void MtcXmlServer::resumeAccepting() {
    if (!acceptPaused || MtcXmlConnection::Clock::now() < acceptAgain) return;
    acceptPaused = false;
    _disp.addSource(this, XmlRpc::XmlRpcDispatch::ReadableEvent);
}

void MtcXmlServer::workRound(int timeoutMs) {
    using XmlRpc::XmlRpcDispatch;
    XmlRpcDispatch::SourceList& sources = _disp._sources;
    std::vector<pollfd> fds;
    std::vector<XmlRpcDispatch::SourceList::iterator> watched;
    fds.reserve(sources.size());
    watched.reserve(sources.size());
    for (auto it = sources.begin(); it != sources.end(); ++it) {
        const unsigned mask = it->getMask();
        short events = 0;
        if (mask & XmlRpcDispatch::ReadableEvent) events |= POLLIN;
        if (mask & XmlRpcDispatch::WritableEvent) events |= POLLOUT;
        if (mask & XmlRpcDispatch::Exception) events |= POLLPRI;
        fds.push_back(pollfd{it->getSource()->getfd(), events, 0});
        watched.push_back(it);
    }
    if (::poll(fds.data(), fds.size(), timeoutMs) <= 0) return; // time-out, or a signal
    // A source leaves the list only when its own event ends it (sources are
    // closed elsewhere between rounds), so the entries taken above stay valid.
    for (size_t i = 0; i < fds.size(); ++i) {
        const short got = fds[i].revents;
        if (got == 0) continue;
        const auto it = watched[i];
        XmlRpc::XmlRpcSource* source = it->getSource();
        const unsigned mask = it->getMask();
        unsigned next = ~0u;
        if ((got & (POLLIN | POLLHUP | POLLERR)) && (mask & XmlRpcDispatch::ReadableEvent))
            next &= source->handleEvent(XmlRpcDispatch::ReadableEvent);
        if ((got & (POLLOUT | POLLERR)) && (mask & XmlRpcDispatch::WritableEvent))
            next &= source->handleEvent(XmlRpcDispatch::WritableEvent);
        if ((got & (POLLPRI | POLLNVAL)) && (mask & XmlRpcDispatch::Exception))
            next &= source->handleEvent(XmlRpcDispatch::Exception);
        if (next == ~0u) continue;
        if (next != 0) {
            it->getMask() = next;
            continue;
        }
        sources.erase(it);
        if (!source->getKeepOpen()) source->close();
    }
}

size_t MtcXmlServer::connectionLimit() {
    constexpr size_t kSpareFds = 32;     // kept free, as the library's own accept did
    constexpr size_t kUnlimited = 65536; // counted for a larger limit, or none
    rlimit rl{};
    size_t limit = kUnlimited;
    if (getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur != RLIM_INFINITY)
        limit = static_cast<size_t>(std::min<rlim_t>(rl.rlim_cur, kUnlimited));
    const size_t reserve = kSpareFds + std::max<size_t>(64, limit / 4);
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
    toPark.erase(std::remove(toPark.begin(), toPark.end(), connection), toPark.end());
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

bool MtcXmlServer::holdRequestBytes(size_t before, size_t after, bool always) {
    if (after > before && !always && after - before > requestRoom(before)) return false;
    requestsHeld = requestsHeld - before + after;
    if (after < before) freedSinceTrim += before - after;
    return true;
}

size_t MtcXmlServer::requestRoom(size_t held) const {
    // Up to kSmallRequest a request may take the whole budget; past it, not
    // the reserve.
    return roomBesideReserve(requestsHeld, kMaxRequestsHeld, kSmallReserve,
                             held < kSmallRequest ? kSmallRequest - held : 0);
}

void MtcXmlServer::holdReplyBytes(size_t before, size_t after) {
    repliesHeld = repliesHeld - before + after;
    if (after < before) freedSinceTrim += before - after;
}

size_t MtcXmlServer::replyRoom(const MtcXmlConnection* connection) const {
    // A reply under kSmallReply may take the whole budget; one of it or
    // more, not the reserve.
    return roomBesideReserve(repliesHeld - connection->replyBytesHeld(), kMaxRepliesHeld,
                             kSmallReplyReserve, kSmallReply - 1);
}

size_t MtcXmlServer::roomBesideReserve(size_t used, size_t total, size_t reserve,
                                       size_t smallRoom) {
    auto left = [used](size_t limit) { return limit > used ? limit - used : 0; };
    return std::max(left(total - reserve), std::min(smallRoom, left(total)));
}

void MtcXmlServer::returnFreedMemory() {
    // After a burst of large requests or replies the allocator would keep
    // what they held for good; it goes back to the system, at most once a
    // second while bursts go on.
    constexpr size_t kTrimAfter = 32 * 1024 * 1024;
    const auto now = MtcXmlConnection::Clock::now();
    if (freedSinceTrim < kTrimAfter || now - lastTrim < std::chrono::seconds(1)) return;
    OsDep::returnFreedMemory();
    freedSinceTrim = 0;
    lastTrim = now;
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
        server.workRound(500);
        server.finishLookups();
        server.closeExpiredConnections();
        server.closeExcessConnections();
        server.resumeAccepting();
        server.returnFreedMemory();
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
    // port is ours before it tells anyone about it. The listen queue is as
    // long as the system allows: a burst of connections that fills a short
    // one has the system drop a client's connection, which it then tries
    // again only a second or more later.
    if (!d->server.bindAndListen(port, SOMAXCONN)) {
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
    bool safe = true;
    for (auto& member : s) {
        const std::string& key = member.first;
        XmlRpcValue& v = member.second;
        if (!qiIsXmlSafeText(key.data(), key.size())) safe = false;
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
        case XmlRpcValue::TypeString: {
            const std::string& text = static_cast<std::string&>(v);
            if (!qiIsXmlSafeText(text.data(), text.size())) safe = false;
            out.set(key, text);
            break;
        }
        default:
            gOutput->trace(QiOutput::Info, "don't know how to translate type=%d for key=%s\n",
                           static_cast<int>(v.getType()), key.c_str());
            break;
        }
    }
    return safe;
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
