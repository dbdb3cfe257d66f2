// Shared by the fuzz targets.
#pragma once

#include "QiOutput.h"
#include "TestSupport.h"

#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <memory>
#include <string>

namespace fuzzsupport {

// Sizes the readers accept but that cost a fuzzer a second per input (an
// allocation and clear of up to 512 MiB) are skipped; larger claims are still
// fed in, since they are refused before anything is allocated.
inline bool tooSlowToDecode(uint64_t width, uint64_t height) {
    return width <= 65535 && height <= 65535 && width * height > (uint64_t(1) << 20);
}

// From here on, in every thread, opening an IPv4, IPv6 or packet socket
// aborts the process, so a fuzz target that would reach the network stops
// with the input that led there rather than send anything. Where the kernel
// refuses the filter, says so and goes on unguarded.
inline void forbidNetworkSockets() {
#if defined(__x86_64__)
    constexpr uint32_t kArch = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__)
    constexpr uint32_t kArch = AUDIT_ARCH_AARCH64;
#else
    constexpr uint32_t kArch = 0;
#endif
    struct sigaction onTrap {};
    onTrap.sa_handler = [](int) {
        static const char kWhy[] = "fuzz target: a network socket was opened\n";
        ssize_t n = ::write(2, kWhy, sizeof kWhy - 1);
        (void)n;
        std::abort(); // the fuzzer keeps the input
    };
    sigaction(SIGSYS, &onTrap, nullptr);
    // socket(family, ...) with family AF_INET, AF_INET6 or AF_PACKET traps.
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kArch, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_socket, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[0])), // low half
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AF_INET, 3, 0),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AF_INET6, 2, 0),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AF_PACKET, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_TRAP),
    };
    sock_fprog program{static_cast<unsigned short>(std::size(filter)), filter};
    if (kArch == 0 || prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
        syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, SECCOMP_FILTER_FLAG_TSYNC, &program) != 0)
        std::fputs("fuzz target: network sockets are not guarded here\n", stderr);
}

// The bytes of an HTTP fuzz input: as they stand, except that
// "\xfe\xfe\xfe" N1 N2 L and L more bytes stand for those L bytes repeated
// N1 * 256 + N2 times, so that a short input reaches the bounds of a request
// (up to 9 MiB: past the 8 MiB of a chunked body's framing).
inline std::string expandRepeats(const uint8_t* data, size_t size) {
    constexpr size_t kMaxStream = 9 * 1024 * 1024;
    std::string out;
    size_t at = 0;
    while (at < size && out.size() < kMaxStream) {
        if (size - at >= 6 && std::memcmp(data + at, "\xfe\xfe\xfe", 3) == 0) {
            const size_t count = data[at + 3] * 256u + data[at + 4];
            const size_t length = std::min<size_t>(data[at + 5], size - at - 6);
            for (size_t i = 0; i < count && out.size() < kMaxStream; ++i)
                out.append(reinterpret_cast<const char*>(data + at + 6), length);
            at += 6 + length;
        } else {
            out += static_cast<char>(data[at++]);
        }
    }
    return out;
}

// Trace lines are formatted (so their formats are exercised) and dropped.
struct QuietTrace {
    QuietTrace() { gOutput.exchange(std::make_shared<testsupport::NullOutput>()); }
};
inline QuietTrace gQuietTrace;

} // namespace fuzzsupport
