#include "OsDep.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <optional>

namespace {

// Restores "HOME" when the test ends.
class ScopedHome {
public:
    ScopedHome() {
        const char* home = std::getenv("HOME");
        if (home) saved = home;
    }
    ~ScopedHome() {
        if (saved)
            ::setenv("HOME", saved->c_str(), 1);
        else
            ::unsetenv("HOME");
    }

private:
    std::optional<std::string> saved;
};

// A hand-made interface list in the shape getifaddrs returns.
class FakeInterfaces {
public:
    void add(const char* name, unsigned flags, int family, const char* address) {
        ifaddrs& entry = entries.emplace_back();
        std::memset(&entry, 0, sizeof entry);
        entry.ifa_name = const_cast<char*>(name);
        entry.ifa_flags = flags;
        if (family == AF_INET) {
            sockaddr_in& in = v4.emplace_back();
            std::memset(&in, 0, sizeof in);
            in.sin_family = AF_INET;
            ::inet_pton(AF_INET, address, &in.sin_addr);
            entry.ifa_addr = reinterpret_cast<sockaddr*>(&in);
        } else if (family == AF_INET6) {
            sockaddr_in6& in6 = v6.emplace_back();
            std::memset(&in6, 0, sizeof in6);
            in6.sin6_family = AF_INET6;
            ::inet_pton(AF_INET6, address, &in6.sin6_addr);
            entry.ifa_addr = reinterpret_cast<sockaddr*>(&in6);
        }
        if (entries.size() > 1) entries[entries.size() - 2].ifa_next = &entry;
    }
    const ifaddrs* list() const { return entries.empty() ? nullptr : &entries.front(); }

private:
    std::deque<ifaddrs> entries;
    std::deque<sockaddr_in> v4;
    std::deque<sockaddr_in6> v6;
};

uint32_t networkOrder(const char* dotted) {
    in_addr a;
    ::inet_pton(AF_INET, dotted, &a);
    return a.s_addr;
}

} // namespace

TEST(OsDep, ResourcePathIsTheExecutablesFolderWithOneSlash) {
    OsDep os("com.Brindlecap.MtRyn");
    EXPECT_EQ(os.appId, "com.Brindlecap.MtRyn");
    std::string path = "stale";
    std::string& returned = os.getResourcePath(path);
    EXPECT_EQ(&returned, &path);
    ASSERT_GE(path.size(), 2u);
    EXPECT_EQ(path.front(), '/');
    EXPECT_EQ(path.back(), '/');
    EXPECT_NE(path[path.size() - 2], '/');
    // The folder holds this very test program, so "mtdata" appended to it
    // names the data folder beside the programs.
    struct stat info;
    EXPECT_EQ(::stat((path + program_invocation_short_name).c_str(), &info), 0) << path;
}

TEST(OsDep, HomePathIsHomeUnchangedAndEmptyWithoutIt) {
    ScopedHome restore;
    OsDep os("id");
    std::string out;
    ::setenv("HOME", "/home/calibrator", 1);
    EXPECT_EQ(os.getHomePath(out), "/home/calibrator");
    ::setenv("HOME", "/srv/with space/", 1);
    EXPECT_EQ(os.getHomePath(out), "/srv/with space/"); // no slash added or removed
    ::unsetenv("HOME");
    out = "previous";
    EXPECT_EQ(os.getHomePath(out), "");
    EXPECT_TRUE(out.empty());
}

TEST(OsDep, IpAddressesSkipLoopbackNonIpv4AndEmptyEntries) {
    FakeInterfaces fake;
    fake.add("lo", IFF_UP | IFF_LOOPBACK, AF_INET, "127.0.0.1");
    fake.add("en0", IFF_UP | IFF_BROADCAST, AF_INET, "192.168.1.20");
    fake.add("en0", IFF_UP | IFF_BROADCAST, AF_INET6, "fe80::1");
    fake.add("tun0", IFF_UP, 0, nullptr);             // no address
    fake.add("eth1", 0, AF_INET, "10.0.0.5");         // down, still listed
    fake.add("en0", IFF_UP, AF_INET, "192.168.1.21"); // second address of en0
    fake.add("lo", IFF_UP | IFF_LOOPBACK, AF_INET6, "::1");

    std::vector<IfAddr> got = OsDep::ipAddrsFrom(fake.list());
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0].ifName, "en0");
    EXPECT_EQ(got[0].ipText, "192.168.1.20");
    EXPECT_EQ(got[0].ipAddr, networkOrder("192.168.1.20"));
    EXPECT_EQ(got[1].ifName, "eth1");
    EXPECT_EQ(got[1].ipText, "10.0.0.5");
    EXPECT_EQ(got[2].ipText, "192.168.1.21");
    EXPECT_EQ(got[2].ipAddr, networkOrder("192.168.1.21"));

    FakeInterfaces onlyLoopback;
    onlyLoopback.add("lo", IFF_UP | IFF_LOOPBACK, AF_INET, "127.0.0.1");
    EXPECT_TRUE(OsDep::ipAddrsFrom(onlyLoopback.list()).empty());
    EXPECT_TRUE(OsDep::ipAddrsFrom(nullptr).empty());
}

TEST(OsDep, ForegroundSwitchKeepsTheRequestedState) {
    OsDep os("id");
    EXPECT_FALSE(os.isAppForeground());
    os.setAppForeground(true);
    EXPECT_TRUE(os.isAppForeground());
    os.setAppForeground(false);
    EXPECT_FALSE(os.isAppForeground());
}

TEST(OsDep, UnavailableServicesSaySoAndClaimNothing) {
    testsupport::ScopedCapture capture;
    OsDep os("com.Brindlecap.MtRyn");

    EXPECT_FALSE(os.disableSystemSleep());
    EXPECT_FALSE(os.enableSystemSleep());
    EXPECT_FALSE(os.getRunAtLogin());
    os.setRunAtLogin(true);
    EXPECT_FALSE(os.getRunAtLogin());

    unsigned value = 77;
    EXPECT_TRUE(os.getPrefUInt("Absent", value)); // as for any absent key
    EXPECT_EQ(value, 0u);
    EXPECT_FALSE(os.setPrefUInt("Key", 5)); // nothing was stored
    EXPECT_TRUE(os.getPrefUInt("Key", value));
    EXPECT_EQ(value, 0u);

    std::string folder = "unchanged";
    EXPECT_EQ(&os.getAppDataFolder(folder), &folder);
    EXPECT_EQ(folder, "unchanged");

    auto lines = capture.out->take();
    for (const char* function : {"disableSystemSleep", "setRunAtLogin", "getPrefUInt",
                                 "setPrefUInt", "getAppDataFolder"}) {
        std::string expected =
            std::string("Minutiae: ") + function + ": not available on this platform\n";
        EXPECT_NE(std::find(lines.begin(), lines.end(), expected), lines.end()) << function;
    }
    EXPECT_NE(std::find(lines.begin(), lines.end(),
                        "Minutiae: disableSystemSleep: sSleepDisabledPred is 0\n"),
              lines.end());
}
