// UDP discovery: finding generators on the local network.
//
// The requester listens on UDP port 3530 for about 8 s (at most 32 rounds of
// 250 ms; a round that receives a datagram ends early) and broadcasts the
// 64-byte request "BcServiceRequest" to port 3529 of every IPv4 interface
// that has a broadcast address. Each answer datagram carries whole 28-byte
// service records (see BcServiceResponder.h); every record becomes one
// `BcServiceRsp`.
#pragma once

#include "BcServiceResponder.h"

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct ifaddrs;

// One discovered service.
struct BcServiceRsp {
    // The record's name field as received: zero-padded, but a name of 24
    // bytes has no terminating zero. Read it with nameText(), never as a C
    // string.
    char name[kBcNameSize];
    uint16_t serviceId; // as received
    uint16_t port;      // as received
    char ip[16];        // the sender's IPv4 address, dotted, zero-terminated

    // The name up to its first zero byte, at most 24 bytes.
    std::string nameText() const;
};

class BcServiceRequestor {
public:
    // Listens on `answerPort` (0: a port the system picks) and sends requests
    // to `requestPort`. `target` empty: broadcast on every IPv4 interface;
    // otherwise the dotted IPv4 address that alone receives the request.
    explicit BcServiceRequestor(unsigned short answerPort = kBcAnswerPort,
                                unsigned short requestPort = kBcRequestPort,
                                std::string target = std::string());
    // Closes the send socket, stops the receive thread and joins it.
    ~BcServiceRequestor();

    BcServiceRequestor(const BcServiceRequestor&) = delete;
    BcServiceRequestor& operator=(const BcServiceRequestor&) = delete;

    // Starts the receive thread, waits 10 ms, creates the broadcast socket.
    // False when the socket cannot be created or init already ran.
    bool init();

    // Empties the answer list, sends the request, then sleeps `ms` ms.
    void ping(unsigned ms);

    // A copy of the answers collected so far.
    std::vector<BcServiceRsp> getList() const;

    // Ends the receive thread within one round (250 ms) and joins it.
    void stop();

    // Waits until the receive thread has bound its socket; returns the port
    // it listens on, or 0 when binding failed or `timeoutMs` passed first.
    unsigned short waitUntilListening(unsigned timeoutMs);

    // Appends one BcServiceRsp per whole 28-byte record of a received
    // datagram of `length` bytes from `senderIp` (dotted text). A trailing
    // partial record is ignored. Returns the number of records appended.
    static size_t parseAnswer(const uint8_t* data, size_t length, const char* senderIp,
                              std::vector<BcServiceRsp>& out);

    // The broadcast addresses of the IPv4, non-loopback interfaces of an
    // interface list as `getifaddrs` gives it, in list order.
    static std::vector<in_addr> broadcastAddresses(const ifaddrs* list);

private:
    void lmain();
    void sendRequest(const in_addr& to);

    int sendSocket = -1;
    std::thread thread;
    std::vector<BcServiceRsp> answers; // guarded by mutex

    unsigned short answerPort;
    unsigned short requestPort;
    std::string target;
    std::atomic<bool> stopRequested{false};
    mutable std::mutex mutex;
    std::condition_variable listenChanged;
    int listenState = 0; // 0 not yet bound, > 0 the bound port, -1 bind failed
};
