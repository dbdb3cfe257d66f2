#include "BcServiceRequestor.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

namespace {

// The request datagram: the text without its terminating zero, then zeros.
std::array<uint8_t, kBcRequestSize> requestDatagram() {
    std::array<uint8_t, kBcRequestSize> request{};
    std::memcpy(request.data(), "BcServiceRequest", 16);
    return request;
}

// Collection time of one run of the receive thread, in 250 ms rounds.
constexpr int kCollectMs = 8000;
constexpr int kRoundMs = 250;

} // namespace

std::string BcServiceRsp::nameText() const {
    return std::string(name, ::strnlen(name, kBcNameSize));
}

BcServiceRequestor::BcServiceRequestor(unsigned short answer, unsigned short request,
                                       std::string targetAddress)
    : answerPort(answer), requestPort(request), target(std::move(targetAddress)) {}

BcServiceRequestor::~BcServiceRequestor() {
    if (sendSocket >= 0) ::close(sendSocket);
    stop();
}

bool BcServiceRequestor::init() {
    if (thread.joinable() || sendSocket >= 0) return false;
    thread = std::thread(&BcServiceRequestor::lmain, this);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));

    sendSocket = ::socket(AF_INET, SOCK_DGRAM, 0);
    if (sendSocket < 0) {
        std::printf("Could not create socket.\n");
        return false;
    }
    int on = 1;
    int result = ::setsockopt(sendSocket, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
    if (result != 0) std::printf("(setsockopt %d): %s\n", result, std::strerror(errno));
    return true;
}

void BcServiceRequestor::sendRequest(const in_addr& to) {
    static const std::array<uint8_t, kBcRequestSize> request = requestDatagram();
    sockaddr_in address;
    std::memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_addr = to;
    address.sin_port = htons(requestPort);
    if (::sendto(sendSocket, request.data(), request.size(), 0,
                 reinterpret_cast<const sockaddr*>(&address), sizeof address) < 0)
        std::printf("sendto returns an error (%s)\n", std::strerror(errno));
}

void BcServiceRequestor::ping(unsigned ms) {
    {
        std::lock_guard<std::mutex> lock(mutex);
        answers.clear();
    }
    if (!target.empty()) {
        in_addr to;
        if (::inet_pton(AF_INET, target.c_str(), &to) == 1)
            sendRequest(to);
        else
            std::printf("sendto returns an error (%s)\n", std::strerror(EINVAL));
    } else {
        ifaddrs* list = nullptr;
        if (::getifaddrs(&list) == 0) {
            for (const in_addr& to : broadcastAddresses(list))
                sendRequest(to);
            ::freeifaddrs(list);
        }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

std::vector<BcServiceRsp> BcServiceRequestor::getList() const {
    std::lock_guard<std::mutex> lock(mutex);
    return answers;
}

void BcServiceRequestor::stop() {
    stopRequested.store(true);
    if (thread.joinable()) thread.join();
}

unsigned short BcServiceRequestor::waitUntilListening(unsigned timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex);
    listenChanged.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                           [this] { return listenState != 0; });
    return listenState > 0 ? static_cast<unsigned short>(listenState) : 0;
}

size_t BcServiceRequestor::parseAnswer(const uint8_t* data, size_t length, const char* senderIp,
                                       std::vector<BcServiceRsp>& out) {
    size_t count = length / kBcRecordSize;
    for (size_t i = 0; i < count; ++i) {
        const uint8_t* record = data + i * kBcRecordSize;
        BcServiceRsp rsp;
        std::memcpy(rsp.name, record, kBcNameSize);
        rsp.serviceId = static_cast<uint16_t>(record[24] | record[25] << 8);
        rsp.port = static_cast<uint16_t>(record[26] | record[27] << 8);
        std::memset(rsp.ip, 0, sizeof rsp.ip);
        std::strncpy(rsp.ip, senderIp, sizeof rsp.ip - 1);
        out.push_back(rsp);
    }
    return count;
}

std::vector<in_addr> BcServiceRequestor::broadcastAddresses(const ifaddrs* list) {
    std::vector<in_addr> result;
    for (const ifaddrs* entry = list; entry; entry = entry->ifa_next) {
        if (!entry->ifa_addr || entry->ifa_addr->sa_family != AF_INET) continue;
        if (entry->ifa_flags & IFF_LOOPBACK) continue;
        if (!(entry->ifa_flags & IFF_BROADCAST) || !entry->ifa_broadaddr) continue;
        if (entry->ifa_broadaddr->sa_family != AF_INET) continue;
        sockaddr_in broadcast;
        std::memcpy(&broadcast, entry->ifa_broadaddr, sizeof broadcast);
        result.push_back(broadcast.sin_addr);
    }
    return result;
}

void BcServiceRequestor::lmain() {
    auto announce = [this](int state) {
        std::lock_guard<std::mutex> lock(mutex);
        listenState = state;
        listenChanged.notify_all();
    };

    int sock = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    int on = 1;
    (void)::setsockopt(sock, SOL_SOCKET, SO_REUSEPORT, &on, sizeof on);
    (void)::setsockopt(sock, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
    (void)::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);

    sockaddr_in local;
    std::memset(&local, 0, sizeof local);
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    local.sin_port = htons(answerPort);
    if (::bind(sock, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
        std::fprintf(stderr, "Could not bind socket (port %d): %s\n", answerPort,
                     std::strerror(errno));
        if (sock >= 0) ::close(sock);
        announce(-1);
        return;
    }
    socklen_t localLength = sizeof local;
    ::getsockname(sock, reinterpret_cast<sockaddr*>(&local), &localLength);
    announce(ntohs(local.sin_port));

    for (int countdown = kCollectMs; !stopRequested.load(); countdown -= kRoundMs) {
        pollfd waiting = {sock, POLLIN, 0};
        int ready = ::poll(&waiting, 1, kRoundMs);
        if (ready < 0) break;
        if (ready > 0 && (waiting.revents & POLLIN)) {
            uint8_t buffer[256] = {};
            sockaddr_in from;
            std::memset(&from, 0, sizeof from);
            socklen_t fromLength = sizeof from;
            ssize_t received = ::recvfrom(sock, buffer, sizeof buffer, 0,
                                          reinterpret_cast<sockaddr*>(&from), &fromLength);
            if (received < 0) {
                std::printf("An error occured while receiving data, exiting.\n");
                break;
            }
            if (received > static_cast<ssize_t>(kBcRecordSize) - 1) {
                char sender[INET_ADDRSTRLEN] = {};
                ::inet_ntop(AF_INET, &from.sin_addr, sender, sizeof sender);
                std::vector<BcServiceRsp> parsed;
                parseAnswer(buffer, static_cast<size_t>(received), sender, parsed);
                std::lock_guard<std::mutex> lock(mutex);
                answers.insert(answers.end(), parsed.begin(), parsed.end());
            }
        }
        if (countdown < kRoundMs + 1) break;
    }
    ::close(sock);
}
