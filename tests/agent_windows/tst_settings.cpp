// The settings store: defaults of a fresh store, the server reset, Locale,
// host resolution and the untrusted values read back.
#include "consolesettings.h"
#include "settingsstore.h"
#include "windowtest.h"

#include <QDataStream>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTemporaryFile>

#include <cstdio>
#include <new>
#include <unistd.h>

using namespace settings;

// Stored values that ask for more memory than there is must fail the way
// malloc fails in the program (a null the library handles or a bad_alloc the
// store catches), also in the AddressSanitizer build, which otherwise ends
// the run at the first such request; requests above 2048 MB fail everywhere.
extern "C" const char* __asan_default_options()
{
    return "allocator_may_return_null=1:max_allocation_size_mb=2048";
}

// A stored type whose decoding throws std::bad_alloc, as Qt's own decoding
// does when a damaged value makes it ask for more memory than there is.
struct ThrowingValue {
};
QDataStream& operator<<(QDataStream& s, const ThrowingValue&) { return s; }
QDataStream& operator>>(QDataStream&, ThrowingValue&) { throw std::bad_alloc(); }
Q_DECLARE_METATYPE(ThrowingValue)

namespace {

// The stored form of a ThrowingValue: a user type (127) and its name.
const QByteArray kThrowing = "@Variant(\\0\\0\\0\\x7f\\0\\0\\0\\xdThrowingValue)";

// Writes the store file byte for byte, with a modification time of its own:
// Qt reuses its parse of a file whose size and time it has seen before.
void writeStoreFile(const QString& path, const QByteArray& text)
{
    static qint64 stamp = 1000000000;
    QVERIFY(QDir().mkpath(QFileInfo(path).absolutePath()));
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(f.write(text), text.size());
    QVERIFY(f.setFileTime(QDateTime::fromSecsSinceEpoch(++stamp, Qt::UTC),
                          QFileDevice::FileModificationTime));
}

// A string literal with the zero bytes inside it.
template <std::size_t N>
QByteArray rawBytes(const char (&text)[N])
{
    return QByteArray(text, qsizetype(N - 1));
}

QByteArray fileBytes(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// What the code under test writes to standard error while it lives (the
// store's lines go there while no runtime log task runs).
class StderrCapture {
public:
    StderrCapture()
    {
        file_.open();
        std::fflush(stderr);
        saved_ = dup(2);
        dup2(file_.handle(), 2);
    }
    ~StderrCapture() { restore(); }
    QByteArray text()
    {
        restore();
        file_.seek(0);
        return file_.readAll();
    }

private:
    void restore()
    {
        if (saved_ < 0)
            return;
        std::fflush(stderr);
        dup2(saved_, 2);
        close(saved_);
        saved_ = -1;
    }
    QTemporaryFile file_;
    int saved_ = -1;
};

QByteArray setAsideLine(const QString& path, const QString& aside)
{
    return "CONF] settings file " + QFile::encodeName(path) + " cannot be read (std::bad_alloc): kept as " +
           QFile::encodeName(aside) + ", defaults are used\n";
}

}  // namespace

class TestSettings : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { qRegisterMetaType<ThrowingValue>(); }

    void init()
    {
        windowtest::clearStore();
        const QFileInfo store(storePath());
        for (const QString& name : store.dir().entryList({store.fileName() + ".unreadable*"}, QDir::Files))
            QVERIFY(store.dir().remove(name));
    }

    void storeLivesInTheUserConfigFolder()
    {
        const QString home = qEnvironmentVariable("XDG_CONFIG_HOME");
        // IniFormat in the user scope: Qt names the file with .ini.
        QCOMPARE(storePath(), home + "/Quillon/QuillonAgent.ini");
        writeInt(kSettings, kLocale, 1);
        writeString(kInitialization, kMainVertPos, "12");
        flush();
        QFile file(storePath());
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray text = file.readAll();
        QVERIFY(text.contains("[Settings]"));
        QVERIFY(text.contains("Locale=1"));
        QVERIFY(text.contains("[Initialization]"));
    }

    void freshStoreGivesTheDefaults()
    {
        const StartupSettings s = loadStartupSettings(false);
        QCOMPARE(s.systemType, 0);
        QCOMPARE(s.autoTransmitSpace, 3);
        QCOMPARE(s.captionerType, 0);
        QCOMPARE(s.myPhoneNumber, QString());
        QCOMPARE(s.myRingTone, 3);
        QCOMPARE(s.autoHideFlag, 0);
        QCOMPARE(s.beepUnstableFlag, 1);
        QCOMPARE(s.macAnswerCmd, QString());
        QCOMPARE(s.ipsvr1, QStringLiteral("localhost"));
        QCOMPARE(s.ipsvr2, QStringLiteral("localhost"));
        QCOMPARE(s.ipsvr1log, QStringLiteral("localhost"));
        QCOMPARE(s.locale, 0);
        QCOMPARE(s.useStenoSW, 1);
        QCOMPARE(s.autoAnsForTst, 0);
        QCOMPARE(s.screenColorBg, 0xFFFFFFu);
        QCOMPARE(s.screenColorFg, 0u);
        QCOMPARE(s.screenFontSizeIdx, 3);
        QCOMPARE(pointSizeOfIndex(s.screenFontSizeIdx), 10);
        QCOMPARE(s.screenFFontNameIdx, 0);
        QCOMPARE(faceNames().at(0), QStringLiteral("MS Gothic"));
        QCOMPARE(s.mainVertPos, 0);
        QCOMPARE(s.mainHorizPos, 0);
        QCOMPARE(s.serverIndex, 0);
        QCOMPARE(s.ringFileName, QStringLiteral("RingVol3.wav"));
        QCOMPARE(readInt(kInitialization, kScreenHorizPos, kDefScreenHorizPos), 100);
        QCOMPARE(readInt(kInitialization, kScreenVertPos, kDefScreenVertPos), 100);
        QCOMPARE(readInt(kInitialization, kScreenWidth, kDefScreenWidth), 480);
        QCOMPARE(readInt(kInitialization, kScreenHeight, kDefScreenHeight), 500);
        // Reading wrote nothing: the defaults stay defaults.
        QVERIFY(!windowtest::rawValue(kSettings, kIPSVR1).isValid());
    }

    void valuesRoundTrip()
    {
        writeInt(kSettings, kMyRingTone, 5);
        writeInt(kSettings, kScreenColorBg, 0x33FFFF);
        writeInt(kSettings, kSystemType, -2);
        writeString(kSettings, kMacAnswerCmd, "answer now");
        writeString(kSettings, kMyPhoneNumber, "5551234, 99");
        QCOMPARE(readInt(kSettings, kMyRingTone, 3), 5);
        QCOMPARE(readInt(kSettings, kScreenColorBg, 0), 0x33FFFF);
        QCOMPARE(readInt(kSettings, kSystemType, 0), -2);
        QCOMPARE(readString(kSettings, kMacAnswerCmd, ""), QStringLiteral("answer now"));
        QCOMPARE(readString(kSettings, kMyPhoneNumber, ""), QStringLiteral("5551234, 99"));
    }

    // A value whose decoding throws, met by each kind of first use: the file
    // is set aside untouched, the operation runs on a fresh store, one line
    // says where the file went, and the store keeps working.
    void unreadableFileIsSetAsideOnFirstUse_data()
    {
        QTest::addColumn<QString>("operation");
        QTest::addColumn<int>("ringTone");   // MyRingTone read afterwards
        QTest::newRow("read") << "read" << 3;
        QTest::newRow("write int") << "writeInt" << 4;
        QTest::newRow("write string") << "writeString" << 3;
        QTest::newRow("flush") << "flush" << 3;
    }
    void unreadableFileIsSetAsideOnFirstUse()
    {
        QFETCH(QString, operation);
        QFETCH(int, ringTone);
        const QString path = storePath();
        const QByteArray original = "[Settings]\nMyRingTone=5\nCaptionerType=2\nMacNoVoice=" + kThrowing +
                                    "\n[Initialization]\nmainVertPos=40\n";
        writeStoreFile(path, original);
        StderrCapture err;
        if (operation == "read")
            QCOMPARE(readInt(kSettings, kCaptionerType, 0), 0);
        else if (operation == "writeInt")
            writeInt(kSettings, kMyRingTone, 4);
        else if (operation == "writeString")
            writeString(kSettings, kMacAnswerCmd, "answer");
        else
            flush();
        QCOMPARE(readInt(kSettings, kMyRingTone, 3), ringTone);
        QCOMPARE(readInt(kInitialization, kMainVertPos, 0), 0);
        if (operation == "writeString")
            QCOMPARE(readString(kSettings, kMacAnswerCmd, ""), QStringLiteral("answer"));
        writeInt(kSettings, kLocale, 1);
        QCOMPARE(readInt(kSettings, kLocale, 0), 1);
        flush();
        const QByteArray log = err.text();
        QCOMPARE(log.count(setAsideLine(path, path + ".unreadable")), 1);
        QCOMPARE(log.count("CONF]"), 1);
        QCOMPARE(fileBytes(path + ".unreadable"), original);
        const QByteArray fresh = fileBytes(path);
        QVERIFY(fresh.contains("Locale=1"));
        QVERIFY(!fresh.contains("MacNoVoice") && !fresh.contains("CaptionerType"));
    }

    // The whole start-up read of such a file gives the defaults; a second
    // unreadable file never replaces the first one set aside.
    void startupReadsOfAnUnreadableFileGiveTheDefaults()
    {
        const QString path = storePath();
        const QByteArray first = "[Settings]\nSystemType=2\nLocale=1\nIPSVR1=svc1.example\nMacNoVoice=" +
                                 kThrowing + "\n[Initialization]\nmainVertPos=40\nmainHorizPos=50\n";
        writeStoreFile(path, first);
        StderrCapture err;
        const StartupSettings s = loadStartupSettings(false);
        QCOMPARE(s.systemType, 0);
        QCOMPARE(s.locale, 0);
        QCOMPARE(s.ipsvr1, defaultPrimaryHost());
        QCOMPARE(s.macNoVoice, QString());
        QVERIFY(!s.hasMainPosition());
        QCOMPARE(s.myRingTone, kDefMyRingTone);
        QCOMPARE(readInt(kInitialization, kScreenWidth, kDefScreenWidth), kDefScreenWidth);

        const QByteArray second = "[Initialization]\nscreenWidth=" + kThrowing + "\n";
        writeStoreFile(path, second);
        QCOMPARE(readInt(kInitialization, kScreenWidth, kDefScreenWidth), kDefScreenWidth);
        const QByteArray log = err.text();
        QVERIFY2(log.contains(setAsideLine(path, path + ".unreadable")), log.constData());
        QVERIFY2(log.contains(setAsideLine(path, path + ".unreadable.2")), log.constData());
        QCOMPARE(fileBytes(path + ".unreadable"), first);
        QCOMPARE(fileBytes(path + ".unreadable.2"), second);
    }

    // Qt undoes escapes and quotes, splits comma lists and parses every
    // section before it decodes a stored type: each form is caught.
    void unreadableValueInAnyFormIsCaught_data()
    {
        const QByteArray body = kThrowing.mid(1);   // after the '@'
        QTest::addColumn<QByteArray>("text");
        QTest::newRow("plain") << "[Settings]\nMyRingTone=" + kThrowing + "\n";
        QTest::newRow("escaped @") << "[Settings]\nMyRingTone=\\x40" + body + "\n";
        QTest::newRow("octal @") << "[Settings]\nMyRingTone=\\100" + body + "\n";
        QTest::newRow("quoted") << "[Settings]\nMyRingTone=\"" + kThrowing + "\"\n";
        QTest::newRow("in a list") << "[Settings]\nMyRingTone=4, " + kThrowing + "\n";
        QTest::newRow("unread section") << "[Settings]\nMyRingTone=4\n[Other]\nx=" + kThrowing + "\n";
        QTest::newRow("no section") << "x=" + kThrowing + "\n[Settings]\nMyRingTone=4\n";
    }
    void unreadableValueInAnyFormIsCaught()
    {
        QFETCH(QByteArray, text);
        const QString path = storePath();
        writeStoreFile(path, text);
        StderrCapture err;
        QCOMPARE(readInt(kSettings, kMyRingTone, 3), 3);
        QCOMPARE(err.text(), setAsideLine(path, path + ".unreadable"));
        QCOMPARE(fileBytes(path + ".unreadable"), text);
    }

    // When the file cannot be moved aside either, the store gives defaults
    // and writes nothing into it, until another file is chosen.
    void unreadableFileThatCannotBeSetAsideIsLeftAlone()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("agent.ini");
        // Every set-aside name is taken.
        for (int n = 1; n <= 100; ++n) {
            QFile taken(path + ".unreadable" + (n > 1 ? "." + QString::number(n) : QString()));
            QVERIFY(taken.open(QIODevice::WriteOnly));
        }
        const QByteArray original = "[Settings]\nMyRingTone=5\nx=" + kThrowing + "\n";
        writeStoreFile(path, original);
        setStorePath(path);
        StderrCapture err;
        QCOMPARE(readInt(kSettings, kMyRingTone, 3), 3);
        writeInt(kSettings, kMyRingTone, 4);
        flush();
        QCOMPARE(readInt(kSettings, kMyRingTone, 3), 3);
        const QByteArray log = err.text();
        QCOMPARE(log, "CONF] settings file " + QFile::encodeName(path) +
                          " cannot be read (std::bad_alloc) and cannot be set aside: defaults are used, "
                          "changes are not saved\n");
        QCOMPARE(fileBytes(path), original);
        QCOMPARE(fileBytes(path + ".unreadable"), QByteArray());

        // Another file is usable again.
        const QString other = dir.filePath("other.ini");
        setStorePath(other);
        writeInt(kSettings, kMyRingTone, 4);
        QCOMPARE(readInt(kSettings, kMyRingTone, 3), 4);
        setStorePath(QString());
    }

    // Stored-type values Qt does decode without throwing, however damaged:
    // lists and maps claiming about two billion elements (Qt's reservation
    // fails and it reads on), the fuzz input's value, dates, escaped and
    // listed forms. None crashes, the value reads as its default, and the
    // store works on.
    void storedTypeValuesReadAsDefaults_data()
    {
        QTest::addColumn<QByteArray>("value");
        QTest::newRow("fuzz input") << rawBytes("@Variant(\\0\\\0\0\0\x0bx7f\\0\\0\\0\\x1fQPoint)");
        QTest::newRow("string list") << QByteArray("@Variant(\\0\\0\\0\\xb\\x7f\\xff\\xff\\xff)");
        QTest::newRow("string list max") << QByteArray("@Variant(\\0\\0\\0\\xb\\xff\\xff\\xff\\xff)");
        QTest::newRow("variant list") << QByteArray("@Variant(\\0\\0\\0\\x9\\x7f\\xff\\xff\\xff)");
        QTest::newRow("variant map") << QByteArray("@Variant(\\0\\0\\0\\x8\\x7f\\xff\\xff\\xff)");
        QTest::newRow("variant hash") << QByteArray("@Variant(\\0\\0\\0\\x1c\\x7f\\xff\\xff\\xff)");
        QTest::newRow("byte array list") << QByteArray("@Variant(\\0\\0\\0\\x31\\x7f\\xff\\xff\\xff)");
        QTest::newRow("polygon") << QByteArray("@Variant(\\0\\0\\0G\\x7f\\xff\\xff\\xff)");
        QTest::newRow("list in list") << QByteArray("@Variant(\\0\\0\\0\\x9\\0\\0\\0\\x2\\0\\0\\0\\xb\\x7f\\xff\\xff\\xff)");
        QTest::newRow("escaped @") << QByteArray("\\x40Variant(\\0\\0\\0\\xb\\x7f\\xff\\xff\\xff)");
        QTest::newRow("listed") << QByteArray("@Variant(\\0\\0\\0\\xb\\x7f\\xff\\xff\\xff), 5");
        QTest::newRow("unknown type") << QByteArray("@Variant(\\0\\0\\0\\x7f\\0\\0\\0\\x3\\x41\\x42\\x43)");
        QTest::newRow("date time") << QByteArray("@DateTime(\\0\\0\\0\\x10\\x7f\\xff\\xff\\xff\\0\\0\\0\\0\\x1)");
        QTest::newRow("rect") << QByteArray("@Rect(1 2 3 4)");
        QTest::newRow("truncated") << QByteArray("@Variant(\\0\\0)");
    }
    void storedTypeValuesReadAsDefaults()
    {
        QFETCH(QByteArray, value);
        const QString path = storePath();
        writeStoreFile(path, "[Settings]\nCaptionerType=2\nMyRingTone=" + value + "\nMacNoVoice=" + value +
                                 "\nIPSVR1=" + value + "\n[Initialization]\nmainVertPos=40\n");
        QCOMPARE(readInt(kSettings, kMyRingTone, 3), 3);
        const QString host = readString(kSettings, kIPSVR1, QStringLiteral("fallback.example"));
        QVERIFY2(host == QStringLiteral("fallback.example"), qPrintable(host.toUtf8().toHex(' ')));
        const StartupSettings s = loadStartupSettings(false);
        QCOMPARE(s.myRingTone, 3);
        QVERIFY(s.macNoVoice.size() <= kWordMax);
        // A file Qt reads (no decoding threw, so it was not set aside) keeps
        // the user's other values.
        QCOMPARE(s.captionerType, QFile::exists(path + ".unreadable") ? 0 : 2);
        writeInt(kSettings, kMyRingTone, 4);
        QCOMPARE(readInt(kSettings, kMyRingTone, 3), 4);
    }

    void isDottedIPv4_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("dotted");
        QTest::newRow("plain") << "10.1.2.3" << true;
        QTest::newRow("trimmed") << "  192.168.0.1 " << true;
        QTest::newRow("all zero") << "0.0.0.0" << true;
        QTest::newRow("max") << "255.255.255.255" << true;
        QTest::newRow("leading zero") << "010.1.2.3" << false;
        QTest::newRow("leading zero 00") << "1.00.2.3" << false;
        QTest::newRow("three parts") << "1.2.3" << false;
        QTest::newRow("five parts") << "1.2.3.4.5" << false;
        QTest::newRow("over 255") << "256.1.2.3" << false;
        QTest::newRow("four digits") << "1000.1.2.3" << false;
        QTest::newRow("empty part") << "1..2.3" << false;
        QTest::newRow("trailing dot") << "1.2.3.4." << false;
        QTest::newRow("sign") << "+1.2.3.4" << false;
        QTest::newRow("inner space") << "1.2. 3.4" << false;
        QTest::newRow("host name") << "svc.example.org" << false;
        QTest::newRow("empty") << "" << false;
    }
    void isDottedIPv4()
    {
        QFETCH(QString, text);
        QFETCH(bool, dotted);
        QCOMPARE(settings::isDottedIPv4(text), dotted);
    }

    void serverResetReplacesOnlyDottedAddresses()
    {
        writeString(kSettings, kIPSVR1, "10.1.2.3");
        writeString(kSettings, kIPSVR2, "010.1.2.3");
        writeString(kSettings, kIPSVR1LOG, "1.2.3");
        StartupSettings s = loadStartupSettings(false);
        QCOMPARE(s.ipsvr1, QStringLiteral("localhost"));
        QCOMPARE(windowtest::rawValue(kSettings, kIPSVR1).toString(), QStringLiteral("localhost"));
        QCOMPARE(s.ipsvr2, QStringLiteral("010.1.2.3"));
        QCOMPARE(windowtest::rawValue(kSettings, kIPSVR2).toString(), QStringLiteral("010.1.2.3"));
        QCOMPARE(s.ipsvr1log, QStringLiteral("1.2.3"));

        writeString(kSettings, kIPSVR1, "svc1.example.org");
        writeString(kSettings, kIPSVR2, "192.168.7.7");
        writeString(kSettings, kIPSVR1LOG, "8.8.8.8");
        s = loadStartupSettings(false);
        QCOMPARE(s.ipsvr1, QStringLiteral("svc1.example.org"));
        QCOMPARE(s.ipsvr2, defaultSecondaryHost());
        QCOMPARE(s.ipsvr1log, defaultSecondaryHost());
        QCOMPARE(windowtest::rawValue(kSettings, kIPSVR1LOG).toString(), defaultSecondaryHost());

        // An empty value is not an address and stays empty.
        writeString(kSettings, kIPSVR1, "");
        s = loadStartupSettings(false);
        QCOMPARE(s.ipsvr1, QString());
        QCOMPARE(windowtest::rawValue(kSettings, kIPSVR1).toString(), QString());
    }

    void localeOutsideItsRangeSelectsServerOneAndIsKept()
    {
        writeString(kSettings, kIPSVR1, "127.0.0.1");   // reset to localhost
        writeString(kSettings, kIPSVR2, "no-such-host.invalid");
        for (int locale : {7, -1, 2}) {
            writeInt(kSettings, kLocale, locale);
            const StartupSettings s = loadStartupSettings(true);
            QCOMPARE(s.locale, locale);
            QCOMPARE(s.serverIndex, 0);
            QCOMPARE(s.serverHost, std::string("127.0.0.1"));
            QCOMPARE(readInt(kSettings, kLocale, 0), locale);
        }
        writeInt(kSettings, kLocale, 1);
        const StartupSettings s = loadStartupSettings(true);
        QCOMPARE(s.serverIndex, 1);
        QCOMPARE(s.serverHost, std::string());   // the name does not resolve
    }

    void hostResolution()
    {
        QCOMPARE(resolveServerHost("10.20.30.40"), std::string("10.20.30.40"));
        QCOMPARE(resolveServerHost(" 10.20.30.40 "), std::string("10.20.30.40"));
        QCOMPARE(resolveServerHost(""), std::string());
        QCOMPARE(resolveServerHost("   "), std::string());
        QCOMPARE(resolveServerHost("localhost"), std::string("127.0.0.1"));
        QCOMPARE(resolveServerHost("no-such-host.invalid"), std::string());
        // Not a dotted address by the rule, but the resolver still reads it.
        QVERIFY(!resolveServerHost("127.1").empty());
    }

    void untrustedIntegersFallBackToTheDefault_data()
    {
        QTest::addColumn<QString>("raw");
        QTest::addColumn<int>("expected");
        QTest::newRow("number") << "4" << 4;
        QTest::newRow("spaces") << " 4 " << 4;
        QTest::newRow("negative") << "-12" << -12;
        QTest::newRow("text") << "four" << 3;
        QTest::newRow("hex") << "0x10" << 3;
        QTest::newRow("too big") << "99999999999" << 3;
        QTest::newRow("empty") << "" << 3;
        QTest::newRow("fraction") << "1.5" << 3;
    }
    void untrustedIntegersFallBackToTheDefault()
    {
        QFETCH(QString, raw);
        QFETCH(int, expected);
        windowtest::writeRaw(kSettings, kMyRingTone, raw);
        QCOMPARE(readInt(kSettings, kMyRingTone, 3), expected);
    }

    void overLongWordsAreCut()
    {
        const QString longWord(300, u'w');
        writeString(kSettings, kMacAnswerCmd, longWord);
        writeString(kSettings, kMacNoVoice, "exactly-nineteen-ch");
        writeString(kSettings, kMyPhoneNumber, QString(40, u'5'));
        writeString(kSettings, kIPSVR1, QString(1000, u'h'));
        const StartupSettings s = loadStartupSettings(false);
        QCOMPARE(s.macAnswerCmd, QString(19, u'w'));
        QCOMPARE(s.macNoVoice, QStringLiteral("exactly-nineteen-ch"));
        QCOMPARE(s.myPhoneNumber.size(), 19);
        QCOMPARE(s.ipsvr1.size(), kHostNameMax);
        // The stored values stay as they are.
        QCOMPARE(readString(kSettings, kMacAnswerCmd, ""), longWord);
        // A surrogate pair is never split.
        const QString emoji = QString(18, u'a') + QString::fromUtf8("\xF0\x9F\x98\x80");
        QCOMPARE(cutText(emoji, 19), QString(18, u'a'));
    }

    void mainPositionNeedsBothCoordinates()
    {
        writeInt(kInitialization, kMainVertPos, 0);
        writeInt(kInitialization, kMainHorizPos, 200);
        QVERIFY(!loadStartupSettings(false).hasMainPosition());
        writeInt(kInitialization, kMainVertPos, 40);
        QVERIFY(loadStartupSettings(false).hasMainPosition());
    }

    void startupSettingsReachTheConsoleContext()
    {
        windowtest::resetContext();
        writeInt(kSettings, kSystemType, 3);
        writeInt(kSettings, kUseStenoSW, 0);
        writeInt(kSettings, kAutoAnsForTst, 1);
        writeInt(kSettings, kScreenColorBg, 0x00FFFF);
        writeInt(kSettings, kScreenFontSizeIdx, 40);   // kept; used as 3 when drawn
        writeInt(kSettings, kLocale, 1);
        writeString(kSettings, kIPSVR2, "192.168.1.20");   // reset to the default name
        StartupSettings s = loadStartupSettings(true);
        storeStartupSettingsInContext(s);
        const ConsoleContext& c = conContext();
        QCOMPARE(c.systemType.load(), 3);
        QCOMPARE(c.useStenoSoftware.load(), 0);
        QCOMPARE(c.autoAnswerForTest.load(), 1);
        QCOMPARE(c.ScreenColorBg.load(), 0x00FFFF);
        QCOMPARE(c.ScreenFontSizeIdx.load(), 40);
        QCOMPARE(c.serverIndex.load(), 1);
        QCOMPARE(std::string(c.serverHost), std::string("127.0.0.1"));
        // A host text longer than the field is cut, never overflows it.
        s.serverHost = std::string(60, '9');
        storeStartupSettingsInContext(s);
        QCOMPARE(std::string(c.serverHost), std::string(19, '9'));
    }

    void indexesStayInsideTheirTables()
    {
        QCOMPARE(safeFaceIndex(16), 16);
        QCOMPARE(safeFaceIndex(17), 0);
        QCOMPARE(safeFaceIndex(-1), 0);
        QCOMPARE(safeSizeIndex(23), 23);
        QCOMPARE(safeSizeIndex(24), 3);
        QCOMPARE(safeSizeIndex(-5), 3);
        QCOMPARE(pointSizeOfIndex(0), 7);
        QCOMPARE(pointSizeOfIndex(23), 30);
        QCOMPARE(pointSizeOfIndex(1000), 10);
        QCOMPARE(faceNames().size(), kFaceCount);
        QCOMPARE(faceNames().at(16), QStringLiteral("Verdana Italic"));
        QCOMPARE(captionerShortName(0), QStringLiteral("EclipseCAT"));
        QCOMPARE(captionerShortName(5), QStringLiteral("StenoCAT"));
        QCOMPARE(captionerShortName(6), QString());
        QCOMPARE(captionerShortName(-1), QString());
        QCOMPARE(captionerListName(2), QStringLiteral("CaseCAT > CaseView"));
        QCOMPARE(captionerListName(9), QString());
        QCOMPARE(captionerTypeOfListName("AccuCAP > ANSI"), 4);
        QCOMPARE(captionerTypeOfListName("AccuCAP"), -1);
        QCOMPARE(ringFileName(0), QStringLiteral("RingVol0.wav"));
        QCOMPARE(clampLocale(1), 1);
        QCOMPARE(clampLocale(5), 0);
    }
};

QUILLON_WINDOW_TEST_MAIN(TestSettings)
#include "tst_settings.moc"
