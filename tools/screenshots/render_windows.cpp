// Renders each console window with sample content to a PNG file, so that
// layouts can be checked by eye. Run it under Xvfb (render_windows.sh).
//   render_windows <output folder>
#include "agentlinkops.h"
#include "captionreportlink.h"
#include "ccolorlistbox.h"
#include "ccolorstaticst.h"
#include "cdlglogin.h"
#include "cdlgnoticebox.h"
#include "cdlgserverconfig.h"
#include "cfontconfig.h"
#include "concontext.h"
#include "dlgconfig.h"
#include "dlgprogress.h"
#include "qcolors.h"
#include "scriptedprompter.h"
#include "userscreendisplay.h"
#ifdef QUILLON_RENDER_MAIN
#include "render_mainwindow.h"
#endif

#include <QApplication>
#include <QDateTime>
#include <QDir>
#include <QGridLayout>
#include <QLineEdit>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <cstdio>

namespace {

struct SampleOps : AgentLinkOps {
    int soundInit() override { return 0; }
    QString outputDeviceName() override { return QStringLiteral("Built-in Audio Analog Stereo"); }
    int txLogin(const char*, int, const char*, int, const char*, int, int, int, int) override
    {
        return 0;
    }
    int socketStart(const char*, int) override { return 0; }
    void shutdown(int) override {}
};

QString g_outDir;
int g_failures = 0;

void render(QWidget* w, const char* name)
{
    w->show();
    if (!QTest::qWaitForWindowExposed(w, 5000))
        std::fprintf(stderr, "render_windows: %s was not exposed\n", name);
    QTest::qWait(150);
    const QString path = QDir(g_outDir).filePath(QString::fromLatin1(name) + ".png");
    if (!w->grab().save(path)) {
        std::fprintf(stderr, "render_windows: cannot write %s\n", qPrintable(path));
        ++g_failures;
        return;
    }
    std::printf("%s\n", qPrintable(path));
}

}  // namespace

int main(int argc, char** argv)
{
    QTemporaryDir configHome;
    qputenv("XDG_CONFIG_HOME", configHome.path().toLocal8Bit());
    QApplication app(argc, argv);
    g_outDir = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("screenshots");
    QDir().mkpath(g_outDir);

    SampleOps ops;
    setAgentLinkOps(&ops);
    ScriptedPrompter prompts;   // no message box may block the run
    conContextReset();
    ConsoleContext& c = conContext();
    c.useStenoSoftware = 1;
    c.ScreenColorBg = 0xFFFFFF;
    c.ScreenColorFg = 0;
    c.ScreenFontSizeIdx = 5;
    c.ScreenFFontNameIdx = 13;

    {
        CDlgLogin login;
        login.controlAs<QLineEdit>(CDlgLogin::IDC_LOGIN_ID)->setText("agent007");
        login.controlAs<QLineEdit>(CDlgLogin::IDC_PASSWORD)->setText("secret");
        render(&login, "login");
    }
    {
        CDlgServerConfig config({"svc1.quillon.example", "svc2.quillon.example", "log.quillon.example"});
        render(&config, "serverconfig");
    }
    {
        CDlgNoticeBox notice;
        notice.AddMessage("The service will be paused for maintenance at 22:00 tonight.",
                          QDateTime(QDate(2026, 12, 10), QTime(9, 15, 2)));
        notice.AddMessage(QString("Please remember to report calls with no audio using the NoVoice "
                                  "button so that the carrier can be informed, and keep your "
                                  "stenography program connected."),
                          QDateTime(QDate(2026, 12, 10), QTime(9, 41, 30)));
        render(&notice, "noticebox");
    }
    {
        UserScreenDisplay screen;
        screen.ClearAndShow();
        const char text[] = "Hello, this is the captioned telephone service.\n\n"
                            "I am calling about the appointment on Thursday, is that still "
                            "convenient for you?";
        screen.Append(text, int(sizeof text - 1));
        render(&screen, "captionscreen");
    }
    {
        CFontConfig font(nullptr);
        render(&font, "fontconfig");
    }
    {
        QSettings store(QSettings::IniFormat, QSettings::UserScope, "Quillon", "QuillonAgent");
        store.setValue("Settings/CaptionerType", 2);
        store.setValue("Settings/MacAnswerCmd", "GA GA");
        store.setValue("Settings/AutoTransmitSpace", 5);
        store.sync();
        c.autoAnswerForTest = 1;
        CaptionReportLink report;
        DlgConfig config(nullptr, &report);
        config.OnInitDialog();
        render(&config, "config");
        c.autoAnswerForTest = 0;
    }
    {
        QWidget parent;
        parent.resize(420, 200);
        DlgProgress* popup = DlgProgress::ShowProgress(&parent, "Call dropped(Something wrong progress)", 60000);
        render(popup, "progress");
        popup->close();
    }
    {
        QWidget strip;
        strip.setWindowTitle("Colour controls");
        auto* grid = new QGridLayout(&strip);
        const struct {
            const char* text;
            uint32_t bg;
            uint32_t fg;
        } fields[] = {
            {"KA FAIL", 0xFF0000, 0x010101}, {"EclipseCAT", 0x33FF00, 0x010101},
            {"TRY", 0xFFFF33, 0x010101},     {"1", 0x33FF00, 0x010101},
            {"2", 0x999999, 0x010101},       {"X", 0x999999, 0x010101},
        };
        int col = 0;
        for (const auto& f : fields) {
            auto* field = new CColorStaticST(f.text, &strip);
            field->setAlignment(Qt::AlignCenter);
            field->setFrameShape(QFrame::Panel);
            field->setFrameShadow(QFrame::Sunken);
            field->setMinimumSize(f.text[1] ? 80 : 22, 22);
            field->SetBkColor(qcolors::fromRgb(f.bg));
            field->SetTextColor(qcolors::fromRgb(f.fg));
            grid->addWidget(field, 0, col++);
        }
        auto* list = new CColorListBox(&strip);
        list->AddString("[12/10 09:15:02] Message from System Manager", 0x0000FF);
        list->AddString("   The service will be paused for maintenance.", 0x010101);
        list->AddString("[12/10 09:41:30] Message from System Manager", 0x0000FF);
        list->SetCurSel(list->AddString("   Selected line: red background, inverted text.", 0x0000FF));
        grid->addWidget(list, 1, 0, 1, col);
        strip.resize(520, 150);
        render(&strip, "colorcontrols");
    }
#ifdef QUILLON_RENDER_MAIN
    renderMainWindow([](QWidget* w, const char* name) { render(w, name); });
#endif
    return g_failures == 0 ? 0 : 1;
}
