#include "wavechunks.h"

#include "chunkedio.h"

#include <QCoreApplication>
#include <QFileDevice>

#include <cstring>

namespace {

QString tr(const char *text)
{
    return QCoreApplication::translate("WaveFile", text);
}

constexpr quint16 formatPcm = 1;
constexpr quint16 formatFloat = 3;
constexpr quint16 formatExtensible = 0xfffe;

// Files made of millions of empty chunks would otherwise take ages to walk.
constexpr int maxChunks = 100000;

QString formatName(quint16 code)
{
    switch (code) {
    case 2:
        return QStringLiteral("ADPCM");
    case 6:
        return QStringLiteral("A-law");
    case 7:
        return QStringLiteral("\u00b5-law");
    case 0x11:
        return QStringLiteral("IMA ADPCM");
    case 0x31:
        return QStringLiteral("GSM");
    case 0x50:
        return QStringLiteral("MPEG");
    case 0x55:
        return QStringLiteral("MP3");
    default:
        return QStringLiteral("code 0x%1").arg(code, 4, 16, QLatin1Char('0'));
    }
}

// Checks the format chunk's fields and fills `format` from them.
bool parseFormat(const char *fmt, quint32 size, WaveFormat *format, QString *reason)
{
    if (size < 16) {
        *reason = tr("damaged fmt chunk");
        return false;
    }
    quint16 code = readLe16(fmt);
    const quint16 channels = readLe16(fmt + 2);
    const quint16 bits = readLe16(fmt + 14);
    if (code == formatExtensible) {
        // The real format is the first two bytes of the sub-format GUID; the
        // rest is the same for every format defined on the classic codes.
        static const char tail[14] = {0x00, 0x00, 0x00,       0x00, 0x10, 0x00,       char(0x80),
                                      0x00, 0x00, char(0xaa), 0x00, 0x38, char(0x9b), 0x71};
        if (size < 40) {
            *reason = tr("damaged fmt chunk");
            return false;
        }
        code = readLe16(fmt + 24);
        if (std::memcmp(fmt + 26, tail, sizeof tail) != 0) {
            *reason = tr("unsupported format: extensible with an unknown sub-format");
            return false;
        }
    }
    if (code != formatPcm && code != formatFloat) {
        *reason = tr("unsupported format: %1").arg(formatName(code));
        return false;
    }
    if (channels == 0) {
        *reason = tr("no channels");
        return false;
    }
    const bool isFloat = code == formatFloat;
    const bool sizeOk = isFloat ? bits == 32 || bits == 64
                                : bits == 8 || bits == 16 || bits == 24 || bits == 32;
    if (!sizeOk) {
        *reason = isFloat ? tr("unsupported sample size: %1-bit float").arg(bits)
                          : tr("unsupported sample size: %1 bits").arg(bits);
        return false;
    }
    format->encoding = isFloat ? WaveFormat::Encoding::Float : WaveFormat::Encoding::Integer;
    format->channels = channels;
    format->bytesPerSample = bits / 8;
    WaveHeader &h = format->header;
    h.fmtSize = size;
    h.audioFormat = code;
    h.numChannels = channels;
    h.sampleRate = readLe32(fmt + 4);
    h.byteRate = readLe32(fmt + 8);
    h.blockAlign = readLe16(fmt + 12);
    h.bitsPerSample = bits;
    return true;
}

} // namespace

bool readWaveFormat(QFileDevice *file, qint64 fileSize, WaveFormat *format, QString *reason)
{
    reason->clear();
    char riff[12];
    const bool read =
            file->seek(0) && readFully(file, riff, sizeof riff, reason) == qint64(sizeof riff);
    // RF64 (and its twin BW64) carry the 64-bit sizes of files past 4 GiB
    // in a ds64 chunk; their 32-bit fields hold 0xFFFFFFFF.
    format->rf64 = read && (std::memcmp(riff, "RF64", 4) == 0 || std::memcmp(riff, "BW64", 4) == 0);
    if (!read || (std::memcmp(riff, "RIFF", 4) != 0 && !format->rf64) ||
        std::memcmp(riff + 8, "WAVE", 4) != 0) {
        if (reason->isEmpty())
            *reason = tr("not a RIFF WAVE file");
        return false;
    }
    WaveHeader &h = format->header;
    h = WaveHeader::standardDefaults();
    h.riffSize = readLe32(riff + 4);

    quint64 dataSize64 = 0;
    if (format->rf64) {
        char ds64[8 + 16];
        if (readFully(file, ds64, sizeof ds64, reason) != qint64(sizeof ds64) ||
            std::memcmp(ds64, "ds64", 4) != 0 || readLe32(ds64 + 4) < 16) {
            *reason = tr("damaged ds64 chunk");
            return false;
        }
        dataSize64 = quint64(readLe32(ds64 + 16)) | quint64(readLe32(ds64 + 20)) << 32;
    }

    bool haveFmt = false;
    bool haveData = false;
    qint64 pos = 12;
    for (int chunks = 0; pos + 8 <= fileSize && !(haveFmt && haveData); ++chunks) {
        char head[8];
        if (chunks == maxChunks || !file->seek(pos) || readFully(file, head, 8, reason) != 8)
            break;
        quint64 size = readLe32(head + 4);
        const qint64 body = pos + 8;
        if (std::memcmp(head, "fmt ", 4) == 0 && !haveFmt) {
            char fmt[40] = {};
            const qint64 want = qMin<qint64>(qint64(size), sizeof fmt);
            if (body + qint64(size) > fileSize || readFully(file, fmt, want, reason) != want) {
                *reason = tr("damaged fmt chunk");
                return false;
            }
            if (!parseFormat(fmt, quint32(size), format, reason))
                return false;
            haveFmt = true;
        } else if (std::memcmp(head, "data", 4) == 0 && !haveData) {
            haveData = true;
            h.dataSize = quint32(size);
            if (format->rf64 && size == 0xffffffffu)
                size = dataSize64;
            format->dataBegin = body;
            format->announcedBytes = size;
            format->extent = DataExtent::Matches;
            const quint64 there = quint64(fileSize - body);
            // A size of 0 or past the end: the writer never finished the
            // header (or stopped early), and everything to the end of the
            // file is sample data. A 32-bit counter that passed 4 GiB shows
            // the size modulo 2^32, or stays at its largest value.
            if (format->rf64 && size != 0 && size <= there)
                format->extent = DataExtent::Rf64;
            else if (size == 0 && there > 0)
                format->extent = DataExtent::Unfinished;
            else if (size == 0xffffffffu)
                format->extent = there >= size ? DataExtent::Saturated : DataExtent::Unfinished;
            else if (size > there)
                format->extent = DataExtent::CutShort;
            else if (there > 0xffffffffu && (there & 0xffffffffu) == size)
                format->extent = DataExtent::Wrapped;
            const bool toTheEnd =
                    format->extent != DataExtent::Matches && format->extent != DataExtent::Rf64;
            format->dataEnd = toTheEnd ? fileSize : body + qint64(size);
            if (toTheEnd)
                break; // nothing after it can be found
        }
        pos = body + qint64(size) + qint64(size & 1); // chunks are padded to even sizes
    }
    if (!haveFmt) {
        *reason = tr("no fmt chunk");
        return false;
    }
    if (!haveData) {
        *reason = tr("no data chunk");
        return false;
    }
    reason->clear();
    return true;
}
