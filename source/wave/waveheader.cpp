#include "waveheader.h"

#include <algorithm>
#include <cstring>

namespace {

WaveHeader pcmHeader(quint32 rate, quint32 byteRate, quint16 blockAlign, quint16 bits)
{
    WaveHeader h{};
    std::memcpy(h.riffId, "RIFF", 4);
    h.riffSize = 8;
    std::memcpy(h.waveId, "WAVE", 4);
    std::memcpy(h.fmtId, "fmt ", 4);
    h.fmtSize = 16;
    h.audioFormat = 1;
    h.numChannels = 2;
    h.sampleRate = rate;
    h.byteRate = byteRate;
    h.blockAlign = blockAlign;
    h.bitsPerSample = bits;
    std::memcpy(h.dataId, "data", 4);
    h.dataSize = 0;
    return h;
}

} // namespace

WaveHeader WaveHeader::standardDefaults()
{
    return pcmHeader(44100, 264600, 6, 24);
}

WaveHeader WaveHeader::brinmoorDefaults()
{
    // The header describes 8-byte frames at the integer part of the true rate
    // (39062.5 Hz), so dataSize / byteRate is the length in seconds.
    return pcmHeader(39062, 39062 * 8, 8, 32);
}

WaveHeader::Bytes WaveHeader::toBytes() const
{
    Bytes b{};
    char *p = b.data();
    std::memcpy(p + 0, riffId, 4);
    writeLe32(p + 4, riffSize);
    std::memcpy(p + 8, waveId, 4);
    std::memcpy(p + 12, fmtId, 4);
    writeLe32(p + 16, fmtSize);
    writeLe16(p + 20, audioFormat);
    writeLe16(p + 22, numChannels);
    writeLe32(p + 24, sampleRate);
    writeLe32(p + 28, byteRate);
    writeLe16(p + 32, blockAlign);
    writeLe16(p + 34, bitsPerSample);
    std::memcpy(p + 36, dataId, 4);
    writeLe32(p + 40, dataSize);
    return b;
}

void WaveHeader::assignFromBytes(const char *bytes, int length)
{
    // Start from the current bytes so that a short read leaves the unread
    // fields as they were.
    Bytes b = toBytes();
    std::copy_n(bytes, std::clamp(length, 0, size), b.begin());
    const char *p = b.data();
    std::memcpy(riffId, p + 0, 4);
    riffSize = readLe32(p + 4);
    std::memcpy(waveId, p + 8, 4);
    std::memcpy(fmtId, p + 12, 4);
    fmtSize = readLe32(p + 16);
    audioFormat = readLe16(p + 20);
    numChannels = readLe16(p + 22);
    sampleRate = readLe32(p + 24);
    byteRate = readLe32(p + 28);
    blockAlign = readLe16(p + 32);
    bitsPerSample = readLe16(p + 34);
    std::memcpy(dataId, p + 36, 4);
    dataSize = readLe32(p + 40);
}

QByteArray standardHeaderBytes(WaveHeader h, quint64 dataBytes, bool reserved, quint32 extra)
{
    if (!reserved) {
        h.dataSize = saturatedSize(dataBytes);
        h.riffSize = saturatedSize(dataBytes + 36 + extra);
        const WaveHeader::Bytes b = h.toBytes();
        return QByteArray(b.data(), WaveHeader::size);
    }
    constexpr int chunkSize = 28; // a ds64 chunk without a table
    const quint64 riffSize = dataBytes + 36 + 8 + chunkSize + extra;
    const bool rf64 = riffSize > 0xffffffffu;
    h.riffSize = rf64 ? 0xffffffffu : quint32(riffSize);
    h.dataSize = rf64 ? 0xffffffffu : quint32(dataBytes);
    const WaveHeader::Bytes b = h.toBytes();
    QByteArray chunk(8 + chunkSize, '\0');
    char *p = chunk.data();
    std::memcpy(p, rf64 ? "ds64" : "JUNK", 4);
    writeLe32(p + 4, chunkSize);
    if (rf64) {
        const quint64 frames = h.blockAlign ? dataBytes / h.blockAlign : 0;
        const quint64 values[] = {riffSize, dataBytes, frames};
        for (int i = 0; i < 3; ++i) {
            writeLe32(p + 8 + 8 * i, quint32(values[i]));
            writeLe32(p + 12 + 8 * i, quint32(values[i] >> 32));
        }
    }
    QByteArray bytes = QByteArray(b.data(), 12) + chunk + QByteArray(b.data() + 12, 32);
    if (rf64)
        std::memcpy(bytes.data(), "RF64", 4);
    return bytes;
}
