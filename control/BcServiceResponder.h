// UDP discovery: the generator's responder.
//
// Calibration software finds generators by broadcasting a request to UDP port
// 3529. The responder answers every datagram on that port, whatever it holds,
// with one 28-byte service record per registered service, each in a datagram
// of its own, sent to UDP port 3530 of the sender's address (not to the
// sender's source port).
//
// Service record, integers little-endian:
//   offset  0, 24 bytes: service name, zero-padded; a name of 24 bytes or more
//                        fills the field and has no terminating zero
//   offset 24,  2 bytes: service id (the generator registers 5113)
//   offset 26,  2 bytes: the service's TCP port (the generator registers 9022)
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>

// Well-known ports and sizes of the discovery exchange.
constexpr unsigned short kBcRequestPort = 3529; // responders listen here
constexpr unsigned short kBcAnswerPort = 3530;  // requesters listen here
constexpr size_t kBcRecordSize = 28;
constexpr size_t kBcNameSize = 24;
constexpr size_t kBcRequestSize = 64; // "BcServiceRequest" and 48 zero bytes

// Answers discovery requests on its own thread.
class BcServiceResponder {
public:
    typedef uint16_t BcServiceId;

    // Listens on `listenPort` (0: a port the system picks) and answers to
    // `answerPort` of each sender. The send socket is created and the host
    // name read here.
    explicit BcServiceResponder(unsigned short listenPort = kBcRequestPort,
                                unsigned short answerPort = kBcAnswerPort);
    // Stops and joins the responder thread, closes the send socket.
    ~BcServiceResponder();

    BcServiceResponder(const BcServiceResponder&) = delete;
    BcServiceResponder& operator=(const BcServiceResponder&) = delete;

    // Appends a service record. `name` null: the host name. At most 24 bytes
    // of the name are read. Returns the record's index (0 for the first).
    int registerService(BcServiceId id, unsigned short port, const char* name);

    // Starts the responder thread. False when it is already running.
    bool start();

    // Ends the responder thread within one 250 ms wait and joins it. True.
    bool stop();

    // Sends every record, in registration order, to the answer port of `to`
    // (the port of `to` is overwritten). `length` is the size of `*to`.
    // Stops at the first failing send and returns false.
    bool sendResponse(sockaddr_in* to, int length);

    // Receives one datagram from `socket` and answers it. A failed receive is
    // traced and sends nothing (false). This is the responder thread's step.
    bool serveDatagram(int socket);

    // Waits until the responder thread has bound its socket; returns the port
    // it listens on, or 0 when binding failed or `timeoutMs` passed first.
    unsigned short waitUntilListening(unsigned timeoutMs);

private:
    struct Private;
    void lmain();

    Private* d;
};
