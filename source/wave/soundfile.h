#pragma once

#include "frame.h"
#include "standardformat.h"
#include "wavelayout.h"

#include <QIODevice>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <vector>

class QFile;

// Audio files other than RIFF WAVE, through libsndfile: SoundFile reads
// what the library knows (FLAC, AIFF/AIFC, Ogg Vorbis and Opus, CAF, W64
// and more) as Frames, and MPEG audio (MP3, MP2) through libmpg123 (see
// mpegaudio.h); FlacFile writes two-channel FLAC.
// Both reach their files through Qt's file devices, so that paths mean the
// same as everywhere else in the program and a destination is replaced as
// the WAVE writer replaces it: only by a close() that finished everything.

// Reads a file in any format libsndfile or libmpg123 knows. The first two channels
// become left and right, a single channel feeds both.
class SoundFile
{
public:
    SoundFile();
    ~SoundFile();
    SoundFile(const SoundFile &) = delete;
    SoundFile &operator=(const SoundFile &) = delete;

    // Only QIODevice::ReadOnly. False with the library's reason when the
    // file is unreadable or in no format it knows.
    bool open(const QString &fileName, QIODevice::OpenMode mode);
    // Reads from a device open for reading (a file, bytes in memory), from
    // its start, as from a file opened by name.
    bool open(std::unique_ptr<QIODevice> source);

    // Frames per second as the file states them (a decoder's output rate for
    // Opus, which always decodes at one of its own rates).
    double sampleRate() const;

    // Fills `count` frames (0 <= count): count while data remain (a short
    // last block completed with zero frames), 0 at the end, -1 on a decoding
    // or read error (see errorString()). Integer samples read exactly as a
    // WAVE file with the same samples reads, so a lossless copy of a
    // recording converts bit for bit like the recording; float and decoded
    // lossy samples are treated as float WAVE samples are (see
    // setReadScale()).
    int readFrames(Frame *frames, int count);
    // The same with every value rounded to single precision, as the rate
    // conversion takes it.
    int readFramesRounded(Frame *frames, int count);

    // As StandardWaveFile's: float and lossy sources need their peak, which
    // a pass over the whole file measures (leaving the reader at the start);
    // their values are then divided by `divisor` and limited to full scale.
    bool needsPeak() const;
    double measurePeak(bool &ok, const std::function<bool(double)> &progress = {});
    qint64 damagedValues() const { return damaged; }
    void setReadScale(double divisor) { scale = divisor; }

    bool close();

    bool isOpen() const { return opened; }
    // Frames the file says it holds; 0 when unknown. Only an estimate for
    // some formats: framesDecoded() tells where the recording ends.
    qint64 totalFrames() const;
    // The recording's frames among those read so far (readFrames() completes
    // the last block with silence).
    qint64 framesDecoded() const;
    // What the user should know about the file: as sourceInfo()'s, once
    // every frame was read also how that differs from what the container
    // announced.
    Warnings warnings() const;
    // The container and its encoding for people, "FLAC, 16-bit" or "Ogg
    // Opus"; empty when not open.
    QString formatName() const;
    // The file as recognition describes it: a standard source with the
    // format's name, or (also after a refused open) why it cannot be read.
    const WaveInfo &sourceInfo() const { return info; }
    QString errorString() const { return error; }

private:
    // Starts the library's reader on `file` from its first byte.
    bool start(std::unique_ptr<QIODevice> file);

    bool opened = false;
    bool ended = false; // every frame that decodes was read
    QString error;
    WaveInfo info;
    double scale = 1.0;
    qint64 damaged = 0;
    struct Detail;
    std::unique_ptr<Detail> d;
};

// Writes two-channel FLAC of 16 or 24 bits (24-bit at 44100 Hz unless told
// otherwise), the samples the WAVE writer would store for the same Frames.
class FlacFile
{
public:
    FlacFile();
    ~FlacFile();
    FlacFile(const FlacFile &) = delete;
    FlacFile &operator=(const FlacFile &) = delete;

    // Called before open(): the depth and rate; a depth FLAC cannot hold
    // (StandardFormat::flacHolds()) makes open() fail.
    void setFormat(const StandardFormat &to) { format = to; }
    // Only QIODevice::WriteOnly: starts a new file beside the destination.
    bool open(const QString &fileName, QIODevice::OpenMode mode);
    // False when the library cannot be loaded (open() tells why).
    static bool available();
    double sampleRate() const { return double(format.rate); }
    // Samples saturate at full scale; NaN writes 0. False on a write error.
    bool writeFrames(const Frame *frames, int count);
    // The same through a buffer of the writer's: room for `count` frames,
    // valid until the next call, then written by commitFrames(count).
    Frame *frameSpace(int count, int part = 0);
    bool commitFrames(int count, int part = 0);
    // Finishes the stream and moves the file over the destination. False
    // when anything failed; the destination then keeps its earlier state.
    bool close();

    bool isOpen() const { return opened; }
    QString errorString() const { return error; }

private:
    bool opened = false;
    QString error;
    StandardFormat format;
    quint64 framesWritten = 0;
    std::vector<Frame> staged; // of frameSpace()
    struct Detail;
    std::unique_ptr<Detail> d;
};
