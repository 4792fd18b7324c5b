#include "soundfile.h"

#include "chunkedio.h"
#include "common/latelibrary.h"
#include "filereasons.h"
#include "mpegaudio.h"
#include "pcmsample.h"

#include <QCoreApplication>
#include <QFile>
#include <QSaveFile>

#include <cmath>

#include <sndfile.h>

#include <algorithm>
#include <limits>
#include <vector>

namespace {

QString tr(const char *text)
{
    return QCoreApplication::translate("WaveFile", text);
}

// libsndfile's file access, onto a Qt file device: reads straight from it,
// writes through a ChunkedWriter, which the seeks of a finishing encoder
// flush first.
struct Device
{
    QIODevice *file = nullptr;
    QFileDevice *out = nullptr;      // the same file, only when writing
    ChunkedWriter *writer = nullptr; // only when writing
    QString error;                   // the first read failure
    // Reading: bytes from file offset `hiddenAt` on are shown to the library
    // with only the bits of `shown` set (see hideFlacLength()).
    qint64 hiddenAt = -1;
    QByteArray shown;
};

Device &device(void *user)
{
    return *static_cast<Device *>(user);
}

sf_count_t deviceLength(void *user)
{
    Device &d = device(user);
    if (d.writer && !d.writer->flush())
        return -1;
    return d.file->size();
}

sf_count_t deviceSeek(sf_count_t offset, int whence, void *user)
{
    Device &d = device(user);
    if (d.writer && !d.writer->flush())
        return -1;
    const qint64 base = whence == SEEK_CUR ? d.file->pos()
            : whence == SEEK_END           ? d.file->size()
                                           : 0;
    // The offset comes from the file's own fields: one that leads before
    // the start or past what a position can hold is refused, not wrapped.
    if (offset < -base || offset > std::numeric_limits<qint64>::max() - base)
        return -1;
    const qint64 to = base + offset;
    if (!d.file->seek(to))
        return -1;
    if (d.writer)
        d.writer->start(d.out);
    return to;
}

sf_count_t deviceRead(void *bytes, sf_count_t count, void *user)
{
    Device &d = device(user);
    QString why;
    const qint64 at = d.file->pos();
    const qint64 got = readFully(d.file, static_cast<char *>(bytes), count, &why);
    if (got >= 0 && d.hiddenAt >= 0 && at < d.hiddenAt + d.shown.size() && at + got > d.hiddenAt) {
        char *b = static_cast<char *>(bytes);
        for (qint64 i = std::max(at, d.hiddenAt);
             i < std::min(at + got, d.hiddenAt + d.shown.size()); ++i)
            b[i - at] = char(b[i - at] & d.shown[int(i - d.hiddenAt)]);
    }
    if (got >= 0)
        return got;
    if (d.error.isEmpty())
        d.error = why;
    return 0;
}

sf_count_t deviceWrite(const void *bytes, sf_count_t count, void *user)
{
    Device &d = device(user);
    return d.writer && d.writer->append(static_cast<const char *>(bytes), count) ? count : 0;
}

sf_count_t deviceTell(void *user)
{
    Device &d = device(user);
    return d.writer ? d.writer->position() : d.file->pos();
}

// libsndfile's functions, bound when another format is first opened.
struct Sndfile
{
    decltype(&::sf_open_virtual) openVirtual = nullptr;
    decltype(&::sf_close) close = nullptr;
    decltype(&::sf_command) command = nullptr;
    decltype(&::sf_error) error = nullptr;
    decltype(&::sf_error_number) errorNumber = nullptr;
    decltype(&::sf_strerror) strerror = nullptr;
    decltype(&::sf_readf_int) readfInt = nullptr;
    decltype(&::sf_readf_double) readfDouble = nullptr;
    decltype(&::sf_writef_int) writefInt = nullptr;
    QString failure; // why the library cannot be used; empty when it can
};

const Sndfile &sndfile()
{
    static const Sndfile api = [] {
        Sndfile f;
        LateLibrary library("sndfile", 1);
        if (!library.bind(f.openVirtual, "sf_open_virtual") || !library.bind(f.close, "sf_close") ||
            !library.bind(f.command, "sf_command") || !library.bind(f.error, "sf_error") ||
            !library.bind(f.errorNumber, "sf_error_number") ||
            !library.bind(f.strerror, "sf_strerror") || !library.bind(f.readfInt, "sf_readf_int") ||
            !library.bind(f.readfDouble, "sf_readf_double") ||
            !library.bind(f.writefInt, "sf_writef_int"))
            f.failure = QCoreApplication::translate("WaveFile",
                                                    "other audio formats are unavailable: %1")
                                .arg(library.errorString());
        return f;
    }();
    return api;
}

SF_VIRTUAL_IO deviceIo = {deviceLength, deviceSeek, deviceRead, deviceWrite, deviceTell};

struct CloseSound
{
    void operator()(SNDFILE *sound) const { sndfile().close(sound); }
};
using Sound = std::unique_ptr<SNDFILE, CloseSound>;

// libsndfile's reason without its "Error : " label.
QString reasonOf(const char *text)
{
    QString reason = QString::fromUtf8(text);
    if (reason.startsWith(QLatin1String("Error : ")))
        reason.remove(0, 8);
    return reason;
}

// Why libsndfile refused to open a file (it keeps that reason globally).
QString openFailure()
{
    if (sndfile().error(nullptr) == SF_ERR_UNRECOGNISED_FORMAT)
        return tr("not a RIFF WAVE file, nor another audio format known here");
    return reasonOf(sndfile().strerror(nullptr));
}

// Encodings whose samples are integers; sf_readf_int() gives them in the top
// bits of an int32, as the WAVE reader places its samples.
bool isInteger(int subtype)
{
    switch (subtype) {
    case SF_FORMAT_PCM_S8:
    case SF_FORMAT_PCM_U8:
    case SF_FORMAT_PCM_16:
    case SF_FORMAT_PCM_24:
    case SF_FORMAT_PCM_32:
    case SF_FORMAT_ALAC_16:
    case SF_FORMAT_ALAC_20:
    case SF_FORMAT_ALAC_24:
    case SF_FORMAT_ALAC_32:
        return true;
    default:
        return false;
    }
}

struct Name
{
    int code;
    const char *name;
};

// Streams named by their encoding alone, containers, and encodings.
constexpr Name streams[] = {{SF_FORMAT_VORBIS, "Ogg Vorbis"},
                            {SF_FORMAT_OPUS, "Ogg Opus"},
                            {SF_FORMAT_MPEG_LAYER_I, "MPEG Layer I"},
                            {SF_FORMAT_MPEG_LAYER_II, "MP2"},
                            {SF_FORMAT_MPEG_LAYER_III, "MP3"}};
constexpr Name containers[] = {{SF_FORMAT_WAV, "WAVE"},  {SF_FORMAT_FLAC, "FLAC"},
                               {SF_FORMAT_AIFF, "AIFF"}, {SF_FORMAT_CAF, "CAF"},
                               {SF_FORMAT_W64, "W64"},   {SF_FORMAT_OGG, "Ogg"}};
constexpr Name encodings[] = {
        {SF_FORMAT_PCM_S8, "8-bit"},        {SF_FORMAT_PCM_U8, "8-bit"},
        {SF_FORMAT_PCM_16, "16-bit"},       {SF_FORMAT_PCM_24, "24-bit"},
        {SF_FORMAT_PCM_32, "32-bit"},       {SF_FORMAT_FLOAT, "32-bit float"},
        {SF_FORMAT_DOUBLE, "64-bit float"}, {SF_FORMAT_ULAW, "\xb5-law"},
        {SF_FORMAT_ALAW, "A-law"},          {SF_FORMAT_IMA_ADPCM, "IMA ADPCM"},
        {SF_FORMAT_MS_ADPCM, "MS ADPCM"},   {SF_FORMAT_GSM610, "GSM 6.10"}};

// Our short name for the format or encoding `code`, else libsndfile's own
// when `orLibrary` says so.
template<size_t N>
QString nameOf(const Name (&names)[N], int code, bool orLibrary)
{
    for (const Name &n : names) {
        if (n.code == code)
            return QString::fromLatin1(n.name);
    }
    SF_FORMAT_INFO info{};
    info.format = code;
    if (!orLibrary || sndfile().command(nullptr, SFC_GET_FORMAT_INFO, &info, sizeof info) != 0 ||
        !info.name)
        return QString();
    return QString::fromUtf8(info.name);
}

QString describe(int format)
{
    const int major = format & SF_FORMAT_TYPEMASK;
    const int subtype = format & SF_FORMAT_SUBMASK;
    const QString stream = nameOf(streams, subtype, false);
    if (!stream.isEmpty())
        return stream;
    return nameOf(containers, major, true) + QStringLiteral(", ") +
            nameOf(encodings, subtype, true);
}

// Integer samples divided by 2^31 - 1; through single precision where the
// WAVE reader goes through it (32-bit samples, a block that ends short).
template<bool ViaFloat>
KEEP_FLOAT_ROUNDING void framesFromIntegers(const int *in, int channels, Frame *out, int n)
{
    const int right = channels > 1 ? 1 : 0;
    for (int k = 0; k < n; ++k, in += channels) {
        double l = double(in[0]) / pcmFullScale;
        double r = double(in[right]) / pcmFullScale;
        if constexpr (ViaFloat) {
            l = double(float(l));
            r = double(float(r));
        }
        out[k] = Frame{l, r};
    }
}

// Float samples divided by `scale` and limited as limitFloatSample() does;
// as stored when `scale` is 0.
template<class Sample>
void framesFromFloats(const Sample *in, int channels, Frame *out, int n, double scale)
{
    const int right = channels > 1 ? 1 : 0;
    for (int k = 0; k < n; ++k, in += channels) {
        const double l = in[0];
        const double r = in[right];
        out[k] = scale == 0.0 ? Frame{l, r}
                              : Frame{limitFloatSample(l, scale), limitFloatSample(r, scale)};
    }
}

int bitsOf(int subtype)
{
    switch (subtype) {
    case SF_FORMAT_PCM_S8:
    case SF_FORMAT_PCM_U8:
        return 8;
    case SF_FORMAT_PCM_16:
    case SF_FORMAT_ALAC_16:
        return 16;
    case SF_FORMAT_ALAC_20:
        return 20;
    case SF_FORMAT_PCM_24:
    case SF_FORMAT_ALAC_24:
        return 24;
    case SF_FORMAT_PCM_32:
    case SF_FORMAT_ALAC_32:
    case SF_FORMAT_FLOAT:
        return 32;
    case SF_FORMAT_DOUBLE:
        return 64;
    default:
        return 0; // decoded from a lossy stream
    }
}

// Reads up to `count` frames with `read` (sf_readf_int or _double), which
// may return fewer than asked before the end; -1 on an error. Every call
// clears the error of the one before, so each is checked.
template<class Sample, class Read>
int readAll(SNDFILE *sound, std::vector<Sample> &buffer, int channels, int count, Read read)
{
    buffer.resize(size_t(count) * size_t(channels));
    int done = 0;
    while (done < count) {
        const sf_count_t got =
                read(sound, buffer.data() + size_t(done) * size_t(channels), count - done);
        if (sndfile().error(sound) != SF_ERR_NO_ERROR)
            return -1;
        if (got <= 0)
            break;
        done += int(got);
    }
    return done;
}

quint32 be32(const char *p)
{
    return quint32(uchar(p[0])) << 24 | quint32(uchar(p[1])) << 16 | quint32(uchar(p[2])) << 8 |
            quint32(uchar(p[3]));
}

quint64 be64(const char *p)
{
    return quint64(be32(p)) << 32 | be32(p + 4);
}

quint64 le64(const char *p)
{
    quint64 v = 0;
    for (int i = 7; i >= 0; --i)
        v = v << 8 | uchar(p[i]);
    return v;
}

// `n` bytes from file offset `at`; fewer at the end of the file.
QByteArray bytesAt(QIODevice *file, qint64 at, qint64 n)
{
    QByteArray bytes(int(n), '\0');
    QString why;
    const qint64 got = file->seek(at) ? readFully(file, bytes.data(), n, &why) : -1;
    bytes.truncate(int(std::max<qint64>(got, 0)));
    return bytes;
}

// The frames that the header of a container of plain samples announces
// (libsndfile counts only those the file holds), or -1 when it does not say.
qint64 announcedPlainFrames(QIODevice *file, int major, qint64 frameBytes)
{
    if (frameBytes <= 0)
        return -1;
    constexpr int mostChunks = 64;
    constexpr quint64 largest = quint64(1) << 60;
    if (major == SF_FORMAT_AU) {
        const QByteArray h = bytesAt(file, 0, 12);
        const quint32 size = h.size() == 12 && h.startsWith(".snd") ? be32(h.constData() + 8) : 0;
        return size == 0 || size == 0xffffffffu ? -1 : qint64(size) / frameBytes;
    }
    qint64 at = major == SF_FORMAT_AIFF ? 12 : major == SF_FORMAT_W64 ? 40 : 8;
    for (int n = 0; n < mostChunks; ++n) {
        const QByteArray h = bytesAt(file, at, 24);
        if (h.size() < 14)
            return -1;
        const char *b = h.constData();
        quint64 size = 0;
        if (major == SF_FORMAT_AIFF) { // id, size, then COMM's channels and frames
            if (h.startsWith("COMM"))
                return be32(b + 10);
            size = 8 + be32(b + 4) + (be32(b + 4) & 1);
        } else if (major == SF_FORMAT_W64 && h.size() == 24) { // GUID, size with the head
            const quint64 raw = le64(b + 16);
            if (h.startsWith("data"))
                return raw < 24 || raw > largest ? -1 : qint64((raw - 24) / quint64(frameBytes));
            size = (raw + 7) / 8 * 8;
        } else if (major == SF_FORMAT_CAF) { // type, size; data: edit count, samples
            size = 12 + be64(b + 4);
            if (h.startsWith("data"))
                return size < 16 || size > largest ? -1 : qint64((size - 16) / quint64(frameBytes));
        } else {
            return -1;
        }
        if (size < 8 || size > largest)
            return -1;
        at += qint64(size);
    }
    return -1;
}

// A FLAC stream's length as its STREAMINFO gives it (0: not given), or -1
// when the file does not start with a STREAMINFO block. The field's bytes
// lie at flacLengthAt.
constexpr qint64 flacLengthAt = 21;
qint64 flacLength(QIODevice *file)
{
    const QByteArray h = bytesAt(file, 0, 26);
    if (h.size() < 26 || !h.startsWith("fLaC") || (h[4] & 0x7f) != 0)
        return -1;
    return qint64(uchar(h[21]) & 0x0f) << 32 | be32(h.constData() + 22);
}

} // namespace

struct SoundFile::Detail
{
    std::unique_ptr<QIODevice> file;
    Device device;
    Sound sound;                     // closed before the file it reads
    std::unique_ptr<MpegAudio> mpeg; // instead of `sound` for MPEG audio
    SF_INFO sf{};
    bool integer = false;
    bool alwaysViaFloat = false;
    // What the container announces, when libsndfile does not check it
    // (-1: nothing), and whether that is only an estimate.
    qint64 announced = -1;
    bool estimated = false;
    qint64 framesRead = 0;
    std::vector<int> integers;
    std::vector<double> floats;
    std::vector<float> mpegSamples;

    int major() const { return sf.format & SF_FORMAT_TYPEMASK; }

    // Decoders that run out of data end quietly. Why the data that ended
    // here cannot be the whole recording, or empty.
    QString shortfall() const
    {
        if (framesRead == 0 && (sf.frames == SF_COUNT_MAX || announced > 0 || mpeg))
            return tr("no audio could be decoded from the file");
        // MPEG audio is decoded to the end of the file, past damage and tags.
        if (mpeg)
            return QString();
        // The library counted the samples of plain formats in the file when
        // it was opened: the file has been cut short since.
        if (announced < 0 && sf.frames != SF_COUNT_MAX && framesRead < sf.frames)
            return tr("the file ends after %1 of the %2 frames it announces")
                    .arg(framesRead)
                    .arg(sf.frames);
        return QString();
    }
};

SoundFile::SoundFile() = default;
SoundFile::~SoundFile() = default;

bool SoundFile::open(const QString &name, QIODevice::OpenMode mode)
{
    opened = false;
    d.reset();
    error.clear();
    if (mode != QIODevice::ReadOnly) {
        error = reasonText(FileReason::UnsupportedOpenMode);
        return false;
    }
    info = WaveInfo();
    scale = 1.0;
    damaged = 0;
    std::unique_ptr<QFile> file = openSourceFile(name, &error);
    if (!file) {
        info.unreadable = true;
        info.evidence = error;
        return false;
    }
    return open(std::move(file));
}

bool SoundFile::open(std::unique_ptr<QIODevice> source)
{
    opened = false;
    d.reset();
    error.clear();
    info = WaveInfo();
    scale = 1.0;
    damaged = 0;
    if (!source || !source->isReadable()) {
        error = reasonText(FileReason::NotOpenForReading);
        info.unreadable = true;
        info.evidence = error;
        return false;
    }
    // MPEG audio needs only its own decoder: libsndfile is asked for once
    // the file is known to be something else.
    return start(std::move(source));
}

bool SoundFile::start(std::unique_ptr<QIODevice> file)
{
    ended = false;
    auto next = std::make_unique<Detail>();
    next->file = std::move(file);
    next->device.file = next->file.get();
    // The library would stop at a FLAC stream's announced length: it is
    // hidden, so that all the stream holds is decoded and compared with it.
    next->announced = flacLength(next->file.get());
    if (next->announced >= 0) {
        next->device.hiddenAt = flacLengthAt;
        next->device.shown = QByteArray("\xf0\0\0\0\0", 5);
    }
    const bool mpeg = startsWithMpegAudio(next->file.get());
    if (!mpeg && !sndfile().failure.isEmpty()) {
        error = sndfile().failure;
        info.evidence = error;
        info.libraryMissing = true;
        return false;
    }
    if (!next->file->seek(0)) {
        error = next->file->errorString();
        info.unreadable = true;
        info.evidence = error;
        return false;
    }
    if (!mpeg)
        next->sound.reset(sndfile().openVirtual(&deviceIo, SFM_READ, &next->sf, &next->device));
    if (!mpeg && !next->sound) {
        error = next->device.error.isEmpty() ? openFailure() : next->device.error;
        info.unreadable = !next->device.error.isEmpty();
        info.unknownFormat =
                !info.unreadable && sndfile().error(nullptr) == SF_ERR_UNRECOGNISED_FORMAT;
        info.evidence = error;
        return false;
    }
    // MPEG audio goes to a decoder of its own, which keeps quiet about
    // damage and decodes to the end of the file.
    if (mpeg || next->major() == SF_FORMAT_MPEG) {
        next->sound.reset();
        next->mpeg = std::make_unique<MpegAudio>();
        if (!next->mpeg->open(next->file.get())) {
            error = next->mpeg->errorString();
            info.evidence = error;
            info.libraryMissing = !MpegAudio::available();
            return false;
        }
        const MpegAudio &m = *next->mpeg;
        next->sf.samplerate = m.sampleRate();
        next->sf.channels = m.channels();
        next->sf.format = SF_FORMAT_MPEG |
                (m.layer() == 1           ? SF_FORMAT_MPEG_LAYER_I
                         : m.layer() == 2 ? SF_FORMAT_MPEG_LAYER_II
                                          : SF_FORMAT_MPEG_LAYER_III);
        // Without a header that counts its frames, the stream's length is
        // estimated from the file's size and its first frames.
        next->announced = m.announcedFrames();
        next->estimated = m.announcedFrames() < 0;
        next->sf.frames = next->estimated ? m.estimatedFrames() : next->announced;
    }
    const int subtype = next->sf.format & SF_FORMAT_SUBMASK;
    next->integer = !next->mpeg && isInteger(subtype);
    next->alwaysViaFloat = subtype == SF_FORMAT_PCM_32 || subtype == SF_FORMAT_ALAC_32;
    // The library reads on from where it stopped.
    const qint64 resume = next->file->pos();
    const int major = next->major();
    if (major == SF_FORMAT_FLAC) {
        if (next->announced == 0) // not given
            next->announced = -1;
    } else if (major == SF_FORMAT_OGG) {
        // Its length comes from the last page: a stream cut short has none.
        next->announced = next->sf.frames == SF_COUNT_MAX ? -1 : next->sf.frames;
        next->estimated = next->announced < 0;
    } else if (major != SF_FORMAT_MPEG) {
        next->announced = announcedPlainFrames(next->file.get(), major,
                                               qint64(next->sf.channels) * (bitsOf(subtype) / 8));
        // Only a header that promises more than the file holds says
        // anything: the library reads what its own sizes give.
        if (next->announced >= 0 && next->announced <= next->sf.frames)
            next->announced = -1;
    }
    if (!next->file->seek(resume)) {
        error = next->file->errorString();
        return false;
    }
    d = std::move(next);
    opened = true;

    info.layout = WaveLayout::Standard;
    info.format = formatName();
    const QString library = QLatin1String(d->mpeg ? "libmpg123" : "libsndfile");
    if (d->mpeg && d->estimated) {
        info.evidence = tr("%1, read through %2; its length is estimated from the file's size, "
                           "which only decoding checks")
                                .arg(info.format, library);
        info.extent = DataExtent::Estimated;
    } else if (d->estimated ||
               (d->announced >= 0 && major != SF_FORMAT_AIFF && major != SF_FORMAT_AU &&
                major != SF_FORMAT_W64 && major != SF_FORMAT_CAF)) {
        info.evidence = tr("%1, read through %2; its length is what the container announces, "
                           "which only decoding checks")
                                .arg(info.format, library);
        info.extent = DataExtent::Unchecked;
    } else {
        info.evidence = tr("%1, read through %2").arg(info.format, library);
    }
    info.isFloat = !d->integer;
    info.bitsPerSample = bitsOf(subtype);
    info.channels = d->sf.channels;
    info.sampleRate = sampleRate();
    info.frames = totalFrames();
    info.announcedFrames = d->announced >= 0 ? d->announced : info.frames;
    if (d->announced > info.frames && info.frames == d->sf.frames)
        info.extent = DataExtent::CutShort;
    return true;
}

Warnings SoundFile::warnings() const
{
    Warnings result = info.warnings();
    if (d && d->estimated && d->major() == SF_FORMAT_OGG && d->framesRead > 0 && ended)
        result.push_back({Warning::StreamCutShort, d->framesRead});
    if (d && d->mpeg && d->mpeg->foreignFrames() > 0)
        result.push_back({Warning::ForeignFrames, d->mpeg->foreignFrames()});
    return result;
}

bool SoundFile::needsPeak() const
{
    return opened && !d->integer;
}

double SoundFile::measurePeak(bool &ok, const std::function<bool(double)> &progress)
{
    ok = false;
    damaged = 0;
    if (!opened)
        return 1.0;
    // Read unscaled, as stored, then start over: not every format can seek.
    const double kept = scale;
    scale = 0.0;
    constexpr int block = 3200; // a progress report at least this often
    std::vector<Frame> frames(block);
    const double total = double(std::max<qint64>(totalFrames(), 1));
    double peak = 0.0;
    qint64 read = 0;
    qint64 found = 0;
    for (int got; (got = readFrames(frames.data(), block)) != 0;) {
        if (got < 0 || (progress && !progress(std::min(1.0, double(read) / total)))) {
            if (got >= 0)
                error = reasonText(FileReason::Cancelled);
            scale = kept;
            return 1.0;
        }
        for (const Frame &f : frames) {
            for (const double x : {std::fabs(f.left), std::fabs(f.right)}) {
                if (x <= damageAbove)
                    peak = std::max(peak, x);
                else
                    ++found;
            }
        }
        read += got;
    }
    // Over again from the start of the same open file: the name may stand
    // for another file by now.
    std::unique_ptr<QIODevice> file = std::move(d->file);
    d.reset();
    opened = false;
    if (!start(std::move(file)))
        return 1.0;
    scale = kept;
    damaged = found;
    ok = true;
    return peak;
}

double SoundFile::sampleRate() const
{
    return d ? double(d->sf.samplerate) : 0.0;
}

qint64 SoundFile::totalFrames() const
{
    if (!d)
        return 0;
    if (d->sf.frames <= 0 || d->sf.frames == SF_COUNT_MAX)
        return std::max<qint64>(d->announced, 0);
    return d->sf.frames;
}

qint64 SoundFile::framesDecoded() const
{
    return d ? d->framesRead : 0;
}

QString SoundFile::formatName() const
{
    return d ? describe(d->sf.format) : QString();
}

int SoundFile::readFramesRounded(Frame *frames, int count)
{
    const int got = readFrames(frames, count);
    if (got > 0)
        roundToSingle(frames, got);
    return got;
}

int SoundFile::readFrames(Frame *frames, int count)
{
    if (!opened) {
        error = reasonText(FileReason::NotOpenForReading);
        return -1;
    }
    if (count <= 0)
        return 0;
    SNDFILE *sound = d->sound.get();
    const int channels = d->sf.channels;
    if (d->mpeg)
        d->mpegSamples.resize(size_t(count) * size_t(channels));
    const int done = d->mpeg ? d->mpeg->read(d->mpegSamples.data(), count)
            : d->integer     ? readAll(sound, d->integers, channels, count, sndfile().readfInt)
                             : readAll(sound, d->floats, channels, count, sndfile().readfDouble);
    if (done < 0 && d->mpeg) {
        error = d->mpeg->errorString();
        return -1;
    }
    // A decoder that meets damage says so and carries on, or ends early;
    // either way the recording is not what the file promised.
    if (done < 0 || !d->device.error.isEmpty()) {
        error = d->device.error.isEmpty() ? reasonOf(sndfile().strerror(sound)) : d->device.error;
        return -1;
    }
    d->framesRead += done;
    if (done < count && !ended) {
        error = d->shortfall();
        if (!error.isEmpty())
            return -1;
        // All that decodes is read: it is the recording, whatever the
        // container announced.
        ended = true;
        info.frames = d->framesRead;
        if (d->announced >= 0 && d->framesRead != d->announced) {
            info.announcedFrames = d->announced;
            info.extent =
                    d->framesRead < d->announced ? DataExtent::CutShort : DataExtent::Extended;
        }
    }
    if (d->mpeg)
        framesFromFloats(d->mpegSamples.data(), channels, frames, done, scale);
    else if (!d->integer)
        framesFromFloats(d->floats.data(), channels, frames, done, scale);
    else if (d->alwaysViaFloat || done < count)
        framesFromIntegers<true>(d->integers.data(), channels, frames, done);
    else
        framesFromIntegers<false>(d->integers.data(), channels, frames, done);
    std::fill(frames + done, frames + count, Frame{0.0, 0.0});
    return done > 0 ? count : 0;
}

bool SoundFile::close()
{
    d.reset();
    opened = false;
    return true;
}

struct FlacFile::Detail
{
    ChunkedWriter writer;
    Device device;
    std::unique_ptr<QSaveFile> out;
    Sound sound; // finishes its stream before the file goes
    std::vector<int> integers;
    bool written = false; // frames were given to the library
};

FlacFile::FlacFile() = default;
FlacFile::~FlacFile() = default;

bool FlacFile::available()
{
    return sndfile().failure.isEmpty();
}

bool FlacFile::open(const QString &fileName, QIODevice::OpenMode mode)
{
    // An unfinished earlier file is discarded.
    opened = false;
    d.reset();
    error.clear();
    framesWritten = 0;
    if (mode != QIODevice::WriteOnly) {
        error = reasonText(FileReason::UnsupportedOpenMode);
        return false;
    }
    if (!format.flacHolds()) {
        error = tr("FLAC holds samples of 16 or 24 bits");
        return false;
    }
    if (!sndfile().failure.isEmpty()) {
        error = sndfile().failure;
        return false;
    }
    auto next = std::make_unique<Detail>();
    next->out = openDestination(fileName, next->writer, nullptr, 0, &error);
    if (!next->out)
        return false;
    next->device.file = next->device.out = next->out.get();
    next->device.writer = &next->writer;
    SF_INFO info{};
    info.samplerate = format.rate;
    info.channels = 2;
    info.format = SF_FORMAT_FLAC |
            (format.depth == StandardFormat::Depth::Bits16 ? SF_FORMAT_PCM_16 : SF_FORMAT_PCM_24);
    next->sound.reset(sndfile().openVirtual(&deviceIo, SFM_WRITE, &info, &next->device));
    if (!next->sound) {
        error = next->writer.failed() ? next->writer.errorString() : openFailure();
        return false;
    }
    d = std::move(next);
    opened = true;
    return true;
}

Frame *FlacFile::frameSpace(int count, int)
{
    staged.resize(size_t(std::max(count, 0)));
    return staged.data();
}

bool FlacFile::commitFrames(int count, int)
{
    return writeFrames(staged.data(), count);
}

bool FlacFile::writeFrames(const Frame *frames, int count)
{
    if (!opened) {
        error = reasonText(FileReason::NotOpenForWriting);
        return false;
    }
    if (count <= 0)
        return true;
    // The WAVE writer's 32-bit values; the library keeps their top 24 bits,
    // as the WAVE writer does. 16-bit samples are the WAVE writer's too,
    // dither and all, placed in the top bits.
    std::vector<int> &samples = d->integers;
    samples.resize(2 * size_t(count));
    if (format.depth == StandardFormat::Depth::Bits16) {
        for (int k = 0; k < count; ++k) {
            const quint64 frame = framesWritten + quint64(k);
            for (int c = 0; c < 2; ++c) {
                const double x = c == 0 ? frames[k].left : frames[k].right;
                const double noise = format.dither ? ditherAt(frame, c) : 0.0;
                samples[2 * size_t(k) + size_t(c)] =
                        int(quint32(quint16(toInt16Sample(x, noise))) << 16);
            }
        }
    } else {
        for (int k = 0; k < count; ++k) {
            samples[2 * size_t(k)] = toInt32Sample(frames[k].left);
            samples[2 * size_t(k) + 1] = toInt32Sample(frames[k].right);
        }
    }
    framesWritten += quint64(count);
    d->written = true;
    const sf_count_t written = sndfile().writefInt(d->sound.get(), samples.data(), count);
    if (d->writer.failed()) {
        error = d->writer.errorString();
        return false;
    }
    if (written != count) {
        error = reasonOf(sndfile().strerror(d->sound.get()));
        return false;
    }
    return true;
}

bool FlacFile::close()
{
    if (!opened)
        return true;
    opened = false;
    // Finishing the stream writes its last frames and then the totals and
    // checksum over the stream's header. The library starts a stream with
    // its first frames: an empty recording's is started here, or the file
    // would stay empty, which is no FLAC file.
    if (!d->written)
        sndfile().command(d->sound.get(), SFC_UPDATE_HEADER_NOW, nullptr, 0);
    const int closed = sndfile().close(d->sound.release());
    bool ok = false;
    if (d->writer.failed())
        error = d->writer.errorString();
    else if (closed != SF_ERR_NO_ERROR)
        error = reasonOf(sndfile().errorNumber(closed));
    else
        ok = finishDestination(d->out.get(), d->writer, nullptr, 0, &error);
    d.reset();
    return ok;
}
