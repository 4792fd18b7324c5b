#pragma once

#include <QByteArray>
#include <QtGlobal>

#include <array>

// The canonical 44-byte RIFF WAVE header: a RIFF header, a 16-byte "fmt "
// chunk and the "data" chunk header. Both file layouts carry it. In the file
// every number is little-endian; toBytes()/fromBytes() do the conversion, so
// the in-memory struct never has to match the file byte for byte.
struct WaveHeader
{
    static constexpr int size = 44;
    using Bytes = std::array<char, size>;

    char riffId[4];
    quint32 riffSize;
    char waveId[4];
    char fmtId[4];
    quint32 fmtSize;
    quint16 audioFormat;
    quint16 numChannels;
    quint32 sampleRate;
    quint32 byteRate;
    quint16 blockAlign;
    quint16 bitsPerSample;
    char dataId[4];
    quint32 dataSize;

    // Two-channel 24-bit integer PCM at 44100 Hz, sizes 0 (riffSize 8).
    static WaveHeader standardDefaults();
    // Two-channel "32-bit" PCM at 39062 Hz, blockAlign 8, sizes 0 (riffSize 8).
    static WaveHeader brinmoorDefaults();

    Bytes toBytes() const;
    // Overwrites the fields covered by the first `length` bytes of `bytes`
    // (length is clamped to 0...44); fields past it keep their values.
    void assignFromBytes(const char *bytes, int length);
};

// 32-bit size fields saturate instead of wrapping past 4 GiB.
inline quint32 saturatedSize(quint64 n)
{
    return n > 0xffffffffu ? 0xffffffffu : quint32(n);
}

// The bytes of a finished standard file's header for `dataBytes` bytes of
// samples in the format `h` describes. Without `reserved`: the canonical 44
// bytes, sizes saturating past 4 GiB. With it: 80 bytes, a 36-byte chunk
// between "WAVE" and "fmt " that is JUNK while the sizes fit 32 bits and
// becomes the ds64 chunk of an RF64 file (with the 64-bit sizes) when they
// do not. `extra` counts bytes the caller adds to the header, which the
// RIFF size includes.
QByteArray standardHeaderBytes(WaveHeader h, quint64 dataBytes, bool reserved, quint32 extra = 0);

// Little-endian field helpers, shared by the file classes.
inline quint16 readLe16(const char *p)
{
    return quint16(quint16(quint8(p[0])) | quint16(quint8(p[1])) << 8);
}

inline quint32 readLe32(const char *p)
{
    return quint32(quint8(p[0])) | quint32(quint8(p[1])) << 8 | quint32(quint8(p[2])) << 16 |
            quint32(quint8(p[3])) << 24;
}

inline void writeLe16(char *p, quint16 v)
{
    p[0] = char(v & 0xff);
    p[1] = char(v >> 8);
}

inline void writeLe32(char *p, quint32 v)
{
    p[0] = char(v & 0xff);
    p[1] = char((v >> 8) & 0xff);
    p[2] = char((v >> 16) & 0xff);
    p[3] = char(v >> 24);
}
