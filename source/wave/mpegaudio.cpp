#include "mpegaudio.h"

#include "chunkedio.h"
#include "common/latelibrary.h"
#include "filereasons.h"

#include <QCoreApplication>
#include <QIODevice>

#include <mpg123.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

QString tr(const char *text)
{
    return QCoreApplication::translate("WaveFile", text);
}

// The library's header renames some functions (large-file and newer
// variants); the name bound is the one its declaration ends up with.
#define QUORVIA_SYMBOL(name) QUORVIA_SYMBOL_TEXT(name)
#define QUORVIA_SYMBOL_TEXT(name) #name

struct Mpg123
{
    decltype(&::mpg123_init) init = nullptr;
    decltype(&::mpg123_new) create = nullptr;
    decltype(&::mpg123_delete) destroy = nullptr;
    decltype(&::mpg123_param) param = nullptr;
    decltype(&::mpg123_rates) rates = nullptr;
    decltype(&::mpg123_format_none) formatNone = nullptr;
    decltype(&::mpg123_format) format = nullptr;
    decltype(&::mpg123_replace_reader_handle) replaceReader = nullptr;
    decltype(&::mpg123_open_handle) openHandle = nullptr;
    decltype(&::mpg123_getformat) getFormat = nullptr;
    decltype(&::mpg123_info) frameInfo = nullptr;
    decltype(&::mpg123_length) length = nullptr;
    decltype(&::mpg123_read) read = nullptr;
    decltype(&::mpg123_strerror) strerror = nullptr;
    decltype(&::mpg123_plain_strerror) plainStrerror = nullptr;
    QString failure; // why the library cannot be used; empty when it can
};

const Mpg123 &mpg123()
{
    static const Mpg123 api = [] {
        Mpg123 f;
        LateLibrary library("mpg123", 0);
#define QUORVIA_BIND(member, name) library.bind(f.member, QUORVIA_SYMBOL(name))
        const bool bound = QUORVIA_BIND(init, mpg123_init) && QUORVIA_BIND(create, mpg123_new) &&
                QUORVIA_BIND(destroy, mpg123_delete) && QUORVIA_BIND(param, mpg123_param) &&
                QUORVIA_BIND(rates, mpg123_rates) && QUORVIA_BIND(formatNone, mpg123_format_none) &&
                QUORVIA_BIND(format, mpg123_format) &&
                QUORVIA_BIND(replaceReader, mpg123_replace_reader_handle) &&
                QUORVIA_BIND(openHandle, mpg123_open_handle) &&
                QUORVIA_BIND(getFormat, mpg123_getformat) && QUORVIA_BIND(frameInfo, mpg123_info) &&
                QUORVIA_BIND(length, mpg123_length) && QUORVIA_BIND(read, mpg123_read) &&
                QUORVIA_BIND(strerror, mpg123_strerror) &&
                QUORVIA_BIND(plainStrerror, mpg123_plain_strerror);
#undef QUORVIA_BIND
        if (!bound)
            f.failure = QCoreApplication::translate("WaveFile",
                                                    "MP3 and other MPEG audio cannot be read: %1")
                                .arg(library.errorString());
        else if (f.init() != MPG123_OK)
            f.failure = QCoreApplication::translate("WaveFile",
                                                    "MP3 and other MPEG audio cannot be read: "
                                                    "libmpg123 does not start");
        return f;
    }();
    return api;
}

// The open file as the decoder reads it: up to `end`, where the tags that
// follow the last frame begin. A read failure is kept, as the library only
// learns that one happened.
struct Source
{
    QIODevice *file = nullptr;
    qint64 end = 0;
    QString error;
};

mpg123_ssize_t readSource(void *handle, void *bytes, size_t count)
{
    Source &s = *static_cast<Source *>(handle);
    QString why;
    const qint64 n = std::clamp<qint64>(s.end - s.file->pos(), 0, qint64(count));
    const qint64 got = readFully(s.file, static_cast<char *>(bytes), n, &why);
    if (got < 0 && s.error.isEmpty())
        s.error = why;
    return mpg123_ssize_t(got);
}

off_t seekSource(void *handle, off_t offset, int whence)
{
    const Source &s = *static_cast<Source *>(handle);
    QIODevice *file = s.file;
    const qint64 base = whence == SEEK_CUR ? file->pos() : whence == SEEK_END ? s.end : 0;
    const qint64 to = base + qint64(offset);
    return to >= 0 && file->seek(to) ? off_t(to) : off_t(-1);
}

struct DeleteHandle
{
    void operator()(mpg123_handle *handle) const { mpg123().destroy(handle); }
};

quint32 be32(const uchar *p)
{
    return quint32(p[0]) << 24 | quint32(p[1]) << 16 | quint32(p[2]) << 8 | quint32(p[3]);
}

quint32 le32(const uchar *p)
{
    return quint32(p[3]) << 24 | quint32(p[2]) << 16 | quint32(p[1]) << 8 | quint32(p[0]);
}

// Where the tags at the end of the file begin (an APE tag, then an ID3v1
// tag): bytes the decoder would search for frames, and whose pictures hold
// bytes that look like frame headers.
qint64 audioEnd(QIODevice *file)
{
    qint64 end = file->size();
    uchar tail[32];
    QString why;
    if (end >= 128 && file->seek(end - 128) &&
        readFully(file, reinterpret_cast<char *>(tail), 3, &why) == 3 &&
        std::memcmp(tail, "TAG", 3) == 0)
        end -= 128;
    // An APE tag's footer: its size counts its items and the footer, a flag
    // tells whether a header of as many bytes precedes them.
    if (end >= 32 && file->seek(end - 32) &&
        readFully(file, reinterpret_cast<char *>(tail), 32, &why) == 32 &&
        std::memcmp(tail, "APETAGEX", 8) == 0) {
        const qint64 size = qint64(le32(tail + 12)) + (tail[23] & 0x80 ? 32 : 0);
        if (size >= 32 && size <= end)
            end -= size;
    }
    return end;
}

// Where the first frame header lies behind any ID3v2 tags, with its first
// bytes in `head`; -1 when the file is too short for one.
qint64 firstFrame(QIODevice *file, uchar (&head)[48])
{
    qint64 at = 0;
    constexpr int mostTags = 8;
    for (int n = 0; n <= mostTags; ++n) {
        QString why;
        std::memset(head, 0, sizeof head);
        if (!file->seek(at) || readFully(file, reinterpret_cast<char *>(head), 48, &why) < 10)
            return -1;
        if (head[0] != 'I' || head[1] != 'D' || head[2] != '3')
            return at;
        // Its size as four 7-bit bytes, behind which a footer may follow.
        at += 10 + (head[5] & 0x10 ? 10 : 0) +
                (qint64(head[6] & 0x7f) << 21 | qint64(head[7] & 0x7f) << 14 |
                 qint64(head[8] & 0x7f) << 7 | qint64(head[9] & 0x7f));
    }
    return -1;
}

// A frame header: sync, a known MPEG version, layer, bit rate and rate.
bool isFrameHeader(const uchar *h)
{
    return h[0] == 0xff && (h[1] & 0xe0) == 0xe0 && (h[1] >> 3 & 3) != 1 && (h[1] >> 1 & 3) != 0 &&
            h[2] >> 4 != 15 && (h[2] >> 2 & 3) != 3;
}

// True when the first frame is a Xing or Info header that counts the
// stream's frames: the encoder's count, not an estimate.
bool countsItsFrames(QIODevice *file)
{
    uchar f[48] = {};
    const qint64 at = firstFrame(file, f);
    if (at < 0 || !isFrameHeader(f))
        return false;
    const bool mpeg1 = (f[1] & 0x18) == 0x18;
    const bool mono = (f[3] & 0xc0) == 0xc0;
    const int tag = 4 + (mpeg1 ? (mono ? 17 : 32) : (mono ? 9 : 17));
    const QByteArray id(reinterpret_cast<const char *>(f + tag), 4);
    return (id == "Xing" || id == "Info") && (be32(f + tag + 4) & 1) != 0;
}

} // namespace

bool startsWithMpegAudio(QIODevice *file)
{
    uchar head[48] = {};
    const qint64 at = firstFrame(file, head);
    if (at >= 0 && isFrameHeader(head))
        return true;
    // A file that opens with an ID3v2 tag, or with a frame's sync, is MPEG
    // audio to libsndfile too, whose decoder prints what it makes of a tag
    // or frame it cannot parse. Ours is quiet and reads it or says why not;
    // only another container behind the tag is left to libsndfile.
    char start[3] = {};
    QString why;
    if (!file->seek(0) || readFully(file, start, 3, &why) != 3)
        return false;
    if (uchar(start[0]) == 0xff && (uchar(start[1]) & 0xe0) == 0xe0)
        return true;
    if (std::memcmp(start, "ID3", 3) != 0)
        return false;
    static const char *const containers[] = {"fLaC", "RIFF", "RIFX", "RF64", "BW64",
                                             "FORM", "OggS", ".snd", "caff", "riff"};
    return at < 0 ||
            std::none_of(std::begin(containers), std::end(containers),
                         [&](const char *id) { return std::memcmp(head, id, 4) == 0; });
}

struct MpegAudio::Detail
{
    Source source;
    std::unique_ptr<mpg123_handle, DeleteHandle> handle; // reads `source`
    // Frames of another rate or channel count than the stream's first are
    // decoded into this and dropped; how many channels they have.
    std::vector<float> foreign;
    int foreignChannels = 0;
};

MpegAudio::MpegAudio() = default;
MpegAudio::~MpegAudio() = default;

bool MpegAudio::available()
{
    return mpg123().failure.isEmpty();
}

bool MpegAudio::open(QIODevice *file)
{
    d.reset();
    ended = false;
    foreign = 0;
    error.clear();
    const Mpg123 &api = mpg123();
    if (!api.failure.isEmpty()) {
        error = api.failure;
        return false;
    }
    const bool counted = countsItsFrames(file);
    auto next = std::make_unique<Detail>();
    next->source.file = file;
    next->source.end = audioEnd(file);
    if (!file->seek(0)) {
        error = file->errorString();
        return false;
    }
    int code = MPG123_OK;
    next->handle.reset(api.create(nullptr, &code));
    if (!next->handle) {
        error = QString::fromUtf8(api.plainStrerror(code));
        return false;
    }
    mpg123_handle *h = next->handle.get();
    // Quiet, at the stream's own rate, as 32-bit floats; the search for the
    // next frame after damage or a tag goes on to the end of the file.
    bool set = api.param(h, MPG123_ADD_FLAGS, MPG123_QUIET | MPG123_GAPLESS, 0.0) == MPG123_OK &&
            api.param(h, MPG123_REMOVE_FLAGS, MPG123_AUTO_RESAMPLE, 0.0) == MPG123_OK &&
            api.param(h, MPG123_RESYNC_LIMIT, -1, 0.0) == MPG123_OK &&
            api.formatNone(h) == MPG123_OK;
    const long *rates = nullptr;
    size_t count = 0;
    api.rates(&rates, &count);
    for (size_t i = 0; set && i < count; ++i)
        set = api.format(h, rates[i], MPG123_MONO | MPG123_STEREO, MPG123_ENC_FLOAT_32) ==
                MPG123_OK;
    if (!set || api.replaceReader(h, readSource, seekSource, nullptr) != MPG123_OK ||
        api.openHandle(h, &next->source) != MPG123_OK) {
        error = QString::fromUtf8(api.strerror(h));
        return false;
    }
    long frameRate = 0;
    int encoding = 0;
    mpg123_frameinfo2 frame{};
    if (api.getFormat(h, &frameRate, &channelCount, &encoding) != MPG123_OK ||
        api.frameInfo(h, &frame) != MPG123_OK || encoding != MPG123_ENC_FLOAT_32 ||
        channelCount < 1 || channelCount > 2) {
        error = !next->source.error.isEmpty() ? next->source.error
                                              : tr("no audio could be decoded from the file");
        return false;
    }
    rate = int(frameRate);
    mpegLayer = frame.layer;
    const qint64 total = qint64(api.length(h));
    announced = counted && total >= 0 ? total : -1;
    estimate = std::max<qint64>(total, 0);
    d = std::move(next);
    return true;
}

int MpegAudio::read(float *samples, int count)
{
    if (!d) {
        error = reasonText(FileReason::NotOpenForReading);
        return -1;
    }
    const Mpg123 &api = mpg123();
    mpg123_handle *h = d->handle.get();
    const size_t frameBytes = sizeof(float) * size_t(channelCount);
    const size_t wanted = frameBytes * size_t(std::max(count, 0));
    size_t filled = 0;
    while (filled < wanted && !ended) {
        size_t done = 0;
        const bool dropped = d->foreignChannels > 0;
        const int status = dropped
                ? api.read(h, d->foreign.data(), sizeof(float) * d->foreign.size(), &done)
                : api.read(h, reinterpret_cast<unsigned char *>(samples) + filled, wanted - filled,
                           &done);
        if (dropped)
            foreign += qint64(done / (sizeof(float) * size_t(d->foreignChannels)));
        else
            filled += done;
        if (status == MPG123_DONE) {
            ended = true;
        } else if (status == MPG123_NEW_FORMAT) {
            // Not this recording: bytes of damage or of a tag that pass for
            // a frame header, or another recording stitched on.
            long nowRate = 0;
            int nowChannels = 0;
            int encoding = 0;
            if (api.getFormat(h, &nowRate, &nowChannels, &encoding) != MPG123_OK)
                nowChannels = 2;
            const bool same = nowRate == rate && nowChannels == channelCount;
            d->foreignChannels = same ? 0 : std::max(nowChannels, 1);
            d->foreign.resize(same ? 0 : 4608);
        } else if (status != MPG123_OK) {
            error = !d->source.error.isEmpty() ? d->source.error
                                               : QString::fromUtf8(api.strerror(h));
            return -1;
        }
    }
    // A read failure that the decoder took for the end of the stream.
    if (!d->source.error.isEmpty()) {
        error = d->source.error;
        return -1;
    }
    return int(filled / frameBytes);
}
