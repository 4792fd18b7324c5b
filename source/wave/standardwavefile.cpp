#include "standardwavefile.h"

#include "chunkedio.h"
#include "wavechunks.h"
#include "wavelayout.h"

#include <QCoreApplication>
#include <QFile>
#include <QSaveFile>

#include <algorithm>
#include <cmath>
#include <cstring>

#if defined(__SSE2__)
#    include <emmintrin.h>
#endif

namespace {

QString tr(const char *text)
{
    return QCoreApplication::translate("WaveFile", text);
}

// Integer samples are scaled by 2^31 - 1, not 2^31, so full scale positive
// reads as exactly 1.0 and the most negative sample slightly below -1.0.
constexpr double fullScale = 2147483647.0;

// The sample's bytes placed in the top bytes of a two's complement int32.
// 8-bit samples are unsigned with 128 as zero.
template<int Bytes>
inline qint32 sampleAt(const unsigned char *p)
{
    quint32 v;
    if constexpr (Bytes == 1)
        v = quint32(p[0] ^ 0x80u) << 24;
    else if constexpr (Bytes == 2)
        v = quint32(p[0]) << 16 | quint32(p[1]) << 24;
    else if constexpr (Bytes == 3)
        v = quint32(p[0]) << 8 | quint32(p[1]) << 16 | quint32(p[2]) << 24;
    else
        v = quint32(p[0]) | quint32(p[1]) << 8 | quint32(p[2]) << 16 | quint32(p[3]) << 24;
    return qint32(v);
}

// GCC 12's basic-block vectoriser drops a double -> float -> double round
// trip done on a pair of values (here left and right) at -O2, silently
// changing the results; the rounding loops are compiled without it.
#if defined(__GNUC__) && !defined(__clang__)
#    define KEEP_FLOAT_ROUNDING __attribute__((optimize("no-tree-slp-vectorize")))
#else
#    define KEEP_FLOAT_ROUNDING
#endif

// A block with fewer frames than asked for, and 32-bit samples always, go
// through single precision; that is how these files have always been read,
// and the values must not change from one version to the next.
template<int Bytes, bool ViaFloat>
KEEP_FLOAT_ROUNDING void convertBlock(const char *bytes, qint64 stride, qint64 rightOffset,
                                      Frame *out, int n)
{
    const auto *p = reinterpret_cast<const unsigned char *>(bytes);
    for (int k = 0; k < n; ++k, p += stride) {
        double l = double(sampleAt<Bytes>(p)) / fullScale;
        double r = double(sampleAt<Bytes>(p + rightOffset)) / fullScale;
        if constexpr (ViaFloat) {
            l = double(float(l));
            r = double(float(r));
        }
        out[k].left = l;
        out[k].right = r;
    }
}

// A float sample as stored, widened to double.
template<int Bytes>
inline double floatAt(const char *p)
{
    double x;
    if constexpr (Bytes == 4) {
        const quint32 u = readLe32(p);
        float f;
        std::memcpy(&f, &u, 4);
        x = double(f);
    } else {
        const quint64 u = quint64(readLe32(p)) | quint64(readLe32(p + 4)) << 32;
        std::memcpy(&x, &u, 8);
    }
    return x;
}

// Values beyond +-16 (+24 dBFS), NaN and infinities are damage rather than
// levels: they do not set the recording's peak.
constexpr double damageAbove = 16.0;

// Float samples are divided by the recording's peak when it lies above full
// scale (`scale`, 1.0 otherwise), so a loud recording is scaled rather than
// clipped; what still lies beyond full scale is limited to it, as integer
// samples are by their width: values far beyond it overflow the
// single-precision rate conversion into infinities. Damage is limited the
// same way; NaN, which would poison every later output of the rate
// conversion and has no sign to limit to, becomes silence.
template<int Bytes>
void convertFloatBlock(const char *bytes, qint64 stride, qint64 rightOffset, Frame *out, int n,
                       double scale)
{
    const auto valueAt = [scale](const char *p) {
        const double x = floatAt<Bytes>(p);
        if (std::fabs(x) <= damageAbove)
            return std::clamp(x / scale, -1.0, 1.0);
        return x == x ? std::copysign(1.0, x) : 0.0;
    };
    for (int k = 0; k < n; ++k, bytes += stride) {
        out[k].left = valueAt(bytes);
        out[k].right = valueAt(bytes + rightOffset);
    }
}

#if defined(__SSE2__)
// Stereo 24-bit frames, the common case, two samples at a time: each sample
// is one 32-bit load from inside its own frame, moved to the top bytes. The
// division is the same as convertBlock's, so are the values.
void convertStereo24(const char *bytes, Frame *out, int n)
{
    const __m128d scale = _mm_set1_pd(fullScale);
    for (int k = 0; k < n; ++k, bytes += 6) {
        quint32 l, r;
        std::memcpy(&l, bytes, 4);
        std::memcpy(&r, bytes + 2, 4);
        const __m128i pair = _mm_unpacklo_epi32(_mm_cvtsi32_si128(int(l << 8)),
                                                _mm_cvtsi32_si128(int(r & 0xffffff00u)));
        _mm_storeu_pd(&out[k].left, _mm_div_pd(_mm_cvtepi32_pd(pair), scale));
    }
}
#endif

template<int Bytes>
void convertSamples(const char *bytes, qint64 stride, qint64 rightOffset, Frame *out, int n,
                    bool fullBlock)
{
#if defined(__SSE2__)
    if constexpr (Bytes == 3 && Q_BYTE_ORDER == Q_LITTLE_ENDIAN) {
        if (fullBlock && stride == 6 && rightOffset == 3) {
            convertStereo24(bytes, out, n);
            return;
        }
    }
#endif
    if (fullBlock && Bytes != 4)
        convertBlock<Bytes, false>(bytes, stride, rightOffset, out, n);
    else
        convertBlock<Bytes, true>(bytes, stride, rightOffset, out, n);
}

void convert(const WaveFormat &format, const char *bytes, qint64 stride, qint64 rightOffset,
             Frame *out, int n, bool fullBlock, double floatScale)
{
    if (format.encoding == WaveFormat::Encoding::Float) {
        if (format.bytesPerSample == 4)
            convertFloatBlock<4>(bytes, stride, rightOffset, out, n, floatScale);
        else
            convertFloatBlock<8>(bytes, stride, rightOffset, out, n, floatScale);
        return;
    }
    switch (format.bytesPerSample) {
    case 1:
        convertSamples<1>(bytes, stride, rightOffset, out, n, fullBlock);
        break;
    case 2:
        convertSamples<2>(bytes, stride, rightOffset, out, n, fullBlock);
        break;
    case 3:
        convertSamples<3>(bytes, stride, rightOffset, out, n, fullBlock);
        break;
    default:
        convertSamples<4>(bytes, stride, rightOffset, out, n, fullBlock);
        break;
    }
}

// A sample as a level for the peak scan: float samples as stored, integer
// ones as read.
double levelAt(const WaveFormat &format, const char *p)
{
    if (format.encoding == WaveFormat::Encoding::Float)
        return format.bytesPerSample == 4 ? floatAt<4>(p) : floatAt<8>(p);
    const auto *u = reinterpret_cast<const unsigned char *>(p);
    switch (format.bytesPerSample) {
    case 1:
        return sampleAt<1>(u) / fullScale;
    case 2:
        return sampleAt<2>(u) / fullScale;
    case 3:
        return sampleAt<3>(u) / fullScale;
    default:
        return sampleAt<4>(u) / fullScale;
    }
}

// x * (2^31 - 1) truncated toward zero, saturating at the int32 range so
// that values past full scale clip instead of wrapping; NaN is silence.
inline qint32 toInt32Sample(double x)
{
    double y = x * fullScale;
    y = y == y ? y : 0.0;
    y = std::min(std::max(y, -2147483648.0), 2147483647.0);
    return qint32(y);
}

// Frames as 24-bit little-endian pairs: the top three bytes of each
// toInt32Sample value.
void storeStereo24(const Frame *in, char *p, int n)
{
#if defined(__SSE2__)
    if constexpr (Q_BYTE_ORDER == Q_LITTLE_ENDIAN) {
        // toInt32Sample on both values at once: NaN to 0, clamp, truncate.
        const __m128d scale = _mm_set1_pd(fullScale);
        const __m128d low = _mm_set1_pd(-2147483648.0);
        const __m128d high = _mm_set1_pd(2147483647.0);
        for (int k = 0; k < n; ++k, p += 6) {
            __m128d y = _mm_mul_pd(_mm_loadu_pd(&in[k].left), scale);
            y = _mm_and_pd(y, _mm_cmpord_pd(y, y));
            y = _mm_min_pd(_mm_max_pd(y, low), high);
            const __m128i v = _mm_cvttpd_epi32(y);
            const quint64 l = quint32(_mm_cvtsi128_si32(v)) >> 8;
            const quint64 r = quint32(_mm_cvtsi128_si32(_mm_srli_si128(v, 4))) >> 8;
            const quint64 packed = l | r << 24;
            std::memcpy(p, &packed, 6);
        }
        return;
    }
#endif
    for (int k = 0; k < n; ++k, p += 6) {
        const qint32 l = toInt32Sample(in[k].left);
        const qint32 r = toInt32Sample(in[k].right);
        p[0] = char(l >> 8);
        p[1] = char(l >> 16);
        p[2] = char(l >> 24);
        p[3] = char(r >> 8);
        p[4] = char(r >> 16);
        p[5] = char(r >> 24);
    }
}

} // namespace

struct StandardWaveFile::Detail
{
    enum class Mode { Closed, Reading, Writing };
    Mode mode = Mode::Closed;
    ChunkedReader reader;
    ChunkedWriter writer;
    WaveFormat format;
    qint64 block = 0;
    WaveInfo info;
    double floatScale = 1.0;
    qint64 damaged = 0;
    qint64 expectedFrames = 0;
    bool reserved = false; // room for a ds64 chunk in the header written
};

StandardWaveFile::StandardWaveFile()
    : header(WaveHeader::standardDefaults())
    , d(std::make_unique<Detail>())
{ }

StandardWaveFile::~StandardWaveFile() = default;

bool StandardWaveFile::open(const QString &fileName, QIODevice::OpenMode mode)
{
    // Closing without completion: a file being written is discarded.
    opened = false;
    file.reset();
    d->mode = Detail::Mode::Closed;
    d->info = WaveInfo();
    d->floatScale = 1.0;
    d->damaged = 0;
    bytesWritten = 0;
    error.clear();

    if (mode == QIODevice::WriteOnly) {
        // Every written file gets the construction header, whatever an
        // earlier reading open left in `header`. One that is expected to pass
        // 4 GiB starts with room for the 64-bit sizes of RF64.
        header = WaveHeader::standardDefaults();
        constexpr quint64 largeData = 0xffffffffu - (1u << 20);
        d->reserved = quint64(d->expectedFrames) * header.blockAlign > largeData;
        const QByteArray bytes = d->reserved
                ? standardHeaderBytes(header, 0, true)
                : QByteArray(header.toBytes().data(), WaveHeader::size);
        file = openDestination(fileName, d->writer, bytes.constData(), bytes.size(), &error);
        if (!file)
            return false;
        d->mode = Detail::Mode::Writing;
        opened = true;
        return true;
    }
    if (mode != QIODevice::ReadOnly) {
        error = tr("unsupported open mode");
        return false;
    }

    std::unique_ptr<QFile> in = openSource(fileName, WaveLayout::Standard, &d->info);
    if (!in) {
        error = d->info.layout == WaveLayout::Brinmoor ? otherLayoutReason(d->info)
                                                       : d->info.evidence;
        return false;
    }
    WaveFormat &format = d->format;
    if (!readWaveFormat(in.get(), in->size(), &format, &error))
        return false;
    header = format.header;
    d->block = qint64(format.channels) * format.bytesPerSample;
    d->reader.reserve(d->block);
    if (!d->reader.start(in.get(), d->format.dataBegin, d->format.dataEnd)) {
        error = d->reader.errorString();
        return false;
    }
    file = std::move(in);
    d->mode = Detail::Mode::Reading;
    opened = true;
    return true;
}

double StandardWaveFile::sampleRate() const
{
    return double(header.sampleRate);
}

qint64 StandardWaveFile::totalFrames() const
{
    if (d->mode != Detail::Mode::Reading || d->block == 0)
        return 0;
    return (d->format.dataEnd - d->format.dataBegin) / d->block;
}

int StandardWaveFile::readFrames(Frame *frames, int count)
{
    if (d->mode != Detail::Mode::Reading) {
        error = tr("not open for reading");
        return -1;
    }
    if (count <= 0)
        return 0;
    const qint64 block = d->block;
    // Only whole frames count; a trailing partial frame is dropped.
    const qint64 whole = d->reader.remaining() / block;
    if (whole == 0)
        return 0;
    const bool fullBlock = whole >= count;
    const int wanted = fullBlock ? count : int(whole);
    const WaveFormat &format = d->format;
    const qint64 rightOffset = format.channels > 1 ? format.bytesPerSample : 0;

    const int done =
            readWholeFrames(d->reader, block, wanted, [&](const char *bytes, int first, int n) {
                convert(format, bytes, block, rightOffset, frames + first, n, fullBlock,
                        d->floatScale);
            });
    if (done < 0) {
        error = d->reader.errorString();
        return -1;
    }
    std::fill(frames + done, frames + count, Frame{0.0, 0.0});
    return done > 0 ? count : 0;
}

bool StandardWaveFile::writeFrames(const Frame *frames, int count)
{
    if (d->mode != Detail::Mode::Writing) {
        error = tr("not open for writing");
        return false;
    }
    constexpr qint64 frameBytes = 6; // two 24-bit samples
    if (!writeWholeFrames(d->writer, frameBytes, count, [frames](int first, char *bytes, int n) {
            storeStereo24(frames + first, bytes, n);
        })) {
        error = d->writer.errorString();
        return false;
    }
    bytesWritten += quint64(count) * frameBytes;
    return true;
}

bool StandardWaveFile::close()
{
    bool ok = true;
    if (d->mode == Detail::Mode::Writing) {
        auto *out = static_cast<QSaveFile *>(file.get());
        header.dataSize = saturatedSize(bytesWritten);
        header.riffSize = saturatedSize(bytesWritten + 36);
        const QByteArray bytes = standardHeaderBytes(header, bytesWritten, d->reserved);
        ok = finishDestination(out, d->writer, bytes.constData(), bytes.size(), &error);
        bytesWritten = 0;
    }
    file.reset();
    d->mode = Detail::Mode::Closed;
    opened = false;
    return ok;
}

void StandardWaveFile::setExpectedFrames(qint64 frames)
{
    d->expectedFrames = frames;
}

const WaveInfo &StandardWaveFile::sourceInfo() const
{
    return d->info;
}

bool StandardWaveFile::needsPeak() const
{
    return d->mode == Detail::Mode::Reading && d->format.encoding == WaveFormat::Encoding::Float;
}

void StandardWaveFile::setReadScale(double divisor)
{
    d->floatScale = divisor;
}

qint64 StandardWaveFile::damagedValues() const
{
    return d->damaged;
}

double StandardWaveFile::measurePeak(bool &ok, const std::function<bool(double)> &progress)
{
    ok = false;
    d->damaged = 0;
    if (d->mode != Detail::Mode::Reading)
        return 1.0;
    const WaveFormat &format = d->format;
    const qint64 block = d->block;
    const qint64 rightOffset = format.channels > 1 ? format.bytesPerSample : 0;
    ChunkedReader &reader = d->reader;
    const auto rewind = [&] {
        if (reader.start(file.get(), format.dataBegin, format.dataEnd))
            return true;
        error = reader.errorString();
        return false;
    };
    if (!rewind())
        return 1.0;
    double peak = 0.0;
    qint64 damaged = 0;
    const PassEnd end = scanWholeFrames(reader, block, progress, [&](const char *bytes, int n) {
        for (int k = 0; k < n; ++k, bytes += block) {
            for (const double x : {levelAt(format, bytes), levelAt(format, bytes + rightOffset)}) {
                const double a = std::fabs(x);
                if (a <= damageAbove)
                    peak = std::max(peak, a);
                else
                    ++damaged;
            }
        }
    });
    if (end != PassEnd::Done) {
        error = end == PassEnd::Stopped ? tr("cancelled") : reader.errorString();
        rewind();
        return 1.0;
    }
    if (!rewind())
        return 1.0;
    d->damaged = damaged;
    ok = true;
    return peak;
}
