#include "standardwavefile.h"

#include "chunkedio.h"
#include "filereasons.h"
#include "pcmsample.h"
#include "wavechunks.h"
#include "wavelayout.h"

#include <QFile>
#include <QSaveFile>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#if defined(__SSE2__)
#    include <emmintrin.h>
#endif

namespace {

constexpr double fullScale = pcmFullScale;

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

template<int Bytes>
void convertFloatBlock(const char *bytes, qint64 stride, qint64 rightOffset, Frame *out, int n,
                       double scale)
{
    const auto valueAt = [scale](const char *p) {
        return limitFloatSample(floatAt<Bytes>(p), scale);
    };
    for (int k = 0; k < n; ++k, bytes += stride) {
        out[k].left = valueAt(bytes);
        out[k].right = valueAt(bytes + rightOffset);
    }
}

// The rate conversion works in single precision. For samples of up to 24
// bits, v / (2^31 - 1) rounded to single precision is exactly v * 2^-31 (v
// has at most 24 significant bits and the quotient lies less than half a
// step of single precision away from v * 2^-31), so such samples reach the
// conversion by a multiplication rather than a division and a rounding.
constexpr double exactScale = 0x1p-31;

#if defined(__SSE2__)
// Stereo 24-bit frames, the common case, two samples at a time: each sample
// is one 32-bit load from inside its own frame, moved to the top bytes.
// Divided as convertBlock does, or scaled exactly (see exactScale).
template<bool Rounded>
void convertStereo24(const char *bytes, Frame *out, int n)
{
    const __m128d scale = _mm_set1_pd(Rounded ? exactScale : fullScale);
    for (int k = 0; k < n; ++k, bytes += 6) {
        quint32 l, r;
        std::memcpy(&l, bytes, 4);
        std::memcpy(&r, bytes + 2, 4);
        const __m128i pair = _mm_unpacklo_epi32(_mm_cvtsi32_si128(int(l << 8)),
                                                _mm_cvtsi32_si128(int(r & 0xffffff00u)));
        const __m128d v = _mm_cvtepi32_pd(pair);
        _mm_storeu_pd(&out[k].left, Rounded ? _mm_mul_pd(v, scale) : _mm_div_pd(v, scale));
    }
}
#endif

// Samples of up to 24 bits, rounded as the rate conversion takes them.
template<int Bytes>
void convertRounded(const char *bytes, qint64 stride, qint64 rightOffset, Frame *out, int n)
{
    static_assert(Bytes <= 3, "wider samples need the division and a rounding");
#if defined(__SSE2__)
    if constexpr (Bytes == 3 && Q_BYTE_ORDER == Q_LITTLE_ENDIAN) {
        if (stride == 6 && rightOffset == 3) {
            convertStereo24<true>(bytes, out, n);
            return;
        }
    }
#endif
    const auto *p = reinterpret_cast<const unsigned char *>(bytes);
    for (int k = 0; k < n; ++k, p += stride) {
        out[k].left = double(sampleAt<Bytes>(p)) * exactScale;
        out[k].right = double(sampleAt<Bytes>(p + rightOffset)) * exactScale;
    }
}

template<int Bytes>
void convertSamples(const char *bytes, qint64 stride, qint64 rightOffset, Frame *out, int n,
                    bool fullBlock)
{
#if defined(__SSE2__)
    if constexpr (Bytes == 3 && Q_BYTE_ORDER == Q_LITTLE_ENDIAN) {
        if (fullBlock && stride == 6 && rightOffset == 3) {
            convertStereo24<false>(bytes, out, n);
            return;
        }
    }
#endif
    if (fullBlock && Bytes != 4)
        convertBlock<Bytes, false>(bytes, stride, rightOffset, out, n);
    else
        convertBlock<Bytes, true>(bytes, stride, rightOffset, out, n);
}

// Whether convert() can deliver a format's values rounded to single
// precision without a separate pass.
bool roundsExactly(const WaveFormat &format)
{
    return format.encoding != WaveFormat::Encoding::Float && format.bytesPerSample <= 3;
}

void convert(const WaveFormat &format, const char *bytes, qint64 stride, qint64 rightOffset,
             Frame *out, int n, bool fullBlock, bool rounded, double floatScale)
{
    if (rounded) {
        switch (format.bytesPerSample) {
        case 1:
            convertRounded<1>(bytes, stride, rightOffset, out, n);
            return;
        case 2:
            convertRounded<2>(bytes, stride, rightOffset, out, n);
            return;
        default:
            convertRounded<3>(bytes, stride, rightOffset, out, n);
            return;
        }
    }
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

// The first frames of `in` as 24-bit little-endian pairs, the top three
// bytes of each toInt32Sample value, four at a time where the processor
// allows; returns how many it stored, which leaves fewer than four.
int storeStereo24(const Frame *in, char *p, int n)
{
    int k = 0;
#if defined(__SSE2__)
    if constexpr (Q_BYTE_ORDER == Q_LITTLE_ENDIAN) {
        // toInt32Sample on four frames at once: NaN to 0, clamp, truncate.
        // Below the range the truncation itself gives the lowest value, as
        // the clamp would.
        const __m128d scale = _mm_set1_pd(fullScale);
        const __m128d high = _mm_set1_pd(2147483647.0);
        const auto samples = [&](const Frame *frame) {
            __m128d y = _mm_mul_pd(_mm_loadu_pd(&frame->left), scale);
            y = _mm_and_pd(y, _mm_cmpord_pd(y, y));
            return _mm_cvttpd_epi32(_mm_min_pd(y, high));
        };
        // Two frames' four samples: the top three bytes of each, the twelve
        // packed at the start. All in vector registers: assembling the bytes
        // in general registers and storing them from there stalls on every
        // group.
        const __m128i lowHalves = _mm_set_epi32(0, -1, 0, -1);
        const __m128i lowLane = _mm_set_epi32(0, 0, -1, -1);
        const auto pack = [&](__m128i v) {
            v = _mm_srli_epi32(v, 8);
            v = _mm_or_si128(_mm_and_si128(v, lowHalves),
                             _mm_srli_epi64(_mm_andnot_si128(lowHalves, v), 8));
            return _mm_or_si128(_mm_and_si128(v, lowLane),
                                _mm_srli_si128(_mm_andnot_si128(lowLane, v), 2));
        };
        for (; k + 4 <= n; k += 4, p += 24) {
            const __m128i a = pack(_mm_unpacklo_epi64(samples(in + k), samples(in + k + 1)));
            const __m128i b = pack(_mm_unpacklo_epi64(samples(in + k + 2), samples(in + k + 3)));
            _mm_storeu_si128(reinterpret_cast<__m128i *>(p),
                             _mm_or_si128(a, _mm_slli_si128(b, 12)));
            _mm_storel_epi64(reinterpret_cast<__m128i *>(p + 16), _mm_srli_si128(b, 4));
        }
    }
#endif
    return k;
}

// Frames as `format` stores them, the first of them frame `first` of the
// file (its place decides its dither).
void storeStereo(const StandardFormat &format, const Frame *in, char *p, int n, quint64 first)
{
    const int bytes = format.bytesPerSample();
    int k = format.depth == StandardFormat::Depth::Bits24 ? storeStereo24(in, p, n) : 0;
    p += qint64(k) * 2 * bytes;
    for (; k < n; ++k, p += 2 * bytes) {
        storeSample(format, in[k].left, first + quint64(k), 0, p);
        storeSample(format, in[k].right, first + quint64(k), 1, p + bytes);
    }
}

// The header's bytes for `dataBytes` bytes of samples. Float files get what
// a format other than PCM should have, and what readers look for: a format
// chunk with its extension's size (0) and a fact chunk with the frame count.
QByteArray headerBytes(const WaveHeader &h, quint64 dataBytes, bool reserved)
{
    constexpr quint16 formatFloat = 3;
    if (h.audioFormat != formatFloat)
        return standardHeaderBytes(h, dataBytes, reserved);
    char fact[12];
    QByteArray bytes = standardHeaderBytes(h, dataBytes, reserved, sizeof fact + 2);
    // Behind "RIFF", the size and "WAVE", and the room for a ds64 chunk.
    const int fmt = reserved ? 12 + 8 + 28 : 12;
    const int data = bytes.size() - 8;
    writeLe32(bytes.data() + fmt + 4, 18);
    std::memcpy(fact, "fact", 4);
    writeLe32(fact + 4, 4);
    writeLe32(fact + 8, saturatedSize(h.blockAlign ? dataBytes / h.blockAlign : 0));
    bytes.insert(data, fact, sizeof fact);
    bytes.insert(fmt + 8 + 16, QByteArray(2, '\0'));
    return bytes;
}

// The header of a new file of `format`.
WaveHeader headerFor(const StandardFormat &format)
{
    WaveHeader h = WaveHeader::standardDefaults();
    if (format.isDefault())
        return h;
    constexpr quint16 formatFloat = 3;
    const int bytes = format.bytesPerSample();
    h.audioFormat = format.isFloat() ? formatFloat : 1;
    h.sampleRate = quint32(format.rate);
    h.blockAlign = quint16(2 * bytes);
    h.byteRate = quint32(format.rate) * h.blockAlign;
    h.bitsPerSample = quint16(8 * bytes);
    return h;
}

} // namespace

struct StandardWaveFile::Detail : WaveFileState
{
    WaveFormat format;
    qint64 block = 0;
    std::vector<Frame> outgoing[2]; // frameSpace() of each part
    quint64 laterBytes = 0;         // written by the later part
    double floatScale = 1.0;
    qint64 expectedFrames = 0;
    bool reserved = false;  // room for a ds64 chunk in the header written
    StandardFormat written; // what writing stores
    qint64 frameBytes = 6;  // of `written`
    quint64 laterFirst = 0; // the later part's first frame
};

StandardWaveFile::StandardWaveFile()
    : WaveFile(WaveLayout::Standard, WaveHeader::standardDefaults())
    , d(std::make_unique<Detail>())
{ }

StandardWaveFile::~StandardWaveFile() = default;

bool StandardWaveFile::startWriting(const QString &fileName)
{
    // Every written file gets the construction header, whatever an earlier
    // reading open left in `header`. One that is expected to pass 4 GiB
    // starts with room for the 64-bit sizes of RF64.
    header = headerFor(d->written);
    constexpr quint64 largeData = 0xffffffffu - (1u << 20);
    d->reserved = quint64(d->expectedFrames) * header.blockAlign > largeData;
    const QByteArray bytes = d->reserved ? headerBytes(header, 0, true)
            : d->written.isFloat()       ? headerBytes(header, 0, false)
                                         : QByteArray(header.toBytes().data(), WaveHeader::size);
    opened = d->io.startWriting(fileName, bytes, &error);
    return opened;
}

void StandardWaveFile::forget()
{
    d->reset();
    d->laterBytes = 0;
    d->floatScale = 1.0;
}

bool StandardWaveFile::readSource(std::unique_ptr<QIODevice> in)
{
    WaveFormat &format = d->format;
    if (!readWaveFormat(in.get(), in->size(), &format, &error)) {
        info.unreadable = format.unreadable;
        return false;
    }
    header = format.header;
    d->block = qint64(format.channels) * format.bytesPerSample;
    d->io.reader.reserve(d->block);
    opened = d->io.startReading(std::move(in), format.dataBegin, format.dataEnd, &error);
    return opened;
}

double StandardWaveFile::sampleRate() const
{
    return double(header.sampleRate);
}

qint64 StandardWaveFile::totalFrames() const
{
    if (!d->io.reading() || d->block == 0)
        return 0;
    return (d->format.dataEnd - d->format.dataBegin) / d->block;
}

int StandardWaveFile::readFrames(Frame *frames, int count)
{
    return read(frames, count, false);
}

int StandardWaveFile::readFramesRounded(Frame *frames, int count)
{
    const int got = read(frames, count, roundsExactly(d->format));
    if (got > 0 && !roundsExactly(d->format))
        roundToSingle(frames, got);
    return got;
}

int StandardWaveFile::read(Frame *frames, int count, bool rounded)
{
    if (!d->io.reading()) {
        error = reasonText(FileReason::NotOpenForReading);
        return -1;
    }
    if (count <= 0)
        return 0;
    const qint64 block = d->block;
    // Only whole frames count; a trailing partial frame is dropped.
    const qint64 whole = d->io.reader.remaining() / block;
    if (whole == 0)
        return 0;
    const bool fullBlock = whole >= count;
    const int wanted = fullBlock ? count : int(whole);
    const WaveFormat &format = d->format;
    const qint64 rightOffset = format.channels > 1 ? format.bytesPerSample : 0;

    const int done =
            readWholeFrames(d->io.reader, block, wanted, [&](const char *bytes, int first, int n) {
                convert(format, bytes, block, rightOffset, frames + first, n, fullBlock, rounded,
                        d->floatScale);
            });
    if (done < 0) {
        error = d->io.reader.errorString();
        return -1;
    }
    std::fill(frames + done, frames + count, Frame{0.0, 0.0});
    return done > 0 ? count : 0;
}

bool StandardWaveFile::writeFrames(const Frame *frames, int count)
{
    if (!d->io.writing()) {
        error = reasonText(FileReason::NotOpenForWriting);
        return false;
    }
    const qint64 frameBytes = d->frameBytes;
    const quint64 at = bytesWritten / quint64(frameBytes);
    const StandardFormat &format = d->written;
    if (!writeWholeFrames(d->io.writer, frameBytes, count,
                          [&format, frames, at](int first, char *bytes, int n) {
                              storeStereo(format, frames + first, bytes, n, at + quint64(first));
                          })) {
        error = d->io.writer.errorString();
        return false;
    }
    bytesWritten += quint64(count) * quint64(frameBytes);
    return true;
}

bool StandardWaveFile::seekFrame(qint64 frame)
{
    if (!d->io.reading() || frame < 0)
        return false;
    return d->io.rewind(&error, frame * d->block);
}

void StandardWaveFile::expectFrames(qint64 count)
{
    d->io.expect(d->io.headLength() + count * d->frameBytes);
}

bool StandardWaveFile::splitAt(qint64 frame)
{
    d->laterFirst = quint64(frame);
    d->later = d->io.splitAt(d->io.headLength() + frame * d->frameBytes);
    return d->later != nullptr;
}

Frame *StandardWaveFile::frameSpace(int count, int part)
{
    std::vector<Frame> &outgoing = d->outgoing[part == 0 ? 0 : 1];
    if (outgoing.size() < size_t(count))
        outgoing.resize(size_t(count));
    return outgoing.data();
}

bool StandardWaveFile::commitFrames(int count, int part)
{
    if (part == 0)
        return writeFrames(d->outgoing[0].data(), count);
    const Frame *frames = d->outgoing[1].data();
    const qint64 frameBytes = d->frameBytes;
    const quint64 at = d->laterFirst + d->laterBytes / quint64(frameBytes);
    const StandardFormat &format = d->written;
    if (!d->later ||
        !writeWholeFrames(*d->later, frameBytes, count,
                          [&format, frames, at](int first, char *bytes, int n) {
                              storeStereo(format, frames + first, bytes, n, at + quint64(first));
                          })) {
        d->laterError =
                d->later ? d->later->errorString() : reasonText(FileReason::NotOpenForWriting);
        return false;
    }
    d->laterBytes += quint64(count) * quint64(frameBytes);
    return true;
}

QString StandardWaveFile::partError() const
{
    return d->laterError;
}

bool StandardWaveFile::close()
{
    QByteArray bytes;
    if (d->io.writing()) {
        bytesWritten += d->laterBytes;
        header.dataSize = saturatedSize(bytesWritten);
        header.riffSize = saturatedSize(bytesWritten + 36);
        bytes = headerBytes(header, bytesWritten, d->reserved);
        bytesWritten = 0;
    }
    opened = false;
    return d->io.finish(bytes, &error);
}

void StandardWaveFile::setExpectedFrames(qint64 frames)
{
    d->expectedFrames = frames;
}

void StandardWaveFile::setFormat(const StandardFormat &format)
{
    d->written = format;
    d->frameBytes = 2 * format.bytesPerSample();
    header = headerFor(format);
}

bool StandardWaveFile::needsPeak() const
{
    return d->io.reading() && d->format.encoding == WaveFormat::Encoding::Float;
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
    if (!d->io.reading())
        return 1.0;
    const WaveFormat &format = d->format;
    const qint64 block = d->block;
    const qint64 rightOffset = format.channels > 1 ? format.bytesPerSample : 0;
    ChunkedReader &reader = d->io.reader;
    const auto rewind = [&] { return d->io.rewind(&error); };
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
        error = end == PassEnd::Stopped ? reasonText(FileReason::Cancelled) : reader.errorString();
        rewind();
        return 1.0;
    }
    if (!rewind())
        return 1.0;
    d->damaged = damaged;
    ok = true;
    return peak;
}

bool StandardWaveFile::openSameFile(const StandardWaveFile &other)
{
    if (!followSource(other, other.d->io.reading()))
        return false;
    d->format = other.d->format;
    d->block = other.d->block;
    d->io.reader.reserve(d->block);
    opened = d->io.startReadingSameFile(other.d->io, &error);
    return opened;
}
