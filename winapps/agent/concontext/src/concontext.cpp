// The console context record, publication, the notification poster and the
// window hooks.
#include "concontext.h"

#include <cstring>

#include "pos.h"

ConsoleContext g_conContext;

namespace {
std::atomic<ConPoster> g_poster{nullptr};
std::atomic<const ConsoleWindowHooks*> g_hooks{nullptr};
}  // namespace

void conSetPoster(ConPoster poster) { g_poster.store(poster); }

int conPostMessage(int msg, uintptr_t wparam)
{
    if (msg < CON_MESSAGE_FIRST || msg > CON_MESSAGE_LAST) return 0;
    ConPoster poster = g_poster.load();
    if (poster == nullptr || g_conContext.windowHandle.load() == 0) return 0;
    poster(msg, wparam);
    return 1;
}

void conSetWindowHooks(const ConsoleWindowHooks* hooks) { g_hooks.store(hooks); }

int conSendCaptionText(int length, const char* text)
{
    const ConsoleWindowHooks* h = g_hooks.load();
    if (h == nullptr || h->sendCaptionText == nullptr) return 0;
    return h->sendCaptionText(length, text);
}

void conSetCaptionLights(int n)
{
    const ConsoleWindowHooks* h = g_hooks.load();
    if (h != nullptr && h->setCaptionLights != nullptr) h->setCaptionLights(n);
}

void conAppendCaptionScreen(const char* text, int length)
{
    const ConsoleWindowHooks* h = g_hooks.load();
    if (h != nullptr && h->appendCaptionScreen != nullptr) h->appendCaptionScreen(text, length);
}

void conReportCaptionBytes(const uint8_t* bytes, int length)
{
    const ConsoleWindowHooks* h = g_hooks.load();
    if (h != nullptr && h->reportCaptionBytes != nullptr) h->reportCaptionBytes(bytes, length);
}

void conContextReset()
{
    ConsoleContext& c = g_conContext;
    c.mainWindow = nullptr;
    c.windowHandle = 0;
    c.messagePtr = nullptr;
    c.systemType = 0;
    c.offerActive = 0;
    c.callState = 0;
    c.useStenoSoftware = 0;
    std::memset(c.userId, 0, sizeof c.userId);
    std::memset(c.password, 0, sizeof c.password);
    std::memset(c.newPassword, 0, sizeof c.newPassword);
    std::memset(c.phoneNumber, 0, sizeof c.phoneNumber);
    c.userIdLen = 0;
    c.passwordLen = 0;
    c.newPasswordLen = 0;
    c.RxCnt = 0;
    c.TxCnt = 0;
    c.TxLoopCnt = 0;
    c.ProcCnt = 0;
    c.FailCnt = 0;
    c.loginState = 0;
    c.joined = 0;
    c.serviceCause = 0;
    c.loggedOut = 0;
    c.captioning = 0;
    c.captionerType = 0;
    c.stenoPieces = 0;
    c.inputMode = 0;
    c.textStarted = 0;
    c.isEmergency = 0;
    c.serviceLocked = 0;
    std::memset(&c.stenoWorkArea, 0, sizeof c.stenoWorkArea);
    c.answerBlinkPhase = 0;
    c.ringing = 0;
    std::memset(static_cast<void*>(&c.message), 0, sizeof c.message);
    c.payloadType = 0;
    c.loginMode = 0;
    std::memset(c.serverHost, 0, sizeof c.serverHost);
    c.serverIndex = 0;
    c.autoAnswerForTest = 0;
    c.docDisconnected = 0;
    c.voiceGapTicks = 0;
    c.ackWaitTicks = 0;
    c.awaitingAck = 0;
    c.kaFailCnt = 0;
    c.loggingOut = 0;
    c.rxFromSteno = 0;
    c.discardFromSteno = 0;
    c.txToSvr = 0;
    c.rxSvrAck = 0;
    c.handoverState = 0;
    c.ScreenColorBg = 0;
    c.ScreenColorFg = 0;
    c.ScreenFontSizeIdx = 0;
    c.ScreenFFontNameIdx = 0;
}

void conPublish(void* mainWindow, uintptr_t windowHandle)
{
    ConsoleContext& c = g_conContext;
    c.messagePtr = &c.message;
    c.windowHandle = windowHandle;
    // mainWindow last: whoever sees it set also sees the other two.
    c.mainWindow = mainWindow;
}

void conUnpublish()
{
    ConsoleContext& c = g_conContext;
    c.mainWindow = nullptr;
    c.windowHandle = 0;
    c.messagePtr = nullptr;
}
