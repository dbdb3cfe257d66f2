// The About box: address lines, layout, fresh widgets per opening.
#include "RynAbout.h"
#include "QtTestApp.h"

#include <QGridLayout>
#include <QLabel>
#include <QPlainTextEdit>

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <cstdio>
#include <deque>

namespace {

// A hand-made interface list in the shape getifaddrs gives.
struct FakeInterfaces {
    struct Entry {
        ifaddrs node{};
        sockaddr_storage addr{};
        char name[IFNAMSIZ]{};
    };
    std::deque<Entry> entries; // entries point into themselves: never moved

    void add(const char* name, int family, const char* address, unsigned flags = IFF_UP) {
        entries.emplace_back();
        Entry& e = entries.back();
        std::snprintf(e.name, sizeof e.name, "%s", name);
        e.node.ifa_name = e.name;
        e.node.ifa_flags = flags;
        if (family == AF_INET) {
            auto* in = reinterpret_cast<sockaddr_in*>(&e.addr);
            in->sin_family = AF_INET;
            inet_pton(AF_INET, address, &in->sin_addr);
            e.node.ifa_addr = reinterpret_cast<sockaddr*>(&e.addr);
        } else if (family == AF_INET6) {
            auto* in6 = reinterpret_cast<sockaddr_in6*>(&e.addr);
            in6->sin6_family = AF_INET6;
            inet_pton(AF_INET6, address, &in6->sin6_addr);
            e.node.ifa_addr = reinterpret_cast<sockaddr*>(&e.addr);
        }
    }
    const ifaddrs* list() {
        for (size_t i = 0; i < entries.size(); ++i)
            entries[i].node.ifa_next = i + 1 < entries.size() ? &entries[i + 1].node : nullptr;
        return entries.empty() ? nullptr : &entries[0].node;
    }
};

TEST(RynAbout, ListsIpv4AddressesOfNonLoopbackInterfacesInOrder) {
    FakeInterfaces fake;
    fake.add("lo", AF_INET, "127.0.0.1", IFF_UP | IFF_LOOPBACK);
    fake.add("en0", AF_INET, "192.168.1.20");
    fake.add("en0", AF_INET6, "fe80::1");
    fake.add("nohw", 0, nullptr);                               // an interface without an address
    fake.add("abcdefghijklmno", AF_INET, "255.255.255.255", 0); // full lengths, and down
    fake.add("en0", AF_INET, "10.0.0.7");
    EXPECT_EQ(
        RynAbout::addressLines(fake.list()),
        QStringList({"en0: 192.168.1.20", "abcdefghijklmno: 255.255.255.255", "en0: 10.0.0.7"}));

    FakeInterfaces loopbackOnly;
    loopbackOnly.add("lo", AF_INET, "127.0.0.1", IFF_UP | IFF_LOOPBACK);
    loopbackOnly.add("lo", AF_INET6, "::1", IFF_UP | IFF_LOOPBACK);
    EXPECT_TRUE(RynAbout::addressLines(loopbackOnly.list()).isEmpty());
    EXPECT_TRUE(RynAbout::addressLines(nullptr).isEmpty());
}

struct Seen {
    bool modal = false;
    QSize picture;
    QString version;
    QString heading;
    bool readOnly = false;
    QString addresses;
    int widgets = 0;
};

Seen openAndInspect(RynAbout& about) {
    Seen seen;
    apptest::ModalWatch watch([&seen, &about](QWidget* modal) {
        EXPECT_EQ(modal, &about);
        seen.modal = about.isModal();
        auto* grid = qobject_cast<QGridLayout*>(about.layout());
        if (!grid) return;
        auto label = [grid](int row) {
            QLayoutItem* item = grid->itemAtPosition(row, 0);
            return item ? qobject_cast<QLabel*>(item->widget()) : nullptr;
        };
        if (QLabel* p = label(0)) seen.picture = p->pixmap().size();
        if (QLabel* v = label(1)) seen.version = v->text();
        if (QLabel* h = label(2)) seen.heading = h->text();
        QLayoutItem* item = grid->itemAtPosition(3, 0);
        if (auto* edit = item ? qobject_cast<QPlainTextEdit*>(item->widget()) : nullptr) {
            seen.readOnly = edit->isReadOnly();
            seen.addresses = edit->toPlainText();
        }
        seen.widgets = about.findChildren<QWidget*>().size();
    });
    about.exec();
    return seen;
}

TEST(RynAbout, ShowsPictureVersionAndAddressesAndRebuildsOnEveryOpening) {
    RynAbout about(":Artwork/Kettlebright-About.png", "1.2.317");
    ifaddrs* list = nullptr;
    ASSERT_EQ(getifaddrs(&list), 0);
    const QString expected = RynAbout::addressLines(list).join('\n');
    freeifaddrs(list);

    for (int opening = 0; opening < 2; ++opening) {
        Seen seen = openAndInspect(about);
        EXPECT_TRUE(seen.modal);
        EXPECT_EQ(seen.picture, QSize(360, 122));
        EXPECT_EQ(seen.version, "Kettlebright: 1.2.317");
        EXPECT_EQ(seen.heading, "IP Addresses");
        EXPECT_TRUE(seen.readOnly);
        EXPECT_EQ(seen.addresses, expected);
        EXPECT_GE(seen.widgets, 4);
        // Taken down after each opening.
        EXPECT_EQ(about.layout(), nullptr);
        EXPECT_TRUE(about.findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly).isEmpty());
    }
}

TEST(RynAbout, MissingPictureLeavesTheLabelEmpty) {
    RynAbout about(":Artwork/NoSuchPicture.png", "9.9");
    Seen seen = openAndInspect(about);
    EXPECT_TRUE(seen.picture.isEmpty());
    EXPECT_EQ(seen.version, "Kettlebright: 9.9");
}

} // namespace
