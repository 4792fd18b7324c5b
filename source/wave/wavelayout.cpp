#include "wavelayout.h"

#include "chunkedio.h"
#include "waveheader.h"

#include <QCoreApplication>
#include <QFile>

#include <cstring>

namespace {

QString tr(const char *text)
{
    return QCoreApplication::translate("WaveFile", text);
}

bool idAt(const char *head, int offset, const char *id)
{
    return std::memcmp(head + offset, id, 4) == 0;
}

} // namespace

WaveLayout detectWaveLayout(const char *head, qint64 headLength, qint64 fileSize, QString *reason)
{
    auto notWave = [reason](const char *why) {
        if (reason)
            *reason = tr(why);
        return WaveLayout::NotWave;
    };
    if (fileSize == 0)
        return notWave("empty file");
    if (headLength < 12 || !idAt(head, 0, "RIFF") || !idAt(head, 8, "WAVE"))
        return notWave("not a RIFF WAVE file");
    if (reason)
        reason->clear();

    // The recording layout keeps the canonical header and claims two-channel
    // 32-bit integer PCM; what sets it apart is that the data are twice as
    // long as dataSize says, or, for a recording whose header was never
    // finished, the integer part of its 39062.5 Hz rate.
    if (headLength < WaveHeader::size || fileSize < WaveHeader::size)
        return WaveLayout::Standard;
    WaveHeader h{};
    h.assignFromBytes(head, WaveHeader::size);
    const bool canonical = idAt(head, 12, "fmt ") && h.fmtSize == 16 && idAt(head, 36, "data") &&
            h.audioFormat == 1 && h.numChannels == 2 && h.bitsPerSample == 32 && h.blockAlign == 8;
    if (!canonical)
        return WaveLayout::Standard;
    const quint64 halfOfData = quint64(fileSize - WaveHeader::size) / 16 * 8; // whole frames only
    bool recording;
    if (h.dataSize == 0)
        recording = h.sampleRate == 39062;
    else if (h.dataSize == 0xffffffffu) // saturated: more than 4 GiB of data
        recording = h.sampleRate == 39062 && halfOfData >= h.dataSize;
    else
        recording = halfOfData == h.dataSize;
    return recording ? WaveLayout::Brinmoor : WaveLayout::Standard;
}

WaveLayout detectWaveLayout(const QString &fileName, QString *reason)
{
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly)) {
        if (reason)
            *reason = file.errorString();
        return WaveLayout::NotWave;
    }
    char head[WaveHeader::size];
    QString error;
    const qint64 got = readFully(&file, head, sizeof head, &error);
    if (got < 0) {
        if (reason)
            *reason = error;
        return WaveLayout::NotWave;
    }
    return detectWaveLayout(head, got, file.size(), reason);
}

QString wrongLayoutReason(WaveLayout found)
{
    switch (found) {
    case WaveLayout::Brinmoor:
        return tr("this is a Brinmoor-WAVE recording; choose \"Brinmoor-WAVE To Standart WAVE\"");
    case WaveLayout::Standard:
        return tr("this is a standard WAVE file, not a Brinmoor-WAVE recording; choose "
                  "\"Standart WAVE To Brinmoor-WAVE\"");
    case WaveLayout::NotWave:
        break;
    }
    return tr("not a RIFF WAVE file");
}

std::unique_ptr<QFile> openSource(const QString &fileName, WaveLayout wanted, char *head,
                                  qint64 *fileSize, QString *error)
{
    auto in = std::make_unique<QFile>(fileName);
    if (!in->open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
        *error = in->errorString();
        return nullptr;
    }
    const qint64 got = readFully(in.get(), head, WaveHeader::size, error);
    if (got < 0)
        return nullptr;
    *fileSize = in->size();
    const WaveLayout layout = detectWaveLayout(head, got, *fileSize, error);
    if (layout != wanted) {
        // Read the wrong way, float64 pairs become loud noise and integers
        // absurd doubles: refuse rather than convert garbage.
        if (layout != WaveLayout::NotWave)
            *error = wrongLayoutReason(layout);
        return nullptr;
    }
    return in;
}
