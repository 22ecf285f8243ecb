// The configuration dialog on a recording fake of the agent link, and its
// caption-report test connection against loopback listeners.
#include "agentlinkops.h"
#include "captionreportlink.h"
#include "capclogincrypt.h"
#include "cdlglogin.h"
#include "cfontconfig.h"
#include "dlgconfig.h"
#include "notifystatic.h"
#include "scriptedprompter.h"
#include "soundplayer.h"
#include "userscreendisplay.h"
#include "windowtest.h"

#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <arpa/inet.h>
#include <climits>
#include <cstring>
#include <functional>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace settings;

namespace {

struct FakeOps : AgentLinkOps {
    struct Change {
        std::string userId, newPasswd;
    };
    std::vector<Change> changes;

    FakeOps() { setAgentLinkOps(this); }
    ~FakeOps() override { setAgentLinkOps(nullptr); }
    int soundInit() override { return 0; }
    QString outputDeviceName() override { return QStringLiteral("Test Speaker"); }
    int txLogin(const char*, int, const char*, int, const char*, int, int, int, int) override
    {
        return 0;
    }
    int socketStart(const char*, int) override { return 0; }
    void shutdown(int) override {}
    int txChangePasswd(const char* userId, int userIdLen, const char* newPasswd,
                       int newPasswdLen) override
    {
        changes.push_back({std::string(userId, size_t(userIdLen)),
                           std::string(newPasswd, size_t(newPasswdLen))});
        return 0;
    }
};

std::string scrambled(const std::string& plain, uint8_t key)
{
    char out[128];
    const int n = capcLoginScramble(plain.data(), int(plain.size()), key, out, int(sizeof out));
    return std::string(out, size_t(n));
}

// Logs in through the real login dialog, so the console context holds the
// credentials exactly as login scrambles them.
void loginAs(const QString& id, const QString& password)
{
    CDlgLogin login;
    login.show();
    login.controlAs<QLineEdit>(CDlgLogin::IDC_LOGIN_ID)->setText(id);
    login.controlAs<QLineEdit>(CDlgLogin::IDC_PASSWORD)->setText(password);
    login.controlAs<QPushButton>(1)->click();
}

QLineEdit* edit(DlgConfig& d, int id) { return d.controlAs<QLineEdit>(id); }

// Opens the dialog the way RunModal does, without a nested event loop.
void open(DlgConfig& d)
{
    d.OnInitDialog();
    d.show();
}

void clickOk(DlgConfig& d) { d.controlAs<QPushButton>(1)->click(); }
void clickCancel(DlgConfig& d) { d.controlAs<QPushButton>(2)->click(); }

// Runs fn from the event loop once a modal widget of type T is active.
template <class T>
void whenModalOpens(std::function<void(T*)> fn)
{
    auto* timer = new QTimer;
    timer->setInterval(5);
    QObject::connect(timer, &QTimer::timeout, [timer, fn] {
        if (auto* w = qobject_cast<T*>(QApplication::activeModalWidget())) {
            timer->stop();
            timer->deleteLater();
            fn(w);
        }
    });
    timer->start();
}

// A port on 127.0.0.1 that nothing listens on.
int closedPort()
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost, 0))
        return -1;
    const int port = probe.serverPort();
    probe.close();
    return port;
}

}  // namespace

class TestDlgConfig : public QObject {
    Q_OBJECT
private slots:
    void init()
    {
        windowtest::clearStore();
        windowtest::resetContext();
        setCaptionReportTarget(nullptr);
    }

    // ---- the template ----
    void templateControls_data()
    {
        QTest::addColumn<int>("id");
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("caption");
        QTest::addColumn<bool>("shown");
        auto row = [](int id, const char* kind, const char* caption, bool shown) {
            QTest::addRow("%d", id) << id << QString::fromLatin1(kind)
                                    << QString::fromLatin1(caption) << shown;
        };
        row(1064, "QComboBox", "", true);
        row(1023, "QRadioButton", "Eclipse", false);
        row(1024, "QRadioButton", "ProCAT", false);
        row(1026, "QRadioButton", "CaseCATalyst", false);
        row(1027, "QRadioButton", "DigitCAT", false);
        row(1028, "QRadioButton", "AccuCAP", false);
        row(1029, "QRadioButton", "StenoCAT", false);
        row(1031, "QSlider", "", true);
        row(1032, "QLabel", "Min.", true);
        row(1033, "QLabel", "Max.", true);
        row(1049, "QPushButton", "Preview", true);
        row(1042, "QLineEdit", "", true);
        row(1040, "QLineEdit", "", false);
        row(1041, "QLineEdit", "", false);
        row(1043, "QLineEdit", "", false);
        row(1076, "QPushButton", "Set Font/ Color..", true);
        row(1025, "QLineEdit", "", true);
        row(1039, "QCheckBox", "Hide the window automatically during a service", true);
        row(1044, "QCheckBox", "Beep when the network is unstable", true);
        row(1045, "QCheckBox", "Report Caption Text (For Test Only)", true);
        row(1063, "NotifyStatic", " ", true);
        row(1034, "QLineEdit", "", false);
        row(1035, "QLineEdit", "", false);
        row(1036, "QLineEdit", "", false);
        row(1037, "QPushButton", "Change", false);
        row(1038, "QPushButton", "Clear/Cancel", false);
        row(1, "QPushButton", "OK", true);
        row(2, "QPushButton", "CANCEL", true);
    }

    void templateControls()
    {
        QFETCH(int, id);
        QFETCH(QString, kind);
        QFETCH(QString, caption);
        QFETCH(bool, shown);
        DlgConfig d(nullptr, nullptr);
        QCOMPARE(d.templateId(), 129);
        QCOMPARE(d.windowTitle(), QStringLiteral("QuillonAgent Configuration"));
        open(d);
        QWidget* w = d.control(id);
        QVERIFY(w);
        QCOMPARE(QString::fromLatin1(w->metaObject()->className()), kind);
        QCOMPARE(w->isVisible(), shown);
        if (auto* b = qobject_cast<QAbstractButton*>(w))
            QCOMPARE(b->text(), caption);
        else if (auto* l = qobject_cast<QLabel*>(w))
            QCOMPARE(l->text(), caption);
        if (auto* e = qobject_cast<QLineEdit*>(w)) {
            QCOMPARE(e->maxLength(), id == 1025 ? 10 : 19);
            const bool password = id >= 1034 && id <= 1036;
            QCOMPARE(e->echoMode() == QLineEdit::Password, password);
        }
    }

    void templateStaticsAndGroups()
    {
        DlgConfig d(nullptr, nullptr);
        open(d);
        QStringList shownGroups, hiddenGroups, labels;
        for (QGroupBox* g : d.findChildren<QGroupBox*>())
            (g->isVisible() ? shownGroups : hiddenGroups) << g->title();
        for (QLabel* l : d.findChildren<QLabel*>())
            labels << l->text();
        shownGroups.sort();
        QCOMPARE(shownGroups, (QStringList{"Automatic transmit space count(Hand write Only)",
                                           "Configure of caption screen", "Etc.",
                                           "Ring Tone Volume", "Shortcut word of button",
                                           "Stenography Software"}));
        QCOMPARE(hiddenGroups, QStringList{"Change your password"});
        for (const char* text : {"TCP Port: 3321", "'Answer' button :", "Transmit every", "spaces.",
                                 "Current Password", "New Password", "Confirm New Password",
                                 "Note) Please enter 6 ~ 19 characters"})
            QVERIFY2(labels.contains(QString::fromLatin1(text)), text);
        auto* list = d.controlAs<QComboBox>(1064);
        QStringList entries;
        for (int i = 0; i < list->count(); ++i)
            entries << list->itemText(i);
        QCOMPARE(entries, (QStringList{"AccuCAP > ANSI", "CaseCAT > CaseView", "DigitCAT > ANSI",
                                       "EclipseCAT > ANSI", "ProCAT > PlainText",
                                       "StenoCAT > Bridge"}));
        QCOMPARE(d.control(1063)->size(), QSize(8, 8));
        QVERIFY(d.controlAs<QPushButton>(1)->isDefault());
    }

    // ---- construction and opening ----
    void constructionReadsTheStore()
    {
        DlgConfig fresh(nullptr, nullptr);
        QCOMPARE(fresh.autoTransmitSpace(), 3);
        QCOMPARE(fresh.captionerType(), 0);
        QCOMPARE(fresh.ringTone(), 3);
        QCOMPARE(fresh.autoHide(), 0);
        QCOMPARE(fresh.beepUnstable(), 1);
        QCOMPARE(fresh.macAnswer(), QString());

        writeInt(kSettings, kCaptionerType, 5);
        writeInt(kSettings, kAutoTransmitSpace, 12);
        writeString(kSettings, kMacAnswerCmd, QString(30, u'w'));   // longer than the field
        writeString(kSettings, kMacNoVoice, "novoice");
        DlgConfig d(nullptr, nullptr);
        QCOMPARE(d.captionerType(), 5);
        QCOMPARE(conContext().captionerType.load(), 5);
        QCOMPARE(d.macAnswer(), QString(19, u'w'));
        open(d);
        QCOMPARE(edit(d, 1025)->text(), QStringLiteral("12"));
        QCOMPARE(edit(d, 1042)->text(), QString(19, u'w'));
        QCOMPARE(edit(d, 1041)->text(), QStringLiteral("novoice"));
        QCOMPARE(d.controlAs<QComboBox>(1064)->currentText(), QStringLiteral("StenoCAT > Bridge"));
        QVERIFY(d.isOpenFlag());
    }

    void openingSetsControlsFromTheStore_data()
    {
        QTest::addColumn<int>("ring");
        QTest::addColumn<int>("hide");
        QTest::addColumn<int>("beep");
        QTest::addColumn<int>("loginState");
        QTest::addColumn<int>("autoAnswer");
        QTest::addColumn<int>("slider");
        QTest::newRow("defaults, logged out") << 3 << 0 << 1 << 0 << 0 << 3;
        QTest::newRow("volume 0, LOGIN sent") << 0 << 1 << 0 << 1 << 1 << 0;
        QTest::newRow("volume 5, logged in") << 5 << 1 << 1 << 2 << 0 << 5;
        QTest::newRow("volume 9 shows the top") << 9 << 0 << 0 << 2 << 1 << 5;
    }

    void openingSetsControlsFromTheStore()
    {
        QFETCH(int, ring);
        QFETCH(int, hide);
        QFETCH(int, beep);
        QFETCH(int, loginState);
        QFETCH(int, autoAnswer);
        QFETCH(int, slider);
        DlgConfig d(nullptr, nullptr);
        // Written after construction: the opening reads the integers again.
        writeInt(kSettings, kMyRingTone, ring);
        writeInt(kSettings, kAutoHideFlag, hide);
        writeInt(kSettings, kBeepUnstableFlag, beep);
        conContext().loginState = loginState;
        conContext().autoAnswerForTest = autoAnswer;
        open(d);
        auto* volume = d.controlAs<QSlider>(1031);
        QCOMPARE(volume->minimum(), 0);
        QCOMPARE(volume->maximum(), 5);
        QCOMPARE(volume->tickInterval(), 1);
        QCOMPARE(volume->pageStep(), 1);
        QVERIFY(volume->tickPosition() != QSlider::NoTicks);
        QCOMPARE(volume->value(), slider);
        QCOMPARE(d.controlAs<QCheckBox>(1039)->isChecked(), hide != 0);
        QCOMPARE(d.controlAs<QCheckBox>(1044)->isChecked(), beep != 0);
        QCOMPARE(d.controlAs<QCheckBox>(1045)->isChecked(), false);
        for (int id : {1034, 1035, 1036})
            QCOMPARE(d.control(id)->isEnabled(), loginState != 0);
        QCOMPARE(d.controlAs<QLabel>(1063)->text(),
                 autoAnswer ? QStringLiteral("A") : QStringLiteral(" "));
        QCOMPARE(d.ringTone(), ring);
        clickOk(d);
        // The track bar's position is what OK writes.
        QCOMPARE(readInt(kSettings, kMyRingTone, -1), slider);
    }

    // The table of OK and CANCEL over two openings: what the store holds and
    // what the next opening shows.
    void okAndCancelAcrossOpenings_data()
    {
        QTest::addColumn<bool>("ok");
        QTest::addColumn<QString>("answer");
        QTest::addColumn<QString>("spaces");
        QTest::addColumn<QString>("storedAnswer");
        QTest::addColumn<int>("storedSpaces");   // -1: never written
        QTest::newRow("OK writes the edits") << true << "go ahead" << "8" << "go ahead" << 8;
        QTest::newRow("CANCEL keeps them unwritten") << false << "go ahead" << "8" << "ans" << -1;
        QTest::newRow("OK clears the word") << true << "" << "0" << "" << 0;
        QTest::newRow("CANCEL with an empty count") << false << "x" << "" << "ans" << -1;
    }

    void okAndCancelAcrossOpenings()
    {
        QFETCH(bool, ok);
        QFETCH(QString, answer);
        QFETCH(QString, spaces);
        QFETCH(QString, storedAnswer);
        QFETCH(int, storedSpaces);
        ScriptedPrompter prompts;
        writeString(kSettings, kMacAnswerCmd, "ans");
        DlgConfig d(nullptr, nullptr);
        open(d);
        edit(d, 1042)->setText(answer);
        edit(d, 1025)->setText(spaces);
        ok ? clickOk(d) : clickCancel(d);
        QVERIFY(!d.isVisible());
        QVERIFY(!d.isOpenFlag());
        QCOMPARE(d.result(), ok ? int(QDialog::Accepted) : int(QDialog::Rejected));
        QCOMPARE(readString(kSettings, kMacAnswerCmd, "?"), storedAnswer);
        QCOMPARE(readInt(kSettings, kAutoTransmitSpace, -1), storedSpaces);
        QVERIFY(prompts.entries().empty());

        // The next opening shows the fields as they were left, whatever the
        // store holds; a count that was not a number shows the member.
        open(d);
        QCOMPARE(edit(d, 1042)->text(), answer);
        QCOMPARE(edit(d, 1025)->text(), spaces.isEmpty() ? QStringLiteral("3") : spaces);
        clickCancel(d);
    }

    void okWritesEverySetting()
    {
        std::vector<int> lengths;
        writeInt(kSettings, kCaptionerType, 1);
        DlgConfig d(nullptr, nullptr);
        d.onShortcutLengths = [&](int a, int b, int c, int e) { lengths = {a, b, c, e}; };
        open(d);
        auto* list = d.controlAs<QComboBox>(1064);
        QCOMPARE(list->currentText(), QStringLiteral("ProCAT > PlainText"));
        list->setFocus();
        QTest::keyClick(list, Qt::Key_Down);   // a choice the user makes
        QCOMPARE(list->currentText(), QStringLiteral("StenoCAT > Bridge"));
        d.controlAs<QSlider>(1031)->setValue(1);
        d.controlAs<QCheckBox>(1039)->click();
        d.controlAs<QCheckBox>(1044)->click();
        edit(d, 1040)->setText("noise!");
        edit(d, 1041)->setText("");
        edit(d, 1043)->setText("misuse");
        edit(d, 1042)->setText(QStringLiteral("h\u00e9llo"));   // é is two bytes
        edit(d, 1025)->setText("25");
        edit(d, 1035)->setText("leftover");
        clickOk(d);
        QCOMPARE(readInt(kSettings, kAutoTransmitSpace, -1), 25);
        QCOMPARE(readInt(kSettings, kCaptionerType, -1), 5);
        QCOMPARE(readInt(kSettings, kMyRingTone, -1), 1);
        QCOMPARE(readInt(kSettings, kAutoHideFlag, -1), 1);
        QCOMPARE(readInt(kSettings, kBeepUnstableFlag, -1), 0);
        QCOMPARE(readString(kSettings, kMacNosiyVoice, "?"), QStringLiteral("noise!"));
        QCOMPARE(readString(kSettings, kMacNoVoice, "?"), QString());
        QCOMPARE(readString(kSettings, kMacMisuse, "?"), QStringLiteral("misuse"));
        QCOMPARE(readString(kSettings, kMacAnswerCmd, "?"), QStringLiteral("h\u00e9llo"));
        QCOMPARE(lengths, (std::vector<int>{6, 0, 6, 6}));
        for (int id : {1034, 1035, 1036})
            QVERIFY(edit(d, id)->text().isEmpty());
    }

    void transmitSpaceCount_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("accepted");
        QTest::addColumn<int>("value");
        QTest::addColumn<QString>("prompt");
        const QString integer = DlgConfig::integerPromptText();
        QTest::newRow("zero") << "0" << true << 0 << "";
        QTest::newRow("leading zeros") << "007" << true << 7 << "";
        QTest::newRow("spaces around") << " 5 " << true << 5 << "";
        QTest::newRow("largest") << "2147483647" << true << INT_MAX << "";
        QTest::newRow("one past the largest") << "2147483648" << false << 0 << integer;
        QTest::newRow("ten nines") << "9999999999" << false << 0 << integer;
        QTest::newRow("empty") << "" << false << 0 << integer;
        QTest::newRow("negative") << "-5" << false << 0 << integer;
        QTest::newRow("not a number") << "12a" << false << 0 << integer;
    }

    // Values set from the code bypass the digits-only field: OK checks them.
    void transmitSpaceCount()
    {
        QFETCH(QString, text);
        QFETCH(bool, accepted);
        QFETCH(int, value);
        QFETCH(QString, prompt);
        ScriptedPrompter prompts;
        DlgConfig d(nullptr, nullptr);
        open(d);
        edit(d, 1042)->setText("word");
        edit(d, 1025)->setText(text);
        clickOk(d);
        if (accepted) {
            QVERIFY(!d.isVisible());
            QCOMPARE(readInt(kSettings, kAutoTransmitSpace, -1), value);
            QVERIFY(prompts.entries().empty());
        } else {
            // The dialog stays open and nothing is written.
            QVERIFY(d.isVisible());
            QVERIFY(d.isOpenFlag());
            QCOMPARE(prompts.texts(), QStringList{prompt});
            QCOMPARE(readInt(kSettings, kAutoTransmitSpace, -1), -1);
            QVERIFY(!windowtest::rawValue(kSettings, kMacAnswerCmd).isValid());
            edit(d, 1025)->setText("4");
            clickOk(d);
            QVERIFY(!d.isVisible());
            QCOMPARE(readInt(kSettings, kAutoTransmitSpace, -1), 4);
        }
    }

    void typedFieldsKeepTheirLimits()
    {
        DlgConfig d(nullptr, nullptr);
        open(d);
        edit(d, 1025)->clear();
        edit(d, 1025)->setFocus();
        QTest::keyClicks(edit(d, 1025), "-1x2 3.4");   // only the digits go in
        QCOMPARE(edit(d, 1025)->text(), QStringLiteral("1234"));
        QTest::keyClicks(edit(d, 1025), "5678901234");
        QCOMPARE(edit(d, 1025)->text(), QStringLiteral("1234567890"));
        edit(d, 1042)->setFocus();
        QTest::keyClicks(edit(d, 1042), QString(25, u'k'));
        QCOMPARE(edit(d, 1042)->text(), QString(19, u'k'));
        clickOk(d);
        QCOMPARE(readInt(kSettings, kAutoTransmitSpace, -1), 1234567890);
        QCOMPARE(readString(kSettings, kMacAnswerCmd, "?"), QString(19, u'k'));
    }

    void controlCharactersAreStrippedWithAMessage()
    {
        ScriptedPrompter prompts;
        std::vector<int> lengths;
        DlgConfig d(nullptr, nullptr);
        d.onShortcutLengths = [&](int a, int b, int c, int e) { lengths = {a, b, c, e}; };
        open(d);
        edit(d, 1042)->setText(QStringLiteral("go\tah\u0007ead\n"));
        edit(d, 1040)->setText(QStringLiteral("\u0085x\u007f"));
        clickOk(d);
        QCOMPARE(prompts.texts(), QStringList{DlgConfig::controlCharsText()});
        QVERIFY(!d.isVisible());
        QCOMPARE(readString(kSettings, kMacAnswerCmd, "?"), QStringLiteral("goahead"));
        QCOMPARE(readString(kSettings, kMacNosiyVoice, "?"), QStringLiteral("x"));
        QCOMPARE(lengths, (std::vector<int>{1, 0, 0, 7}));
        open(d);
        QCOMPARE(edit(d, 1042)->text(), QStringLiteral("goahead"));
    }

    // ---- the stenography software list ----
    void listChoiceSetsTheCaptionerType_data()
    {
        QTest::addColumn<int>("entry");
        QTest::addColumn<int>("type");
        QTest::newRow("AccuCAP") << 0 << 4;
        QTest::newRow("CaseCAT") << 1 << 2;
        QTest::newRow("DigitCAT") << 2 << 3;
        QTest::newRow("EclipseCAT") << 3 << 0;
        QTest::newRow("ProCAT") << 4 << 1;
        QTest::newRow("StenoCAT") << 5 << 5;
    }

    void listChoiceSetsTheCaptionerType()
    {
        QFETCH(int, entry);
        QFETCH(int, type);
        writeInt(kSettings, kCaptionerType, 3);
        DlgConfig d(nullptr, nullptr);
        open(d);
        auto* list = d.controlAs<QComboBox>(1064);
        list->setCurrentIndex(entry);
        emit list->activated(entry);
        QCOMPARE(d.captionerType(), type);
        clickOk(d);
        QCOMPARE(readInt(kSettings, kCaptionerType, -1), type);
    }

    void captionerTypeNineIsKeptUntilChosen()
    {
        writeInt(kSettings, kCaptionerType, 9);
        DlgConfig d(nullptr, nullptr);
        open(d);
        auto* list = d.controlAs<QComboBox>(1064);
        QCOMPARE(list->currentIndex(), 0);
        QCOMPARE(list->currentText(), QStringLiteral("AccuCAP > ANSI"));
        QCOMPARE(d.captionerType(), 9);
        clickOk(d);
        QCOMPARE(readInt(kSettings, kCaptionerType, -1), 9);

        // Choosing the entry already shown sets its type.
        open(d);
        QCOMPARE(list->currentIndex(), 0);
        emit list->activated(0);
        QCOMPARE(d.captionerType(), 4);
        clickOk(d);
        QCOMPARE(readInt(kSettings, kCaptionerType, -1), 4);
    }

    // ---- ring tone preview ----
    void previewPlaysTheTrackBarPosition()
    {
        RecordingSoundPlayer player;
        setSoundPlayer(&player);
        DlgConfig d(nullptr, nullptr);
        open(d);
        auto* volume = d.controlAs<QSlider>(1031);
        auto* preview = d.controlAs<QPushButton>(1049);
        for (int position : {0, 5, 2}) {
            volume->setValue(position);
            preview->click();
        }
        setSoundPlayer(nullptr);
        QCOMPARE(player.calls, (QStringList{"play RingVol0.wav async", "play RingVol5.wav async",
                                            "play RingVol2.wav async"}));
        // Moving the track bar alone writes nothing.
        QVERIFY(!windowtest::rawValue(kSettings, kMyRingTone).isValid());
    }

    // ---- the test answer mark ----
    void doubleClickTogglesTestAnswering()
    {
        DlgConfig d(nullptr, nullptr);
        open(d);
        auto* mark = d.controlAs<NotifyStatic>(1063);
        QCOMPARE(mark->text(), QStringLiteral(" "));
        QTest::mouseDClick(mark, Qt::LeftButton);
        QCOMPARE(mark->text(), QStringLiteral("A"));
        QCOMPARE(conContext().autoAnswerForTest.load(), 1);
        QCOMPARE(windowtest::rawValue(kSettings, kAutoAnsForTst).toInt(), 1);
        QTest::mouseDClick(mark, Qt::LeftButton);
        QCOMPARE(mark->text(), QStringLiteral(" "));
        QCOMPARE(conContext().autoAnswerForTest.load(), 0);
        QCOMPARE(windowtest::rawValue(kSettings, kAutoAnsForTst).toInt(), 0);
        // CANCEL does not undo it: it was written at once.
        QTest::mouseDClick(mark, Qt::LeftButton);
        clickCancel(d);
        QCOMPARE(windowtest::rawValue(kSettings, kAutoAnsForTst).toInt(), 1);
    }

    // ---- font and colour ----
    void setFontHidesTheScreenAndRunsTheFontDialog()
    {
        UserScreenDisplay screen;
        screen.ClearAndShow();
        QVERIFY(screen.isVisible());
        DlgConfig d(&screen, nullptr);
        bool sawFont = false;
        bool screenHidden = false;
        whenModalOpens<CFontConfig>([&](CFontConfig* font) {
            sawFont = true;
            screenHidden = !screen.isVisible() && !screen.visibleFlag();
            font->controlAs<QComboBox>(CFontConfig::IDC_SIZE)->setCurrentIndex(9);
            font->controlAs<QPushButton>(1)->click();   // Apply
            QTimer::singleShot(0, &d, [&d] { d.controlAs<QPushButton>(2)->click(); });
        });
        QTimer::singleShot(0, &d, [&d] { d.controlAs<QPushButton>(1076)->click(); });
        QCOMPARE(d.RunModal(), int(QDialog::Rejected));
        QVERIFY(sawFont);
        QVERIFY(screenHidden);
        QCOMPARE(readInt(kSettings, kScreenFontSizeIdx, -1), 9);
        QCOMPARE(conContext().ScreenFontSizeIdx.load(), 9);
    }

    // ---- ringing ----
    void ringingCancelsARunningDialog()
    {
        ScriptedPrompter prompts;
        writeString(kSettings, kMacAnswerCmd, "old");
        DlgConfig d(nullptr, nullptr);
        d.CancelForRinging();   // not open: nothing happens
        QVERIFY(!d.isOpenFlag());
        QTimer::singleShot(0, &d, [&d] {
            d.controlAs<QLineEdit>(DlgConfig::IDC_MAC_ANSWER)->setText("edited");
            d.CancelForRinging();
        });
        QCOMPARE(d.RunModal(), int(QDialog::Rejected));
        QVERIFY(!d.isOpenFlag());
        QCOMPARE(readString(kSettings, kMacAnswerCmd, "?"), QStringLiteral("old"));
        QCOMPARE(d.macAnswer(), QStringLiteral("edited"));

        // With the font configuration open on top, both close.
        QPointer<CFontConfig> seen;
        whenModalOpens<CFontConfig>([&](CFontConfig* font) {
            seen = font;
            d.CancelForRinging();
        });
        QTimer::singleShot(0, &d, [&d] { d.controlAs<QPushButton>(1076)->click(); });
        QCOMPARE(d.RunModal(), int(QDialog::Rejected));
        QVERIFY(seen.isNull());   // the font dialog ended and was destroyed
        QVERIFY(!windowtest::rawValue(kSettings, kScreenFontSizeIdx).isValid());
    }

    // ---- password change ----
    void passwordRules_data()
    {
        QTest::addColumn<QString>("current");
        QTest::addColumn<QString>("fresh");
        QTest::addColumn<QString>("confirm");
        QTest::addColumn<QString>("message");   // empty: CHANGE_PASSWD sent
        QTest::newRow("wrong current") << "secret0" << "abcdef" << "abcdef"
                                       << DlgConfig::wrongPasswordText();
        QTest::newRow("empty current") << "" << "abcdef" << "abcdef"
                                       << DlgConfig::wrongPasswordText();
        QTest::newRow("wrong current checked first") << "nope" << "abc" << "x"
                                                     << DlgConfig::wrongPasswordText();
        QTest::newRow("five characters") << "secret1" << "abcde" << "abcde"
                                         << DlgConfig::shortPasswordText();
        QTest::newRow("short before confirm") << "secret1" << "abcde" << "zzz"
                                              << DlgConfig::shortPasswordText();
        QTest::newRow("confirm differs in case") << "secret1" << "abcdef" << "abcdeF"
                                                 << DlgConfig::confirmPasswordText();
        QTest::newRow("six characters") << "secret1" << "abcdef" << "abcdef" << "";
        QTest::newRow("nineteen characters") << "secret1" << QString(19, u'q') << QString(19, u'q')
                                             << "";
    }

    void passwordRules()
    {
        QFETCH(QString, current);
        QFETCH(QString, fresh);
        QFETCH(QString, confirm);
        QFETCH(QString, message);
        FakeOps ops;
        ScriptedPrompter prompts;
        loginAs("agent9", "secret1");
        ConsoleContext& c = conContext();
        const std::string storedPassword(c.password, size_t(c.passwordLen.load()));
        QCOMPARE(storedPassword, scrambled("secret1", CAPC_LOGIN_KEY_PASSWORD));
        c.loginState = 2;

        DlgConfig d(nullptr, nullptr);
        open(d);
        edit(d, 1034)->setText(current);
        edit(d, 1035)->setText(fresh);
        edit(d, 1036)->setText(confirm);
        d.controlAs<QPushButton>(1037)->click();
        // The dialog stays up either way, and the password is unchanged
        // until the server acknowledges.
        QVERIFY(d.isVisible());
        QCOMPARE(std::string(c.password, size_t(c.passwordLen.load())), storedPassword);
        if (!message.isEmpty()) {
            QCOMPARE(prompts.texts(), QStringList{message});
            QVERIFY(ops.changes.empty());
            QCOMPARE(edit(d, 1034)->text(), current);
            QCOMPARE(edit(d, 1035)->text(), fresh);
            QCOMPARE(edit(d, 1036)->text(), confirm);
            QVERIFY(d.isOpenFlag());
            QCOMPARE(c.newPasswordLen.load(), 0);
            return;
        }
        QVERIFY(prompts.entries().empty());
        const std::string expected = scrambled(fresh.toStdString(), CAPC_LOGIN_KEY_PASSWORD);
        QVERIFY(expected != fresh.toStdString());
        QCOMPARE(int(ops.changes.size()), 1);
        QCOMPARE(ops.changes[0].userId, scrambled("agent9", CAPC_LOGIN_KEY_USER_ID));
        QCOMPARE(ops.changes[0].newPasswd, expected);
        QCOMPARE(std::string(c.newPassword, size_t(c.newPasswordLen.load())), expected);
        for (int id : {1034, 1035, 1036})
            QVERIFY(edit(d, id)->text().isEmpty());
        QVERIFY(!d.isOpenFlag());
        // Ringing still closes the dialog that stays up after the change.
        d.CancelForRinging();
        QVERIFY(!d.isVisible());
        QCOMPARE(d.result(), int(QDialog::Rejected));
    }

    // "€" is E2 82 AC in UTF-8: after a leading "a" the password key
    // turns E2 into a 0 byte, so the stored password is not a C string.
    void passwordsWithAZeroByteAfterScrambling()
    {
        FakeOps ops;
        ScriptedPrompter prompts;
        const QString old = QStringLiteral("a€bcdef");
        loginAs("agent9", old);
        ConsoleContext& c = conContext();
        QCOMPARE(c.passwordLen.load(), 9);
        QCOMPARE(c.password[1], '\0');
        c.loginState = 2;
        DlgConfig d(nullptr, nullptr);
        open(d);
        auto change = [&](const QString& current, const QString& fresh) {
            edit(d, 1034)->setText(current);
            edit(d, 1035)->setText(fresh);
            edit(d, 1036)->setText(fresh);
            d.controlAs<QPushButton>(1037)->click();
        };
        change("a", "a€xyzzz");   // equal up to the 0 byte only
        QCOMPARE(prompts.texts(), QStringList{DlgConfig::wrongPasswordText()});
        QVERIFY(ops.changes.empty());
        change(old, "a€xyzzz");
        QCOMPARE(prompts.texts().size(), 1);
        QCOMPARE(int(ops.changes.size()), 1);
        const std::string expected = scrambled("a€xyzzz", CAPC_LOGIN_KEY_PASSWORD);
        QCOMPARE(expected.size(), size_t(9));
        QCOMPARE(expected[1], '\0');
        QCOMPARE(ops.changes[0].newPasswd, expected);
        QCOMPARE(std::string(c.newPassword, size_t(c.newPasswordLen.load())), expected);
    }

    void clearCancelEmptiesThePasswordFields()
    {
        conContext().loginState = 2;
        DlgConfig d(nullptr, nullptr);
        open(d);
        for (int id : {1034, 1035, 1036})
            edit(d, id)->setText("typed");
        edit(d, 1042)->setText("kept");
        d.controlAs<QPushButton>(1038)->click();
        for (int id : {1034, 1035, 1036})
            QVERIFY(edit(d, id)->text().isEmpty());
        QCOMPARE(edit(d, 1042)->text(), QStringLiteral("kept"));
        QVERIFY(d.isVisible());
    }

    // ---- caption-report connection ----
    void reportCopiesStenographyBytesToTheEndpoint()
    {
        QTcpServer endpoint;
        QVERIFY(endpoint.listen(QHostAddress::LocalHost, 0));
        CaptionReportLink link;
        link.setPort(endpoint.serverPort());
        setCaptionReportTarget(&link);
        ConsoleWindowHooks hooks{};
        hooks.reportCaptionBytes = captionReportHook;
        conSetWindowHooks(&hooks);
        std::strcpy(conContext().serverHost, "127.0.0.1");

        DlgConfig d(nullptr, &link);
        open(d);
        auto* box = d.controlAs<QCheckBox>(1045);
        QVERIFY(!box->isChecked());
        box->click();
        QVERIFY(link.flag());
        QVERIFY(endpoint.waitForNewConnection(5000));
        QTcpSocket* peer = endpoint.nextPendingConnection();
        QTRY_VERIFY_WITH_TIMEOUT(link.isUp(), 5000);

        // The agent task copies from its own thread; bytes arrive in order.
        QByteArray sent;
        for (int i = 0; i < 300; ++i)
            sent.append(char(i));
        std::thread agent([&] {
            for (int off = 0; off < sent.size(); off += 50)
                conReportCaptionBytes(reinterpret_cast<const uint8_t*>(sent.constData() + off), 50);
        });
        agent.join();
        QByteArray got;
        QTRY_VERIFY_WITH_TIMEOUT((got += peer->readAll()).size() >= sent.size(), 5000);
        QCOMPARE(got, sent);

        // The next opening shows the flag; OK keeps the connection.
        clickOk(d);
        open(d);
        QVERIFY(box->isChecked());
        QVERIFY(link.isUp());

        // Unchecked: closed and marked down; later copies go nowhere.
        box->click();
        QVERIFY(!link.flag());
        QVERIFY(!link.isUp());
        QTRY_VERIFY_WITH_TIMEOUT(peer->state() == QAbstractSocket::UnconnectedState, 5000);
        const uint8_t more[] = {1, 2, 3};
        conReportCaptionBytes(more, 3);
        QTest::qWait(20);
        QVERIFY(peer->readAll().isEmpty());
        QCOMPARE(link.failures(), 0);
        clickCancel(d);
        conSetWindowHooks(nullptr);
        setCaptionReportTarget(nullptr);
    }

    void reportRefusedConnectKeepsTheFlag()
    {
        const int port = closedPort();
        QVERIFY(port > 0);
        CaptionReportLink link;
        link.setPort(port);
        QElapsedTimer t;
        t.start();
        link.setFlag(true, "127.0.0.1");
        QVERIFY(t.elapsed() < 1000);
        QTRY_VERIFY_WITH_TIMEOUT(link.failures() == 1, 5000);
        QVERIFY(link.flag());
        QVERIFY(!link.isUp());
        QVERIFY(!link.isConnecting());
        const uint8_t bytes[] = {'a'};
        link.copyBytes(bytes, 1);   // down: nothing happens
        // Checking again tries again.
        link.setFlag(true, "127.0.0.1");
        QTRY_VERIFY_WITH_TIMEOUT(link.failures() == 2, 5000);
    }

    // A connect that gets no answer (the endpoint's accept queue is full and
    // its kernel drops the handshake) leaves the window's thread running.
    void reportPendingConnectNeverBlocksTheWindow()
    {
        const int lfd = ::socket(AF_INET, SOCK_STREAM, 0);
        QVERIFY(lfd >= 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        QCOMPARE(::bind(lfd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        QCOMPARE(::listen(lfd, 0), 0);
        socklen_t len = sizeof addr;
        ::getsockname(lfd, reinterpret_cast<sockaddr*>(&addr), &len);
        const int port = ntohs(addr.sin_port);
        // Fill the accept queue.
        std::vector<int> fillers;
        for (int i = 0; i < 2; ++i) {
            const int f = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
            ::connect(f, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
            fillers.push_back(f);
        }
        QTest::qWait(50);

        CaptionReportLink link;
        link.setPort(port);
        DlgConfig d(nullptr, &link);
        std::strcpy(conContext().serverHost, "127.0.0.1");
        open(d);
        QElapsedTimer t;
        t.start();
        d.controlAs<QCheckBox>(1045)->click();
        QVERIFY(t.elapsed() < 1000);
        // The event loop keeps running while the connect is pending.
        int ticks = 0;
        QTimer timer;
        connect(&timer, &QTimer::timeout, [&] { ++ticks; });
        timer.start(10);
        QTRY_VERIFY_WITH_TIMEOUT(ticks >= 20, 5000);
        if (link.isConnecting()) {
            QVERIFY(!link.isUp());
            // Unchecking ends the attempt at once.
            d.controlAs<QCheckBox>(1045)->click();
            QVERIFY(!link.isConnecting());
            QVERIFY(!link.isUp());
        } else {
            QWARN("the kernel answered the handshake: pending case not reached");
        }
        clickCancel(d);
        for (int f : fillers)
            ::close(f);
        ::close(lfd);
    }

    void reportDropIsLoggedAndMarkedDown()
    {
        QTcpServer endpoint;
        QVERIFY(endpoint.listen(QHostAddress::LocalHost, 0));
        CaptionReportLink link;
        link.setPort(endpoint.serverPort());
        link.setFlag(true, "127.0.0.1");
        QVERIFY(endpoint.waitForNewConnection(5000));
        QTcpSocket* peer = endpoint.nextPendingConnection();
        QTRY_VERIFY_WITH_TIMEOUT(link.isUp(), 5000);
        peer->abort();
        // Copies keep coming until the drop is seen; none may crash.
        const uint8_t bytes[] = {'x', 'y'};
        QTRY_VERIFY_WITH_TIMEOUT((link.copyBytes(bytes, 2), !link.isUp()), 5000);
        QCOMPARE(link.failures(), 1);
        QVERIFY(link.flag());
    }

    void reportRefusesNoAddressAndTheOwnListener_data()
    {
        QTest::addColumn<QString>("host");
        QTest::addColumn<int>("port");
        QTest::newRow("empty address") << "" << 0;
        QTest::newRow("host name") << "svc.example" << 0;
        QTest::newRow("loopback on the stenography port") << "127.0.0.1" << 3321;
        QTest::newRow("other loopback address") << "127.9.9.9" << 3321;
    }

    void reportRefusesNoAddressAndTheOwnListener()
    {
        QFETCH(QString, host);
        QFETCH(int, port);
        CaptionReportLink link;
        if (port)
            link.setPort(port);
        link.setFlag(true, host.toLatin1().constData());
        QVERIFY(link.flag());
        QVERIFY(!link.isConnecting());
        QVERIFY(!link.isUp());
        QCOMPARE(link.failures(), 1);
    }

    void reportTargetGoesAwayWithTheLink()
    {
        auto* link = new CaptionReportLink;
        setCaptionReportTarget(link);
        QCOMPARE(captionReportTarget(), link);
        delete link;
        QCOMPARE(captionReportTarget(), static_cast<CaptionReportLink*>(nullptr));
        const uint8_t bytes[] = {'z'};
        captionReportHook(bytes, 1);   // no target: nothing happens
    }
};

QUILLON_WINDOW_TEST_MAIN(TestDlgConfig)
#include "tst_dlgconfig.moc"
