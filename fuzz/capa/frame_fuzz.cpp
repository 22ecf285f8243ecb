// Fuzz target: an arbitrary byte stream from the service through the frame
// reader (over a real socket pair), link-key removal, the link key taken from
// LOGIN_ACK, and the receive path with a published fake window.
#include <cstdint>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>

#include "capa.h"
#include "concontext.h"

namespace {

ConsoleMailbox g_mb;
int g_window;
uint64_t g_posts;

void countPost(int, uintptr_t) { ++g_posts; }

bool setUp()
{
    conContextReset();
    conMailboxInit(&g_mb);
    conSetMailbox(&g_mb);
    conSetPoster(countPost);
    conPublish(&g_window, 1);
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const bool ready = setUp();
    (void)ready;
    if (size < 1 || size > 150000) return 0;
    // First byte: the link key in force and the receive discard hook.
    g_capcInfo.link.linkKey = data[0];
    capcDiscardRx(data[0] & 0x3F, data[0] >> 6);
    ++data;
    --size;

    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) return 0;
    int buf = 1 << 20;
    setsockopt(sv[0], SOL_SOCKET, SO_SNDBUF, &buf, sizeof buf);
    setsockopt(sv[1], SOL_SOCKET, SO_RCVBUF, &buf, sizeof buf);
    size_t off = 0;
    while (off < size) {
        ssize_t n = send(sv[0], data + off, size - off, MSG_NOSIGNAL);
        if (n <= 0) break;
        off += static_cast<size_t>(n);
    }
    shutdown(sv[0], SHUT_WR);

    static uint8_t frame[2 + CAPC_MAX_FRAME_BODY];
    for (;;) {
        const int L = capcReadFrame(sv[1], frame + 2);
        if (L < 1) break;
        frame[0] = static_cast<uint8_t>(L >> 8);
        frame[1] = static_cast<uint8_t>(L);
        capxLinkKeyRx(frame, L + 2, g_capcInfo.link.linkKey);
        const int key = capcLoginAckKey(frame + 2, L);
        if (key >= 0) g_capcInfo.link.linkKey = static_cast<uint8_t>(key);
        capcRxMsg(frame, L);
    }
    close(sv[0]);
    close(sv[1]);
    CapxMsg out;
    conMailboxDrain(&g_mb, &out, nullptr, nullptr);
    return 0;
}
