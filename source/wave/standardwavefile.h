#pragma once

#include "frame.h"
#include "standardformat.h"
#include "wavefile.h"

#include <QIODevice>
#include <QString>

#include <functional>
#include <memory>

// Reads standard RIFF WAVE files and writes two-channel files of a
// StandardFormat (24-bit PCM at 44100 Hz unless told otherwise), converting
// between their samples and Frames.
//
// Reading walks the top-level chunks: "fmt " and "data" may stand anywhere,
// other chunks are skipped, and only the data chunk is read as samples. RF64
// files are read with their 64-bit sizes.
// Integer PCM of 8 (unsigned), 16, 24 and 32 bits and IEEE float of 32 and 64
// bits are read, plain or extensible, with any number of channels: the first
// two become left and right, a single channel feeds both. Brinmoor-WAVE
// recordings are refused (see wavelayout.h).
//
// Writing goes to a temporary file beside the destination; the destination
// is replaced only by a close() that finished everything without error. An
// object destroyed while writing (or a failed close) leaves the destination
// exactly as it was.
class StandardWaveFile final : public WaveFile
{
public:
    StandardWaveFile();
    ~StandardWaveFile();
    StandardWaveFile(const StandardWaveFile &) = delete;
    StandardWaveFile &operator=(const StandardWaveFile &) = delete;

    // Reading: the file that `other` has open, as it was recognised there,
    // from its first frame on; never by name, which may stand for another
    // file by now. For a second reader of one conversion.
    bool openSameFile(const StandardWaveFile &other);

    // Writing, called before open(): what the file holds. A file of the
    // default format has the canonical 44-byte header; float is written with
    // the IEEE float format code in the same header.
    void setFormat(const StandardFormat &format);

    // Frames per second from the header: the file's rate when reading, the
    // format's when writing.
    double sampleRate() const;

    // Reading: fills `count` frames (0 <= count). Returns count while sample
    // data remains (a short last block is completed with zero frames), 0 at
    // the end of the data, -1 on a read error or when not open for reading.
    // A trailing partial frame is dropped. Integer samples read as
    // v / 2147483647.0 with v the sample in the top bits of an int32; in a
    // call that finds fewer than `count` frames, and for 32-bit samples, the
    // value is rounded through single precision.
    int readFrames(Frame *frames, int count);

    // The same with every value rounded to single precision, as the rate
    // conversion takes it; for samples of up to 24 bits without a rounding
    // pass of its own.
    int readFramesRounded(Frame *frames, int count);

    // Float sources: values are divided by `divisor` (the recording's peak
    // when above full scale), then limited to full scale. 1.0 after open.
    void setReadScale(double divisor);
    // True for a source whose peak the conversion needs: float samples.
    bool needsPeak() const;
    // Largest |value| of channels 1 and 2 as stored (float) or read
    // (integer), as BrinmoorWaveFile::measurePeak() gives it, with the same
    // damage left out and counted in damagedValues().
    double measurePeak(bool &ok, const std::function<bool(double)> &progress = {});
    qint64 damagedValues() const;

    // Writing, called before open(): a file expected to pass 4 GiB starts
    // with room for a ds64 chunk and is finished as RF64 if it does; below
    // that size the bytes are the canonical layout's.
    void setExpectedFrames(qint64 frames);

    // Writing: appends `count` frames. Integer samples saturate at full
    // scale (16 bits are rounded, with dither unless the format says not;
    // 24 and 32 bits keep the top bits of toInt32Sample()); float keeps
    // values above full scale. NaN writes 0. False on a write error (see
    // errorString()).
    bool writeFrames(const Frame *frames, int count);

    // Reading: the next read starts at frame `frame`.
    bool seekFrame(qint64 frame);

    // Writing without a buffer of the caller's: room for `count` frames,
    // valid until the next call, then appended by commitFrames(count).
    // After splitAt(frame), part 1 takes the frames from `frame` on, written
    // at their place in the file from another thread, while part 0 takes the
    // frames before it; part 1's failures are told by partError(). False
    // where the system cannot write at a position.
    Frame *frameSpace(int count, int part = 0);
    bool commitFrames(int count, int part = 0);
    bool splitAt(qint64 frame);
    // Writing: `count` frames will be written in all (space is set aside).
    void expectFrames(qint64 count);
    QString partError() const;

    // Writing: completes the header and moves the finished file over the
    // destination. Reading: closes. False when anything failed; the
    // destination then keeps its earlier state.
    bool close();

    // Whole frames of sample data in the source (0 when unknown or writing).
    qint64 totalFrames() const;

private:
    int read(Frame *frames, int count, bool rounded);
    void forget() override;
    bool startWriting(const QString &fileName) override;
    bool readSource(std::unique_ptr<QIODevice> in) override;

    // Private state of the reader and the writer (buffers, data bounds).
    struct Detail;
    std::unique_ptr<Detail> d;
};
