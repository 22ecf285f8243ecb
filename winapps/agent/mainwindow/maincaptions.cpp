// Captions: the typed-text path, the caption transmit routine both paths
// use, and the indicators that watch delivery (acknowledgements, paragraph
// breaks, the voice-gap alarm).
#include "cdariduruDlg.h"

#include "capa.h"
#include "ccolorstaticst.h"
#include "consoleevent.h"
#include "pos.h"
#include "sound/soundplayer.h"
#include "typingbox.h"
#include "uithread.h"
#include "userscreendisplay.h"

#include <QPushButton>
#include <cstring>

namespace {

// Longest DATA chunk.
constexpr int kChunkMax = 63;

}  // namespace

int CDarIduruDlg::SendCaptionText(int length, const char* text)
{
    if (length <= 0 || !text)
        length = 0;
    // The text is copied before crossing threads: the caller's buffer may be
    // reused as soon as the call returns.
    const QByteArray copy(text ? text : "", length);
    return runOnUiThread(this, [this, copy] { return SendCaptionTextOnUi(copy); });
}

int CDarIduruDlg::SendCaptionTextOnUi(const QByteArray& input)
{
    ConsoleContext& c = conContext();
    QByteArray text = input;

    if (c.callState != STATE_IN_SERVICE) {
        SetCaptionLights(0);
        if (text.endsWith(' '))
            text.chop(1);
        // An empty Answer word never answers.
        if (answerWord_.length > 0 && text.size() == answerWord_.length &&
            std::memcmp(text.constData(), answerWord_.text, size_t(answerWord_.length)) == 0) {
            setControlText(IDC_FIELD_1041, QString());
            programTextChange_ = true;
            typing_->clear();
            programTextChange_ = false;
            postConsoleEvent(this, WM_CON_ANSWER, 0);
            return 0;
        }
    }

    if (c.inputMode == 1)
        for (char& ch : text)
            if (ch == '\r' || ch == '\n')
                ch = ' ';

    auto clearTyping = [this] {
        programTextChange_ = true;
        typing_->clear();
        programTextChange_ = false;
    };

    if (c.captioning && text.size() > 0) {
        int last = 0;
        bool failed = false;
        for (int at = 0; at < text.size(); at += kChunkMax) {
            const int n = std::min(kChunkMax, int(text.size()) - at);
            if (capcTxData(n, text.constData() + at) < 0)
                failed = true;
            else
                ++dataUnacked_;
            c.txToSvr = c.txToSvr + n;
            last = n;
        }
        c.awaitingAck = 1;
        if (!failed)
            SetCaptionLights(5);
        clearTyping();
        focusControl(IDC_TYPING);
        paragraphIdle_ = 0;
        paragraphDone_ = 0;
        return failed ? 0 : last;
    }
    clearTyping();
    return 0;
}

void CDarIduruDlg::OnTxData()
{
    const QByteArray text = typing_->toPlainText().toUtf8();
    SetCaptionLights(4);
    if (!text.isEmpty())
        SendCaptionTextOnUi(text);
}

void CDarIduruDlg::OnTypingChanged()
{
    // Clearing the box from the program is not the agent typing.
    if (programTextChange_)
        return;
    const QString text = typing_->toPlainText();
    if (text.isEmpty() || !text.endsWith(QLatin1Char(' ')))
        return;
    const int blanks = int(text.count(QLatin1Char(' ')));
    const int wanted = autoTransmitSpace_ == 0 ? 1 : autoTransmitSpace_;
    if (blanks == wanted)
        OnTxData();
}

void CDarIduruDlg::OnStenoOpen()
{
    ConsoleContext& c = conContext();
    std::memset(&c.stenoWorkArea, 0, sizeof c.stenoWorkArea);
    SetInputMode(1);
    c.stenoPieces = 0;
}

void CDarIduruDlg::OnDataAck(const CapxMsg& msg)
{
    ConsoleContext& c = conContext();
    // Every acknowledgement is shown; one that answers no DATA of this call
    // is also logged. One that arrives after the call ended (DATA was on its
    // way when the service released the call) belongs to the call already
    // reported: counting it would add it to the next call's report.
    if (dataUnacked_ > 0)
        --dataUnacked_;
    else
        posLogPrint("CAPA] DATA_ACK seqNo %d result %d with no caption outstanding\n",
                    int(msg.dataAck.seqNo), int(msg.dataAck.result));
    if (c.callState.load() != STATE_IDLE)
        c.rxSvrAck = c.rxSvrAck + 1;
    else
        posLogPrint("CAPA] DATA_ACK seqNo %d after the call: not counted\n", int(msg.dataAck.seqNo));
    ShowIndicatorChar(msg.dataAck.seqNo, msg.dataAck.result != 0);
    if (msg.dataAck.result == 0) {
        c.ackWaitTicks = 0;
        c.awaitingAck = 0;
    }
}

void CDarIduruDlg::OnAckLoss()
{
    field(IDC_INDICATOR)->SetBkColor(kRed);
}

void CDarIduruDlg::OnParagraphTimer()
{
    ConsoleContext& c = conContext();
    if (c.stenoPieces > 0) {
        if (paragraphDone_ == 0)
            ++paragraphIdle_;
        if (paragraphIdle_ > paragraphLimit_) {
            if (captionScreen_)
                captionScreen_->Append("\n\n", 2);
            paragraphIdle_ = 0;
            paragraphDone_ = 1;
        }
    }
    if (c.awaitingAck) {
        c.ackWaitTicks = c.ackWaitTicks + 1;
        if (c.ackWaitTicks > 1)
            soundPlayer().play(QStringLiteral("BeepTw.wav"), SoundMode::Async);
    }
}

void CDarIduruDlg::OnVoiceRx()
{
    if (gapOpen_)
        EndVoiceGapRecord("voice back");
    if (conContext().docDisconnected == 0)
        startTimerById(TIMER_VOICE_GAP);
    field(IDC_INDICATOR)->SetBkColor(kGreen);
}

void CDarIduruDlg::EndVoiceGapRecord(const char* how)
{
    posLogPrint("CAPA] %s after a voice gap of %lld ms (%d beeps)\n", how,
                static_cast<long long>(gapSince_.elapsed() + kVoiceGapMs), gapBeeps_);
    gapOpen_ = false;
    gapBeeps_ = 0;
}

void CDarIduruDlg::OnVoiceGapTimer()
{
    ConsoleContext& c = conContext();
    if (c.docDisconnected == 0) {
        c.voiceGapTicks = c.voiceGapTicks + 1;
        // The log marks where a gap began and each beep, so that a voice
        // path fault can be told from the agent's reports afterwards.
        if (!gapOpen_ && c.callState == STATE_IN_SERVICE) {
            gapOpen_ = true;
            gapSince_.start();
            posLogPrint("CAPA] voice gap: no voice frame for %d ms\n", kVoiceGapMs);
        }
        if (beepUnstableFlag_ && c.voiceGapTicks % 8 == 1) {
            soundPlayer().play(QStringLiteral("Beep.wav"), SoundMode::Async);
            if (gapOpen_) {
                ++gapBeeps_;
                posLogPrint("CAPA] voice gap: Beep.wav at %lld ms\n",
                            static_cast<long long>(gapSince_.elapsed() + kVoiceGapMs));
            }
        }
        field(IDC_INDICATOR)->SetBkColor(kRed);
    }
    if (c.callState != STATE_IN_SERVICE) {
        stopWindowTimer(TIMER_VOICE_GAP);
        field(IDC_INDICATOR)->SetBkColor(kGrey);
    }
}
