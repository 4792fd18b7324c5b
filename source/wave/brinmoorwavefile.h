#pragma once

#include "frame.h"
#include "wavefile.h"

#include <QIODevice>
#include <QString>

#include <functional>
#include <memory>

// Reads and writes the Brinmoor-WAVE layout: the canonical 44-byte header
// describing two-channel 32-bit PCM at 39062 Hz, followed by the Frames
// themselves (two little-endian binary64 values per frame) at 39062.5 Hz.
// dataSize counts 8 bytes per frame and riffSize is dataSize + 40.
//
// Writing goes to a temporary file beside the destination; the destination
// is replaced only by a close() that finished everything without error.
class BrinmoorWaveFile final : public WaveFile
{
public:
    // Values read are limited to +-0.99999999999999; NaN reads as the
    // negative limit.
    static constexpr double clampLimit = 0.99999999999999;

    BrinmoorWaveFile();
    ~BrinmoorWaveFile();
    BrinmoorWaveFile(const BrinmoorWaveFile &) = delete;
    BrinmoorWaveFile &operator=(const BrinmoorWaveFile &) = delete;

    // Reading: the file that `other` has open, as it was recognised there,
    // from its first frame on; never by name, which may stand for another
    // file by now. For a second reader of one conversion.
    bool openSameFile(const BrinmoorWaveFile &other);

    // 39062.5 for a header rate of 39062, otherwise the header's rate.
    double sampleRate() const;

    // Largest absolute stored value, unscaled and unclamped, or 1.0 with
    // ok == false when the file is not open for reading, cannot be read or
    // `progress` (given the fraction scanned now and then) returned false.
    // Damage does not count: values beyond +-16 (+24 dBFS), NaN and
    // infinities; damagedValues() counts them. Leaves the read position at
    // the first frame.
    double measurePeak(bool &ok, const std::function<bool(double)> &progress = {});
    qint64 damagedValues() const;
    // Reading: from now on (true) reading also measures what it reads, as
    // measurePeak() does, so that one pass can both convert and find out
    // whether the recording needs scaling: trackedPeak() is the largest
    // value read since, damagedValues() the damage. False, or
    // measurePeak(), stops it.
    void trackPeak(bool on);
    double trackedPeak() const;
    // A recording's peak is always needed: it may lie above full scale.
    bool needsPeak() const { return true; }

    // Divides every stored value by `divisor` before the clamp of
    // readFrames(). 1.0 after open.
    void setReadScale(double divisor);
    // True: values up to +-16 are read as stored, above full scale too,
    // unscaled, for a destination that holds them; only damage is limited.
    // False after construction.
    void keepOvers(bool on);

    // Fills `count` frames; returns count while data remains (a short last
    // block completed with zero frames), 0 at the end, -1 when not open or
    // on a read error.
    int readFrames(Frame *frames, int count);

    // The same with every value rounded to single precision after the
    // clamp, as the rate conversion takes it.
    int readFramesRounded(Frame *frames, int count);

    // Appends `count` frames as they are. False when not open or on a write
    // error.
    bool writeFrames(const Frame *frames, int count);

    // Reading: the next read starts at frame `frame`.
    bool seekFrame(qint64 frame);

    // Writing without a buffer of the caller's: room for `count` frames,
    // valid until the next call, then appended by commitFrames(count).
    // Null when not open or on a write error. After splitAt(frame), part 1
    // takes the frames from `frame` on, written at their place in the file
    // from another thread, while part 0 takes the frames before it; part 1's
    // failures are told by partError(). False where the system cannot write
    // at a position.
    Frame *frameSpace(int count, int part = 0);
    bool commitFrames(int count, int part = 0);
    bool splitAt(qint64 frame);
    // Writing: `count` frames will be written in all (space is set aside).
    void expectFrames(qint64 count);
    QString partError() const;

    // Seeks to the first frame when open, to offset 0 otherwise.
    bool rewind();

    // Writing: completes the header and moves the finished file over the
    // destination. Reading: closes. False when anything failed.
    bool close();

    qint64 totalFrames() const;

private:
    int read(Frame *frames, int count, bool rounded);
    void forget() override;
    bool startWriting(const QString &fileName) override;
    bool readSource(std::unique_ptr<QIODevice> in) override;

    qint64 dataStart = 0;
    struct Detail;
    std::unique_ptr<Detail> d;
};
