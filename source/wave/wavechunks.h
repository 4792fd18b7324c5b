#pragma once

#include "waveheader.h"

#include <QString>
#include <QtGlobal>

class QFileDevice;

// What a RIFF WAVE file holds, found by walking its top-level chunks.
struct WaveFormat
{
    enum class Encoding { Integer, Float };

    Encoding encoding = Encoding::Integer;
    int channels = 0;
    int bytesPerSample = 0; // 1 (unsigned), 2, 3, 4 for integers; 4 or 8 for floats
    qint64 dataBegin = 0;   // file offset of the first sample byte
    qint64 dataEnd = 0;     // one past the last sample byte
    // The file described as a canonical header: ids, format code (1 or 3,
    // also for extensible files), channels, rate, sizes of the chunks found.
    WaveHeader header{};
};

// Finds "fmt " and "data" anywhere at the top level of a RIFF/WAVE file of
// `fileSize` bytes, skipping any other chunk. A data chunk whose size is 0 or
// runs past the end of the file (a recording cut off before its header was
// finished) extends to the end of the file. False with a reason when the
// file is not one this reader can decode.
bool readWaveFormat(QFileDevice *file, qint64 fileSize, WaveFormat *format, QString *reason);
