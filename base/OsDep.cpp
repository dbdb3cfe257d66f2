#include "OsDep.h"

#include "QiOutput.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#if defined(__GLIBC__)
#include <malloc.h>
#endif
#include <net/if.h>
#include <netinet/in.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace {

// Power-assertion state of the display-sleep calls. No assertion can be
// created on this platform, so the flag stays false.
std::atomic<bool> sSleepDisabledPred{false};

void traceNotAvailable(const char* function) {
    gOutput->trace(QiOutput::Minutiae, "%s: not available on this platform\n", function);
}

// The running executable's path, read from /proc/self/exe; empty on failure.
std::string executablePath() {
    std::string path(256, '\0');
    for (;;) {
        ssize_t n = ::readlink("/proc/self/exe", &path[0], path.size());
        if (n < 0) return std::string();
        if (static_cast<size_t>(n) < path.size()) {
            path.resize(static_cast<size_t>(n));
            return path;
        }
        if (path.size() >= 65536) return std::string();
        path.resize(path.size() * 2); // the link may have been cut short
    }
}

} // namespace

OsDep::OsDep(std::string id) : appId(std::move(id)) {}

void OsDep::setAppForeground(bool foreground) {
    foreground_.store(foreground);
}

std::string& OsDep::getResourcePath(std::string& out) {
    std::string exe = executablePath();
    size_t slash = exe.rfind('/');
    if (exe.empty() || slash == std::string::npos) {
        out = "./";
        return out;
    }
    out = exe.substr(0, slash); // "" for an executable in "/"
    out += '/';
    return out;
}

std::string& OsDep::getHomePath(std::string& out) {
    const char* home = std::getenv("HOME");
    out = home ? home : "";
    return out;
}

std::vector<IfAddr> OsDep::getIpAddrs() {
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) return {};
    std::vector<IfAddr> result = ipAddrsFrom(list);
    ::freeifaddrs(list);
    return result;
}

std::vector<IfAddr> OsDep::ipAddrsFrom(const ifaddrs* list) {
    std::vector<IfAddr> result;
    for (const ifaddrs* entry = list; entry; entry = entry->ifa_next) {
        if (entry->ifa_flags & IFF_LOOPBACK) continue;
        if (!entry->ifa_addr || entry->ifa_addr->sa_family != AF_INET) continue;
        sockaddr_in addr;
        std::memcpy(&addr, entry->ifa_addr, sizeof addr);
        char text[INET_ADDRSTRLEN] = {};
        if (!::inet_ntop(AF_INET, &addr.sin_addr, text, sizeof text)) continue;
        result.emplace_back(entry->ifa_name ? entry->ifa_name : "", text, addr.sin_addr.s_addr);
    }
    return result;
}

bool OsDep::disableSystemSleep() {
    traceNotAvailable(__func__);
    sSleepDisabledPred.store(false);
    gOutput->trace(QiOutput::Minutiae, "%s: sSleepDisabledPred is %d\n", __func__, 0);
    return false;
}

void OsDep::returnFreedMemory() {
#if defined(__GLIBC__)
    malloc_trim(0);
#endif
}

bool OsDep::enableSystemSleep() {
    bool held = sSleepDisabledPred.load();
    gOutput->trace(QiOutput::Minutiae, "%s: sSleepDisabledPred is %d\n", __func__, held ? 1 : 0);
    return held;
}

bool OsDep::getRunAtLogin() {
    traceNotAvailable(__func__);
    gOutput->trace(QiOutput::Minutiae, "%s: (returns %s)\n", __func__, "no");
    return false;
}

void OsDep::setRunAtLogin(bool) {
    traceNotAvailable(__func__);
}

bool OsDep::getPrefUInt(std::string, unsigned& value) {
    value = 0;
    traceNotAvailable(__func__);
    return true;
}

bool OsDep::setPrefUInt(std::string, unsigned) {
    traceNotAvailable(__func__);
    return false;
}

std::string& OsDep::getAppDataFolder(std::string& out) {
    traceNotAvailable(__func__);
    return out;
}
