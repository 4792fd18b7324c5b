#include "recognize.h"

#include "soundfile.h"

#include <QFile>

WaveInfo recognizeWave(const QString &fileName)
{
    WaveInfo info;
    const std::unique_ptr<QFile> file = openSourceFile(fileName, &info.evidence);
    if (!file) {
        info.unreadable = true;
        return info;
    }
    const WaveInfo wave = recognizeWave(file.get(), file->size());
    if (wave.layout != WaveLayout::NotWave || wave.unreadable || !isOtherAudioFormat(fileName))
        return wave;
    SoundFile other;
    other.open(fileName, QIODevice::ReadOnly);
    return other.sourceInfo();
}
