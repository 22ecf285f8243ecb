#include "soundplayer.h"

void RecordingSoundPlayer::play(const QString& fileName, SoundMode mode)
{
    const char* how = mode == SoundMode::Async ? "async" : mode == SoundMode::AsyncLoop ? "loop" : "sync";
    calls << QStringLiteral("play %1 %2").arg(fileName, QLatin1String(how));
}

void RecordingSoundPlayer::stop()
{
    calls << QStringLiteral("stop");
}
