#include "soundplayer.h"

#include "pos.h"

#include <QDir>
#include <QFileInfo>

#include <atomic>
#include <mutex>

#ifndef QUILLON_SOUND_DIR
#define QUILLON_SOUND_DIR "/usr/local/share/quillon-agent/sounds"
#endif

SoundPlayer::~SoundPlayer() = default;

namespace {

// Plays nothing: the player before one is installed.
class SilentSoundPlayer : public SoundPlayer {
public:
    void play(const QString&, SoundMode) override {}
    void stop() override {}
};

std::atomic<SoundPlayer*> g_player{nullptr};

std::mutex g_folderLock;
QStringList g_folders;   // empty: the default folders

std::mutex g_logLock;
std::function<void(const QString&)> g_logHook;

}  // namespace

SoundPlayer& soundPlayer()
{
    static SilentSoundPlayer silent;
    SoundPlayer* p = g_player.load(std::memory_order_acquire);
    return p ? *p : silent;
}

void setSoundPlayer(SoundPlayer* p)
{
    g_player.store(p, std::memory_order_release);
}

QStringList soundFolders()
{
    {
        std::lock_guard<std::mutex> g(g_folderLock);
        if (!g_folders.isEmpty()) return g_folders;
    }
    // The executable's own link, read once: the playback thread asks too, and
    // this needs no application object.
    static const QString exeDir =
        QFileInfo(QFileInfo(QStringLiteral("/proc/self/exe")).canonicalFilePath()).absolutePath();
    return {QStringLiteral(QUILLON_SOUND_DIR), exeDir + QStringLiteral("/sounds")};
}

void setSoundFolders(const QStringList& folders)
{
    std::lock_guard<std::mutex> g(g_folderLock);
    g_folders = folders;
}

QString findSoundFile(const QString& fileName, const QStringList& folders)
{
    // Only plain names: a name can never reach outside the sound folders.
    if (fileName.isEmpty() || fileName.contains(QLatin1Char('/')) ||
        fileName == QLatin1String(".") || fileName == QLatin1String(".."))
        return {};
    for (const QString& folder : folders) {
        const QFileInfo f(QDir(folder).filePath(fileName));
        if (f.isFile() && f.isReadable()) return f.absoluteFilePath();
    }
    return {};
}

QString findSoundFile(const QString& fileName)
{
    return findSoundFile(fileName, soundFolders());
}

void setSoundLogHook(std::function<void(const QString&)> hook)
{
    std::lock_guard<std::mutex> g(g_logLock);
    g_logHook = std::move(hook);
}

void soundLog(const QString& line)
{
    std::lock_guard<std::mutex> g(g_logLock);
    if (g_logHook) {
        g_logHook(line);
        return;
    }
    posLogPrint("SOND] %s\n", line.toUtf8().constData());
}
