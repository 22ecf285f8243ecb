// posnode: brings up runtime node 99 the way the application's start-up
// thread does, with two small demo tasks that exchange sticks on a periodic
// timer, then serves the remote console (port 7599) on this thread.
#include "pos.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr int kPingTask = 10;
constexpr int kPongTask = 11;
constexpr uint32_t kPrimTick = 0xFE100001u;   // the pinger's periodic timer
constexpr uint32_t kPrimPing = 0x1001;
constexpr uint32_t kPrimPong = 0x1002;
constexpr int kTickMs = 1000;

struct Round {
    uint32_t seq;
    char text[24];
};

uint32_t s_pongs;

void sendRound(int toTask, uint32_t prim, uint32_t seq) {
    Stick* s = nullptr;
    // The data area sits 26 bytes into the buffer: copy records in and out
    // rather than pointing at them in place.
    uint8_t* data = posAllocMsg(prim, 0, POS_NO_ENTITY, POS_NO_ENTITY, sizeof(Round), &s);
    if (!data) {
        posLogPrint("DEMO] FATAL @ %s:%d\n", POS_HERE);
        posDown(POS_DOWN_APP);
        return;
    }
    Round r{};
    r.seq = seq;
    snprintf(r.text, sizeof r.text, "round %u", seq);
    memcpy(data, &r, sizeof r);
    s->src = static_cast<uint32_t>(posGetMyTaskId());
    if (posTxMsg(toTask, &s, POS_HERE) != 0) posFreeStick(&s, POS_HERE);
}

void pingTask(PosTask* task) {
    posResTask(task, "QUILLON", "DEMO", 1, 0, 0, __DATE__, __TIME__);
    PosTimerKey tick{};
    if (posStartTimer(&tick, kPrimTick, kTickMs, 0, nullptr, 0, POS_HERE) != 0) {
        posLogPrint("DEMO] FATAL @ %s:%d\n", POS_HERE);
        posDown(POS_DOWN_APP);
    }
    uint32_t seq = 0;
    for (;;) {
        Stick* s = nullptr;
        uint32_t src = 0;
        int err = 0;
        uint32_t prim = posRxMsg(&s, &src, &err);
        if (prim == kPrimTick) {
            sendRound(kPongTask, kPrimPing, ++seq);
            posStartTimer(&tick, kPrimTick, kTickMs, 0, nullptr, 0, POS_HERE);
        } else if (prim == kPrimPong) {
            Round r;
            memcpy(&r, s->data, sizeof r);
            s_pongs++;
            posLogPrint("DEMO] PING: %s answered by 0x%X (%u answers)\n", r.text, src, s_pongs);
        }
        posFreeStick(&s, POS_HERE);
    }
}

void pongTask(PosTask* task) {
    posResTask(task, "QUILLON", "DEMO", 1, 0, 0, __DATE__, __TIME__);
    for (;;) {
        Stick* s = nullptr;
        uint32_t src = 0;
        int err = 0;
        uint32_t prim = posRxMsg(&s, &src, &err);
        if (prim == kPrimPing) {
            Round r;
            memcpy(&r, s->data, sizeof r);
            sendRound(kPingTask, kPrimPong, r.seq);
        }
        posFreeStick(&s, POS_HERE);
    }
}

}  // namespace

int main() {
    posInit(POS_NODE_ID_DEFAULT);
    posLogOn(1);
    int err = 0;
    posCreateTask(pingTask, "DEMO-PING", kPingTask, 100, 0xFFFF, 500, 50000, &err);
    posCreateTask(pongTask, "DEMO-PONG", kPongTask, 100, 0xFFFF, 500, 50000, &err);
    char nodeName[16];
    snprintf(nodeName, sizeof nodeName, "QLAG%02d", POS_NODE_ID_DEFAULT);
    posStartConsole(nodeName, nullptr, 0, 1);
}
