#include "settingsstore.h"

#include "pos.h"

#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QVariant>

#include <arpa/inet.h>
#include <atomic>
#include <cstdio>
#include <exception>
#include <netdb.h>
#include <sys/socket.h>

#ifndef QUILLON_DEFAULT_SERVER_HOST
#define QUILLON_DEFAULT_SERVER_HOST "localhost"
#endif

namespace settings {

namespace {

// Another settings file chosen at start (--config); empty: the per-user store.
QString& customStorePath()
{
    static QString path;
    return path;
}

QSettings openStore()
{
    if (!customStorePath().isEmpty())
        return QSettings(customStorePath(), QSettings::IniFormat);
    return QSettings(QSettings::IniFormat, QSettings::UserScope, QStringLiteral("Quillon"),
                     QStringLiteral("QuillonAgent"));
}

// Set when the file could be neither read nor moved aside: reads then give
// their defaults and writes are dropped, so that nothing is merged into the
// file the user still has.
std::atomic<bool>& storeUnusable()
{
    static std::atomic<bool> unusable{false};
    return unusable;
}

// One line about the store. The settings are first read while the runtime
// (and its log task) is still starting, and posLogPrint drops lines until
// the log task runs: those go to standard error instead.
void logStoreLine(const QByteArray& line)
{
    if (posGetTask(POS_LOG_TASK_ID))
        posLogPrint("%s", line.constData());
    else
        std::fprintf(stderr, "%s", line.constData());
}

// Moves the file out of the way under a name no earlier one has:
// "<file>.unreadable", then "<file>.unreadable.2" and on. Returns the new
// name, or an empty text when the file could not be moved.
QString setAside(const QString& path)
{
    for (int n = 1; n <= 100; ++n) {
        QString target = path + QStringLiteral(".unreadable");
        if (n > 1)
            target += u'.' + QString::number(n);
        const QFileInfo info(target);
        if (info.exists() || info.isSymLink())
            continue;
        // QFile::rename never replaces an existing file.
        return QFile::rename(path, target) ? target : QString();
    }
    return QString();
}

// Runs op on the store; false when the store could not be used (op did not
// finish). QSettings parses a section's values on the first read of one of
// its keys and before every write, and decodes stored-type values
// ("@Variant(...)" and the like, also when written with escapes) then. The
// file is untrusted: a damaged value can make that decoding throw, e.g. a
// list claiming billions of elements makes Qt ask for that much memory.
// Every section is parsed here first, inside the try, so that such a throw
// never comes out of a later read or out of the write QSettings' destructor
// makes. The unreadable file is then set aside, kept for the user, and op
// runs once more on a fresh, empty store. Qt keeps the parsed file in a
// cache, but it reads the file again when its size or time changes, so the
// fresh store holds nothing of the old one.
template <typename Op>
bool withStore(Op&& op)
{
    if (storeUnusable())
        return false;
    for (int attempt = 0; attempt < 2; ++attempt) {
        QString path;
        QByteArray why;
        try {
            QSettings store = openStore();
            path = store.fileName();
            (void)store.allKeys();
            op(store);
            return true;
        } catch (const std::exception& e) {
            why = e.what();
        }
        if (path.isEmpty() || attempt > 0) {
            // Opening decodes no value, and the fresh store failed too:
            // memory is short, not the file.
            logStoreLine("CONF] settings store cannot be used (" + why +
                         "): defaults are used, changes are not saved\n");
            return false;
        }
        const QByteArray file = QFile::encodeName(path);
        const QString aside = setAside(path);
        if (aside.isEmpty()) {
            storeUnusable() = true;
            logStoreLine("CONF] settings file " + file + " cannot be read (" + why +
                         ") and cannot be set aside: defaults are used, changes are not saved\n");
            return false;
        }
        logStoreLine("CONF] settings file " + file + " cannot be read (" + why + "): kept as " +
                     QFile::encodeName(aside) + ", defaults are used\n");
    }
    return false;
}

QString keyPath(const char* section, const char* key)
{
    return QString::fromLatin1(section) + u'/' + QString::fromLatin1(key);
}

const char* const kShortNames[kCaptionerTypeCount] = {
    "EclipseCAT", "ProCAT", "CaseCAT", "DigitCAT", "AccuCAP", "StenoCAT",
};
const char* const kListNames[kCaptionerTypeCount] = {
    "EclipseCAT > ANSI", "ProCAT > PlainText", "CaseCAT > CaseView",
    "DigitCAT > ANSI",   "AccuCAP > ANSI",     "StenoCAT > Bridge",
};

}  // namespace

int readInt(const char* section, const char* key, int def)
{
    QVariant v;
    withStore([&](QSettings& store) { v = store.value(keyPath(section, key)); });
    if (!v.isValid())
        return def;
    bool ok = false;
    const int value = v.toString().trimmed().toInt(&ok);
    return ok ? value : def;
}

QString readString(const char* section, const char* key, const QString& def)
{
    QVariant v;
    withStore([&](QSettings& store) { v = store.value(keyPath(section, key)); });
    if (!v.isValid())
        return def;
    switch (v.metaType().id()) {
    case QMetaType::QString:
    case QMetaType::QByteArray:
        return v.toString();
    case QMetaType::QStringList: {
        // A plain INI value with commas reads back as a list; keep it as
        // text. Only a stored list type reads back with no element at all.
        const QStringList list = v.toStringList();
        return list.isEmpty() ? def : list.join(QStringLiteral(", "));
    }
    default:
        // A stored type that is not text (a point, a date, a list of
        // variants): the key is as good as unset.
        return def;
    }
}

// A write is synced at once, inside withStore: a sync left to QSettings'
// destructor would swallow a failure and lose the value.
void writeInt(const char* section, const char* key, int value)
{
    withStore([&](QSettings& store) {
        store.setValue(keyPath(section, key), value);
        store.sync();
    });
}

void writeString(const char* section, const char* key, const QString& value)
{
    withStore([&](QSettings& store) {
        store.setValue(keyPath(section, key), value);
        store.sync();
    });
}

void flush()
{
    withStore([](QSettings& store) { store.sync(); });
}

void setStorePath(const QString& path)
{
    customStorePath() = path;
    storeUnusable() = false;
}

// Opening the store only splits the file into sections; no value is decoded
// before a key is read, so the name is safe to ask for without withStore.
QString storePath()
{
    return openStore().fileName();
}

QString defaultPrimaryHost()
{
    return QStringLiteral(QUILLON_DEFAULT_SERVER_HOST);
}

QString defaultSecondaryHost()
{
    return QStringLiteral(QUILLON_DEFAULT_SERVER_HOST);
}

QString captionerShortName(int type)
{
    if (type < 0 || type >= kCaptionerTypeCount)
        return QString();
    return QString::fromLatin1(kShortNames[type]);
}

QString captionerListName(int type)
{
    if (type < 0 || type >= kCaptionerTypeCount)
        return QString();
    return QString::fromLatin1(kListNames[type]);
}

int captionerTypeOfListName(const QString& listName)
{
    for (int i = 0; i < kCaptionerTypeCount; ++i)
        if (listName == QLatin1String(kListNames[i]))
            return i;
    return -1;
}

const QStringList& faceNames()
{
    static const QStringList names = {
        QStringLiteral("MS Gothic"),
        QStringLiteral("Palatino Linotype"),
        QStringLiteral("Palatino Linotype Bold"),
        QStringLiteral("Palatino Linotype Italic"),
        QStringLiteral("Shruti"),
        QStringLiteral("SimSun"),
        QStringLiteral("Sylfaen"),
        QStringLiteral("Tahoma"),
        QStringLiteral("Times New Roman"),
        QStringLiteral("Times New Roman Bold"),
        QStringLiteral("Times New Roman Bold Italic"),
        QStringLiteral("Times New Roman Italic"),
        QStringLiteral("Trebuchet MS"),
        QStringLiteral("Verdana"),
        QStringLiteral("Verdana Bold"),
        QStringLiteral("Verdana Bold Italic"),
        QStringLiteral("Verdana Italic"),
    };
    return names;
}

int safeFaceIndex(int faceIndex)
{
    return faceIndex >= 0 && faceIndex < kFaceCount ? faceIndex : kDefScreenFFontNameIdx;
}

int safeSizeIndex(int sizeIndex)
{
    return sizeIndex >= 0 && sizeIndex < kSizeCount ? sizeIndex : kDefScreenFontSizeIdx;
}

int pointSizeOfIndex(int sizeIndex)
{
    return 7 + safeSizeIndex(sizeIndex);
}

int clampLocale(int locale)
{
    return locale == 0 || locale == 1 ? locale : 0;
}

bool isDottedIPv4(const QString& text)
{
    const QString t = text.trimmed();
    const QStringList parts = t.split(u'.');
    if (parts.size() != 4)
        return false;
    for (const QString& part : parts) {
        if (part.isEmpty() || part.size() > 3)
            return false;
        for (QChar c : part)
            if (c < u'0' || c > u'9')
                return false;
        if (part.size() > 1 && part[0] == u'0')
            return false;
        if (part.toInt() > 255)
            return false;
    }
    return true;
}

std::string resolveServerHost(const QString& name)
{
    const QString trimmed = name.trimmed();
    if (trimmed.isEmpty())
        return std::string();
    const QByteArray host = trimmed.toUtf8();
    if (isDottedIPv4(trimmed)) {
        in_addr addr{};
        if (inet_pton(AF_INET, host.constData(), &addr) == 1)
            return host.toStdString();
        return std::string();
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(host.constData(), nullptr, &hints, &found) != 0 || !found)
        return std::string();
    std::string result;
    for (addrinfo* ai = found; ai; ai = ai->ai_next) {
        if (ai->ai_family != AF_INET || !ai->ai_addr)
            continue;
        const auto* sin = reinterpret_cast<const sockaddr_in*>(ai->ai_addr);
        const uint32_t a = ntohl(sin->sin_addr.s_addr);
        char text[20];
        std::snprintf(text, sizeof text, "%d.%d.%d.%d", int(a >> 24), int((a >> 16) & 0xFF),
                      int((a >> 8) & 0xFF), int(a & 0xFF));
        result = text;
        break;
    }
    freeaddrinfo(found);
    return result;
}

QString cutText(const QString& text, int max)
{
    if (max < 0)
        max = 0;
    if (text.size() <= max)
        return text;
    int n = max;
    if (n > 0 && text[n - 1].isHighSurrogate())
        --n;
    return text.left(n);
}

QString ringFileName(int ringTone)
{
    return QString::asprintf("RingVol%d.wav", ringTone);
}

void applyServerReset(QString& ipsvr1, QString& ipsvr2, QString& ipsvr1log)
{
    if (isDottedIPv4(ipsvr1)) {
        ipsvr1 = defaultPrimaryHost();
        writeString(kSettings, kIPSVR1, ipsvr1);
    }
    if (isDottedIPv4(ipsvr2)) {
        ipsvr2 = defaultSecondaryHost();
        writeString(kSettings, kIPSVR2, ipsvr2);
    }
    if (isDottedIPv4(ipsvr1log)) {
        ipsvr1log = defaultSecondaryHost();
        writeString(kSettings, kIPSVR1LOG, ipsvr1log);
    }
}

StartupSettings loadStartupSettings(bool resolve)
{
    StartupSettings s;
    s.systemType = readInt(kSettings, kSystemType, 0);
    s.autoTransmitSpace = readInt(kSettings, kAutoTransmitSpace, kDefAutoTransmitSpace);
    s.captionerType = readInt(kSettings, kCaptionerType, 0);
    s.myPhoneNumber = cutText(readString(kSettings, kMyPhoneNumber, QString()), kWordMax);
    s.myRingTone = readInt(kSettings, kMyRingTone, kDefMyRingTone);
    s.autoHideFlag = readInt(kSettings, kAutoHideFlag, 0);
    s.beepUnstableFlag = readInt(kSettings, kBeepUnstableFlag, kDefBeepUnstableFlag);
    s.macNosiyVoice = cutText(readString(kSettings, kMacNosiyVoice, QString()), kWordMax);
    s.macNoVoice = cutText(readString(kSettings, kMacNoVoice, QString()), kWordMax);
    s.macMisuse = cutText(readString(kSettings, kMacMisuse, QString()), kWordMax);
    s.macAnswerCmd = cutText(readString(kSettings, kMacAnswerCmd, QString()), kWordMax);
    s.ipsvr1 = cutText(readString(kSettings, kIPSVR1, defaultPrimaryHost()), kHostNameMax);
    s.ipsvr2 = cutText(readString(kSettings, kIPSVR2, defaultSecondaryHost()), kHostNameMax);
    s.locale = readInt(kSettings, kLocale, 0);
    s.ipsvr1log = cutText(readString(kSettings, kIPSVR1LOG, defaultSecondaryHost()), kHostNameMax);

    applyServerReset(s.ipsvr1, s.ipsvr2, s.ipsvr1log);

    s.useStenoSW = readInt(kSettings, kUseStenoSW, kDefUseStenoSW);
    s.autoAnsForTst = readInt(kSettings, kAutoAnsForTst, 0);
    s.screenColorBg = uint32_t(readInt(kSettings, kScreenColorBg, int(kDefScreenColorBg)));
    s.screenColorFg = uint32_t(readInt(kSettings, kScreenColorFg, int(kDefScreenColorFg)));
    s.screenFontSizeIdx = readInt(kSettings, kScreenFontSizeIdx, kDefScreenFontSizeIdx);
    s.screenFFontNameIdx = readInt(kSettings, kScreenFFontNameIdx, kDefScreenFFontNameIdx);
    s.mainVertPos = readInt(kInitialization, kMainVertPos, 0);
    s.mainHorizPos = readInt(kInitialization, kMainHorizPos, 0);

    s.serverIndex = clampLocale(s.locale);
    const QString& selected = s.serverIndex == 1 ? s.ipsvr2 : s.ipsvr1;
    if (resolve)
        s.serverHost = resolveServerHost(selected);
    else if (isDottedIPv4(selected))
        s.serverHost = selected.trimmed().toStdString();
    s.ringFileName = ringFileName(s.myRingTone);
    return s;
}

}  // namespace settings
