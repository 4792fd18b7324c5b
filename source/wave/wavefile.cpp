#include "wavefile.h"

#include "filereasons.h"

WaveFile::WaveFile(WaveLayout fileLayout, const WaveHeader &initial)
    : header(initial)
    , layout(fileLayout)
{ }

bool WaveFile::open(const QString &fileName, QIODevice::OpenMode mode)
{
    drop();
    if (mode == QIODevice::WriteOnly)
        return startWriting(fileName);
    if (mode != QIODevice::ReadOnly) {
        error = reasonText(FileReason::UnsupportedOpenMode);
        return false;
    }
    return take(openSource(fileName, layout, &info));
}

bool WaveFile::open(std::unique_ptr<QIODevice> source)
{
    drop();
    return take(openSource(std::move(source), layout, &info));
}

void WaveFile::drop()
{
    forget();
    opened = false;
    bytesWritten = 0;
    info = WaveInfo();
    error.clear();
}

bool WaveFile::followSource(const WaveFile &other, bool reading)
{
    drop();
    if (!reading) {
        error = reasonText(FileReason::NotOpenForReading);
        return false;
    }
    info = other.info;
    header = other.header;
    return true;
}

bool WaveFile::take(std::unique_ptr<QIODevice> in)
{
    if (!in) {
        // A file of the other layout is named for what it is.
        const bool otherLayout = info.layout != layout &&
                (info.layout == WaveLayout::Standard || info.layout == WaveLayout::Brinmoor);
        error = otherLayout ? otherLayoutReason(info) : info.evidence;
        return false;
    }
    return readSource(std::move(in));
}
