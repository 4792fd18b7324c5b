#pragma once

#include <QString>
#include <QtGlobal>

#include <memory>

class QIODevice;

// MPEG audio streams (Layers I to III: MP3, MP2) decoded through libmpg123,
// which is bound when an MPEG file is first opened. The decoder is kept
// quiet: what it would print about a damaged stream is dropped, and decoding
// simply goes on to the end of the file.

// True when the file starts, behind any ID3v2 tags, with an MPEG audio frame
// header: the files MpegAudio reads.
bool startsWithMpegAudio(QIODevice *file);

// Decodes the frames of an open file from its first byte, reading only that
// device (never the file's name again), to the end of the file: every frame
// that decodes, past damage and whatever a header announces.
class MpegAudio
{
public:
    MpegAudio();
    ~MpegAudio();
    MpegAudio(const MpegAudio &) = delete;
    MpegAudio &operator=(const MpegAudio &) = delete;

    // Starts decoding `file` (kept by the caller while this reads it) from
    // its first byte. False with errorString() when the library is missing
    // or no frame decodes.
    bool open(QIODevice *file);
    // False when the library cannot be loaded (open() tells why).
    static bool available();

    int sampleRate() const { return rate; }
    int channels() const { return channelCount; }
    int layer() const { return mpegLayer; }
    // The frames the stream's Xing or Info header counts (encoder delay and
    // padding taken off); -1 when it has none.
    qint64 announcedFrames() const { return announced; }
    // The decoder's guess from the file's size and first frames, for a
    // stream that counts nothing.
    qint64 estimatedFrames() const { return estimate; }

    // Decodes up to `count` frames as interleaved float samples (full scale
    // 1.0) into `samples`, which holds count * channels(). Fewer than `count`
    // only at the end of the file, 0 after it, -1 when reading the file
    // fails (see errorString()).
    int read(float *samples, int count);

    // Frames decoded at another rate or channel count than the stream's
    // first, and left out: damage or tag bytes taken for frames, or another
    // recording stitched on.
    qint64 foreignFrames() const { return foreign; }

    QString errorString() const { return error; }

private:
    int rate = 0;
    int channelCount = 0;
    int mpegLayer = 0;
    qint64 announced = -1;
    qint64 estimate = 0;
    qint64 foreign = 0;
    bool ended = false;
    QString error;
    struct Detail;
    std::unique_ptr<Detail> d;
};
