// The persistent per-user settings of the console: an INI file kept by
// QSettings (IniFormat, user scope: ~/.config/Quillon/QuillonAgent.ini), sections "Settings" and
// "Initialization". Every reader passes its default; a missing or
// unreadable value reads as that default. Values read back are untrusted:
// the helpers below keep indexes inside their tables and words inside
// their fields. A file Qt cannot parse at all (a damaged stored-type value
// whose decoding throws) is renamed to "<file>.unreadable" (".2", ".3" ...
// when that name is taken), logged with a "CONF]" line, and the store
// starts again empty.
#pragma once

#include <QString>
#include <QStringList>
#include <cstdint>
#include <string>

namespace settings {

// Sections.
inline constexpr char kSettings[] = "Settings";
inline constexpr char kInitialization[] = "Initialization";

// Keys of "Settings", with their defaults.
inline constexpr char kSystemType[] = "SystemType";                 // 0
inline constexpr char kAutoTransmitSpace[] = "AutoTransmitSpace";   // 3
inline constexpr char kCaptionerType[] = "CaptionerType";           // 0
inline constexpr char kMyPhoneNumber[] = "MyPhoneNumber";           // ""
inline constexpr char kMyRingTone[] = "MyRingTone";                 // 3
inline constexpr char kAutoHideFlag[] = "AutoHideFlag";             // 0
inline constexpr char kBeepUnstableFlag[] = "BeepUnstableFlag";     // 1
inline constexpr char kMacNosiyVoice[] = "MacNosiyVoice";           // ""
inline constexpr char kMacNoVoice[] = "MacNoVoice";                 // ""
inline constexpr char kMacMisuse[] = "MacMisuse";                   // ""
inline constexpr char kMacAnswerCmd[] = "MacAnswerCmd";             // ""
inline constexpr char kIPSVR1[] = "IPSVR1";                         // primary host
inline constexpr char kIPSVR2[] = "IPSVR2";                         // secondary host
inline constexpr char kLocale[] = "Locale";                         // 0
inline constexpr char kIPSVR1LOG[] = "IPSVR1LOG";                   // secondary host
inline constexpr char kUseStenoSW[] = "UseStenoSW";                 // 1
inline constexpr char kAutoAnsForTst[] = "AutoAnsForTst";           // 0
inline constexpr char kScreenColorBg[] = "ScreenColorBg";           // 0xFFFFFF
inline constexpr char kScreenColorFg[] = "ScreenColorFg";           // 0
inline constexpr char kScreenFontSizeIdx[] = "ScreenFontSizeIdx";   // 3
inline constexpr char kScreenFFontNameIdx[] = "ScreenFFontNameIdx"; // 0

// Keys of "Initialization", with their defaults.
inline constexpr char kMainVertPos[] = "mainVertPos";       // 0
inline constexpr char kMainHorizPos[] = "mainHorizPos";     // 0
inline constexpr char kScreenVertPos[] = "screenVertPos";   // 100
inline constexpr char kScreenHorizPos[] = "screenHorizPos"; // 100
inline constexpr char kScreenWidth[] = "screenWidth";       // 480
inline constexpr char kScreenHeight[] = "screenHeight";     // 500

inline constexpr int kDefAutoTransmitSpace = 3;
inline constexpr int kDefMyRingTone = 3;
inline constexpr int kDefBeepUnstableFlag = 1;
inline constexpr int kDefUseStenoSW = 1;
inline constexpr uint32_t kDefScreenColorBg = 0xFFFFFF;
inline constexpr uint32_t kDefScreenColorFg = 0;
inline constexpr int kDefScreenFontSizeIdx = 3;
inline constexpr int kDefScreenFFontNameIdx = 0;
inline constexpr int kDefScreenVertPos = 100;
inline constexpr int kDefScreenHorizPos = 100;
inline constexpr int kDefScreenWidth = 480;
inline constexpr int kDefScreenHeight = 500;

// Shortcut words and similar short texts hold at most this many characters.
inline constexpr int kWordMax = 19;
// Server host names are cut to the length of a DNS name.
inline constexpr int kHostNameMax = 253;

// The four store operations. A key never written, or an integer that does
// not parse as a signed 32-bit number, reads as def.
int readInt(const char* section, const char* key, int def);
QString readString(const char* section, const char* key, const QString& def);
void writeInt(const char* section, const char* key, int value);
void writeString(const char* section, const char* key, const QString& value);
// Writes pending changes to disk (QSettings also does it on its own).
void flush();
// Where the store lives.
QString storePath();
// Uses the INI file at path instead of the per-user store (empty: back to
// the per-user store). Set once at start, before anything reads a setting.
void setStorePath(const QString& path);

// Built-in default host names (one build option, "localhost" unless set).
QString defaultPrimaryHost();
QString defaultSecondaryHost();

// Captioner types 0..5: short names ("EclipseCAT" ...) and list names
// ("EclipseCAT > ANSI" ...). Out-of-range types give an empty text.
inline constexpr int kCaptionerTypeCount = 6;
QString captionerShortName(int type);
QString captionerListName(int type);
// Position of a list name in the list-name table, or -1.
int captionerTypeOfListName(const QString& listName);

// Caption screen faces (17) and sizes (24: 7..30 points).
inline constexpr int kFaceCount = 17;
inline constexpr int kSizeCount = 24;
const QStringList& faceNames();
// Point size of a size index (index clamped by safeSizeIndex first).
int pointSizeOfIndex(int sizeIndex);
// Indexes read from the store, kept inside the tables: an out-of-range
// face gives face 0, an out-of-range size gives size index 3.
int safeFaceIndex(int faceIndex);
int safeSizeIndex(int sizeIndex);

// Locale as the console uses it: 0 or 1, anything else 0.
int clampLocale(int locale);

// A text is a dotted IPv4 address when, trimmed, it has exactly four parts
// separated by ".", each of 1..3 decimal digits, at most 255, without a
// leading zero in a part of two or more digits.
bool isDottedIPv4(const QString& text);

// Resolution of a server name: a dotted address resolves to itself (trimmed),
// an empty name to nothing, any other name to the first IPv4 address the
// resolver gives, as "%d.%d.%d.%d"; a failed look-up to nothing.
std::string resolveServerHost(const QString& name);

// A text cut to at most max characters (a surrogate pair is never split).
QString cutText(const QString& text, int max);

// The settings the main window reads at start, in its order: the server
// reset has been applied (and written back), Locale is kept as stored while
// serverIndex is the clamped value, serverHost the resolved address of the
// selected server.
struct StartupSettings {
    int systemType = 0;
    int autoTransmitSpace = kDefAutoTransmitSpace;
    int captionerType = 0;
    QString myPhoneNumber;
    int myRingTone = kDefMyRingTone;
    int autoHideFlag = 0;
    int beepUnstableFlag = kDefBeepUnstableFlag;
    QString macNosiyVoice, macNoVoice, macMisuse, macAnswerCmd;
    QString ipsvr1, ipsvr2, ipsvr1log;
    int locale = 0;
    int useStenoSW = kDefUseStenoSW;
    int autoAnsForTst = 0;
    uint32_t screenColorBg = kDefScreenColorBg;
    uint32_t screenColorFg = kDefScreenColorFg;
    int screenFontSizeIdx = kDefScreenFontSizeIdx;
    int screenFFontNameIdx = kDefScreenFFontNameIdx;
    int mainVertPos = 0;
    int mainHorizPos = 0;

    int serverIndex = 0;
    std::string serverHost;
    QString ringFileName;   // "RingVol%d.wav"

    // The main window moves to the stored position only when both
    // coordinates are non-zero.
    bool hasMainPosition() const { return mainVertPos != 0 && mainHorizPos != 0; }
};

// Reads the start-up settings. resolve = false skips the host look-up
// (serverHost then stays empty unless the name is a dotted address).
StartupSettings loadStartupSettings(bool resolve = true);

// The two server-reset rules alone: each of IPSVR1, IPSVR2 and IPSVR1LOG
// holding a dotted address is replaced by its default host name and written
// back. The values are updated in place.
void applyServerReset(QString& ipsvr1, QString& ipsvr2, QString& ipsvr1log);

// The ring sound file of a ring-tone volume.
QString ringFileName(int ringTone);

}  // namespace settings
