// The eight XML-RPC methods and the trace redirection.
#include "MtcXmlMethod.h"
#include "MtcXmlPrivates.h"
#include "MtcXmlRpcIo.h"

#include "MtCore.h"
#include "QiArgRetVal.h"
#include "QiOutput.h"
#include "QiText.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

using XmlRpc::XmlRpcException;
using XmlRpc::XmlRpcValue;

namespace {

constexpr unsigned short kTracePort = 5112;
constexpr size_t kMaxAliasName = 80;
constexpr size_t kMaxReplyText = 79;
// SetAlias's reply to an alias it cannot store.
constexpr const char* kAliasRefused = "Cannot set null alias";

// The local trace output put aside while gOutput sends to the network; null
// while no redirection is in place. Only the holder's exchange replaces
// gOutput, so a thread tracing through the old output keeps it alive until
// its line is written.
std::shared_ptr<QiOutput> sOldQo;
std::mutex sOldQoMx;

bool hasParams(XmlRpcValue& params) {
    return params.getType() == XmlRpcValue::TypeArray && params.size() > 0;
}

int typeCode(const XmlRpcValue& v) {
    return static_cast<int>(v.getType());
}

// A string member of a struct, or empty when absent; another type is the
// library's type-error fault.
std::string memberText(XmlRpcValue& s, const char* name) {
    if (!s.hasMember(name)) return std::string();
    return static_cast<std::string&>(s[name]);
}

// Whether a client's text can be stored and sent back: a reply carrying
// anything else would be unreadable for every client.
bool replyable(const std::string& text) {
    return qiIsXmlSafeText(text.data(), text.size());
}

void refuseText(const char* method, const std::string& text) {
    gOutput->trace(QiOutput::Warning, "%s: '%s' is not text a reply can carry, refused\n", method,
                   qiEscapeText(text.c_str()).c_str());
}

void listToArray(const std::vector<QiArgRetVal>& list, XmlRpcValue& out) {
    out.setSize(static_cast<int>(list.size()));
    for (size_t i = 0; i < list.size(); ++i) {
        QiArgRetVal record = list[i];
        qiArv_rpcVal(record, out[static_cast<int>(i)]);
    }
}

// "Log": send trace lines to port 5112 of `host`, or back to the local output.
// The server's requestHosts holds what it looked up for this request (names
// are never looked up on the server thread, where a silent name server would
// hold every client); without it, as when called in-process, the name is
// looked up here. Lookups and the output go through the server's resolveHost
// and traceOutput.
std::string redirectTrace(const std::string& host, MtcXmlServer& server) {
    const MtcHostTable* hosts = server.requestHosts;
    std::lock_guard<std::mutex> lock(sOldQoMx);
    if (host == "Reset") {
        if (!sOldQo) return "Not Redirected";
        gOutput.exchange(sOldQo); // the network output dies with its last writer
        sOldQo.reset();
        return "Redirected to local";
    }
    in_addr address{};
    bool found;
    if (hosts) {
        auto it = hosts->find(host);
        found = it != hosts->end();
        if (found)
            address = it->second;
        else
            found = UdpOutput::resolve(host.c_str(), &address, true);
    } else {
        found = server.resolveHost(host, &address);
    }
    std::shared_ptr<QiOutput> net = found ? server.traceOutput(address, kTracePort) : nullptr;
    if (!net) {
        // Keep tracing where it goes now rather than into a black hole.
        gOutput->trace(QiOutput::Warning, "SetGen: cannot redirect trace to '%s'\n", host.c_str());
        return mtcCutUtf8("Cannot redirect to " + host, kMaxReplyText);
    }
    std::shared_ptr<QiOutput> previous = gOutput.exchange(net);
    if (!sOldQo) sOldQo = previous;
    return "Redirected to Net";
}

} // namespace

std::string mtcCutUtf8(const std::string& text, size_t maxBytes) {
    if (text.size() <= maxBytes) return text;
    size_t n = maxBytes;
    // Step back over continuation bytes (10xxxxxx) to the start of the
    // sequence that would be cut, and drop that sequence.
    while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80)
        --n;
    return text.substr(0, n);
}

// ------------------------------------------------------------------- base

MtcXmlMethod::MtcXmlMethod(const char* name, MtcXmlPrivates* o)
    : XmlRpc::XmlRpcServerMethod(name, &o->server), owner(o) {}

MtcXmlMethod::~MtcXmlMethod() = default;

std::string MtcXmlMethod::help() {
    return std::string();
}

// ----------------------------------------------------------------- SetGen

SetGen::SetGen(MtcXmlPrivates* o) : MtcXmlMethod("SetGen", o) {}

std::string SetGen::help() {
    return "Generate a Named pattern or set generator parameters.  Pattern can be by string, or "
           "by structure {Pattern:\"name\", ...}";
}

void SetGen::execute(XmlRpcValue& params, XmlRpcValue& result) {
    if (!hasParams(params)) {
        result = "bad parameters";
        return;
    }
    MtCore* core = owner->core;
    XmlRpcValue& p = params[0];
    switch (p.getType()) {
    case XmlRpcValue::TypeStruct: {
        if (p.hasMember("Log")) {
            const std::string& host = static_cast<std::string&>(p["Log"]);
            if (!replyable(host)) {
                refuseText("SetGen", host);
                result =
                    mtcCutUtf8("Cannot redirect to " + qiEscapeText(host.c_str()), kMaxReplyText);
                return;
            }
            result = redirectTrace(host, owner->server);
            return;
        }
        QiArgRetVal request;
        if (!rpcValStruct_qiArv(params, request)) {
            gOutput->trace(QiOutput::Warning,
                           "SetGen: a name or value is not text a reply can carry, refused\n");
            result = -1;
            return;
        }
        result = core ? core->asyncSetGen(request) : -1;
        return;
    }
    case XmlRpcValue::TypeString: {
        const std::string& name = static_cast<std::string&>(p);
        if (!replyable(name)) {
            refuseText("SetGen", name);
            result = -1;
            return;
        }
        result = core ? core->asyncSetPattern(name.c_str()) : -1;
        return;
    }
    default:
        gOutput->trace(QiOutput::Info, "don't know how to display a pattern for type=%d\n",
                       typeCode(p));
        result = -1;
        return;
    }
}

// ---------------------------------------------------------- PatternOption

PatternOption::PatternOption(MtcXmlPrivates* o) : MtcXmlMethod("PatternOption", o) {}

std::string PatternOption::help() {
    return "Returns a list of patterns and aliases supported, or details about a specific pattern";
}

void PatternOption::execute(XmlRpcValue& params, XmlRpcValue& result) {
    MtCore* core = owner->core;
    if (!hasParams(params)) {
        if (!core) return;
        QiArgRetVal list;
        core->getPatList(list);
        qiArv_rpcVal(list, result);
        return;
    }
    XmlRpcValue& p = params[0];
    std::string name; // our own copy: the request's values die with the request
    if (p.getType() == XmlRpcValue::TypeString)
        name = static_cast<std::string&>(p);
    else if (p.getType() == XmlRpcValue::TypeStruct)
        name = memberText(p, "Pattern");
    else
        throw XmlRpcException("type error: expected a string or a struct");
    if (!core) return;
    std::vector<QiArgRetVal> options;
    if (!replyable(name) || !core->getPatOpts(name.c_str(), options)) {
        result = "error";
        return;
    }
    if (!options.empty()) listToArray(options, result);
}

// ---------------------------------------------------------- GetGenOptions

GetGenOptions::GetGenOptions(MtcXmlPrivates* o) : MtcXmlMethod("GetGenOptions", o) {}

std::string GetGenOptions::help() {
    return "Returns a list of generator options and their current settings";
}

void GetGenOptions::execute(XmlRpcValue&, XmlRpcValue& result) {
    MtCore* core = owner->core;
    if (!core) return;
    std::vector<QiArgRetVal> options;
    core->getGenOpts(options);
    listToArray(options, result);
}

// --------------------------------------------------------------- SetAlias

SetAlias::SetAlias(MtcXmlPrivates* o) : MtcXmlMethod("SetAlias", o) {}

std::string SetAlias::help() {
    return "Set an alias for the given structure, the current pattern and settings, or the "
           "current output settings}";
}

void SetAlias::execute(XmlRpcValue& params, XmlRpcValue& result) {
    if (!hasParams(params)) {
        result = kAliasRefused;
        return;
    }
    XmlRpcValue& p = params[0];
    if (p.getType() != XmlRpcValue::TypeStruct) {
        gOutput->trace(QiOutput::Warning, "don't know how to set an alias for type=%d\n",
                       typeCode(p));
        result = "bad datatype for alias";
        return;
    }
    QiArgRetVal args;
    if (!rpcValStruct_qiArv(params, args)) {
        gOutput->trace(QiOutput::Warning,
                       "SetAlias: a name or value is not text a reply can carry, refused\n");
        result = kAliasRefused;
        return;
    }
    const char* text = nullptr;
    if (!args.find("AliasName", &text)) {
        result = "no name for alias";
        return;
    }
    const std::string name = mtcCutUtf8(text, kMaxAliasName);
    MtCore* core = owner->core;
    const char* type = nullptr;
    if (args.find("AliasType", &type)) {
        if (std::strcmp(type, "Pattern") == 0) {
            // Refused, for one, while the current pattern is itself an alias.
            bool stored = !core || core->addCurrentAlias(name.c_str(), true, false);
            result = stored ? name : kAliasRefused;
        } else {
            result = mtcCutUtf8(std::string("Unsupported AliasType ") + type, kMaxReplyText);
        }
        return;
    }
    args.remove("AliasName");
    // A refusal (no such pattern, the table full) is traced by the engine.
    bool stored = !core || core->addAlias(name.c_str(), args);
    result = stored ? name : kAliasRefused;
}

// --------------------------------------------------------------- MMCAlias

MMCAlias::MMCAlias(MtcXmlPrivates* o) : MtcXmlMethod("MMCAlias", o) {}

std::string MMCAlias::help() {
    return "Set or flushes aliases for MMC files";
}

void MMCAlias::execute(XmlRpcValue& params, XmlRpcValue& result) {
    if (!hasParams(params)) {
        gOutput->trace(QiOutput::Warning, "MMCAlias: no parameters\n");
        return;
    }
    MtCore* core = owner->core;
    XmlRpcValue& p = params[0];
    // Folders named by a client are scanned for image files only: loading a
    // plug-in would run code from wherever the client points.
    switch (p.getType()) {
    case XmlRpcValue::TypeString: {
        if (!core) return;
        const std::string path = static_cast<std::string&>(p);
        if (!replyable(path)) {
            refuseText("MMCAlias", path); // its aliases would name it
            return;
        }
        if (path == "flush") {
            core->removeAliasesByPrefix("mmc/");
            result = "flushed mmc aliases";
            gOutput->trace(QiOutput::Minutiae, "flushed mmc aliases\n");
        } else {
            core->scanFolder(path.c_str(), "mmc/", false);
        }
        return;
    }
    case XmlRpcValue::TypeStruct: {
        std::string prefix = memberText(p, "Prefix");
        const std::string path = memberText(p, "Path");
        if (prefix.empty() || path.empty() || !core || !replyable(prefix) || !replyable(path)) {
            result = "invalid arguments";
            return;
        }
        prefix += "/";
        if (path == "flush") {
            core->removeAliasesByPrefix(prefix.c_str());
            result = "flushed " + prefix + " aliases";
            gOutput->trace(QiOutput::Minutiae, "flushed %s aliases\n", prefix.c_str());
        } else {
            gOutput->trace(QiOutput::Minutiae, "scan folder %s, (prefix %s) \n", path.c_str(),
                           prefix.c_str());
            core->scanFolder(path.c_str(), prefix.c_str(), false);
        }
        return;
    }
    default:
        gOutput->trace(QiOutput::Warning, "don't know how to set an mmc alias for type=%d\n",
                       typeCode(p));
        return;
    }
}

// ------------------------------------------------------- GetDreskoVersion

GetDreskoVersion::GetDreskoVersion(MtcXmlPrivates* o) : MtcXmlMethod("GetDreskoVersion", o) {}

std::string GetDreskoVersion::help() {
    return "Returns a list of generator options and their current settings";
}

void GetDreskoVersion::execute(XmlRpcValue&, XmlRpcValue& result) {
    static const char* const keys[5] = {"Software", "Gateware", "OS", "Serial", "Application"};
    static const char* const placeholders[5] = {"Software-Version", "Gateware-Version",
                                                "Operating-System-Version", "Serial-Number",
                                                "Application-Version"};
    XmlRpcValue record;
    MtCore* core = owner->core;
    const char** version = core ? core->getVersion() : nullptr;
    for (int i = 0; i < 5; ++i) {
        const char* text = version ? version[i + 1] : placeholders[i];
        record[keys[i]] = text ? text : "";
    }
    result.setSize(1);
    result[0] = record;
}

// --------------------------------------------------------------- ReadEdid

ReadEdid::ReadEdid(MtcXmlPrivates* o) : MtcXmlMethod("ReadEdid", o) {}

std::string ReadEdid::help() {
    return "Returns the EDID table as read from the display";
}

void ReadEdid::execute(XmlRpcValue&, XmlRpcValue& result) {
    MtCore* core = owner->core;
    unsigned char* data = nullptr;
    unsigned long length = 0;
    if (core && core->getEdid(data, length) && data && length <= 0x7FFFFFFF)
        result = XmlRpcValue(data, static_cast<int>(length));
    else
        result = "EDID not Available";
    std::free(data);
}

// ---------------------------------------------------------- RescanFormats

RescanFormats::RescanFormats(MtcXmlPrivates* o) : MtcXmlMethod("RescanFormats", o) {}

std::string RescanFormats::help() {
    return "Causes the Dresko to update it's video format list.";
}

void RescanFormats::execute(XmlRpcValue&, XmlRpcValue& result) {
    MtCore* core = owner->core;
    if (core) core->rescanFormats();
    result = "Ok";
}
