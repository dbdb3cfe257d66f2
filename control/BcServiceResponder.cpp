#include "BcServiceResponder.h"

#include "QiOutput.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

namespace {

typedef std::array<uint8_t, kBcRecordSize> Record;

// Copies at most 24 bytes of `name` into the record's name field and pads the
// rest with zero bytes. A name of 24 bytes or more fills the field completely.
void copyName(uint8_t* field, const char* name) {
    size_t length = ::strnlen(name, kBcNameSize);
    std::memcpy(field, name, length);
    std::memset(field + length, 0, kBcNameSize - length);
}

void setOption(int socket, int option, const char* name) {
    int on = 1;
    if (::setsockopt(socket, SOL_SOCKET, option, &on, sizeof on) != 0)
        gOutput->trace(QiOutput::Minutiae, "%s: setSockOpt(%s): %s \n", "lmain", name,
                       std::strerror(errno));
}

} // namespace

struct BcServiceResponder::Private {
    int sendSocket = -1;
    std::vector<Record> records; // guarded by mutex
    uint8_t hostName[kBcNameSize] = {};
    std::thread thread;
    std::atomic<bool> running{false};

    unsigned short listenPort = kBcRequestPort;
    unsigned short answerPort = kBcAnswerPort;

    std::mutex mutex;
    std::condition_variable listenChanged;
    int listenState = 0; // 0 not yet bound, > 0 the bound port, -1 bind failed
};

BcServiceResponder::BcServiceResponder(unsigned short listenPort, unsigned short answerPort)
    : d(new Private) {
    d->listenPort = listenPort;
    d->answerPort = answerPort;
    d->sendSocket = ::socket(AF_INET, SOCK_DGRAM, 0);
    if (d->sendSocket < 0) gOutput->trace(QiOutput::Minutiae, "Could not create socket.\n");

    // Host names may be longer than a record's name field (up to 64 bytes on
    // Linux); read the whole name, then keep its first 24 bytes.
    char host[256] = {};
    if (::gethostname(host, sizeof host - 1) != 0) host[0] = '\0';
    host[sizeof host - 1] = '\0';
    copyName(d->hostName, host);
}

BcServiceResponder::~BcServiceResponder() {
    stop();
    if (d->sendSocket >= 0) ::close(d->sendSocket);
    delete d;
}

int BcServiceResponder::registerService(BcServiceId id, unsigned short port, const char* name) {
    Record record;
    if (name)
        copyName(record.data(), name);
    else
        std::memcpy(record.data(), d->hostName, kBcNameSize);
    record[24] = static_cast<uint8_t>(id & 0xff);
    record[25] = static_cast<uint8_t>(id >> 8);
    record[26] = static_cast<uint8_t>(port & 0xff);
    record[27] = static_cast<uint8_t>(port >> 8);
    std::lock_guard<std::mutex> lock(d->mutex);
    d->records.push_back(record);
    return static_cast<int>(d->records.size() - 1);
}

bool BcServiceResponder::start() {
    if (d->thread.joinable()) return false;
    {
        std::lock_guard<std::mutex> lock(d->mutex);
        d->listenState = 0;
    }
    d->running.store(true);
    d->thread = std::thread(&BcServiceResponder::lmain, this);
    return true;
}

bool BcServiceResponder::stop() {
    d->running.store(false);
    if (d->thread.joinable()) d->thread.join();
    return true;
}

bool BcServiceResponder::sendResponse(sockaddr_in* to, int length) {
    std::vector<Record> records;
    {
        std::lock_guard<std::mutex> lock(d->mutex);
        records = d->records;
    }
    to->sin_port = htons(d->answerPort);
    for (const Record& record : records) {
        ssize_t sent =
            ::sendto(d->sendSocket, record.data(), record.size(), 0,
                     reinterpret_cast<const sockaddr*>(to), static_cast<socklen_t>(length));
        if (sent < 0) {
            gOutput->trace(QiOutput::Minutiae, "sendto() returns an error (%s)\n",
                           std::strerror(errno));
            return false;
        }
    }
    return true;
}

bool BcServiceResponder::serveDatagram(int socket) {
    char buffer[256] = {};
    sockaddr_in from;
    std::memset(&from, 0, sizeof from);
    socklen_t fromLength = sizeof from;
    ssize_t received = ::recvfrom(socket, buffer, sizeof buffer, 0,
                                  reinterpret_cast<sockaddr*>(&from), &fromLength);
    if (received < 0) {
        // Without a datagram there is no sender to answer; keep listening.
        gOutput->trace(QiOutput::Minutiae, "Error receiving data (%s).", std::strerror(errno));
        return false;
    }
    if (from.sin_family != AF_INET || fromLength < sizeof from) return false;

    sendResponse(&from, sizeof from);

    char sender[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &from.sin_addr, sender, sizeof sender);
    // The datagram is arbitrary bytes: print no more than were received.
    gOutput->trace(QiOutput::Minutiae, "[%s] %.*s\n", sender, static_cast<int>(received), buffer);
    return true;
}

unsigned short BcServiceResponder::waitUntilListening(unsigned timeoutMs) {
    std::unique_lock<std::mutex> lock(d->mutex);
    d->listenChanged.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                              [this] { return d->listenState != 0; });
    return d->listenState > 0 ? static_cast<unsigned short>(d->listenState) : 0;
}

void BcServiceResponder::lmain() {
    auto announce = [this](int state) {
        std::lock_guard<std::mutex> lock(d->mutex);
        d->listenState = state;
        d->listenChanged.notify_all();
    };

    int sock = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (sock < 0) {
        gOutput->trace(QiOutput::Minutiae, "Could not create socket.\n");
        announce(-1);
        return;
    }
    setOption(sock, SO_REUSEPORT, "REUSE{PORT,ADDR}");
    setOption(sock, SO_BROADCAST, "BROADCAST");
    setOption(sock, SO_REUSEADDR, "REUSEADDR");

    sockaddr_in local;
    std::memset(&local, 0, sizeof local);
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    local.sin_port = htons(d->listenPort);
    if (::bind(sock, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
        gOutput->trace(QiOutput::Minutiae, "Could not bind socket: %s\n", std::strerror(errno));
        ::close(sock);
        announce(-1);
        return;
    }
    socklen_t localLength = sizeof local;
    ::getsockname(sock, reinterpret_cast<sockaddr*>(&local), &localLength);
    int port = ntohs(local.sin_port);
    gOutput->trace(QiOutput::Minutiae, "Waiting for data on UDP port %d\n", port);
    announce(port);

    while (d->running.load()) {
        pollfd waiting = {sock, POLLIN, 0};
        int ready = ::poll(&waiting, 1, 250);
        if (ready > 0 && (waiting.revents & POLLIN)) serveDatagram(sock);
    }
    ::close(sock);
}
