// Fuzz target: a random settings file (both sections, any keys and values,
// duplicates, lists, huge numbers, hex, empty values, broken lines) read
// through the same start-up reads as the program: the start-up settings, the
// console context copies, the caption screen's settings and its position,
// the login dialog's server names. Every value that is used as an index or a
// size must come out inside its table or field, and a second start-up read
// (after the server reset has been written back) must give the same settings.
// Values Qt writes as "@Variant(...)" (any stored type) are read too: a value
// that is not a number or text reads as its default, and a file whose
// decoding throws is set aside by the store (removed here after each input).
#include "captionformat.h"
#include "concontext.h"
#include "consolesettings.h"
#include "settingsstore.h"

#include <QDir>
#include <QGuiApplication>
#include <QFile>
#include <QtGlobal>

#include <fcntl.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

using namespace settings;

// A stored list may claim billions of elements, and Qt reserves room for all
// of them before it reads one: tens of gigabytes. The program's malloc then
// fails and Qt reads on without the reservation, so the fuzzer's allocator
// must fail the same way instead of aborting (allocator_may_return_null).
// Requests above 2048 MB fail on every machine, not only where the memory
// runs out (max_allocation_size_mb): the outcome does not depend on the
// machine, and libFuzzer's malloc limit (-malloc_limit_mb, by default the
// 2048 MB of -rss_limit_mb) never sees those requests, since it counts only
// allocations that succeed, so it needs no raising for this target. An
// allocation that fails and is not handled still ends the run (a null
// pointer used, or an exception nobody catches).
extern "C" const char* __asan_default_options()
{
    return "allocator_may_return_null=1:max_allocation_size_mb=2048";
}

namespace {

QString g_path;
time_t g_stamp = 1000000000;

bool setUp()
{
    // The program reads its settings with its application object running,
    // and a stored "@Variant(...)" value can hold a picture type that needs
    // one: read them the same way.
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    static int argc = 1;
    static char name[] = "settings_fuzz";
    static char* argv[] = {name, nullptr};
    static QGuiApplication app(argc, argv);
    // A memory file system when there is one: the store syncs every write.
    char tmpl[] = "/dev/shm/settingsfuzzXXXXXX";
    char fallback[] = "/tmp/settingsfuzzXXXXXX";
    const char* dir = mkdtemp(tmpl);
    if (!dir) dir = mkdtemp(fallback);
    if (!dir) std::abort();
    setenv("XDG_CONFIG_HOME", dir, 1);
    g_path = storePath();
    QDir().mkpath(QFileInfo(g_path).absolutePath());
    conContextReset();
    return true;
}

// Writes the file with a time stamp of its own, so that the store never takes
// it for the file it has already read.
void writeStore(const uint8_t* data, size_t size)
{
    QFile f(g_path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate)) std::abort();
    f.write(reinterpret_cast<const char*>(data), qint64(size));
    f.close();
    const timespec times[2] = {{++g_stamp, 0}, {g_stamp, 0}};
    utimensat(AT_FDCWD, QFile::encodeName(g_path).constData(), times, 0);
}

bool same(const StartupSettings& a, const StartupSettings& b)
{
    return a.systemType == b.systemType && a.autoTransmitSpace == b.autoTransmitSpace &&
           a.captionerType == b.captionerType && a.myPhoneNumber == b.myPhoneNumber &&
           a.myRingTone == b.myRingTone && a.autoHideFlag == b.autoHideFlag &&
           a.beepUnstableFlag == b.beepUnstableFlag && a.macNosiyVoice == b.macNosiyVoice &&
           a.macNoVoice == b.macNoVoice && a.macMisuse == b.macMisuse && a.macAnswerCmd == b.macAnswerCmd &&
           a.ipsvr1 == b.ipsvr1 && a.ipsvr2 == b.ipsvr2 && a.ipsvr1log == b.ipsvr1log && a.locale == b.locale &&
           a.useStenoSW == b.useStenoSW && a.autoAnsForTst == b.autoAnsForTst &&
           a.screenColorBg == b.screenColorBg && a.screenColorFg == b.screenColorFg &&
           a.screenFontSizeIdx == b.screenFontSizeIdx && a.screenFFontNameIdx == b.screenFFontNameIdx &&
           a.mainVertPos == b.mainVertPos && a.mainHorizPos == b.mainHorizPos && a.serverIndex == b.serverIndex &&
           a.serverHost == b.serverHost && a.ringFileName == b.ringFileName;
}

void check(bool ok)
{
    if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const bool ready = setUp();
    (void)ready;
    if (size > 8192) return 0;
    writeStore(data, size);

    const StartupSettings s = loadStartupSettings(false);
    for (const QString* word : {&s.myPhoneNumber, &s.macNosiyVoice, &s.macNoVoice, &s.macMisuse, &s.macAnswerCmd})
        check(word->size() <= kWordMax);
    for (const QString* host : {&s.ipsvr1, &s.ipsvr2, &s.ipsvr1log})
        check(host->size() <= kHostNameMax && !isDottedIPv4(*host));
    check(s.serverIndex == 0 || s.serverIndex == 1);
    check(s.serverHost.empty());   // a dotted name was reset, and nothing is looked up
    const int face = safeFaceIndex(s.screenFFontNameIdx);
    check(face >= 0 && face < kFaceCount && face < faceNames().size());
    const int points = pointSizeOfIndex(s.screenFontSizeIdx);
    check(points >= 7 && points <= 30);
    const QString shortName = captionerShortName(s.captionerType);
    check(shortName.isEmpty() == (s.captionerType < 0 || s.captionerType >= kCaptionerTypeCount));
    check(captionerTypeOfListName(captionerListName(s.captionerType)) ==
          (shortName.isEmpty() ? -1 : s.captionerType));
    check(s.ringFileName.startsWith(QLatin1String("RingVol")));

    // The copies the windows and the tasks work from.
    storeStartupSettingsInContext(s);
    loadCaptionSettingsIntoContext();
    ConsoleContext& c = conContext();
    check(std::memchr(c.serverHost, 0, sizeof c.serverHost) != nullptr);
    check(c.ScreenFontSizeIdx == s.screenFontSizeIdx && c.ScreenFFontNameIdx == s.screenFFontNameIdx);
    const QTextCharFormat format = captionTextFormat(c.ScreenFFontNameIdx, c.ScreenFontSizeIdx,
                                                     uint32_t(c.ScreenColorFg.load()));
    check(format.fontPointSize() >= 7 && format.fontPointSize() <= 30);
    // The caption screen's position, kept inside its bounds as the window does.
    const int width = readInt(kInitialization, kScreenWidth, kDefScreenWidth);
    const int height = readInt(kInitialization, kScreenHeight, kDefScreenHeight);
    check(qBound(220, width, 16000) >= 220 && qBound(140, height, 16000) <= 16000);
    (void)readInt(kInitialization, kScreenHorizPos, kDefScreenHorizPos);
    (void)readInt(kInitialization, kScreenVertPos, kDefScreenVertPos);
    // The login dialog's server names.
    (void)readString(kSettings, kIPSVR1, defaultPrimaryHost());
    (void)readString(kSettings, kIPSVR2, defaultSecondaryHost());
    (void)readString(kSettings, kIPSVR1LOG, defaultSecondaryHost());

    // The reset has been written back: a second start gives the same settings.
    flush();
    check(same(s, loadStartupSettings(false)));
    QFile::remove(g_path + QStringLiteral(".unreadable"));
    return 0;
}
