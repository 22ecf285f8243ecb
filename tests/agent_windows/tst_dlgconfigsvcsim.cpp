// The configuration dialog on the real agent task and server link: the
// password change reaches the service simulator with the scrambled values,
// and the caption-report link copies what a stenography program sends.
#include "agentlinkops_product.h"
#include "capa.h"
#include "captionreportlink.h"
#include "capclogincrypt.h"
#include "cdlglogin.h"
#include "consoleevent.h"
#include "dlgconfig.h"
#include "pos.h"
#include "posinternal.h"
#include "scriptedprompter.h"
#include "svcsim.h"
#include "windowtest.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRandomGenerator>
#include <QTcpServer>
#include <QTcpSocket>
#include <arpa/inet.h>
#include <cstring>
#include <memory>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace {

struct LinkOpsWithoutSound : ProductAgentLinkOps {
    int soundInit() override { return 0; }
    QString outputDeviceName() override { return QStringLiteral("Test Speaker"); }
    void shutdown(int) override {}
};

bool startRuntime()
{
    static QTemporaryDir debugDir;
    qputenv("POS_DEBUG_DIR", debugDir.path().toLocal8Bit());
    conContextReset();
    if (posInit(99) != 0)
        return false;
    for (int i = 0; i < 500 && g_posLogTaskId.load() == 0; ++i)
        QTest::qWait(10);
    posGatesOpenAll();
    capcSetStenoPort(0);
    if (capcCreateTask() == 0)
        return false;
    for (int i = 0; i < 500 && capcStenoListenPort() <= 0; ++i)
        QTest::qWait(10);
    return capcStenoListenPort() > 0;
}

// A credential field of a decoded frame: its length, or up to the NUL when
// the length is 0.
std::string field(const char* text, int length)
{
    return length > 0 ? std::string(text, size_t(length)) : std::string(text);
}

std::string unscramble(const std::string& text, uint8_t key)
{
    char out[128];
    const int n = capcLoginUnscramble(text.data(), int(text.size()), key, out, int(sizeof out));
    return std::string(out, size_t(n));
}

}  // namespace

class TestDlgConfigSvcSim : public QObject {
    Q_OBJECT
private slots:
    void initTestCase()
    {
        windowtest::clearStore();
        QVERIFY(startRuntime());
    }

    void changePasswordSendsTheScrambledValues()
    {
        SvcSimConfig config;
        config.expectUserId = "agent42";
        config.expectPassword = "oldpass1";
        std::unique_ptr<SvcSim> sim;
        int systemType = 0;
        for (int attempt = 0; attempt < 50 && !sim; ++attempt) {
            systemType = 200 + int(QRandomGenerator::global()->bounded(6000));
            config.port = CDlgLogin::serverPort(systemType);
            auto candidate = std::make_unique<SvcSim>(config);
            if (candidate->start() > 0)
                sim = std::move(candidate);
        }
        QVERIFY(sim);

        windowtest::resetContext();
        ConsoleContext& c = conContext();
        c.systemType = systemType;
        std::strcpy(c.serverHost, "127.0.0.1");
        LinkOpsWithoutSound ops;
        setAgentLinkOps(&ops);
        ScriptedPrompter prompts;
        CDlgLogin login;
        login.show();
        login.controlAs<QLineEdit>(CDlgLogin::IDC_LOGIN_ID)->setText("agent42");
        login.controlAs<QLineEdit>(CDlgLogin::IDC_PASSWORD)->setText("oldpass1");
        login.controlAs<QPushButton>(1)->click();
        QVERIFY(sim->waitForClient(10000));
        // The console re-sends LOGIN when the link opens; here the link is
        // up once the simulator has a client, and the first LOGIN may have
        // been sent before it: send it again from the stored credentials.
        QTRY_VERIFY_WITH_TIMEOUT(capcTxLogin(&g_capcInfo.link, c.userId, c.userIdLen,
                                             c.password, c.passwordLen, c.phoneNumber, 2, 8,
                                             4, 0) == 0,
                                 10000);
        QVERIFY(sim->waitForCount(CAPC_ID_LOGIN, 1, 10000));
        c.loginState = 2;
        const std::string passwordBefore = c.password;

        DlgConfig d(nullptr, nullptr);
        d.OnInitDialog();
        d.show();
        d.controlAs<QLineEdit>(DlgConfig::IDC_CURRENT_PASSWORD)->setText("oldpass1");
        d.controlAs<QLineEdit>(DlgConfig::IDC_NEW_PASSWORD)->setText("newpass22");
        d.controlAs<QLineEdit>(DlgConfig::IDC_CONFIRM_PASSWORD)->setText("newpass22");
        d.controlAs<QPushButton>(DlgConfig::IDC_CHANGE_PASSWORD)->click();
        QVERIFY(prompts.entries().empty());
        QVERIFY(sim->waitForCount(CAPX_CHANGE_PASSWD, 1, 10000));

        SvcSimFrame change;
        for (const SvcSimFrame& f : sim->frames())
            if (f.id == CAPX_CHANGE_PASSWD)
                change = f;
        const CapxChangePasswd& m = change.msg.changePasswd;
        const std::string userId = field(m.userId, m.userIdLen);
        const std::string passwd = field(m.passwd, m.passwdLen);
        QCOMPARE(userId, std::string(c.userId, size_t(c.userIdLen.load())));
        QCOMPARE(passwd, std::string(c.newPassword, size_t(c.newPasswordLen.load())));
        QCOMPARE(unscramble(userId, CAPC_LOGIN_KEY_USER_ID), std::string("agent42"));
        QCOMPARE(unscramble(passwd, CAPC_LOGIN_KEY_PASSWORD), std::string("newpass22"));
        QVERIFY(passwd != "newpass22");
        // Until CHANGE_PASSWD_ACK the password in use stays the old one.
        QCOMPARE(std::string(c.password), passwordBefore);

        d.reject();
        setAgentLinkOps(nullptr);
        sim->stop();
    }

    void stenographyBytesReachTheReportEndpoint()
    {
        QTcpServer endpoint;
        QVERIFY(endpoint.listen(QHostAddress::LocalHost, 0));
        CaptionReportLink link;
        link.setPort(endpoint.serverPort());
        setCaptionReportTarget(&link);
        ConsoleWindowHooks hooks{};
        hooks.reportCaptionBytes = captionReportHook;
        conSetWindowHooks(&hooks);
        windowtest::resetContext();
        ConsoleContext& c = conContext();
        c.captionerType = 5;   // Bridge: the report gets the bytes before conversion
        std::strcpy(c.serverHost, "127.0.0.1");
        QObject window;
        conPublish(&window, uintptr_t(&window));

        DlgConfig d(nullptr, &link);
        d.OnInitDialog();
        d.show();
        d.controlAs<QCheckBox>(DlgConfig::IDC_REPORT_CAPTION)->click();
        QVERIFY(endpoint.waitForNewConnection(5000));
        QTcpSocket* peer = endpoint.nextPendingConnection();
        QTRY_VERIFY_WITH_TIMEOUT(link.isUp(), 5000);

        // A stenography program on the agent task's listener.
        const int steno = ::socket(AF_INET, SOCK_STREAM, 0);
        QVERIFY(steno >= 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons(uint16_t(capcStenoListenPort()));
        QCOMPARE(::connect(steno, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        const QByteArray raw("ab\x02" "D\x03" "c hello", 11);
        QCOMPARE(::send(steno, raw.constData(), size_t(raw.size()), MSG_NOSIGNAL),
                 ssize_t(raw.size()));
        QByteArray got;
        QTRY_VERIFY_WITH_TIMEOUT((got += peer->readAll()).size() >= raw.size(), 10000);
        QCOMPARE(got, raw);
        ::close(steno);

        d.reject();
        link.close();
        conUnpublish();
        conSetWindowHooks(nullptr);
        setCaptionReportTarget(nullptr);
    }
};

QUILLON_WINDOW_TEST_MAIN(TestDlgConfigSvcSim)
#include "tst_dlgconfigsvcsim.moc"
