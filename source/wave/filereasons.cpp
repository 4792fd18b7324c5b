#include "filereasons.h"

#include <QCoreApplication>

#include <iterator>

QString reasonText(FileReason reason)
{
    // In the order of FileReason.
    static const char *const texts[] = {
            QT_TRANSLATE_NOOP("WaveFile", "not open for reading"),
            QT_TRANSLATE_NOOP("WaveFile", "not open for writing"),
            QT_TRANSLATE_NOOP("WaveFile", "unsupported open mode"),
            QT_TRANSLATE_NOOP("WaveFile", "cancelled"),
            QT_TRANSLATE_NOOP("WaveFile", "the file was truncated while it was being read"),
            QT_TRANSLATE_NOOP("WaveFile", "not a regular file"),
            QT_TRANSLATE_NOOP("WaveFile",
                              "the name cannot be written in the system's file name encoding"),
    };
    static_assert(std::size(texts) == size_t(FileReason::NameNotEncodable) + 1,
                  "a text for every reason");
    return QCoreApplication::translate("WaveFile", texts[int(reason)]);
}
