// svcvoice: stream a .wav (8 kHz mono) to an RTP client as PCMU or G.729 and
// record what comes back.
//   svcvoice --wav FILE [--pt N] [--port P] [--bind ADDR] [--seconds S]
//            [--loop] [--record-wav FILE] [--record-payloads FILE]
// It listens on the port (RTCP on the next one), starts streaming when the
// client's first packet arrives, and stops after S seconds (default 30).
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "svcvoice.h"

int main(int argc, char** argv)
{
    SvcVoiceConfig cfg;
    std::string wav, recWav, recPayloads;
    int seconds = 30;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto next = [&]() -> const char* {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "svcvoice: %s needs a value\n", a.c_str());
                std::exit(2);
            }
            return argv[++i];
        };
        if (a == "--wav") wav = next();
        else if (a == "--pt") cfg.payloadType = std::atoi(next());
        else if (a == "--port") cfg.port = std::atoi(next());
        else if (a == "--bind") cfg.bindAddress = next();
        else if (a == "--seconds") seconds = std::atoi(next());
        else if (a == "--loop") cfg.loop = true;
        else if (a == "--record-wav") recWav = next();
        else if (a == "--record-payloads") recPayloads = next();
        else {
            std::fprintf(stderr,
                         "usage: svcvoice --wav FILE [--pt N] [--port P] [--bind ADDR] [--seconds S] [--loop]\n"
                         "                [--record-wav FILE] [--record-payloads FILE]\n");
            return 2;
        }
    }
    if (cfg.port % 2 != 0 || cfg.port < 0 || cfg.port > 65534 || cfg.payloadType < 0 || cfg.payloadType > 127) {
        std::fprintf(stderr, "svcvoice: the port must be even (0..65534) and the payload type 0..127\n");
        return 2;
    }
    if (!wav.empty()) {
        std::string err;
        if (!svcVoiceReadWav(wav, &cfg.audio, &err)) {
            std::fprintf(stderr, "svcvoice: %s\n", err.c_str());
            return 1;
        }
    }
    SvcVoice voice(cfg);
    const int port = voice.start();
    if (port < 0) {
        std::fprintf(stderr, "svcvoice: %s\n", voice.lastError().c_str());
        return 1;
    }
    std::printf("svcvoice: listening on %s:%d (RTCP %d), payload type %d\n", cfg.bindAddress.c_str(), port,
                port + 1, cfg.payloadType);
    std::fflush(stdout);
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < end) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    voice.stop();
    std::printf("svcvoice: sent %d packets, received %zu\n", voice.sentCount(), voice.packets().size());
    if (!voice.saveRecording(recWav, recPayloads)) {
        std::fprintf(stderr, "svcvoice: cannot write the recording\n");
        return 1;
    }
    return 0;
}
