#pragma once

#include "waveheader.h"

#include "common/progressthrottle.h"

#include <QString>
#include <QtGlobal>

#include <algorithm>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

class QFile;
class QFileDevice;
class QIODevice;
class QSaveFile;

// Large-chunk file access shared by the two file classes. Reading and writing
// a few bytes per device call costs far more than the conversions themselves,
// so both sides move whole chunks between the file and a buffer of their own.

// Reads the byte range [begin, end) of a file chunk by chunk and hands out
// the buffered bytes.
class ChunkedReader
{
public:
    static constexpr qint64 defaultCapacity = 128 * 1024;

    // The buffer is allocated by start(), no larger than the range needs.
    explicit ChunkedReader(qint64 capacity = defaultCapacity);

    // Positions the reader at `begin`; nothing is buffered afterwards.
    bool start(QIODevice *file, qint64 begin, qint64 end);

    // Bytes of the range not yet consumed (buffered or still in the file).
    qint64 remaining() const { return end - consumedPos; }
    qint64 rangeBegin() const { return begin; }
    qint64 rangeEnd() const { return end; }

    // Makes at least min(wanted, remaining(), capacity) bytes available in
    // the buffer. Returns the number available, -1 on a read error or when
    // the file ends before the range does (see errorString()).
    qint64 fill(qint64 wanted);

    const char *data() const { return buffer.data() + offset; }
    qint64 available() const { return filled - offset; }
    void consume(qint64 n);

    qint64 capacity() const { return size; }
    // Grows the buffer to hold at least `n` bytes; call before start().
    void reserve(qint64 n);
    QString errorString() const { return error; }

private:
    QIODevice *file = nullptr;
    qint64 size;
    std::vector<char> buffer;
    qint64 offset = 0; // first unconsumed byte in buffer
    qint64 filled = 0; // bytes of buffer holding data
    qint64 begin = 0;
    qint64 end = 0;
    qint64 consumedPos = 0; // file position of the first unconsumed byte
    QString error;
};

// Collects bytes in a buffer and writes them in large chunks. After the first
// failed write every later call fails too, so a lost chunk cannot be hidden
// by later successes. Every few megabytes written, the system is asked to
// start moving them to the disk, so that the flush that precedes replacing
// a destination finds little left to do.
class ChunkedWriter
{
public:
    static constexpr qint64 defaultCapacity = 128 * 1024;

    // The buffer is allocated by the first start().
    explicit ChunkedWriter(qint64 capacity = defaultCapacity);

    void start(QFileDevice *file);
    // Writes from `offset` on without moving the file's position, so that a
    // second writer can fill a later part of the file from another thread.
    // False where the system cannot write at a position.
    bool startAt(QFileDevice *file, qint64 offset);
    // Writers of one file take turns through `turns` for each write: the
    // system lets one write to a file at a time, and a writer waiting for
    // it there spins on a processor rather than sleeping.
    void shareTurns(std::mutex *turns) { writeTurns = turns; }

    // Room for at least `n` bytes (n <= capacity()), writing out the buffer
    // first if needed; nullptr after a write error. Follow with commit(n) or
    // less. The buffer holds twice the capacity: writes go out in whole
    // multiples of the capacity, aligned in the file. Reservations keep the
    // alignment in memory of the first one after the buffer was emptied.
    char *reserve(qint64 n);
    void commit(qint64 n) { used += n; }
    bool append(const char *bytes, qint64 n);

    // Writes out everything buffered, or with `everything` false, what lies
    // before the last multiple of the capacity in the file (all when none).
    bool flush(bool everything = true);
    bool failed() const { return !error.isEmpty(); }
    QString errorString() const { return error; }
    qint64 capacity() const { return size; }
    // File position of the next byte appended.
    qint64 position() const { return written + used; }

private:
    // An empty buffer for `device`, whose next byte goes to file offset `at`.
    void begin(QFileDevice *device, bool atPosition, qint64 at);
    // Writes `n` bytes at the writer's place in the file, for startAt().
    bool writeAt(const char *bytes, qint64 n);
    void startWriteBack();

    QFileDevice *file = nullptr;
    bool positional = false;
    std::mutex *writeTurns = nullptr;
    static constexpr qint64 keptAlignment = 64;
    qint64 lead = 0; // where the unwritten bytes start in the buffer
    qint64 size;
    std::vector<char> buffer;
    qint64 used = 0;
    qint64 written = 0;     // file position after the last write
    qint64 writtenBack = 0; // where the next write-back starts
    QString error;
};

// Hands the reader's bytes to decode(bytes, firstFrame, n) in runs of whole
// frames of `frameBytes` each, until `wanted` frames are decoded or the data
// end early. Returns the number of frames decoded, -1 on a read error.
template<class Decode>
int readWholeFrames(ChunkedReader &reader, qint64 frameBytes, int wanted, Decode decode)
{
    int done = 0;
    while (done < wanted) {
        const qint64 got = reader.fill(frameBytes * (wanted - done));
        if (got < 0)
            return -1;
        const int n = int(std::min<qint64>(wanted - done, got / frameBytes));
        if (n == 0)
            break; // the file shrank under us
        decode(reader.data(), done, n);
        reader.consume(n * frameBytes);
        done += n;
    }
    return done;
}

enum class PassEnd { Done, Stopped, Failed };

// Hands every whole frame left in the reader's range to scan(bytes, n), a
// buffer-full at a time, reporting the fraction passed to `progress`.
// Stopped when `progress` asked to stop, Failed on a read error (see
// reader.errorString()).
template<class Scan>
PassEnd scanWholeFrames(ChunkedReader &reader, qint64 frameBytes,
                        const std::function<bool(double)> &progress, Scan scan)
{
    const double total = double(reader.remaining());
    ProgressThrottle steps(progress);
    const qint64 chunk = std::max<qint64>(1, reader.capacity() / frameBytes);
    for (;;) {
        const int wanted = int(std::min(chunk, reader.remaining() / frameBytes));
        const int done = wanted == 0
                ? 0
                : readWholeFrames(reader, frameBytes, wanted,
                                  [&scan](const char *bytes, int, int n) { scan(bytes, n); });
        if (done < 0)
            return PassEnd::Failed;
        if (done == 0)
            return PassEnd::Done;
        if (!steps.report(1.0 - double(reader.remaining()) / total))
            return PassEnd::Stopped;
    }
}

// Lets encode(firstFrame, bytes, n) fill the writer's buffer with `count`
// frames of `frameBytes` each, a buffer-full at a time. False after a write
// error (see writer.errorString()).
template<class Encode>
bool writeWholeFrames(ChunkedWriter &writer, qint64 frameBytes, int count, Encode encode)
{
    int done = 0;
    while (done < count) {
        const int n = int(std::min<qint64>(count - done, writer.capacity() / frameBytes));
        char *bytes = writer.reserve(n * frameBytes);
        if (!bytes)
            return false;
        encode(done, bytes, n);
        writer.commit(n * frameBytes);
        done += n;
    }
    return true;
}

// The file under either file class: read through a ChunkedReader, or written
// to a temporary file through a ChunkedWriter and put in place only when it
// is finished.
class WaveFileIo
{
public:
    bool reading() const { return mode == Mode::Reading; }
    bool writing() const { return mode == Mode::Writing; }

    // Drops the file without finishing it: a file being written is
    // discarded and the destination keeps its earlier state.
    void reset();
    // Starts a destination through a temporary file, `head` (the header)
    // first.
    bool startWriting(const QString &fileName, const QByteArray &head, QString *error);
    // Writing: the length of the header, where the data start.
    qint64 headLength() const { return headSize; }
    // Reads the byte range [begin, end) of an opened source (a file, or
    // bytes in memory).
    bool startReading(std::unique_ptr<QIODevice> source, qint64 begin, qint64 end, QString *error);
    // Reads the range that `other` reads, from the file `other` has open
    // (through a duplicate of its descriptor), never by its name: the name
    // may stand for another file by now.
    bool startReadingSameFile(const WaveFileIo &other, QString *error);
    // Reading: back to the start of the range, or `offset` bytes into it.
    bool rewind(QString *error, qint64 offset = 0);
    // Writing: a second writer for the bytes from `offset` on, for another
    // thread (see ChunkedWriter::startAt); null where that is not possible.
    // finish() writes out what it holds.
    ChunkedWriter *splitAt(qint64 offset);
    // Writing: the file will be `bytes` long. Space for it is set aside at
    // once where the system can (the file's size does not change), which
    // spares the disk's bookkeeping while the file is written and flushed.
    void expect(qint64 bytes);
    // Writing: puts `head` (the finished header, as long as the first) over
    // the start and moves the finished file over the destination. Reading:
    // closes. False with *error when the destination could not be finished.
    bool finish(const QByteArray &head, QString *error);

    ChunkedReader reader;
    ChunkedWriter writer;

private:
    enum class Mode { Closed, Reading, Writing };
    Mode mode = Mode::Closed;
    std::unique_ptr<QFileDevice> file; // writing
    std::unique_ptr<QIODevice> source; // reading
    std::unique_ptr<ChunkedWriter> laterPart;
    std::mutex writeTurns; // of the two writers after splitAt()
    qint64 rangeBegin = 0;
    qint64 rangeEnd = 0;
    qint64 headSize = 0;
};

// What both WAVE file classes keep of their file beside their own: its
// reader and writer, the later part's writer after splitAt() with its
// failure, and the damage the last peak measurement counted.
struct WaveFileState
{
    WaveFileIo io;
    ChunkedWriter *later = nullptr;
    QString laterError;
    qint64 damaged = 0;

    // Drops the file without finishing it, as WaveFileIo::reset().
    void reset()
    {
        io.reset();
        later = nullptr;
        laterError.clear();
        damaged = 0;
    }
};

// True when `fileName` names the file it says: a name with characters the
// system's file name encoding cannot hold would be written as another name.
bool nameSurvivesEncoding(const QString &fileName);

// Starts writing `fileName` through a temporary file beside it, with
// `writer` attached and the `head` bytes written. The named file is replaced
// only by a successful commit(); nullptr with a reason on failure. An
// existing file that is not a regular one (a FIFO, a device, a directory) is
// refused; a symlink to a regular file is written through.
std::unique_ptr<QSaveFile> openDestination(const QString &fileName, ChunkedWriter &writer,
                                           const char *head, qint64 headLength, QString *error);

// Writes out what `writer` still holds, puts `head` over the start of the
// file and moves the temporary over the destination. On failure the
// temporary is discarded, the destination keeps its earlier state and
// *error says why.
bool finishDestination(QSaveFile *out, ChunkedWriter &writer, const char *head, qint64 headLength,
                       QString *error);

// Writes all of `bytes`, retrying after short writes. False with a reason
// when the device refuses.
bool writeFully(QFileDevice *file, const char *bytes, qint64 n, QString *error);

// Reads up to `n` bytes, retrying after short reads until the end of file.
// Returns the count read, -1 on an error.
qint64 readFully(QIODevice *file, char *bytes, qint64 n, QString *error);

// Reads up to `n` bytes from offset `at`, as readFully() does. Where the
// system allows, a file's own position is left alone, so that readers of
// one open file (or of duplicates of it, which share the position) never
// disturb one another; other devices (bytes in memory) have a position of
// their own.
qint64 readFullyAt(QIODevice *device, qint64 at, char *bytes, qint64 n, QString *error);
