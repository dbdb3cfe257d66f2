// Frames raw request bytes with the HTTP framing alone, twice: fed whole, and
// fed in pieces whose sizes the input chooses (each piece until it is used up
// or the request is done). A request that completes is followed by the next
// one in the bytes left, as pipelined requests are. However the bytes are
// split, every request must come out the same: its state, status, reason and
// text, keep-alive and 100-continue, its body, the bytes it used, the body
// bytes still awaited, and what it holds once it is done (failed, or complete
// with its body taken). What it holds while still reading may depend on how
// its buffers grew, so it is not compared.
//
// Input: one byte whose low four bits give a count n and whose next three
// bits a shift s; n piece sizes (byte b: a piece of (b + 1) << s bytes, taken
// in turn, the last one for every piece after; with none, pieces of 1 << s
// bytes); then the request bytes, as expandRepeats() reads them.
#include "FuzzCommon.h"
#include "MtcHttpRequest.h"

#include <algorithm>
#include <cstdint>
#include <string>
#include <tuple>
#include <vector>

namespace {

using State = MtcHttpRequest::State;

struct Outcome {
    State state;
    bool started, tooLarge, keepAlive, expectsContinue;
    int status;
    std::string reason, error, body;
    size_t used, awaited, held;

    auto tied() const {
        return std::tie(state, started, tooLarge, keepAlive, expectsContinue, status, reason, error,
                        body, used, awaited, held);
    }
    bool operator!=(const Outcome& o) const { return tied() != o.tied(); }
};

bool reading(const MtcHttpRequest& r) {
    return r.state() == State::Header || r.state() == State::Body;
}

// Frames `bytes` taking pieces of at most piece() bytes; one outcome per request.
template <typename Piece> std::vector<Outcome> frame(const std::string& bytes, Piece piece) {
    // Past this many pieces the rest goes whole, so that a large input in
    // small pieces stays quick.
    constexpr size_t kMaxPieces = 1 << 16;
    std::vector<Outcome> out;
    MtcHttpRequest r;
    size_t at = 0, pieces = 0;
    for (;;) {
        size_t used = 0;
        while (at < bytes.size() && reading(r)) {
            const size_t left = bytes.size() - at;
            const size_t n = ++pieces < kMaxPieces ? std::min(piece(), left) : left;
            size_t taken = 0;
            while (taken < n && reading(r)) {
                const size_t step = r.feed(bytes.data() + at + taken, n - taken);
                if (step == 0 || step > n - taken) __builtin_trap(); // stalls, or overreads
                taken += step;
            }
            at += taken;
            used += taken;
        }
        Outcome o{r.state(),           r.started(), r.tooLarge(),     r.keepAlive(),
                  r.expectsContinue(), r.status(),  r.reason(),       r.error(),
                  std::string(),       used,        r.bytesAwaited(), 0};
        if (r.state() == State::Complete) o.body = r.takeBody();
        if (!reading(r)) {
            o.held = r.bytesHeld();
            if (r.feed("x", 1) != 0) __builtin_trap(); // a finished request takes nothing more
        }
        out.push_back(o);
        if (r.state() != State::Complete || at == bytes.size()) return out;
        r.reset();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const size_t count = std::min<size_t>(data[0] & 15, size - 1);
    const unsigned shift = (data[0] >> 4) & 7;
    const uint8_t* sizes = data + 1;
    const std::string bytes = fuzzsupport::expandRepeats(data + 1 + count, size - 1 - count);
    const auto whole = frame(bytes, [&bytes] { return bytes.size(); });
    size_t next = 0;
    const auto split = frame(bytes, [&] {
        const size_t b = count ? sizes[std::min(next++, count - 1)] : 0;
        return (b + 1) << shift;
    });
    if (whole.size() != split.size()) __builtin_trap();
    for (size_t i = 0; i < whole.size(); ++i)
        if (whole[i] != split[i]) __builtin_trap();
    return 0;
}
