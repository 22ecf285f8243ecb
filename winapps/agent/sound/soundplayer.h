// The console's sounds: wave files played by name, asynchronously, looped or
// synchronously, one at a time (a new sound replaces the playing one).
// The window plays through soundPlayer(); the product installs the PortAudio
// player once at start, tests install a RecordingSoundPlayer.
#pragma once

#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

enum class SoundMode { Async, AsyncLoop, Sync };

class SoundPlayer {
public:
    virtual ~SoundPlayer();
    // Plays the named file (e.g. "Beep.wav", looked up as findSoundFile says).
    // A new sound replaces the playing one. Sync returns when the sound has
    // ended. A missing or unreadable file is logged once and is silent.
    virtual void play(const QString& fileName, SoundMode mode) = 0;
    // Stops any playing sound (a looped one included).
    virtual void stop() = 0;
};

// The installed player (a silent one until set).
SoundPlayer& soundPlayer();
// Installs p (not owned); nullptr restores the silent one.
void setSoundPlayer(SoundPlayer* p);
// Creates the libsndfile + PortAudio player once per process and installs it.
// It plays on the default output device; QUILLON_AUDIO=none makes it silent.
void installProductSoundPlayer();
// A player of its own (what installProductSoundPlayer installs), for tests.
// Its destructor stops the sound and ends its playback thread.
std::unique_ptr<SoundPlayer> makePortAudioSoundPlayer();

// Test double: records "play <file> async|loop|sync" and "stop" lines; Sync
// returns at once.
class RecordingSoundPlayer : public SoundPlayer {
public:
    QStringList calls;
    void play(const QString& fileName, SoundMode mode) override;
    void stop() override;
};

// ---- file lookup --------------------------------------------------------------
// Folders searched in order: the installed share folder, then
// <executable dir>/sounds. setSoundFolders replaces them (an empty list
// restores these two), so tests can point the player at their own files.
QStringList soundFolders();
void setSoundFolders(const QStringList& folders);
// Full path of the first readable file called fileName in the folders, or an
// empty string. Only plain file names are looked up (no folder parts).
QString findSoundFile(const QString& fileName);
QString findSoundFile(const QString& fileName, const QStringList& folders);

// ---- log ------------------------------------------------------------------------
// Where the player's log lines go (one line, no newline); by default the
// runtime's log. nullptr restores the default.
void setSoundLogHook(std::function<void(const QString&)> hook);
void soundLog(const QString& line);
