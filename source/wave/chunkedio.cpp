#include "chunkedio.h"

#include "filereasons.h"
#include "platform/fileio.h"
#include "platform/writeback.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileDevice>
#include <QFileInfo>
#include <QSaveFile>

#include <algorithm>
#include <cstring>

namespace {

// Large enough that the requests cost nothing against the writes, small
// enough that the disk starts early.
constexpr qint64 writeBackStep = 8 * 1024 * 1024;

QString deviceError(QIODevice *file, const char *fallback)
{
    const QString reason = file->errorString();
    return reason.isEmpty() || reason == QLatin1String("Unknown error")
            ? QCoreApplication::translate("WaveFile", fallback)
            : reason;
}

} // namespace

bool nameSurvivesEncoding(const QString &fileName)
{
    return QFile::decodeName(QFile::encodeName(fileName)) == fileName;
}

std::unique_ptr<QSaveFile> openDestination(const QString &fileName, ChunkedWriter &writer,
                                           const char *head, qint64 headLength, QString *error)
{
    if (!nameSurvivesEncoding(fileName)) {
        *error = reasonText(FileReason::NameNotEncodable);
        return nullptr;
    }
    // Replacing a device or a FIFO with a regular file would break whatever
    // uses it (as root, even /dev/null).
    const QFileInfo info(fileName);
    if (info.exists() && !info.isFile()) {
        *error = reasonText(FileReason::NotRegularFile);
        return nullptr;
    }
    // Checked here so that the reason is the system's short text rather than
    // a sentence naming the file; the caller adds the name.
    if (info.exists() && !info.isWritable()) {
        *error = QCoreApplication::translate("WaveFile", "Permission denied");
        return nullptr;
    }
    auto out = std::make_unique<QSaveFile>(fileName);
    if (!out->open(QIODevice::WriteOnly | QIODevice::Unbuffered)) {
        *error = out->errorString();
        return nullptr;
    }
    writer.start(out.get());
    if (!writer.append(head, headLength) || !writer.flush()) {
        *error = writer.errorString();
        out->cancelWriting();
        return nullptr;
    }
    return out;
}

bool writeFully(QFileDevice *file, const char *bytes, qint64 n, QString *error)
{
    while (n > 0) {
        const qint64 written = file->write(bytes, n);
        // A short count is retried: the device records the system's reason
        // (no space, file too large) only for a write that wrote nothing.
        if (written <= 0) {
            *error = deviceError(file, "write failed");
            return false;
        }
        bytes += written;
        n -= written;
    }
    return true;
}

namespace {

// Reads until `n` bytes are in or the source ends: `readSome(done)` reads
// what it can into bytes + done, 0 at the end, -1 on a read error (whose
// reason it gives).
template<class ReadSome>
qint64 readUntilFull(qint64 n, ReadSome readSome)
{
    qint64 total = 0;
    while (total < n) {
        const qint64 got = readSome(total);
        if (got < 0)
            return -1;
        if (got == 0)
            break;
        total += got;
    }
    return total;
}

} // namespace

qint64 readFullyAt(QIODevice *device, qint64 at, char *bytes, qint64 n, QString *error)
{
    if (Platform::readsInPlace(device)) {
        auto *file = static_cast<QFileDevice *>(device);
        return readUntilFull(n, [&](qint64 done) {
            return Platform::readAt(file, at + done, bytes + done, n - done, error);
        });
    }
    if (!device->seek(at)) {
        *error = deviceError(device, "seek failed");
        return -1;
    }
    return readFully(device, bytes, n, error);
}

qint64 readFully(QIODevice *file, char *bytes, qint64 n, QString *error)
{
    return readUntilFull(n, [&](qint64 done) {
        const qint64 got = file->read(bytes + done, n - done);
        if (got < 0)
            *error = deviceError(file, "read failed");
        return got;
    });
}

ChunkedReader::ChunkedReader(qint64 capacity)
    : size(capacity)
{ }

bool ChunkedReader::start(QIODevice *device, qint64 rangeBegin, qint64 rangeEnd)
{
    file = device;
    // A short range (a small file) needs no more than its own length.
    const qint64 needed = std::clamp<qint64>(rangeEnd - rangeBegin, 1, size);
    if (buffer.size() < size_t(needed))
        buffer.resize(size_t(needed));
    begin = rangeBegin;
    end = std::max(rangeBegin, rangeEnd);
    consumedPos = begin;
    offset = filled = 0;
    error.clear();
    if (Platform::readsInPlace(file))
        return true;
    if (!file->seek(begin)) {
        error = deviceError(file, "seek failed");
        return false;
    }
    return true;
}

qint64 ChunkedReader::fill(qint64 wanted)
{
    wanted = std::min({wanted, remaining(), capacity()});
    if (available() >= wanted)
        return available();
    // Keep the unconsumed tail at the front, then top the buffer up in one
    // large read (or more, should the device return short counts).
    const qint64 keep = available();
    if (offset > 0 && keep > 0)
        std::memmove(buffer.data(), buffer.data() + offset, size_t(keep));
    offset = 0;
    filled = keep;
    const qint64 unread = remaining() - keep;
    const qint64 room = std::min(capacity() - keep, unread);
    const qint64 got = readFullyAt(file, consumedPos + keep, buffer.data() + keep, room, &error);
    if (got < 0)
        return -1;
    filled += got;
    if (got < room) {
        // The range lay within the file when it was opened, so the file has
        // been cut short since. Ending quietly here would pass off the part
        // read so far as the whole recording.
        end = consumedPos + filled;
        error = reasonText(FileReason::Truncated);
        return -1;
    }
    return available();
}

void ChunkedReader::reserve(qint64 n)
{
    size = std::max(size, n);
}

void ChunkedReader::consume(qint64 n)
{
    n = std::min(n, available());
    offset += n;
    consumedPos += n;
}

ChunkedWriter::ChunkedWriter(qint64 capacity)
    : size(capacity)
{ }

void ChunkedWriter::begin(QFileDevice *device, bool atPosition, qint64 at)
{
    file = device;
    if (buffer.size() < size_t(2 * size + keptAlignment))
        buffer.resize(size_t(2 * size + keptAlignment));
    positional = atPosition;
    lead = 0;
    used = 0;
    written = writtenBack = at;
    error.clear();
}

void ChunkedWriter::start(QFileDevice *device)
{
    begin(device, false, device->pos());
}

bool ChunkedWriter::startAt(QFileDevice *device, qint64 offset)
{
    if (!Platform::writesAt(device))
        return false;
    begin(device, true, offset);
    return true;
}

char *ChunkedWriter::reserve(qint64 n)
{
    if (failed())
        return nullptr;
    // Past the next multiple of the capacity in the file: what lies before
    // it is written, and less than the capacity stays, so that the buffer
    // of twice the capacity has room for the reservation.
    if (written + used >= (written / size + 1) * size && !flush(false))
        return nullptr;
    if (qint64(buffer.size()) - lead - used < n && !flush())
        return nullptr;
    return buffer.data() + lead + used;
}

bool ChunkedWriter::append(const char *bytes, qint64 n)
{
    while (n > 0) {
        const qint64 piece = std::min(n, capacity());
        char *p = reserve(piece);
        if (!p)
            return false;
        std::memcpy(p, bytes, size_t(piece));
        commit(piece);
        bytes += piece;
        n -= piece;
    }
    return !failed();
}

bool ChunkedWriter::flush(bool everything)
{
    if (failed())
        return false;
    // Writes that start and end on multiples of the capacity in the file
    // fill whole large pages of the system's cache, which costs it far less
    // than pages filled piecemeal by writes that straddle them. What lies
    // beyond the last such boundary waits for the next write.
    qint64 n = used;
    if (!everything) {
        const qint64 boundary = (written + used) / size * size;
        if (boundary > written)
            n = boundary - written;
    }
    const qint64 rest = used - n;
    used = 0;
    std::unique_lock<std::mutex> turn;
    if (writeTurns)
        turn = std::unique_lock<std::mutex>(*writeTurns);
    const char *bytes = buffer.data() + lead;
    if (positional ? !writeAt(bytes, n) : !writeFully(file, bytes, n, &error))
        return false;
    written += n;
    // What stays keeps its place modulo keptAlignment, so that frames
    // reserved in the buffer stay aligned for their type; an emptied buffer
    // starts over at its beginning.
    const qint64 kept = lead + n;
    lead = rest > 0 ? kept % keptAlignment : 0;
    std::memmove(buffer.data() + lead, buffer.data() + kept, size_t(rest));
    used = rest;
    if (written - writtenBack >= writeBackStep)
        startWriteBack();
    return true;
}

bool ChunkedWriter::writeAt(const char *bytes, qint64 n)
{
    // Off the file position, which the other writer uses.
    return Platform::writeAt(file, written, bytes, n, &error);
}

void ChunkedWriter::startWriteBack()
{
    Platform::startWriteBack(file, writtenBack, written - writtenBack);
    writtenBack = written;
}

bool finishDestination(QSaveFile *out, ChunkedWriter &writer, const char *head, qint64 headLength,
                       QString *error)
{
    bool ok = writer.flush() && out->seek(0) && writeFully(out, head, headLength, error);
    if (!ok && error->isEmpty())
        *error = writer.failed() ? writer.errorString() : out->errorString();
    if (ok && !out->commit()) {
        ok = false;
        *error = out->errorString();
    }
    if (!ok)
        out->cancelWriting();
    return ok;
}

void WaveFileIo::reset()
{
    laterPart.reset();
    writer.shareTurns(nullptr);
    file.reset();
    source.reset();
    mode = Mode::Closed;
}

bool WaveFileIo::startWriting(const QString &fileName, const QByteArray &head, QString *error)
{
    reset();
    headSize = head.size();
    file = openDestination(fileName, writer, head.constData(), head.size(), error);
    if (!file)
        return false;
    mode = Mode::Writing;
    return true;
}

bool WaveFileIo::startReading(std::unique_ptr<QIODevice> device, qint64 begin, qint64 end,
                              QString *error)
{
    reset();
    source = std::move(device);
    rangeBegin = begin;
    rangeEnd = end;
    mode = Mode::Reading;
    if (rewind(error))
        return true;
    reset();
    return false;
}

bool WaveFileIo::startReadingSameFile(const WaveFileIo &other, QString *error)
{
    const auto *otherFile = qobject_cast<QFileDevice *>(other.source.get());
    if (!other.reading() || !otherFile) {
        *error = reasonText(FileReason::NotOpenForReading);
        return false;
    }
    auto copy = Platform::openAgainForReading(otherFile, error);
    if (!copy)
        return false;
    return startReading(std::move(copy), other.rangeBegin, other.rangeEnd, error);
}

bool WaveFileIo::rewind(QString *error, qint64 offset)
{
    if (!reading())
        return false;
    if (reader.start(source.get(), std::min(rangeBegin + offset, rangeEnd), rangeEnd))
        return true;
    *error = reader.errorString();
    return false;
}

void WaveFileIo::expect(qint64 bytes)
{
    if (writing())
        Platform::reserveSpace(file.get(), bytes);
}

ChunkedWriter *WaveFileIo::splitAt(qint64 offset)
{
    if (!writing())
        return nullptr;
    laterPart = std::make_unique<ChunkedWriter>();
    if (!laterPart->startAt(file.get(), offset)) {
        laterPart.reset();
        return nullptr;
    }
    writer.shareTurns(&writeTurns);
    laterPart->shareTurns(&writeTurns);
    return laterPart.get();
}

bool WaveFileIo::finish(const QByteArray &head, QString *error)
{
    bool ok = true;
    if (writing() && laterPart && !laterPart->flush()) {
        *error = laterPart->errorString();
        ok = false;
    }
    if (writing() && ok) {
        ok = finishDestination(static_cast<QSaveFile *>(file.get()), writer, head.constData(),
                               head.size(), error);
    }
    reset();
    return ok;
}
