// "Log" requests name hosts to send the trace to: their names are looked up
// on threads of their own, so a slow name server never holds the server
// thread, which is woken through a pipe when a lookup ends.
#include "MtcXmlPrivates.h"

#include "QiOutput.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

using XmlRpc::XmlRpcValue;

namespace {

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

} // namespace

std::vector<std::string> mtcLogHosts(const std::string& method, XmlRpcValue& params) {
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
    countReply();
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
