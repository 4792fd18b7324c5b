#pragma once

#include "wavechunks.h"

#include <QString>
#include <QStringList>
#include <QVector>
#include <QtGlobal>

#include <memory>

class QFile;
class QIODevice;

// Which of the two layouts a file has. Both carry the same header, so a
// recording can only be told from a standard 32-bit file by evidence: the
// sizes in its header and what its first samples look like.
enum class WaveLayout {
    NotWave,   // unreadable, or not a WAVE file these readers decode
    Standard,  // integer or float PCM as its header describes it
    Brinmoor,  // float64 frames behind a header claiming 32-bit stereo PCM
    Ambiguous, // could be either: a direction must be chosen
};

// Something the user should know about a conversion that succeeded, as a
// kind and its numbers; each front end puts it into its own words.
struct Warning
{
    enum Kind {
        ChannelsLeftOut, // the source has `count` channels: only the first two are converted
        CutShort,        // holds `count` frames of the `announced` its header gives
        Extended,        // holds `count` frames, more than the `announced`
        Unfinished,      // a recording's header never finished: `count` frames found
        Damaged,         // `count` values NaN, infinite or beyond damageAbove, limited
        Overs,           // `count` values above full scale, the largest `peak`
        StreamCutShort,  // a stream without its last page: `count` frames decoded
        ForeignFrames,   // `count` frames of another rate or channel count left out
    };
    Kind kind = ChannelsLeftOut;
    qint64 count = 0;
    qint64 announced = 0;
    double peak = 0.0; // linear, above 1

    bool operator==(const Warning &other) const
    {
        return kind == other.kind && count == other.count && announced == other.announced &&
                peak == other.peak;
    }
};
using Warnings = QVector<Warning>;

// What recognition found in a file: the verdict with its evidence, and what
// the file holds read in that layout. The readers, the conversion, the
// window's and the command line's automatic direction and the command
// line's --info all take it from recognizeWave(), so they never disagree.
struct WaveInfo
{
    WaveLayout layout = WaveLayout::NotWave;
    // One line: what the layout was recognised by, or why the file cannot
    // be read at all. Plain facts; the front ends add what to do about them.
    QString evidence;
    bool unreadable = false; // could not be opened or read (evidence: why)
    // No reader takes it for audio of any kind it knows (an empty file, text,
    // a picture): no recording at all, rather than a damaged one.
    bool unknownFormat = false;
    // Its format is read through a library that cannot be loaded (evidence:
    // why).
    bool libraryMissing = false;
    QString format; // the container found: "WAVE", "RF64"

    bool isFloat = false;
    int bitsPerSample = 0;
    int channels = 0;
    double sampleRate = 0.0;
    qint64 dataBegin = 0; // byte range read as samples
    qint64 dataEnd = 0;
    qint64 frames = 0;           // whole frames in that range
    qint64 announcedFrames = -1; // what the header's sizes say; -1: nothing
    quint64 announcedBytes = 0;  // the data size as the header gives it (0 or a
                                 // placeholder when it was never finished)
    DataExtent extent = DataExtent::Matches;

    bool recognised() const
    {
        return layout == WaveLayout::Standard || layout == WaveLayout::Brinmoor;
    }
    // What a conversion of it should tell the user: data that do not match
    // the header, channels that are left out.
    Warnings warnings() const;
};

// Recognises the file open in `file`, `fileSize` bytes long. `readAs`
// (Standard or Brinmoor) says how an ambiguous file is to be described,
// when the caller is going to read it that way.
WaveInfo recognizeWave(QIODevice *file, qint64 fileSize, WaveLayout readAs = WaveLayout::Ambiguous);
// recognize.h recognises a file by its name, in any format.

// True when the file can be read, is not empty and is no RIFF, RF64 or BW64
// WAVE file, or one whose samples are in an encoding other than PCM and
// float (u-law, A-law, ADPCM, GSM): a source for libsndfile rather than the
// WAVE readers.
bool isOtherAudioFormat(const QString &fileName);

// Opens a source for reading, without ever blocking: only a regular file
// (or a symlink to one) is opened, and only under a name that names it
// exactly. nullptr with the reason otherwise.
std::unique_ptr<QFile> openSourceFile(const QString &fileName, QString *error);

// Opens `fileName` as a source to be read in layout `wanted` (Standard or
// Brinmoor) and recognises it into *info. nullptr when it cannot be read,
// is no WAVE file these readers decode, or is clearly of the other layout;
// info->evidence then says why. An ambiguous file is accepted.
std::unique_ptr<QIODevice> openSource(const QString &fileName, WaveLayout wanted, WaveInfo *info);
// The same for a device already open for reading (a file, bytes in memory).
std::unique_ptr<QIODevice> openSource(std::unique_ptr<QIODevice> in, WaveLayout wanted,
                                      WaveInfo *info);

// Why `info` (clearly of the other layout than the reader's) is refused,
// naming what was found and the evidence, but no direction: the window and
// the command line name their own.
QString otherLayoutReason(const WaveInfo &info);
