#include "fuzztargets.h"

#include "fuzzscratch.h"
#include "wave/brinmoorwavefile.h"
#include "wave/standardwavefile.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace fuzz {

namespace {

constexpr int blockFrames = 200;

// Reads that return data must number exactly the blocks the file holds;
// anything more means the reader does not reach its end.
qint64 blocksFor(qint64 frames)
{
    return (frames + blockFrames - 1) / blockFrames;
}

bool sameBits(const std::vector<Frame> &a, const std::vector<Frame> &b)
{
    return std::memcmp(a.data(), b.data(), a.size() * sizeof(Frame)) == 0;
}

} // namespace

QString standardWave(const char *data, std::size_t size)
{
    if (!scratch().isValid())
        return QStringLiteral("no scratch directory");
    const QString path = scratch().filePath(QStringLiteral("standard.wav"));
    if (!writeFile(path, data, size))
        return QStringLiteral("cannot write the input file");

    StandardWaveFile file;
    if (!file.open(path, QIODevice::ReadOnly)) {
        if (file.isOpen())
            return QStringLiteral("a refused file stays open");
        if (file.errorString().isEmpty())
            return QStringLiteral("refused without a reason");
        return {};
    }
    const qint64 total = file.totalFrames();
    if (total < 0 || total > qint64(size))
        return QStringLiteral("impossible frame count %1").arg(total);
    const double rate = file.sampleRate();
    if (!std::isfinite(rate) || rate < 0)
        return QStringLiteral("impossible sample rate %1").arg(rate);

    std::vector<Frame> frames(blockFrames);
    qint64 reads = 0;
    for (;;) {
        const int got = file.readFrames(frames.data(), blockFrames);
        if (got == 0)
            break;
        if (got < 0)
            return QStringLiteral("read error on a sound file: ") + file.errorString();
        if (got != blockFrames)
            return QStringLiteral("readFrames returned %1").arg(got);
        if (++reads > blocksFor(total))
            return QStringLiteral("more blocks than the %1 frames the file holds").arg(total);
        for (const Frame &f : frames) {
            for (const double v : {f.left, f.right}) {
                // Samples stay within full scale; integer -1 lies a little
                // below it.
                if (!(v >= -1.0000000005 && v <= 1.0))
                    return QStringLiteral("sample value %1").arg(v, 0, 'g', 17);
            }
        }
    }
    if (reads != blocksFor(total))
        return QStringLiteral("%1 blocks for %2 frames").arg(reads).arg(total);
    if (file.readFrames(frames.data(), blockFrames) != 0)
        return QStringLiteral("data after the end");
    if (!file.close())
        return QStringLiteral("closing a source failed: ") + file.errorString();
    return {};
}

QString brinmoorWave(const char *data, std::size_t size)
{
    if (!scratch().isValid())
        return QStringLiteral("no scratch directory");
    const QString path = scratch().filePath(QStringLiteral("brinmoor.wav"));
    if (!writeFile(path, data, size))
        return QStringLiteral("cannot write the input file");

    BrinmoorWaveFile file;
    if (!file.open(path, QIODevice::ReadOnly)) {
        if (file.isOpen())
            return QStringLiteral("a refused file stays open");
        if (file.errorString().isEmpty())
            return QStringLiteral("refused without a reason");
        return {};
    }
    const qint64 total = file.totalFrames();
    if (total < 0 || total > qint64(size) / 16)
        return QStringLiteral("impossible frame count %1").arg(total);

    // The peak scan must leave the reader where the data begin.
    std::vector<Frame> first(blockFrames);
    std::vector<Frame> again(blockFrames);
    const int firstGot = file.readFrames(first.data(), blockFrames);
    bool ok = false;
    const double peak = file.measurePeak(ok);
    if (!ok)
        return QStringLiteral("peak scan failed: ") + file.errorString();
    if (!(peak >= 0.0) || !std::isfinite(peak))
        return QStringLiteral("peak %1").arg(peak, 0, 'g', 17);
    if (file.readFrames(again.data(), blockFrames) != firstGot || !sameBits(first, again))
        return QStringLiteral("reading after the peak scan does not start at the first frame");
    if (!file.rewind())
        return QStringLiteral("rewind failed");

    // Read as the conversion does: scaled by the peak when it is above 1.
    file.setReadScale(peak > 1.0 ? peak : 1.0);
    const double limit = BrinmoorWaveFile::clampLimit;
    qint64 reads = 0;
    for (;;) {
        const int got = file.readFrames(first.data(), blockFrames);
        if (got == 0)
            break;
        if (got != blockFrames)
            return QStringLiteral("readFrames returned %1: ").arg(got) + file.errorString();
        if (++reads > blocksFor(total))
            return QStringLiteral("more blocks than the %1 frames the file holds").arg(total);
        for (const Frame &f : first) {
            for (const double v : {f.left, f.right}) {
                if (!(v >= -limit && v <= limit))
                    return QStringLiteral("sample value %1").arg(v, 0, 'g', 17);
            }
        }
    }
    if (reads != blocksFor(total))
        return QStringLiteral("%1 blocks for %2 frames").arg(reads).arg(total);
    if (!file.close())
        return QStringLiteral("closing a source failed: ") + file.errorString();
    return {};
}

int stopOnFault(const QString &fault)
{
    if (fault.isEmpty())
        return 0;
    std::fprintf(stderr, "==fault== %s\n", fault.toLocal8Bit().constData());
    std::abort();
}

} // namespace fuzz
