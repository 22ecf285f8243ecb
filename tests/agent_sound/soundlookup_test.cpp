// Sound file lookup (installed folder first, then beside the program), the
// silent default player and the recording test double.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include "soundplayer.h"

namespace {

void touch(const QString& path)
{
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("RIFF");
}

}  // namespace

TEST(SoundLookup, DefaultFoldersAreTheShareFolderThenBesideTheProgram)
{
    setSoundFolders({});
    const QStringList folders = soundFolders();
    ASSERT_EQ(folders.size(), 2);
    EXPECT_TRUE(folders[0].endsWith(QStringLiteral("/share/quillon-agent/sounds"))) << folders[0].toStdString();
    EXPECT_TRUE(QFileInfo(folders[0]).isAbsolute());
    const QString exeDir = QFileInfo(QFileInfo(QStringLiteral("/proc/self/exe")).canonicalFilePath()).absolutePath();
    EXPECT_EQ(folders[1], exeDir + QStringLiteral("/sounds"));
}

TEST(SoundLookup, FirstFolderHoldingTheFileWins)
{
    QTemporaryDir first, second;
    ASSERT_TRUE(first.isValid() && second.isValid());
    touch(second.filePath(QStringLiteral("Beep.wav")));
    touch(first.filePath(QStringLiteral("welcome.wav")));
    touch(second.filePath(QStringLiteral("welcome.wav")));
    const QStringList folders{first.path(), second.path()};

    EXPECT_EQ(findSoundFile(QStringLiteral("welcome.wav"), folders), first.filePath(QStringLiteral("welcome.wav")));
    EXPECT_EQ(findSoundFile(QStringLiteral("Beep.wav"), folders), second.filePath(QStringLiteral("Beep.wav")));
    EXPECT_TRUE(findSoundFile(QStringLiteral("goodbye.wav"), folders).isEmpty());

    // The installed folders are used unless replaced.
    setSoundFolders(folders);
    EXPECT_EQ(findSoundFile(QStringLiteral("Beep.wav")), second.filePath(QStringLiteral("Beep.wav")));
    setSoundFolders({});
    EXPECT_EQ(soundFolders().size(), 2);
}

TEST(SoundLookup, OnlyPlainNamesOfReadableFilesAreFound)
{
    QTemporaryDir root;
    ASSERT_TRUE(root.isValid());
    ASSERT_TRUE(QDir(root.path()).mkdir(QStringLiteral("sounds")));
    const QString sounds = root.filePath(QStringLiteral("sounds"));
    touch(root.filePath(QStringLiteral("secret.wav")));
    ASSERT_TRUE(QDir(sounds).mkdir(QStringLiteral("folder.wav")));
    const QStringList folders{sounds};

    for (const char* name : {"../secret.wav", "/etc/passwd", "", ".", "..", "folder.wav"})
        EXPECT_TRUE(findSoundFile(QString::fromUtf8(name), folders).isEmpty()) << name;
}

TEST(SoundPlayerInstall, SilentUntilSetAndAfterReset)
{
    SoundPlayer& silent = soundPlayer();
    silent.play(QStringLiteral("Beep.wav"), SoundMode::Sync);   // returns at once, does nothing
    silent.stop();

    RecordingSoundPlayer rec;
    setSoundPlayer(&rec);
    EXPECT_EQ(&soundPlayer(), &rec);
    soundPlayer().play(QStringLiteral("RingVol3.wav"), SoundMode::AsyncLoop);
    soundPlayer().play(QStringLiteral("startCap.wav"), SoundMode::Async);
    soundPlayer().play(QStringLiteral("pauseCap.wav"), SoundMode::Sync);
    soundPlayer().stop();
    EXPECT_EQ(rec.calls, (QStringList{"play RingVol3.wav loop", "play startCap.wav async",
                                      "play pauseCap.wav sync", "stop"}));

    setSoundPlayer(nullptr);
    EXPECT_EQ(&soundPlayer(), &silent);
}
