#pragma once

#include <QString>

// The reasons that any of the file classes may give, each worded once,
// translatable in the context "WaveFile".
namespace FileReason {

QString notOpenForReading();
QString notOpenForWriting();
QString unsupportedOpenMode();
QString cancelled();
// A source that ended before the bytes it had just shown.
QString truncated();
QString notRegularFile();
QString nameNotEncodable();

} // namespace FileReason
