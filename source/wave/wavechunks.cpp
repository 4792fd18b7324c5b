#include "wavechunks.h"

#include "chunkedio.h"

#include <QCoreApplication>
#include <QFileDevice>

#include <algorithm>
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
        return tr("code 0x%1").arg(code, 4, 16, QLatin1Char('0'));
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
        format->otherEncoding = true;
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

// Reads the `n` bytes at `at`: true when all of them are there. False also
// for a read error, whose reason is then in *error (left alone otherwise).
bool bytesAt(QIODevice *file, qint64 at, char *bytes, qint64 n, QString *error)
{
    if (!file->seek(at)) {
        *error = file->errorString();
        return false;
    }
    return readFully(file, bytes, n, error) == n;
}

// True when what lies at `at` (or, past a pad byte, at `at` + 1) is the
// head of a chunk or a tag rather than sample data: an id of four printable
// characters, or an ID3 or ID3v1 tag appended as it is. False with *error
// set when the file cannot be read there.
bool chunkAt(QIODevice *file, qint64 at, qint64 fileSize, QString *error)
{
    for (const qint64 start : {at, at + 1}) {
        char head[8];
        if (start + 8 > fileSize || !bytesAt(file, start, head, 8, error)) {
            if (!error->isEmpty())
                return false;
            continue;
        }
        if (std::memcmp(head, "ID3", 3) == 0 || std::memcmp(head, "TAG", 3) == 0)
            return true;
        if (std::all_of(head, head + 4, [](char c) { return c >= 0x20 && c <= 0x7e; }))
            return true;
    }
    return false;
}

// The extent of a data chunk of `size` bytes at `body` that the file holds
// whole, and where its samples end. A writer that never brought its header
// up to date leaves samples behind the size it gave; they are told from the
// chunks that may follow a data chunk by what their bytes look like. Past
// 4 GiB a 32-bit size holds the real one modulo 2^32: the reading nearest
// to the bytes there is meant. A read error sets *error; the extent is then
// meaningless.
DataExtent extentWithin(QIODevice *file, qint64 body, quint64 size, qint64 fileSize,
                        quint64 *announced, qint64 *dataEnd, QString *error)
{
    const quint64 there = quint64(fileSize - body);
    *dataEnd = body + qint64(size);
    if (there <= 0xffffffffu) {
        if (fileSize - *dataEnd < 8 || chunkAt(file, *dataEnd, fileSize, error))
            return DataExtent::Matches;
        *dataEnd = fileSize;
        return DataExtent::Extended;
    }
    constexpr quint64 wrap = quint64(1) << 32;
    *announced = size + (there - size + wrap / 2) / wrap * wrap;
    if (*announced != there && chunksFillTo(file, *dataEnd + qint64(size & 1), fileSize, error)) {
        *announced = size;
        return DataExtent::Matches;
    }
    if (*announced < there && error->isEmpty() &&
        chunkAt(file, body + qint64(*announced), fileSize, error)) {
        *dataEnd = body + qint64(*announced);
        return DataExtent::Wrapped;
    }
    *dataEnd = fileSize;
    return *announced == there   ? DataExtent::Wrapped
            : *announced < there ? DataExtent::Extended
                                 : DataExtent::CutShort;
}

} // namespace

bool chunksFillTo(QIODevice *file, qint64 pos, qint64 fileSize, QString *error)
{
    for (int chunks = 0; chunks < 16 && pos + 8 <= fileSize; ++chunks) {
        char head[8];
        if (!bytesAt(file, pos, head, 8, error))
            return false;
        for (int i = 0; i < 4; ++i) {
            if (head[i] < 0x20 || head[i] > 0x7e)
                return false;
        }
        const quint32 size = readLe32(head + 4);
        pos += 8 + qint64(size) + qint64(size & 1);
        if (pos == fileSize || (pos == fileSize + 1 && (size & 1)))
            return true;
    }
    return false;
}

bool readWaveFormat(QIODevice *file, qint64 fileSize, WaveFormat *format, QString *reason)
{
    reason->clear();
    format->unreadable = false;
    // A read error ends the walk with its own reason: what was not read says
    // nothing of what the file holds.
    const auto unreadable = [&] {
        format->unreadable = true;
        return false;
    };
    char riff[12];
    const bool read = bytesAt(file, 0, riff, sizeof riff, reason);
    if (!reason->isEmpty())
        return unreadable();
    // RF64 (and its twin BW64) carry the 64-bit sizes of files past 4 GiB
    // in a ds64 chunk; their 32-bit fields hold 0xFFFFFFFF.
    format->rf64 = read && (std::memcmp(riff, "RF64", 4) == 0 || std::memcmp(riff, "BW64", 4) == 0);
    if (!read || (std::memcmp(riff, "RIFF", 4) != 0 && !format->rf64) ||
        std::memcmp(riff + 8, "WAVE", 4) != 0) {
        *reason = tr("not a RIFF WAVE file");
        return false;
    }
    WaveHeader &h = format->header;
    h = WaveHeader::standardDefaults();
    h.riffSize = readLe32(riff + 4);

    quint64 dataSize64 = 0;
    if (format->rf64) {
        char ds64[8 + 16];
        const bool whole = readFully(file, ds64, sizeof ds64, reason) == qint64(sizeof ds64);
        if (!reason->isEmpty())
            return unreadable();
        if (!whole || std::memcmp(ds64, "ds64", 4) != 0 || readLe32(ds64 + 4) < 16) {
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
        if (chunks == maxChunks || !bytesAt(file, pos, head, 8, reason)) {
            if (!reason->isEmpty())
                return unreadable();
            break;
        }
        quint64 size = readLe32(head + 4);
        const qint64 body = pos + 8;
        if (std::memcmp(head, "fmt ", 4) == 0 && !haveFmt) {
            char fmt[40] = {};
            const qint64 want = qMin<qint64>(qint64(size), sizeof fmt);
            const bool whole =
                    body + qint64(size) <= fileSize && readFully(file, fmt, want, reason) == want;
            if (!reason->isEmpty())
                return unreadable();
            if (!whole) {
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
            format->dataEnd = fileSize;
            const quint64 there = quint64(fileSize - body);
            // A size of 0 or past the end: the writer never finished the
            // header (or stopped early), and everything to the end of the
            // file is sample data. A 32-bit counter that passed 4 GiB shows
            // the size modulo 2^32, or stays at its largest value.
            if (format->rf64 && size != 0 && size <= there) {
                format->extent = DataExtent::Rf64;
                format->dataEnd = body + qint64(size);
            } else if (size == 0 && there > 0) {
                format->extent = DataExtent::Unfinished;
            } else if (size == 0xffffffffu) {
                format->extent = there >= size ? DataExtent::Saturated : DataExtent::Unfinished;
            } else if (size > there) {
                format->extent = DataExtent::CutShort;
            } else {
                format->extent = extentWithin(file, body, size, fileSize, &format->announcedBytes,
                                              &format->dataEnd, reason);
                if (!reason->isEmpty())
                    return unreadable();
            }
            if (format->dataEnd == fileSize && format->extent != DataExtent::Matches)
                break; // nothing after it can be found
            // Past a wrapped size the next chunk follows the data found.
            pos = format->dataEnd + ((format->dataEnd - body) & 1);
            continue;
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
    // Fewer bytes than a frame behind the announced size add nothing.
    const qint64 block = qint64(format->channels) * format->bytesPerSample;
    if (format->extent == DataExtent::Extended &&
        (format->dataEnd - format->dataBegin) / block ==
                qint64(format->announcedBytes / quint64(block))) {
        format->extent = DataExtent::Matches;
        format->dataEnd = format->dataBegin + qint64(format->announcedBytes);
    }
    reason->clear();
    return true;
}
