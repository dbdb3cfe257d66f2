// Incremental reading of one HTTP/1.x request (HTTP/1.1 message syntax):
// request line, header fields, and a body of a stated length or chunked.
#include "MtcHttpRequest.h"

#include "QiCLocale.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>
#include <vector>

namespace {

// A byte of a token (method, header field name): RFC 9110's tchar.
bool isTokenByte(char c) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (u >= 0x80 || u <= 0x20 || u == 0x7f) return false;
    return std::strchr("\"(),/:;<=>?@[\\]{}", c) == nullptr;
}

bool isToken(const std::string& text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), isTokenByte);
}

int hexDigitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool isControl(char c) {
    const unsigned char u = static_cast<unsigned char>(c);
    return u < 0x20 || u == 0x7f;
}

std::string trimmed(const std::string& text) {
    const char* blanks = " \t";
    const size_t a = text.find_first_not_of(blanks);
    if (a == std::string::npos) return std::string();
    return text.substr(a, text.find_last_not_of(blanks) - a + 1);
}

// Whether the comma-separated list `value` holds `token` (ignoring case).
// The elements of the comma-separated list `value`, trimmed, empty ones
// passed over.
std::vector<std::string> listElements(const std::string& value) {
    std::vector<std::string> out;
    for (size_t from = 0; from <= value.size();) {
        size_t comma = value.find(',', from);
        if (comma == std::string::npos) comma = value.size();
        std::string element = trimmed(value.substr(from, comma - from));
        if (!element.empty()) out.push_back(std::move(element));
        from = comma + 1;
    }
    return out;
}

// Whether the comma-separated list `value` holds `token` (ignoring case).
bool hasToken(const std::string& value, const char* token) {
    for (const std::string& element : listElements(value))
        if (qi::equalsNoCase(element.c_str(), token)) return true;
    return false;
}

bool is(const std::string& text, const char* what) {
    return qi::equalsNoCase(text.c_str(), what);
}

size_t allocated(const std::string& text) {
    return MtcHttpRequest::heapBytes(text);
}

// Moves `text` to a buffer of `capacity` bytes, no more (growing in place
// would take twice what it holds).
void reallocate(std::string& text, size_t capacity) {
    std::string moved;
    moved.reserve(capacity);
    moved.append(text);
    text.swap(moved);
}

void dropLineEnd(std::string& line) {
    if (!line.empty() && line.back() == '\n') line.pop_back();
    if (!line.empty() && line.back() == '\r') line.pop_back();
}

} // namespace

size_t MtcHttpRequest::heapBytes(const std::string& text) {
    static const size_t inPlace = std::string().capacity();
    return text.capacity() > inPlace ? text.capacity() : 0;
}

size_t MtcHttpRequest::feed(const char* data, size_t n) {
    if (state_ == State::Header) return feedHeader(data, n);
    if (state_ == State::Body) return feedBody(data, n);
    return 0;
}

size_t MtcHttpRequest::bytesHeld() const {
    const size_t held = allocated(line) + allocated(body);
    return state_ == State::Body && !chunked ? std::max(held, bodyLength) : held;
}

size_t MtcHttpRequest::bytesAwaited() const {
    if (state_ != State::Body) return 0;
    if (!chunked) return bodyLength - body.size();
    // Room left in the body's buffer, or the framing between two chunks,
    // which is read as it comes and holds nothing.
    const size_t spare = allocated(body) > body.size() ? allocated(body) - body.size() : 0;
    return chunk == Chunk::Data ? spare : spare + kMaxChunkLine;
}

size_t MtcHttpRequest::makeRoom(std::string& to, size_t n, size_t bound) {
    const size_t need = to.size() + n;
    if (need <= to.capacity()) return n;
    // Twice what it holds, within the buffer's bound and what the caller
    // allows; what does not fit waits.
    const size_t others = allocated(line) + allocated(body) - allocated(to);
    const size_t allowed = heldLimit > others ? heldLimit - others : 0;
    const size_t capacity = std::min({std::max(need, 2 * to.capacity()), bound, allowed});
    if (capacity <= to.capacity()) return to.capacity() - to.size();
    reallocate(to, capacity);
    return std::min(n, capacity - to.size());
}

void MtcHttpRequest::append(std::string& to, const char* data, size_t n, size_t bound) {
    // A header line is as long as the bytes read for it allow, so it always
    // fits what the caller allows; past its bound it is refused before this.
    if (makeRoom(to, n, bound) < n) reallocate(to, to.size() + n);
    to.append(data, n);
}

std::string MtcHttpRequest::takeBody() {
    return std::exchange(body, std::string());
}

void MtcHttpRequest::reset() {
    // Assigning a fresh request would leave the buffers' memory allocated:
    // the request is built anew.
    this->~MtcHttpRequest();
    new (this) MtcHttpRequest();
}

void MtcHttpRequest::fail(int status, const char* reason, const char* text) {
    state_ = State::Failed;
    status_ = status;
    reason_ = reason;
    error_ = text;
    std::string().swap(line);
    std::string().swap(body);
}

void MtcHttpRequest::failTooLarge() {
    tooLarge_ = true;
    fail(0, "", "request too large");
}

void MtcHttpRequest::complete() {
    state_ = State::Complete;
    std::string().swap(line);
}

// ------------------------------------------------------------------- header

size_t MtcHttpRequest::feedHeader(const char* data, size_t n) {
    size_t used = 0;
    while (used < n && state_ == State::Header) {
        if (headerBytes == kMaxHeaderBytes) {
            fail(431, "Request Header Fields Too Large", "the request header is too long");
            return used + 1;
        }
        const char* at = data + used;
        if (!started_ && (*at == '\r' || *at == '\n')) {
            // Empty lines before the request line are passed over.
            ++used;
            ++headerBytes;
            continue;
        }
        started_ = true;
        const size_t avail = std::min(n - used, kMaxHeaderBytes - headerBytes);
        const char* nl = static_cast<const char*>(std::memchr(at, '\n', avail));
        const size_t piece = nl ? static_cast<size_t>(nl - at) + 1 : avail;
        // What cannot be a request line is answered as soon as it shows.
        for (size_t i = 0; inRequestLine && i < piece; ++i)
            if (!requestLineByte(at[i])) return used + i + 1;
        append(line, at, piece, kMaxHeaderBytes);
        used += piece;
        headerBytes += piece;
        if (!nl) continue;
        dropLineEnd(line);
        const bool ok = headerLine(line);
        line.clear();
        if (!ok) break;
    }
    return used;
}

bool MtcHttpRequest::requestLineByte(char c) {
    if (inMethod) {
        if (c == ' ' && methodLength > 0) {
            inMethod = false;
            return true;
        }
        if (isTokenByte(c)) {
            ++methodLength;
            return true;
        }
    } else if (!isControl(c) || c == '\r' || c == '\n') {
        return true; // a CR is looked at where the line ends
    }
    fail(400, "Bad Request", "not an HTTP request");
    return false;
}

bool MtcHttpRequest::headerLine(const std::string& text) {
    if (inRequestLine) {
        inRequestLine = false;
        return requestLine(text);
    }
    if (text.empty()) {
        endHeader();
        return state_ != State::Failed;
    }
    if (text[0] == ' ' || text[0] == '\t') {
        fail(400, "Bad Request", "obsolete line folding");
        return false;
    }
    const size_t colon = text.find(':');
    const std::string name = text.substr(0, colon);
    const std::string value = colon == std::string::npos ? "" : trimmed(text.substr(colon + 1));
    // A name is a token, right before its colon; a value has no NUL or CR.
    if (colon == std::string::npos || !isToken(name) ||
        value.find_first_of(std::string("\0\r", 2)) != std::string::npos) {
        fail(400, "Bad Request", "malformed header line");
        return false;
    }
    return headerField(name, value);
}

bool MtcHttpRequest::requestLine(const std::string& text) {
    // METHOD SP target SP HTTP/<digit>.<digit>; a later 1.x is answered as 1.1.
    const size_t sp1 = text.find(' ');
    const size_t sp2 = text.rfind(' '); // equal to sp1 with one space or none
    const std::string version = sp1 == sp2 ? "" : text.substr(sp2 + 1);
    auto digit = [](char c) { return c >= '0' && c <= '9'; };
    if (version.size() != 8 || version.compare(0, 5, "HTTP/") != 0 || !digit(version[5]) ||
        version[6] != '.' || !digit(version[7]) || text.find('\r') != std::string::npos) {
        fail(400, "Bad Request", "not an HTTP/1.x request line");
        return false;
    }
    if (version[5] != '1') {
        fail(505, "HTTP Version Not Supported", "only HTTP/1.0 and HTTP/1.1 are served");
        return false;
    }
    if (text.compare(0, sp1, "POST") != 0) {
        fail(405, "Method Not Allowed", "XML-RPC requests are sent with POST");
        return false;
    }
    http10 = version[7] == '0';
    return true;
}

bool MtcHttpRequest::headerField(const std::string& name, const std::string& value) {
    if (is(name, "content-length")) {
        errno = 0;
        const unsigned long long n = std::strtoull(value.c_str(), nullptr, 10);
        if (value.empty() || value.find_first_not_of("0123456789") != std::string::npos ||
            errno == ERANGE || (haveLength && n != bodyLength)) {
            fail(400, "Bad Request", "invalid Content-Length");
            return false;
        }
        if (n > static_cast<unsigned long long>(kMaxBodyBytes)) {
            failTooLarge();
            return false;
        }
        bodyLength = static_cast<size_t>(n);
        haveLength = true;
    } else if (is(name, "transfer-encoding")) {
        transferCodings(value);
    } else if (is(name, "connection")) {
        sawClose = sawClose || hasToken(value, "close");
        sawKeepAlive = sawKeepAlive || hasToken(value, "keep-alive");
    } else if (is(name, "expect") && !http10) {
        // An HTTP/1.0 request's expectation is ignored.
        if (!is(value, "100-continue")) {
            fail(417, "Expectation Failed", "unsupported expectation");
            return false;
        }
        expectContinue_ = true;
    }
    return true;
}

void MtcHttpRequest::transferCodings(const std::string& value) {
    sawCodings = true;
    for (const std::string& coding : listElements(value)) {
        ++codings;
        chunkedLast = is(trimmed(coding.substr(0, coding.find(';'))), "chunked");
        chunkedCodings += chunkedLast;
    }
}

// Whether the header leaves the body's length unknown, or known two ways:
// answered, since a peer that reads it the other way would see another
// request in the same bytes.
bool MtcHttpRequest::framingFaulty() {
    if (sawCodings && http10) {
        fail(400, "Bad Request", "Transfer-Encoding in an HTTP/1.0 request");
    } else if (sawCodings && haveLength) {
        fail(400, "Bad Request", "both Content-Length and Transfer-Encoding");
    } else if (sawCodings && (chunkedCodings != 1 || !chunkedLast)) {
        fail(400, "Bad Request", "chunked must be the last transfer coding, once");
    } else if (sawCodings && codings > 1) {
        fail(501, "Not Implemented", "unsupported Transfer-Encoding");
    } else if (!sawCodings && !haveLength) {
        fail(411, "Length Required", "a request needs a Content-Length");
    }
    return state_ == State::Failed;
}

void MtcHttpRequest::endHeader() {
    if (framingFaulty()) return;
    chunked = sawCodings;
    // "close" wins over "keep-alive".
    keepAlive_ = !sawClose && (sawKeepAlive || !http10);
    std::string().swap(line);
    state_ = State::Body;
    if (!chunked && bodyLength == 0) complete();
}

// --------------------------------------------------------------------- body

size_t MtcHttpRequest::feedBody(const char* data, size_t n) {
    if (chunked) return feedChunked(data, n);
    const size_t step = std::min(n, bodyLength - body.size());
    if (body.capacity() < bodyLength) reallocate(body, bodyLength); // counted from the header on
    body.append(data, step);
    if (body.size() == bodyLength) complete();
    return step;
}

size_t MtcHttpRequest::feedChunked(const char* data, size_t n) {
    size_t used = 0;
    outOfRoom_ = false;
    while (used < n && state_ == State::Body) {
        if (framingBytes == kMaxFramingBytes) {
            failTooLarge();
            return used + 1;
        }
        const char* at = data + used;
        const size_t avail = std::min(n - used, kMaxFramingBytes - framingBytes);
        size_t step = 1;
        switch (chunk) {
        case Chunk::Size:
            step = chunkSizeLine(at, avail);
            break;
        case Chunk::Data:
            step = makeRoom(body, std::min(avail, chunkLeft), kMaxBodyBytes);
            if (step == 0) {
                outOfRoom_ = true; // the caller refuses the request
                return used;
            }
            body.append(at, step);
            chunkLeft -= step;
            if (chunkLeft == 0) chunk = Chunk::DataEnd;
            break;
        case Chunk::DataEnd: // CRLF, nothing else
            if (*at == '\r' && !chunkCR && avail > 1 && at[1] == '\n') {
                step = 2;
                chunk = Chunk::Size;
            } else if (*at == '\r' && !chunkCR) {
                chunkCR = true;
            } else if (*at == '\n' && chunkCR) {
                chunk = Chunk::Size;
            } else {
                fail(400, "Bad Request", "a chunk's data must end in CRLF");
            }
            break;
        case Chunk::Trailer:
            step = trailer(at, avail);
            break;
        }
        used += step;
        framingBytes += step;
    }
    return used;
}

size_t MtcHttpRequest::chunkSizeLine(const char* at, size_t avail) {
    // Hexadecimal digits between optional blanks, then extensions after a
    // ';' (not used); the line ends in CRLF, and a bare CR or another control
    // byte is nowhere in it: a chunk boundary that a peer could place
    // elsewhere would hide a request in the body. Read byte by byte as it
    // arrives, so nothing of it is kept (and in locals: a flood of small
    // chunks is mostly these lines).
    // What each byte is, looked up rather than worked out: a flood of small
    // chunks is mostly these lines, and builds without optimisation (the
    // sanitizer builds) would call a function per byte.
    enum : unsigned char { Other, Digit, Blank, Semicolon, CR, LF, Control };
    static const auto kinds = [] {
        std::array<unsigned char, 256> k{};
        for (int c = 0; c < 256; ++c)
            k[c] = hexDigitValue(static_cast<char>(c)) >= 0 ? Digit
                   : c == ' ' || c == '\t'                  ? Blank
                   : c == ';'                               ? Semicolon
                   : c == '\r'                              ? CR
                   : c == '\n'                              ? LF
                   : c < 0x20 || c == 0x7f                  ? Control
                                                            : Other;
        return k;
    }();
    SizeAt where = sizeAt;
    size_t digits = sizeDigits;
    unsigned long long value = sizeValue;
    const size_t take = std::min(avail, kMaxChunkLine - sizeLineBytes);
    for (size_t i = 0; i < take; ++i) {
        const char c = at[i];
        const unsigned char kind = kinds[static_cast<unsigned char>(c)];
        bool ok = true;
        switch (where) {
        case SizeAt::Lead:
            ok = kind == Blank || kind == Digit;
            if (kind == Digit) where = SizeAt::Digits;
            break;
        case SizeAt::Digits:
        case SizeAt::Blanks:
            ok = kind == Semicolon || kind == CR || kind == Blank ||
                 (kind == Digit && where == SizeAt::Digits);
            if (kind == Semicolon) where = SizeAt::Extension;
            if (kind == CR) where = SizeAt::CR;
            if (kind == Blank) where = SizeAt::Blanks;
            break;
        case SizeAt::Extension:
            ok = kind != Control && kind != LF; // a tab is a blank
            if (kind == CR) where = SizeAt::CR;
            break;
        case SizeAt::CR:
            ok = kind == LF;
            break;
        }
        // Digits after leading zeros: more than 16 overflow.
        if (ok && kind == Digit && where == SizeAt::Digits) {
            const unsigned digit = static_cast<unsigned>(hexDigitValue(c));
            digits += value > 0 || digit > 0;
            value = value << 4 | digit;
            ok = digits <= 16;
        }
        if (!ok) {
            fail(400, "Bad Request", "malformed chunk-size line");
            return i + 1;
        }
        if (kind == LF) {
            sizeValue = value;
            endChunkSize();
            return i + 1;
        }
    }
    if (take < avail) {
        fail(400, "Bad Request", "chunk-size line too long");
        return take + 1;
    }
    sizeAt = where;
    sizeDigits = digits;
    sizeValue = value;
    sizeLineBytes += take;
    return take;
}

void MtcHttpRequest::endChunkSize() {
    const unsigned long long size = sizeValue;
    sizeAt = SizeAt::Lead;
    sizeLineBytes = sizeDigits = 0;
    sizeValue = 0;
    if (size > static_cast<unsigned long long>(kMaxBodyBytes - body.size())) {
        failTooLarge();
        return;
    }
    chunkLeft = static_cast<size_t>(size);
    chunkCR = false;
    chunk = size == 0 ? Chunk::Trailer : Chunk::Data;
}

size_t MtcHttpRequest::trailer(const char* at, size_t avail) {
    // Trailer fields are not used; they are counted, up to an empty line.
    if (trailerBytes == kMaxHeaderBytes) {
        fail(431, "Request Header Fields Too Large", "the request trailer is too long");
        return 1;
    }
    const size_t len = std::min(avail, kMaxHeaderBytes - trailerBytes);
    const char* nl = static_cast<const char*>(std::memchr(at, '\n', len));
    const size_t piece = nl ? static_cast<size_t>(nl - at) + 1 : len;
    trailerBytes += piece;
    // Only the end of the line is kept: whether it is empty is all we need.
    trailerLine += piece;
    if (nl) {
        const bool endsInCR = piece > 1 ? at[piece - 2] == '\r' : trailerCR;
        if (trailerLine == 1 || (trailerLine == 2 && endsInCR)) complete();
        trailerLine = 0;
        trailerCR = false;
    } else {
        trailerCR = at[piece - 1] == '\r';
    }
    return piece;
}
