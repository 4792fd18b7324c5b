#pragma once

#include "waveheader.h"

#include <QString>
#include <QtGlobal>

class QIODevice;

// How the sample data that are there compare with the sizes a header gives.
enum class DataExtent {
    Matches,    // as the header says
    CutShort,   // fewer bytes than announced: all that are there are read
    Extended,   // more bytes than announced: all are read
    Unfinished, // size 0 (or a placeholder), the header was never finished
    Wrapped,    // a 32-bit size that wrapped past 4 GiB: the data run to the end
    Saturated,  // a 32-bit size stuck at its largest value past 4 GiB
    Rf64,       // 64-bit sizes from a ds64 chunk
    // Other formats, until decoding has read them to the end:
    Unchecked, // the length the container announces
    Estimated, // a length estimated from the file's size
};

// What a RIFF WAVE file holds, found by walking its top-level chunks.
struct WaveFormat
{
    enum class Encoding { Integer, Float };

    Encoding encoding = Encoding::Integer;
    int channels = 0;
    int bytesPerSample = 0;     // 1 (unsigned), 2, 3, 4 for integers; 4 or 8 for floats
    qint64 dataBegin = 0;       // file offset of the first sample byte
    qint64 dataEnd = 0;         // one past the last sample byte
    quint64 announcedBytes = 0; // the data chunk's size, 64-bit for RF64
    DataExtent extent = DataExtent::Matches;
    bool rf64 = false; // an RF64 (or BW64) file with a ds64 chunk
    // Refused for an encoding other than PCM and float (u-law, ADPCM, GSM
    // ...), which other readers may decode.
    bool otherEncoding = false;
    // readWaveFormat() failed for a read error (its reason), not for what
    // the file holds.
    bool unreadable = false;
    // The file described as a canonical header: ids, format code (1 or 3,
    // also for extensible files), channels, rate, sizes of the chunks found.
    WaveHeader header{};
};

// Finds "fmt " and "data" anywhere at the top level of a RIFF/WAVE or RF64
// file of `fileSize` bytes, skipping any other chunk. A data chunk whose size
// is 0 or runs past the end of the file (a recording cut off before its
// header was finished) extends to the end of the file, and so does one whose
// size is what a 32-bit counter shows after passing 4 GiB (wrapped or
// saturated). False with a reason when the file is not one this reader can
// decode, or (format->unreadable) when reading it failed.
bool readWaveFormat(QIODevice *file, qint64 fileSize, WaveFormat *format, QString *reason);

// True when well-formed chunks follow `pos` up to exactly the end of a file
// of `fileSize` bytes (at most 16 of them). False with *error set when the
// file cannot be read there.
bool chunksFillTo(QIODevice *file, qint64 pos, qint64 fileSize, QString *error);
