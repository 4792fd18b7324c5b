#pragma once

#include <QString>

// The reasons that any of the file classes may give.
enum class FileReason {
    NotOpenForReading,
    NotOpenForWriting,
    UnsupportedOpenMode,
    Cancelled,
    Truncated, // a source that ended before the bytes it had just shown
    NotRegularFile,
    NameNotEncodable,
};

// A reason in words, each worded once, translatable in the context
// "WaveFile".
QString reasonText(FileReason reason);
