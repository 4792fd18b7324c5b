#pragma once

#include "frame.h"
#include "waveheader.h"
#include "wavelayout.h"

#include <QIODevice>
#include <QString>

#include <functional>
#include <memory>

class QFileDevice;

// Reads and writes the Brinmoor-WAVE layout: the canonical 44-byte header
// describing two-channel 32-bit PCM at 39062 Hz, followed by the Frames
// themselves (two little-endian binary64 values per frame) at 39062.5 Hz.
// dataSize counts 8 bytes per frame and riffSize is dataSize + 40.
//
// Writing goes to a temporary file beside the destination; the destination
// is replaced only by a close() that finished everything without error.
class BrinmoorWaveFile
{
public:
    // Values read are limited to +-0.99999999999999; NaN reads as the
    // negative limit.
    static constexpr double clampLimit = 0.99999999999999;

    BrinmoorWaveFile();
    ~BrinmoorWaveFile();
    BrinmoorWaveFile(const BrinmoorWaveFile &) = delete;
    BrinmoorWaveFile &operator=(const BrinmoorWaveFile &) = delete;

    bool open(const QString &fileName, QIODevice::OpenMode mode);

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
    // A recording's peak is always needed: it may lie above full scale.
    bool needsPeak() const { return true; }

    // Divides every stored value by `divisor` before the clamp of
    // readFrames(). 1.0 after open.
    void setReadScale(double divisor);

    // Fills `count` frames; returns count while data remains (a short last
    // block completed with zero frames), 0 at the end, -1 when not open or
    // on a read error.
    int readFrames(Frame *frames, int count);

    // Appends `count` frames as they are. False when not open or on a write
    // error.
    bool writeFrames(const Frame *frames, int count);

    // Seeks to the first frame when open, to offset 0 otherwise.
    bool rewind();

    // Writing: completes the header and moves the finished file over the
    // destination. Reading: closes. False when anything failed.
    bool close();

    bool isOpen() const { return opened; }
    qint64 totalFrames() const;
    // What recognition found in the source (also after a refused open).
    const WaveInfo &sourceInfo() const;
    const WaveHeader &waveHeader() const { return header; }
    QString errorString() const { return error; }

private:
    bool opened = false;
    std::unique_ptr<QFileDevice> file;
    WaveHeader header;
    qint64 dataStart = 0;
    quint64 bytesWritten = 0;
    QString error;
    struct Detail;
    std::unique_ptr<Detail> d;
};
