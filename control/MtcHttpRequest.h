// MtcHttpRequest: reads one HTTP/1.x request from the bytes of a connection,
// as they arrive, without touching a socket.
//
// The connection feeds it what it reads; it says how many bytes it used and,
// once it knows, either a complete request (its header fields of use to us and
// its body) or the HTTP error to answer with. It owns the bounds of a request:
// every bound is checked as bytes are counted, so the outcome of a request
// never depends on how its bytes were split into reads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

class MtcHttpRequest {
public:
    // The header section, with any empty lines before the request line; and a
    // chunked body's trailer section.
    static constexpr size_t kMaxHeaderBytes = 16 * 1024;
    static constexpr size_t kMaxBodyBytes = 4 * 1024 * 1024;
    // One chunk-size line with its extensions and its line end.
    static constexpr size_t kMaxChunkLine = 1024;
    // Everything after the header, framing included, so chunk framing cannot
    // make the server read far more than a body.
    static constexpr size_t kMaxFramingBytes = 2 * kMaxBodyBytes;

    enum class State {
        Header,   // reading the request line and the header fields
        Body,     // the header is complete; reading the body
        Complete, // a whole request: keepAlive() and takeBody()
        Failed,   // answer with status() (or tooLarge()) and close
    };

    // Takes bytes of the request; returns how many it used. It stops early
    // once the request is complete or has failed (the rest belongs to the
    // next request, or to nothing), and right after the header, so that the
    // caller can look at the header before any body byte is taken.
    size_t feed(const char* data, size_t n);

    State state() const { return state_; }
    // A byte of the request line has arrived: empty lines before it do not
    // start a request.
    bool started() const { return started_; }
    // Bytes this request holds in memory: what its buffers have allocated,
    // not what they hold. A body of a stated length counts whole from the end
    // of the header on (it is allocated whole with its first byte).
    size_t bytesHeld() const;
    // Bytes the request can take that bytesHeld() already counts: the rest
    // of a stated body, or the room in a chunked body's buffer and the
    // framing between chunks (which holds nothing).
    size_t bytesAwaited() const;
    // The last feed stopped at chunk data that the held limit leaves no room
    // for: the caller refuses the request (or gives it room).
    bool outOfRoom() const { return outOfRoom_; }
    // The most bytesHeld() may come to while the bytes fed now are taken: a
    // chunked body grows in steps up to its bound, and a step stops at this
    // limit (the caller's budget); data past it is not taken (outOfRoom()).
    void limitHeld(size_t bytes) { heldLimit = bytes; }

    // From the header on.
    bool keepAlive() const { return keepAlive_; }
    bool expectsContinue() const { return expectContinue_; }
    bool chunkedBody() const { return chunked; }
    // An HTTP/1.0 request (from the request line on): its reply must say
    // that the connection is kept, or the client closes it.
    bool isHttp10() const { return http10; }

    // Complete: the body (decoded when chunked). Frees it here.
    std::string takeBody();

    // Failed: the status line's code and reason and a line of text for the
    // answer. tooLarge(): the request passed a size bound; it is answered
    // with the server's "request too large" fault rather than an HTTP error.
    int status() const { return status_; }
    const char* reason() const { return reason_; }
    const std::string& error() const { return error_; }
    bool tooLarge() const { return tooLarge_; }

    // Forgets the request, its memory given back: ready for the next one.
    void reset();

    // Heap bytes a string has allocated (none while its text fits in place).
    static size_t heapBytes(const std::string& text);

private:
    enum class Chunk { Size, Data, DataEnd, Trailer };

    size_t feedHeader(const char* data, size_t n);
    bool requestLineByte(char c);
    bool headerLine(const std::string& text);
    bool requestLine(const std::string& text);
    bool headerField(const std::string& name, const std::string& value);
    void transferCodings(const std::string& value);
    void endHeader();
    bool framingFaulty();
    size_t feedBody(const char* data, size_t n);
    size_t feedChunked(const char* data, size_t n);
    // How many of `n` bytes `to` can take, its buffer grown for them within
    // `bound` and the held limit.
    size_t makeRoom(std::string& to, size_t n, size_t bound);
    // Appends to `to`, growing it within `bound` and the held limit as far
    // as they allow, and as far as it needs.
    void append(std::string& to, const char* data, size_t n, size_t bound);
    size_t chunkSizeLine(const char* at, size_t avail);
    void endChunkSize();
    size_t trailer(const char* at, size_t avail);
    void complete();
    void fail(int status, const char* reason, const char* text);
    void failTooLarge();

    State state_ = State::Header;
    bool started_ = false;
    size_t headerBytes = 0; // of the header section so far, empty lines before it included
    std::string line;       // the header line arriving
    bool inRequestLine = true;
    bool inMethod = true;
    size_t methodLength = 0;
    bool http10 = false;
    bool keepAlive_ = true;
    bool expectContinue_ = false;
    bool sawClose = false;     // "close" in a Connection field
    bool sawKeepAlive = false; // "keep-alive" in one
    bool chunked = false;
    // Transfer-Encoding, read as one list over all its fields.
    bool sawCodings = false;
    int codings = 0;        // the list's elements
    int chunkedCodings = 0; // of which "chunked"
    bool chunkedLast = false;
    bool haveLength = false;
    size_t bodyLength = 0;   // from Content-Length
    std::string body;        // as it arrives, decoded when chunked
    size_t framingBytes = 0; // after the header
    size_t heldLimit = SIZE_MAX;
    Chunk chunk = Chunk::Size;
    size_t chunkLeft = 0; // data bytes of the chunk still to come
    bool chunkCR = false; // the end of the chunk's data: CR seen
    // The chunk-size line, as far as it has come.
    enum class SizeAt { Lead, Digits, Blanks, Extension, CR } sizeAt = SizeAt::Lead;
    size_t sizeLineBytes = 0;
    size_t sizeDigits = 0; // after leading zeros
    unsigned long long sizeValue = 0;
    bool outOfRoom_ = false;
    size_t trailerBytes = 0; // of the trailer section so far
    size_t trailerLine = 0;  // bytes of the trailer line so far
    bool trailerCR = false;  // that line's last byte was CR
    int status_ = 0;
    const char* reason_ = "";
    std::string error_;
    bool tooLarge_ = false;
};
