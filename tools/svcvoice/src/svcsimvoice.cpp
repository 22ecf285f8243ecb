// The voice endpoint behind the service simulator's scripted VOIP_SETUP.
#include <cstdio>

#include "svcsim.h"
#include "svcvoice.h"

void svcVoiceAttach(SvcSimConfig& config, SvcVoice* voice)
{
    config.onVoipSetup = [voice](CapxMsg& m) {
        voice->newCall();
        voice->setPayloadType(m.voipSetup.payloadType);
        if (voice->port() < 0 && voice->start() < 0) {
            std::fprintf(stderr, "svcvoice: %s\n", voice->lastError().c_str());
            return;
        }
        std::snprintf(m.voipSetup.ipAddr, sizeof m.voipSetup.ipAddr, "%s", "127.0.0.1");
        m.voipSetup.portId = static_cast<uint16_t>(voice->port());
    };
}
