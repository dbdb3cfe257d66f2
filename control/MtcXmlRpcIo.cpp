// The XML-RPC server: facade, server thread, connections and value conversion.
#include "MtcXmlRpcIo.h"
#include "MtcXmlMethod.h"
#include "MtcXmlPrivates.h"
#include "MtcXmlText.h"
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

std::string trimmed(const std::string& text) {
    const char* blanks = " \t";
    size_t a = text.find_first_not_of(blanks);
    if (a == std::string::npos) return std::string();
    return text.substr(a, text.find_last_not_of(blanks) - a + 1);
}

// Whether the comma-separated list `value` holds `token` (ignoring case).
bool hasToken(const std::string& value, const char* token) {
    size_t from = 0;
    while (from <= value.size()) {
        size_t comma = value.find(',', from);
        if (comma == std::string::npos) comma = value.size();
        if (qi::equalsNoCase(trimmed(value.substr(from, comma - from)).c_str(), token)) return true;
        from = comma + 1;
    }
    return false;
}

XmlRpcValue faultValue(int code, const std::string& message) {
    XmlRpcValue fault;
    fault["faultCode"] = code;
    fault["faultString"] = message;
    return fault;
}

// The "Log" host of a SetGen call's parameters, if it names one to look up.
void addLogHost(XmlRpcValue& params, std::vector<std::string>& hosts) {
    if (params.getType() != XmlRpcValue::TypeArray || params.size() < 1) return;
    XmlRpcValue& p = params[0];
    if (p.getType() != XmlRpcValue::TypeStruct || !p.hasMember("Log")) return;
    XmlRpcValue& log = p["Log"];
    if (log.getType() != XmlRpcValue::TypeString) return;
    const std::string& host = static_cast<std::string&>(log);
    if (host == "Reset") return;
    in_addr address{};
    if (UdpOutput::resolve(host.c_str(), &address, true)) return; // dotted text
    // A few names per request: a lookup thread holds its place until every
    // name it was given has answered or failed.
    constexpr size_t kMaxHostsPerRequest = 4;
    if (hosts.size() < kMaxHostsPerRequest &&
        std::find(hosts.begin(), hosts.end(), host) == hosts.end())
        hosts.push_back(host);
}

// The host names that the "Log" calls of a request want looked up.
std::vector<std::string> logHosts(const std::string& method, XmlRpcValue& params) {
    std::vector<std::string> hosts;
    if (method == "SetGen") addLogHost(params, hosts);
    if (method != "system.multicall" || params.getType() != XmlRpcValue::TypeArray ||
        params.size() != 1 || params[0].getType() != XmlRpcValue::TypeArray)
        return hosts;
    XmlRpcValue& calls = params[0];
    for (int i = 0; i < calls.size() && i < MtcXmlConnection::kMaxMulticallCalls; ++i) {
        XmlRpcValue& call = calls[i];
        if (call.getType() != XmlRpcValue::TypeStruct || !call.hasMember("methodName") ||
            !call.hasMember("params"))
            continue;
        XmlRpcValue& name = call["methodName"];
        if (name.getType() == XmlRpcValue::TypeString &&
            static_cast<std::string&>(name) == "SetGen")
            addLogHost(call["params"], hosts);
    }
    return hosts;
}

} // namespace

MtcXmlConnection::MtcXmlConnection(int fd, MtcXmlServer* server)
    : XmlRpc::XmlRpcServerConnection(fd, server, true), owner(server), lastActivity(Clock::now()),
      lastEvent(lastActivity) {}

MtcXmlConnection::~MtcXmlConnection() {
    owner->holdRequestBytes(held, 0);
}

unsigned MtcXmlConnection::handleEvent(unsigned) {
    lastEvent = Clock::now();
    if (phase == Phase::Lookup) {
        // Not watched while the lookup runs: the loop parks it after this round.
        owner->park(this);
        return XmlRpc::XmlRpcDispatch::ReadableEvent;
    }
    if (phase == Phase::Drain) return drain();
    if (phase == Phase::Header || phase == Phase::Body) {
        // However fast the client sends, a request has its time.
        if (inRequest && lastEvent - requestStart > owner->requestTimeout) {
            gOutput->trace(QiOutput::Warning,
                           "XmlRpc: a request not complete in time, closing the connection\n");
            return 0;
        }
        if (!pending.empty()) {
            // What came after the last request, before anything more is read.
            std::string data;
            data.swap(pending);
            take(data.data(), data.size());
        } else {
            // One read per event: every other connection is served, and
            // every deadline checked, between two reads of this one.
            char buf[kReadPerEvent];
            ssize_t n;
            do
                n = ::recv(getfd(), buf, sizeof buf, MSG_DONTWAIT);
            while (n < 0 && errno == EINTR);
            if (n > 0) {
                take(buf, static_cast<size_t>(n));
            } else if (n < 0) {
                if (errno == EAGAIN || errno == EWOULDBLOCK)
                    return XmlRpc::XmlRpcDispatch::ReadableEvent;
                return 0; // the connection failed
            } else {
                // The client has finished sending.
                if (!inRequest) return 0;
                httpError(400, "Bad Request", "the request ended before it was complete");
            }
        }
        if (phase == Phase::Lookup) {
            owner->park(this);
            return XmlRpc::XmlRpcDispatch::ReadableEvent;
        }
        if (phase == Phase::Header || phase == Phase::Body)
            return XmlRpc::XmlRpcDispatch::ReadableEvent;
    }
    return write();
}

void MtcXmlConnection::take(const char* data, size_t n) {
    if (!inRequest) {
        inRequest = true;
        requestStart = Clock::now();
    }
    const size_t used = consume(data, n);
    // Only a complete (or refused) request leaves bytes over: the next
    // request's, taken once this one is answered.
    if (used < n && !closeAfterWrite) pending.append(data + used, n - used);
    if (phase != Phase::Header && phase != Phase::Body) {
        // Answered: what is left is at most one read, counted as it is.
        account(true);
        return;
    }
    if (!account(false)) {
        gOutput->trace(QiOutput::Warning,
                       "XmlRpc: requests being received hold %zu bytes, refusing one more\n",
                       owner->requestBytesHeld());
        httpError(503, "Service Unavailable", "the server is receiving too many requests");
        return;
    }
    if (continueWanted && phase == Phase::Body) {
        // Asked for only once the body has its room.
        continueWanted = false;
        static const char kContinue[] = "HTTP/1.1 100 Continue\r\n\r\n";
        // A fresh exchange: the socket's buffer takes these few bytes whole.
        ssize_t sent =
            ::send(getfd(), kContinue, sizeof kContinue - 1, MSG_DONTWAIT | MSG_NOSIGNAL);
        (void)sent;
    }
}

size_t MtcXmlConnection::consume(const char* data, size_t n) {
    size_t used = 0;
    if (phase == Phase::Header) used = consumeHeader(data, n);
    if (phase != Phase::Body) return used;
    if (!chunked && bodyLength == 0) {
        startRequest(std::string());
        return used;
    }
    if (used == n) return used;
    data += used;
    n -= used;
    size_t step;
    if (chunked) {
        step = consumeChunked(data, n);
    } else {
        step = std::min(n, bodyLength - body.size());
        body.append(data, step);
        requestBytes += step;
        if (body.size() == bodyLength) {
            startRequest(std::exchange(body, std::string()));
        }
    }
    return used + step;
}

size_t MtcXmlConnection::consumeHeader(const char* data, size_t n) {
    size_t used = 0;
    while (used < n) {
        const char* at = data + used;
        const char* nl = static_cast<const char*>(std::memchr(at, '\n', n - used));
        const size_t piece = nl ? static_cast<size_t>(nl - at) + 1 : n - used;
        if (requestBytes + head.size() + piece > kMaxHeaderBytes) {
            httpError(431, "Request Header Fields Too Large", "the request header is too long");
            return used + piece;
        }
        head.append(at, piece);
        used += piece;
        if (!nl) break;
        // A line has ended: an empty one ends the header (empty lines before
        // the request line are passed over).
        const size_t lineLength = head.size() - headLine;
        const bool empty = lineLength == 1 || (lineLength == 2 && head[headLine] == '\r');
        if (empty && headLine == 0) {
            requestBytes += head.size(); // counted with the header
            head.clear();
            continue;
        }
        if (!empty) {
            headLine = head.size();
            continue;
        }
        head.resize(headLine);
        const bool ok = parseHeader();
        std::string().swap(head);
        headLine = 0;
        if (!ok) return used;
        body.clear();
        requestBytes = 0;
        chunk = Chunk::Size;
        chunkLine.clear();
        trailerBytes = 0;
        phase = Phase::Body;
        break;
    }
    return used;
}

size_t MtcXmlConnection::consumeChunked(const char* data, size_t n) {
    size_t used = 0;
    while (used < n && phase == Phase::Body) {
        const char* at = data + used;
        const size_t left = n - used;
        if (requestBytes > kMaxRequestBytes) {
            refuse("request too large");
            return used;
        }
        switch (chunk) {
        case Chunk::Size: {
            const char* nl = static_cast<const char*>(std::memchr(at, '\n', left));
            const size_t piece = nl ? static_cast<size_t>(nl - at) + 1 : left;
            used += piece;
            requestBytes += piece;
            if (chunkLine.size() + piece > kMaxChunkLine) {
                httpError(400, "Bad Request", "chunk-size line too long");
                return used;
            }
            chunkLine.append(at, piece);
            if (!nl) break;
            std::string line = chunkLine.substr(0, chunkLine.size() - 1);
            chunkLine.clear();
            if (!line.empty() && line.back() == '\r') line.pop_back();
            const std::string digits = trimmed(line.substr(0, line.find(';')));
            errno = 0;
            const unsigned long long size = std::strtoull(digits.c_str(), nullptr, 16);
            if (digits.empty() || errno == ERANGE ||
                digits.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
                httpError(400, "Bad Request", "malformed chunk");
                return used;
            }
            if (size > static_cast<unsigned long long>(kMaxBodyBytes) - body.size()) {
                refuse("request too large");
                return used;
            }
            chunkLeft = static_cast<size_t>(size);
            chunkCR = false;
            chunk = size == 0 ? Chunk::Trailer : Chunk::Data;
            trailerBytes = trailerLine = 0;
            trailerCR = false;
            break;
        }
        case Chunk::Data: {
            const size_t piece = std::min(left, chunkLeft);
            body.append(at, piece);
            used += piece;
            requestBytes += piece;
            chunkLeft -= piece;
            if (chunkLeft == 0) chunk = Chunk::DataEnd;
            break;
        }
        case Chunk::DataEnd: // CRLF, or a bare LF
            ++used;
            ++requestBytes;
            if (*at == '\r' && !chunkCR) {
                chunkCR = true;
            } else if (*at == '\n') {
                chunk = Chunk::Size;
            } else {
                httpError(400, "Bad Request", "malformed chunk");
                return used;
            }
            break;
        case Chunk::Trailer: {
            // Trailer lines are not used; they are counted, up to an empty line.
            const char* nl = static_cast<const char*>(std::memchr(at, '\n', left));
            const size_t piece = nl ? static_cast<size_t>(nl - at) + 1 : left;
            used += piece;
            requestBytes += piece;
            trailerBytes += piece;
            if (trailerBytes > kMaxHeaderBytes) {
                httpError(431, "Request Header Fields Too Large",
                          "the request trailer is too long");
                return used;
            }
            if (!nl) {
                trailerLine += piece;
                trailerCR = at[piece - 1] == '\r';
                break;
            }
            const size_t lineLength = trailerLine + piece - 1; // without the LF
            const bool endsInCR = piece > 1 ? at[piece - 2] == '\r' : trailerCR;
            trailerLine = 0;
            trailerCR = false;
            if (lineLength == 0 || (lineLength == 1 && endsInCR)) {
                startRequest(std::exchange(body, std::string()));
            }
            break;
        }
        }
    }
    return used;
}

bool MtcXmlConnection::account(bool always) {
    size_t now = head.size() + body.size() + pending.size() + chunkLine.size();
    // A body of a stated length is counted whole from its header on.
    if (phase == Phase::Body && !chunked) now = std::max(now, bodyLength);
    if (!owner->holdRequestBytes(held, now, always)) return false;
    held = now;
    return true;
}

bool MtcXmlConnection::parseHeader() {
    const std::string& head = this->head;
    size_t lineEnd = head.find('\n');
    std::string requestLine = head.substr(0, lineEnd);
    if (!requestLine.empty() && requestLine.back() == '\r') requestLine.pop_back();
    const size_t sp1 = requestLine.find(' ');
    const size_t sp2 = requestLine.rfind(' ');
    const std::string version = sp2 == std::string::npos ? "" : requestLine.substr(sp2 + 1);
    if (sp1 == std::string::npos || sp1 == sp2 || version.compare(0, 5, "HTTP/") != 0) {
        httpError(400, "Bad Request", "not an HTTP request");
        return false;
    }
    if (requestLine.compare(0, sp1, "POST") != 0) {
        httpError(405, "Method Not Allowed", "XML-RPC requests are sent with POST");
        return false;
    }
    bool keepAlive = version != "HTTP/1.0";
    bool haveLength = false, expectContinue = false;
    chunked = false;
    bodyLength = 0;
    while (lineEnd != std::string::npos) {
        const size_t from = lineEnd + 1;
        lineEnd = head.find('\n', from);
        std::string line =
            head.substr(from, lineEnd == std::string::npos ? lineEnd : lineEnd - from);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty()) continue;
        const size_t colon = line.find(':');
        if (colon == std::string::npos || colon == 0) {
            httpError(400, "Bad Request", "malformed header line");
            return false;
        }
        const std::string name = line.substr(0, colon);
        const std::string value = trimmed(line.substr(colon + 1));
        auto is = [](const std::string& text, const char* what) {
            return qi::equalsNoCase(text.c_str(), what);
        };
        if (is(name, "content-length")) {
            errno = 0;
            const unsigned long long n = std::strtoull(value.c_str(), nullptr, 10);
            if (value.empty() || value.find_first_not_of("0123456789") != std::string::npos ||
                errno == ERANGE || (haveLength && n != bodyLength)) {
                httpError(400, "Bad Request", "invalid Content-Length");
                return false;
            }
            if (n > static_cast<unsigned long long>(kMaxBodyBytes)) {
                refuse("request too large");
                return false;
            }
            bodyLength = static_cast<size_t>(n);
            haveLength = true;
        } else if (is(name, "transfer-encoding")) {
            if (!is(value, "chunked")) {
                httpError(501, "Not Implemented", "unsupported Transfer-Encoding");
                return false;
            }
            chunked = true;
        } else if (is(name, "connection")) {
            if (hasToken(value, "close")) keepAlive = false;
            if (hasToken(value, "keep-alive")) keepAlive = true;
        } else if (is(name, "expect")) {
            if (!is(value, "100-continue")) {
                httpError(417, "Expectation Failed", "unsupported expectation");
                return false;
            }
            expectContinue = true;
        }
    }
    if (chunked && haveLength) {
        httpError(400, "Bad Request", "both Content-Length and Transfer-Encoding");
        return false;
    }
    if (!chunked && !haveLength) {
        httpError(411, "Length Required", "a request needs a Content-Length");
        return false;
    }
    closeAfterWrite = !keepAlive;
    continueWanted = expectContinue;
    return true;
}

void MtcXmlConnection::startRequest(std::string request) {
    requestBytes = 0; // the next request's count starts with its header
    // The library reads a value up to its first NUL; text that replies cannot
    // carry otherwise reaches the methods, which refuse it with their replies.
    const size_t nul = request.find('\0');
    if (nul != std::string::npos) {
        char why[96];
        std::snprintf(why, sizeof why, "request is not well-formed XML: byte %zu is NUL", nul);
        gOutput->trace(QiOutput::Warning, "XmlRpc: %s\n", why);
        generateFaultResponse(why);
        phase = Phase::Write;
        return;
    }
    std::string why;
    if (!mtcDecodeCharRefs(request, &why)) {
        generateFaultResponse("request is not well-formed XML: " + why);
        phase = Phase::Write;
        return;
    }
    _request.swap(request);
    executeRequest();
    if (phase != Phase::Lookup) phase = Phase::Write;
}

void MtcXmlConnection::executeRequest() {
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
        hosts = logHosts(method, params);
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
        return;
    }
    if (!hosts.empty() && (lookup = owner->startLookup(hosts))) {
        // Answered once the names are looked up; the server goes on meanwhile.
        lookupMethod = method;
        lookupParams = params;
        phase = Phase::Lookup;
        phaseStart = Clock::now();
        return;
    }
    run(method, params, MtcHostTable());
}

bool MtcXmlConnection::lookupFinished(Clock::time_point now) {
    if (phase != Phase::Lookup) return false;
    return lookup->finished() || now - phaseStart > owner->lookupTimeout;
}

void MtcXmlConnection::finishLookup() {
    MtcHostTable hosts;
    {
        std::lock_guard<std::mutex> lock(lookup->mutex);
        hosts = lookup->addresses;
    }
    lookup.reset();
    XmlRpcValue params = lookupParams;
    lookupParams.clear();
    phase = Phase::Write;
    requestStart = Clock::now(); // the reply has its own time to leave
    run(lookupMethod, params, hosts);
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
    // say of every later call that it did not run: a call that ran is never
    // left out, one that did not run says so, and the whole reply keeps to
    // its bound.
    constexpr size_t kSmallAnswer = 4096;
    constexpr size_t kEnvelope = 512; // the HTTP header and the methodResponse around it
    static const char kOpen[] = "<value><array><data>";
    static const char kClose[] = "</data></array></value>";
    const size_t budget = owner->multicallBudget(this);
    const size_t room = budget > kEnvelope ? budget - kEnvelope : 0;
    char full[128];
    std::snprintf(full, sizeof full, "system.multicall: not run, the reply would exceed %zu bytes",
                  budget);
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
        if (xml.size() + kSmallAnswer + later > room) stopped = true;
        if (stopped) {
            xml += notRun;
            continue;
        }
        XmlRpcValue answer;
        std::string name;
        try {
            XmlRpcValue& call = calls[static_cast<int>(i)];
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
        } catch (const std::exception& e) {
            gOutput->trace(QiOutput::Error, "XmlRpc: method failed: %s\n", e.what());
            answer = faultValue(-1, std::string("internal error: ") + e.what());
        }
        std::string text = answer.toXml();
        answer.clear();
        if (!qiIsXmlSafeText(text.data(), text.size())) {
            // This call's answer alone: the others keep theirs.
            gOutput->trace(QiOutput::Error, "XmlRpc: the reply to %s is not well-formed XML\n",
                           qiEscapeText(name.c_str()).c_str());
            text = faultValue(-1, "system.multicall: the reply to this call holds text that XML "
                                  "cannot carry")
                       .toXml();
        }
        if (xml.size() + text.size() + later > room) {
            // A read whose own reply is too big (an answer to a change is small).
            stopped = true;
            text = notRun;
        }
        xml += text;
    }
    xml += kClose;
    generateResponse(xml);
}

std::string MtcXmlConnection::respondTo(const std::string& request) {
    _response.clear();
    phase = Phase::Body;
    lookupHere = true;
    startRequest(request);
    lookupHere = false;
    std::string reply;
    reply.swap(_response);
    phase = Phase::Header;
    return reply;
}

unsigned MtcXmlConnection::write() {
    if (closeAfterWrite && written == 0 && !_response.empty()) {
        // Tell the client, which may speak HTTP/1.1, that this is the last reply.
        const size_t end = _response.find("\r\n\r\n");
        if (end != std::string::npos && _response.find("Connection: close") > end)
            _response.insert(end + 2, "Connection: close\r\n");
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
    inRequest = false;
    lastActivity = Clock::now();
    if (closeAfterWrite) {
        // The whole reply is on its way; let the client read it before the
        // connection goes.
        ::shutdown(getfd(), SHUT_WR);
        dropRequest();
        phase = Phase::Drain;
        phaseStart = Clock::now();
        return drain();
    }
    phase = Phase::Header;
    // A request that came with this one is taken at the next event (the
    // socket is writable at once), one request per event.
    if (!pending.empty()) return XmlRpc::XmlRpcDispatch::WritableEvent;
    return XmlRpc::XmlRpcDispatch::ReadableEvent;
}

unsigned MtcXmlConnection::drain() {
    // A client that goes on sending after its answer is not read for ever.
    if (Clock::now() - phaseStart > kDrainTime || drained > kMaxRequestBytes) return 0;
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
    std::string().swap(pending);
    std::string().swap(head);
    std::string().swap(body);
    std::string().swap(chunkLine);
    headLine = 0;
    bodyLength = 0;
    requestBytes = 0;
    chunked = false;
    account(true);
}

void MtcXmlConnection::refuse(const char* why) {
    gOutput->trace(QiOutput::Warning, "XmlRpc: %s, closing the connection\n", why);
    dropRequest();
    generateFaultResponse(why);
    closeAfterWrite = true;
    phase = Phase::Write;
}

void MtcXmlConnection::httpError(int status, const char* reason, const std::string& text) {
    gOutput->trace(QiOutput::Warning, "XmlRpc: %d %s: %s\n", status, reason, text.c_str());
    dropRequest();
    char head[256];
    std::snprintf(head, sizeof head,
                  "HTTP/1.1 %d %s\r\nContent-Type: text/plain\r\nContent-Length: %zu\r\n"
                  "Connection: close\r\n\r\n",
                  status, reason, text.size() + 1);
    _response = std::string(head) + text + "\n";
    written = 0;
    closeAfterWrite = true;
    phase = Phase::Write;
}

bool MtcXmlConnection::expired(Clock::time_point now) const {
    if (phase == Phase::Lookup) return false; // the lookup has its own time-out
    if (phase == Phase::Drain) return now - phaseStart > kDrainTime;
    // A long reply to a client that reads slowly may take longer than that:
    // it has the time-out again after every piece the client takes.
    if (phase == Phase::Write && written > 0) return now - lastWrite > owner->requestTimeout;
    if (inRequest) return now - requestStart > owner->requestTimeout;
    return now - lastActivity > owner->idleTimeout;
}

void MtcWakeHandle::wake() {
    std::lock_guard<std::mutex> lock(mutex);
    if (fd < 0) return;
    char c = 1;
    ssize_t n = ::write(fd, &c, 1);
    (void)n; // a full pipe already holds a wake-up
}

bool MtcHostLookup::finished() {
    std::lock_guard<std::mutex> lock(mutex);
    return done;
}

MtcXmlServer::MtcXmlServer()
    : resolveHost([](const std::string& host, in_addr* address) {
          return UdpOutput::resolve(host.c_str(), address);
      }) {}

MtcXmlServer::~MtcXmlServer() {
    // Connections waiting for a lookup are not the dispatcher's to close.
    std::vector<MtcXmlConnection*> left;
    for (const auto& entry : connections)
        left.push_back(entry.second);
    for (MtcXmlConnection* c : left)
        c->close();
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
    // Several clients per round while more are waiting, so a flood of
    // connections does not fill the short listen queue for long and a
    // client's connection is not dropped there.
    constexpr int kAcceptsPerEvent = 16;
    const size_t limit = connectionLimit();
    unsigned mask = XmlRpc::XmlRpcServer::acceptConnection();
    for (int i = 1; i < kAcceptsPerEvent && mask != 0 && connections.size() <= limit; ++i) {
        pollfd waiting{getfd(), POLLIN, 0};
        if (::poll(&waiting, 1, 0) != 1 || !(waiting.revents & POLLIN)) break;
        mask = XmlRpc::XmlRpcServer::acceptConnection();
    }
    // One over the limit: end this round of work() so that the loop closes
    // the longest-idle connection before anything else happens.
    if (connections.size() > limit) exit();
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

void MtcXmlServer::park(MtcXmlConnection* connection) {
    if (std::find(toPark.begin(), toPark.end(), connection) == toPark.end())
        toPark.push_back(connection);
    exit(); // parked between this round and the next
}

void MtcXmlServer::finishLookups() {
    for (MtcXmlConnection* c : toPark)
        if (c->waitingForLookup()) _disp.removeSource(c);
    toPark.clear();
    const auto now = MtcXmlConnection::Clock::now();
    std::vector<MtcXmlConnection*> ready;
    for (const auto& entry : connections)
        if (entry.second->lookupFinished(now)) ready.push_back(entry.second);
    for (MtcXmlConnection* c : ready) {
        c->finishLookup();
        _disp.addSource(c, XmlRpc::XmlRpcDispatch::WritableEvent);
    }
    // Threads whose lookup ended are joined; the others go on.
    for (auto it = lookupThreads.begin(); it != lookupThreads.end();) {
        if (it->lookup->finished()) {
            it->thread.join();
            it = lookupThreads.erase(it);
        } else {
            ++it;
        }
    }
}

std::shared_ptr<MtcHostLookup> MtcXmlServer::startLookup(const std::vector<std::string>& hosts) {
    if (!wakeHandle) return nullptr;
    size_t running = 0;
    for (LookupThread& t : lookupThreads)
        running += !t.lookup->finished();
    if (running >= static_cast<size_t>(kMaxLookups)) {
        gOutput->trace(QiOutput::Warning, "XmlRpc: %zu name lookups running, not one more\n",
                       running);
        return nullptr;
    }
    auto lookup = std::make_shared<MtcHostLookup>();
    auto resolve = resolveHost;
    std::shared_ptr<MtcWakeHandle> wake = wakeHandle;
    std::thread thread([lookup, hosts, resolve, wake]() {
        for (const std::string& host : hosts) {
            in_addr address{};
            const bool found = resolve(host, &address);
            std::lock_guard<std::mutex> lock(lookup->mutex);
            if (found) lookup->addresses[host] = address;
        }
        {
            std::lock_guard<std::mutex> lock(lookup->mutex);
            lookup->done = true;
        }
        wake->wake();
    });
    lookupThreads.push_back({lookup, std::move(thread)});
    return lookup;
}

bool MtcXmlServer::holdRequestBytes(size_t before, size_t after, bool always) {
    if (after > before && !always) {
        const size_t limit =
            after > kSmallRequest ? kMaxRequestsHeld - kSmallReserve : kMaxRequestsHeld;
        if (requestBytes - before + after > limit) return false;
    }
    requestBytes = requestBytes - before + after;
    return true;
}

size_t MtcXmlServer::multicallBudget(const MtcXmlConnection* connection) const {
    size_t held = 0;
    for (const auto& entry : connections)
        if (entry.second != connection) held += entry.second->replyBytesHeld();
    const size_t left = held < kMaxRepliesHeld ? kMaxRepliesHeld - held : 0;
    return std::min(MtcXmlConnection::kMaxMulticallReply, left);
}

// ------------------------------------------------------------------ wake-up

MtcXmlWake::MtcXmlWake(MtcXmlServer* s) : server(s), handle(std::make_shared<MtcWakeHandle>()) {
    int fds[2];
    if (pipe2(fds, O_NONBLOCK | O_CLOEXEC) == 0) {
        setfd(fds[0]);
        handle->fd = fds[1];
        server->wakeHandle = handle;
    }
}

MtcXmlWake::~MtcXmlWake() {
    if (getfd() >= 0) ::close(getfd());
    std::lock_guard<std::mutex> lock(handle->mutex);
    if (handle->fd >= 0) ::close(handle->fd);
    handle->fd = -1;
}

unsigned MtcXmlWake::handleEvent(unsigned) {
    char buf[64];
    while (::read(getfd(), buf, sizeof buf) > 0) {
    }
    server->exit(); // ends the current work() round; the loop then checks its flag
    return XmlRpc::XmlRpcDispatch::ReadableEvent;
}

void MtcXmlWake::wake() {
    handle->wake();
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
        server.finishLookups();
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
