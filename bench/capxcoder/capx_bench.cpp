// Encode and decode cost per message: DATA with 63 bytes, KEEP_ALIVE, LOGIN
// and a PERIODIC_REPORT with 64 groups, without trace.
#include "capxmsgcoder.h"

#include <benchmark/benchmark.h>

#include <cstring>

namespace {

CapxMsg dataMsg()
{
    CapxMsg m;
    std::memset(&m, 0, sizeof m);
    m.msgId = CAPX_DATA;
    m.data.dataLen = 63;
    for (int i = 0; i < 63; ++i)
        m.data.data[i] = uint8_t('a' + i % 26);
    return m;
}

CapxMsg keepAliveMsg()
{
    CapxMsg m;
    std::memset(&m, 0, sizeof m);
    m.keepAlive = {CAPX_KEEP_ALIVE, 1733800000, 123456, 12, 4, 1};
    return m;
}

CapxMsg loginMsg()
{
    CapxMsg m;
    std::memset(&m, 0, sizeof m);
    m.msgId = CAPX_LOGIN;
    std::strcpy(m.login.userId, "agent0042");
    std::strcpy(m.login.passwd, "s3cr3t-passw0rd");
    std::strcpy(m.login.reqPhoneNumber, "5551234567");
    m.login.versionLen = 3;
    m.login.version[0] = 2;
    m.login.version[1] = 8;
    m.login.version[2] = 4;
    m.login.stenoFormat = 2;
    return m;
}

CapxMsg periodicReportMsg()
{
    CapxMsg m;
    std::memset(&m, 0, sizeof m);
    m.msgId = CAPX_PERIODIC_REPORT;
    m.periodicReport.timeStamp = 1733800000;
    m.periodicReport.groupNum = 64;
    for (int g = 0; g < 64; ++g)
        m.periodicReport.group[g] = {uint16_t(g), 100u + g, 200u + g, 3, 4, 5, 6, 90, 10, 3600, 7200};
    return m;
}

void encodeBench(benchmark::State& state, CapxMsg (*make)())
{
    const CapxMsg m = make();
    uint8_t buf[CAPX_MAX_FRAME_LEN];
    for (auto _ : state) {
        int n = capxEncodeMsg(&m, buf, 0, 0);
        benchmark::DoNotOptimize(n);
        benchmark::ClobberMemory();
    }
}

void decodeBench(benchmark::State& state, CapxMsg (*make)())
{
    const CapxMsg src = make();
    uint8_t frame[CAPX_MAX_FRAME_LEN];
    capxEncodeMsg(&src, frame, 0, 0);
    CapxMsg m;
    for (auto _ : state) {
        int len;
        int id = capxDecodeMsg(&m, frame, &len, 0, 0);
        benchmark::DoNotOptimize(id);
        benchmark::ClobberMemory();
    }
}

}  // namespace

BENCHMARK_CAPTURE(encodeBench, DATA_63, dataMsg);
BENCHMARK_CAPTURE(decodeBench, DATA_63, dataMsg);
BENCHMARK_CAPTURE(encodeBench, KEEP_ALIVE, keepAliveMsg);
BENCHMARK_CAPTURE(decodeBench, KEEP_ALIVE, keepAliveMsg);
BENCHMARK_CAPTURE(encodeBench, LOGIN, loginMsg);
BENCHMARK_CAPTURE(decodeBench, LOGIN, loginMsg);
BENCHMARK_CAPTURE(encodeBench, PERIODIC_REPORT_64, periodicReportMsg);
BENCHMARK_CAPTURE(decodeBench, PERIODIC_REPORT_64, periodicReportMsg);

BENCHMARK_MAIN();
