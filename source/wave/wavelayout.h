#pragma once

#include <QString>
#include <QtGlobal>

#include <memory>

class QFile;

// Which of the two layouts a file has, judged from its header and size. The
// window, the command line's automatic direction and both readers use this
// one recognition, so they never disagree.
enum class WaveLayout {
    NotWave,  // not a RIFF WAVE file (or unreadable); reason says why
    Standard, // a RIFF WAVE file that is not a Brinmoor-WAVE recording
    Brinmoor, // canonical header, 2 channels, 32 bits, blockAlign 8, and
              // rate 39062 or sample data twice as long as dataSize says
};

WaveLayout detectWaveLayout(const QString &fileName, QString *reason = nullptr);

// The same judgement from a file's first bytes (the first 44 suffice) and
// its size in bytes.
WaveLayout detectWaveLayout(const char *head, qint64 headLength, qint64 fileSize,
                            QString *reason = nullptr);

// Why a file of layout `found` cannot be read in the direction the caller
// chose, naming the direction that fits it.
QString wrongLayoutReason(WaveLayout found);

// Opens `fileName` for reading as a source of layout `wanted`: the file's
// first bytes go to `head` (44 bytes), its size to *fileSize. nullptr with a
// reason when it cannot be opened or read, is no RIFF WAVE file, or has the
// other layout (the reason then names the direction that fits it).
std::unique_ptr<QFile> openSource(const QString &fileName, WaveLayout wanted, char *head,
                                  qint64 *fileSize, QString *error);
