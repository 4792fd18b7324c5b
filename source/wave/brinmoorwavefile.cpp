#include "brinmoorwavefile.h"

#include "chunkedio.h"
#include "filereasons.h"
#include "pcmsample.h"
#include "wavelayout.h"

#include <QFile>
#include <QSaveFile>
#include <QtEndian>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#if defined(__SSE2__)
#    include <emmintrin.h>
#endif

namespace {

constexpr qint64 frameBytes = 16;

// The file stores binary64 values little-endian, byte for byte the memory of
// a Frame on a little-endian machine.
void loadFrames(const char *bytes, Frame *out, int n)
{
    if constexpr (Q_BYTE_ORDER == Q_LITTLE_ENDIAN) {
        std::memcpy(out, bytes, size_t(n) * frameBytes);
    } else {
        for (int k = 0; k < n; ++k, bytes += frameBytes) {
            const quint64 l = qFromLittleEndian<quint64>(bytes);
            const quint64 r = qFromLittleEndian<quint64>(bytes + 8);
            std::memcpy(&out[k].left, &l, 8);
            std::memcpy(&out[k].right, &r, 8);
        }
    }
}

void storeFrames(const Frame *in, char *bytes, int n)
{
    if constexpr (Q_BYTE_ORDER == Q_LITTLE_ENDIAN) {
        std::memcpy(bytes, in, size_t(n) * frameBytes);
    } else {
        for (int k = 0; k < n; ++k, bytes += frameBytes) {
            quint64 l, r;
            std::memcpy(&l, &in[k].left, 8);
            std::memcpy(&r, &in[k].right, 8);
            qToLittleEndian(l, bytes);
            qToLittleEndian(r, bytes + 8);
        }
    }
}

// Divides by `scale`, then limits to +-clampLimit; NaN goes to the negative
// limit. Written as two selects so the loop vectorises.
inline double scaleAndClamp(double x, double scale)
{
    constexpr double limit = BrinmoorWaveFile::clampLimit;
    double y = x / scale;
    y = y > -limit ? y : -limit; // also catches NaN
    y = y < limit ? y : limit;
    return y;
}

// scaleAndClamp on n frames in place. Dividing by 1.0 changes no value, so
// the usual unscaled read skips it.
void scaleAndClampFrames(Frame *frames, int n, double scale)
{
#if defined(__SSE2__)
    // max(y, -limit) and min(y, limit) are the two selects exactly, NaN
    // included: maxpd returns its second operand when the first is NaN.
    const __m128d low = _mm_set1_pd(-BrinmoorWaveFile::clampLimit);
    const __m128d high = _mm_set1_pd(BrinmoorWaveFile::clampLimit);
    const __m128d divisor = _mm_set1_pd(scale);
    const bool divide = scale != 1.0;
    for (int k = 0; k < n; ++k) {
        __m128d y = _mm_loadu_pd(&frames[k].left);
        if (divide)
            y = _mm_div_pd(y, divisor);
        _mm_storeu_pd(&frames[k].left, _mm_min_pd(_mm_max_pd(y, low), high));
    }
#else
    for (int k = 0; k < n; ++k) {
        frames[k].left = scaleAndClamp(frames[k].left, scale);
        frames[k].right = scaleAndClamp(frames[k].right, scale);
    }
#endif
}

// Values within +-damageAbove as they are, the rest limited as
// scaleAndClamp() limits them: for a destination that holds values above
// full scale.
void limitDamageFrames(Frame *frames, int n)
{
    for (int k = 0; k < n; ++k)
        for (double *v : {&frames[k].left, &frames[k].right})
            if (!(std::fabs(*v) <= damageAbove))
                *v = scaleAndClamp(*v, 1.0);
}

struct PeakScan
{
    double peak = 0.0;
    qint64 damaged = 0;
};

// Adds n little-endian binary64 values to `scan`: the largest |v| that is
// not damage (damageAbove: one such value would silence the whole recording
// once the conversion divides by the peak), and the count of those that are.
void scanValues(const char *bytes, qint64 n, PeakScan &scan)
{
    qint64 k = 0;
#if defined(__SSE2__)
    if constexpr (Q_BYTE_ORDER == Q_LITTLE_ENDIAN) {
        // A damaged value fails the comparison, counts as 0 for the peak and
        // adds one to its lane's count (the mask is -1). Four running maxima
        // keep the loop from waiting on one.
        const __m128d magnitude = _mm_castsi128_pd(_mm_set1_epi64x(0x7fffffffffffffff));
        const __m128d limit = _mm_set1_pd(damageAbove);
        __m128d m0 = _mm_set1_pd(scan.peak), m1 = m0, m2 = m0, m3 = m0;
        __m128i damaged = _mm_setzero_si128();
        const auto at = [&](qint64 i) {
            const __m128d a = _mm_and_pd(_mm_loadu_pd(reinterpret_cast<const double *>(bytes) + i),
                                         magnitude);
            const __m128d within = _mm_cmple_pd(a, limit);
            damaged = _mm_sub_epi64(damaged, _mm_castpd_si128(_mm_cmpnle_pd(a, limit)));
            return _mm_and_pd(a, within);
        };
        for (; k + 8 <= n; k += 8) {
            m0 = _mm_max_pd(at(k), m0);
            m1 = _mm_max_pd(at(k + 2), m1);
            m2 = _mm_max_pd(at(k + 4), m2);
            m3 = _mm_max_pd(at(k + 6), m3);
        }
        const __m128d m = _mm_max_pd(_mm_max_pd(m0, m1), _mm_max_pd(m2, m3));
        double lanes[2];
        _mm_storeu_pd(lanes, m);
        scan.peak = std::max(lanes[0], lanes[1]);
        qint64 counts[2];
        _mm_storeu_si128(reinterpret_cast<__m128i *>(counts), damaged);
        scan.damaged += counts[0] + counts[1];
    }
#endif
    for (; k < n; ++k) {
        const quint64 bits = qFromLittleEndian<quint64>(bytes + 8 * k);
        double v;
        std::memcpy(&v, &bits, 8);
        const double a = std::fabs(v);
        if (a <= damageAbove)
            scan.peak = std::max(scan.peak, a);
        else
            ++scan.damaged;
    }
}

// scaleAndClampFrames() and the rounding to single precision of the rate
// conversion in one pass from the file's bytes into `out`.
void loadRounded(const char *bytes, Frame *out, int n, double scale)
{
#if defined(__SSE2__)
    if constexpr (Q_BYTE_ORDER == Q_LITTLE_ENDIAN) {
        const __m128d lowest = _mm_set1_pd(-BrinmoorWaveFile::clampLimit);
        const __m128d highest = _mm_set1_pd(BrinmoorWaveFile::clampLimit);
        const __m128d divisor = _mm_set1_pd(scale);
        const bool divide = scale != 1.0;
        const auto *values = reinterpret_cast<const double *>(bytes);
        for (int k = 0; k < n; ++k) {
            __m128d y = _mm_loadu_pd(values + 2 * k);
            if (divide)
                y = _mm_div_pd(y, divisor);
            y = _mm_min_pd(_mm_max_pd(y, lowest), highest);
            _mm_storeu_pd(&out[k].left, _mm_cvtps_pd(_mm_cvtpd_ps(y)));
        }
        return;
    }
#endif
    loadFrames(bytes, out, n);
    scaleAndClampFrames(out, n, scale);
    roundToSingle(out, n);
}

} // namespace

struct BrinmoorWaveFile::Detail : WaveFileState
{
    qint64 dataEnd = 0;
    double readScale = 1.0;
    std::vector<Frame> outgoing[2]; // frameSpace() of each part, big-endian
    quint64 laterFrames = 0;        // written by the later part
    bool tracking = false;
    bool keepOvers = false;
    PeakScan tracked;
};

BrinmoorWaveFile::BrinmoorWaveFile()
    : WaveFile(WaveLayout::Brinmoor, WaveHeader::brinmoorDefaults())
    , d(std::make_unique<Detail>())
{ }

BrinmoorWaveFile::~BrinmoorWaveFile() = default;

bool BrinmoorWaveFile::startWriting(const QString &fileName)
{
    header = WaveHeader::brinmoorDefaults();
    const WaveHeader::Bytes bytes = header.toBytes();
    opened = d->io.startWriting(fileName, QByteArray(bytes.data(), WaveHeader::size), &error);
    return opened;
}

void BrinmoorWaveFile::forget()
{
    d->reset();
    d->laterFrames = 0;
    d->readScale = 1.0;
    d->tracking = false;
    dataStart = 0;
}

bool BrinmoorWaveFile::readSource(std::unique_ptr<QIODevice> in)
{
    char head[WaveHeader::size];
    if (!in->seek(0) || readFully(in.get(), head, WaveHeader::size, &error) != WaveHeader::size) {
        if (error.isEmpty())
            error = reasonText(FileReason::Truncated);
        return false;
    }
    header.assignFromBytes(head, WaveHeader::size);
    // Every byte behind the header is frame data, whatever dataSize says.
    dataStart = info.dataBegin;
    d->dataEnd = info.dataEnd;
    opened = d->io.startReading(std::move(in), dataStart, d->dataEnd, &error);
    return opened;
}

double BrinmoorWaveFile::sampleRate() const
{
    // The header can hold only the integer part of the true rate.
    return header.sampleRate == 39062 ? 39062.5 : double(header.sampleRate);
}

qint64 BrinmoorWaveFile::totalFrames() const
{
    if (!d->io.reading())
        return 0;
    return (d->dataEnd - dataStart) / frameBytes;
}

void BrinmoorWaveFile::setReadScale(double divisor)
{
    d->readScale = divisor;
}

void BrinmoorWaveFile::keepOvers(bool on)
{
    d->keepOvers = on;
}

bool BrinmoorWaveFile::rewind()
{
    return d->io.rewind(&error);
}

double BrinmoorWaveFile::measurePeak(bool &ok, const std::function<bool(double)> &progress)
{
    ok = false;
    d->damaged = 0;
    d->tracking = false;
    if (!d->io.reading() || !rewind())
        return 1.0;
    PeakScan scan;
    // Whole frames only; a trailing partial frame is not part of the signal.
    const PassEnd end =
            scanWholeFrames(d->io.reader, frameBytes, progress, [&scan](const char *bytes, int n) {
                scanValues(bytes, qint64(n) * 2, scan);
            });
    if (end != PassEnd::Done) {
        error = end == PassEnd::Stopped ? reasonText(FileReason::Cancelled)
                                        : d->io.reader.errorString();
        rewind();
        return 1.0;
    }
    if (!rewind())
        return 1.0;
    d->damaged = scan.damaged;
    ok = true;
    return scan.peak;
}

qint64 BrinmoorWaveFile::damagedValues() const
{
    return d->tracking ? d->tracked.damaged : d->damaged;
}

void BrinmoorWaveFile::trackPeak(bool on)
{
    d->tracking = on;
    d->tracked = PeakScan();
}

double BrinmoorWaveFile::trackedPeak() const
{
    return d->tracked.peak;
}

int BrinmoorWaveFile::readFrames(Frame *frames, int count)
{
    return read(frames, count, false);
}

int BrinmoorWaveFile::readFramesRounded(Frame *frames, int count)
{
    return read(frames, count, true);
}

int BrinmoorWaveFile::read(Frame *frames, int count, bool rounded)
{
    if (!d->io.reading()) {
        error = reasonText(FileReason::NotOpenForReading);
        return -1;
    }
    if (count <= 0)
        return 0;
    const qint64 whole = d->io.reader.remaining() / frameBytes;
    if (whole == 0)
        return 0;
    const int wanted = int(std::min<qint64>(count, whole));
    const double scale = d->readScale;
    const bool keepOvers = d->keepOvers;
    PeakScan *scan = d->tracking ? &d->tracked : nullptr;
    const int done = readWholeFrames(d->io.reader, frameBytes, wanted,
                                     [&](const char *bytes, int first, int n) {
                                         if (scan)
                                             scanValues(bytes, qint64(n) * 2, *scan);
                                         if (keepOvers) {
                                             loadFrames(bytes, frames + first, n);
                                             limitDamageFrames(frames + first, n);
                                             if (rounded)
                                                 roundToSingle(frames + first, n);
                                         } else if (rounded)
                                             loadRounded(bytes, frames + first, n, scale);
                                         else
                                             loadFrames(bytes, frames + first, n);
                                     });
    if (done < 0) {
        error = d->io.reader.errorString();
        return -1;
    }
    std::fill(frames + done, frames + count, Frame{0.0, 0.0});
    if (!rounded && !keepOvers)
        scaleAndClampFrames(frames, done, scale);
    return done > 0 ? count : 0;
}

bool BrinmoorWaveFile::writeFrames(const Frame *frames, int count)
{
    if (!d->io.writing()) {
        error = reasonText(FileReason::NotOpenForWriting);
        return false;
    }
    if (!writeWholeFrames(d->io.writer, frameBytes, count, [frames](int first, char *bytes, int n) {
            storeFrames(frames + first, bytes, n);
        })) {
        error = d->io.writer.errorString();
        return false;
    }
    // dataSize counts 8 bytes a frame, as the header's 32-bit stereo claims.
    bytesWritten += quint64(count) * (header.numChannels * header.bitsPerSample / 8);
    return true;
}

bool BrinmoorWaveFile::seekFrame(qint64 frame)
{
    if (!d->io.reading() || frame < 0)
        return false;
    return d->io.rewind(&error, frame * frameBytes);
}

void BrinmoorWaveFile::expectFrames(qint64 count)
{
    d->io.expect(d->io.headLength() + count * frameBytes);
}

bool BrinmoorWaveFile::splitAt(qint64 frame)
{
    d->later = d->io.splitAt(d->io.headLength() + frame * frameBytes);
    return d->later != nullptr;
}

Frame *BrinmoorWaveFile::frameSpace(int count, int part)
{
    ChunkedWriter *writer = part == 0 ? &d->io.writer : d->later;
    QString &failure = part == 0 ? error : d->laterError;
    if (!d->io.writing() || !writer) {
        failure = reasonText(FileReason::NotOpenForWriting);
        return nullptr;
    }
    // The file's bytes are the frames' memory on a little-endian machine, so
    // the frames can be put straight into the write buffer.
    if constexpr (Q_BYTE_ORDER == Q_LITTLE_ENDIAN) {
        if (count * frameBytes <= writer->capacity()) {
            char *bytes = writer->reserve(count * frameBytes);
            if (!bytes)
                failure = writer->errorString();
            return reinterpret_cast<Frame *>(bytes);
        }
    }
    std::vector<Frame> &outgoing = d->outgoing[part == 0 ? 0 : 1];
    if (outgoing.size() < size_t(count))
        outgoing.resize(size_t(count));
    return outgoing.data();
}

bool BrinmoorWaveFile::commitFrames(int count, int part)
{
    ChunkedWriter *writer = part == 0 ? &d->io.writer : d->later;
    QString &failure = part == 0 ? error : d->laterError;
    if (!d->io.writing() || !writer) {
        failure = reasonText(FileReason::NotOpenForWriting);
        return false;
    }
    if (Q_BYTE_ORDER == Q_LITTLE_ENDIAN && count * frameBytes <= writer->capacity()) {
        writer->commit(count * frameBytes);
    } else {
        const Frame *frames = d->outgoing[part == 0 ? 0 : 1].data();
        if (!writeWholeFrames(*writer, frameBytes, count, [frames](int first, char *bytes, int n) {
                storeFrames(frames + first, bytes, n);
            })) {
            failure = writer->errorString();
            return false;
        }
    }
    if (part == 0)
        bytesWritten += quint64(count) * (header.numChannels * header.bitsPerSample / 8);
    else
        d->laterFrames += quint64(count);
    return true;
}

QString BrinmoorWaveFile::partError() const
{
    return d->laterError;
}

bool BrinmoorWaveFile::close()
{
    if (d->io.writing()) {
        bytesWritten += d->laterFrames * (header.numChannels * header.bitsPerSample / 8);
        header.dataSize = saturatedSize(bytesWritten);
        header.riffSize = saturatedSize(bytesWritten + 40);
        bytesWritten = 0;
    }
    dataStart = 0;
    opened = false;
    const WaveHeader::Bytes bytes = header.toBytes();
    return d->io.finish(QByteArray(bytes.data(), WaveHeader::size), &error);
}

bool BrinmoorWaveFile::openSameFile(const BrinmoorWaveFile &other)
{
    if (!followSource(other, other.d->io.reading()))
        return false;
    dataStart = other.dataStart;
    d->dataEnd = other.d->dataEnd;
    opened = d->io.startReadingSameFile(other.d->io, &error);
    return opened;
}
