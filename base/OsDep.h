// Operating-system services used by the generator.
//
// `OsDep` gathers the few things taken from the operating system: the folder
// that holds the data folder "mtdata", the user's home folder, switching the
// process between a foreground application and a tray-only one, and the list
// of the machine's IPv4 addresses. On Linux the resources folder is the folder
// of the running executable (the build places "mtdata" beside the programs).
//
// The display-sleep assertion, the login-item switch, the integer preferences
// and the application-data folder have no counterpart here; those calls report
// that they are not available and change nothing.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

struct ifaddrs;

// One IPv4 address of one network interface.
struct IfAddr {
    std::string ifName;  // interface name, e.g. "eth0"
    std::string ipText;  // dotted decimal, at most 15 characters
    uint32_t ipAddr = 0; // the address in network byte order

    IfAddr() = default;
    IfAddr(std::string name, std::string text, uint32_t addr)
        : ifName(std::move(name)), ipText(std::move(text)), ipAddr(addr) {}
    IfAddr(const IfAddr&) = default;
    IfAddr(IfAddr&&) = default;
    IfAddr& operator=(const IfAddr&) = default;
    IfAddr& operator=(IfAddr&&) = default;
};

class OsDep {
public:
    // `appId` names the preferences domain on platforms that have one
    // (start-up passes "com.Brindlecap.MtRyn").
    explicit OsDep(std::string appId);

    // Brings the process to the foreground (true, while the control panel is
    // open) or back to a tray-only application (false). A desktop session on
    // Linux has no such process type, so only the requested state is kept.
    // Main thread.
    void setAppForeground(bool foreground);
    bool isAppForeground() const { return foreground_.load(); }

    // The folder of the running executable followed by exactly one "/", so
    // appending "mtdata" names the data folder beside the programs. "./" when
    // the executable's path cannot be read. Returns `out`.
    std::string& getResourcePath(std::string& out);

    // The value of "HOME" unchanged (no trailing "/"); empty when "HOME" is
    // not set. Returns `out`.
    std::string& getHomePath(std::string& out);

    // The IPv4 addresses of every non-loopback interface, up or down, in the
    // order the system lists them; empty when the list cannot be read.
    // Called on the render thread (About pattern).
    std::vector<IfAddr> getIpAddrs();

    // The walk behind getIpAddrs over an interface list as `getifaddrs` gives it.
    static std::vector<IfAddr> ipAddrsFrom(const ifaddrs* list);

    // Hands memory the process has freed back to the system. The C library
    // keeps freed blocks (in one pool per thread that allocated them) for
    // later use; after the frame size shrinks they would stay with the
    // process for good. Any thread.
    static void returnFreedMemory();

    // --- Not available on this platform; nothing in the generator calls these.

    // No power assertion exists here: traces that, returns false.
    bool disableSystemSleep();
    // Returns whether an assertion is still held (never, here).
    bool enableSystemSleep();
    // There are no login items: false.
    bool getRunAtLogin();
    // Traces that login items are not available; changes nothing.
    void setRunAtLogin(bool on);
    // No preferences store: `value` becomes 0, as for an absent key; true.
    bool getPrefUInt(std::string key, unsigned& value);
    // No preferences store: nothing is stored; false.
    bool setPrefUInt(std::string key, unsigned value);
    // No application-data folder: `out` is left as it was. Returns `out`.
    std::string& getAppDataFolder(std::string& out);

    std::string appId;

private:
    std::atomic<bool> foreground_{false};
};
