#include "filereasons.h"

#include <QCoreApplication>

namespace FileReason {

namespace {

QString tr(const char *text)
{
    return QCoreApplication::translate("WaveFile", text);
}

} // namespace

QString notOpenForReading()
{
    return tr("not open for reading");
}

QString notOpenForWriting()
{
    return tr("not open for writing");
}

QString unsupportedOpenMode()
{
    return tr("unsupported open mode");
}

QString cancelled()
{
    return tr("cancelled");
}

QString truncated()
{
    return tr("the file was truncated while it was being read");
}

QString notRegularFile()
{
    return tr("not a regular file");
}

QString nameNotEncodable()
{
    return tr("the name cannot be written in the system's file name encoding");
}

} // namespace FileReason
