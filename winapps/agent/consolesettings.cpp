#include "consolesettings.h"

#include "concontext.h"

#include <algorithm>
#include <cstring>

void storeStartupSettingsInContext(const settings::StartupSettings& s)
{
    ConsoleContext& c = conContext();
    c.systemType = s.systemType;
    c.useStenoSoftware = s.useStenoSW;
    c.autoAnswerForTest = s.autoAnsForTst;
    c.ScreenColorBg = int(s.screenColorBg);
    c.ScreenColorFg = int(s.screenColorFg);
    c.ScreenFontSizeIdx = s.screenFontSizeIdx;
    c.ScreenFFontNameIdx = s.screenFFontNameIdx;
    c.serverIndex = s.serverIndex;
    const size_t n = std::min(s.serverHost.size(), sizeof c.serverHost - 1);
    std::memcpy(c.serverHost, s.serverHost.data(), n);
    c.serverHost[n] = '\0';
}
