#pragma once

#include "waveheader.h"
#include "wavelayout.h"

#include <QIODevice>
#include <QString>

#include <memory>

// What the two WAVE file classes share: opening a file by name for reading
// (through recognition as the class's layout) or for writing, opening a
// device for reading, and what the last open left to ask.
class WaveFile
{
public:
    WaveFile(const WaveFile &) = delete;
    WaveFile &operator=(const WaveFile &) = delete;

    // mode is QIODevice::ReadOnly (open an existing file and accept its
    // header) or QIODevice::WriteOnly (start a new file with the construction
    // header). False on failure, with the reason in errorString().
    bool open(const QString &fileName, QIODevice::OpenMode mode);
    // Reads from a device open for reading (a file, bytes in memory) as
    // from a file opened by name.
    bool open(std::unique_ptr<QIODevice> source);

    bool isOpen() const { return opened; }
    // What recognition found in the source (also after a refused open).
    const WaveInfo &sourceInfo() const { return info; }
    const WaveHeader &waveHeader() const { return header; }
    // Why the last open, read, write or close failed; empty if nothing failed.
    QString errorString() const { return error; }

protected:
    WaveFile(WaveLayout layout, const WaveHeader &initial);
    ~WaveFile() = default;

    // Closes without finishing anything (a file being written is
    // discarded) and forgets the last source and failure, as every open
    // starts.
    void drop();
    // For a second reader of the source that `other` reads (`reading`):
    // drops what was open and takes what recognition found there. False,
    // with the reason, when `other` reads nothing.
    bool followSource(const WaveFile &other, bool reading);

    // The class's own part of drop().
    virtual void forget() = 0;
    // Writing: starts a new file at `fileName` (in place only once closed).
    virtual bool startWriting(const QString &fileName) = 0;
    // Reading: takes the source that recognition accepted as this layout,
    // described in `info`.
    virtual bool readSource(std::unique_ptr<QIODevice> in) = 0;

    bool opened = false;
    WaveHeader header;
    quint64 bytesWritten = 0;
    QString error;
    WaveInfo info;

private:
    // What recognition yields: a refused source becomes the reason of
    // errorString().
    bool take(std::unique_ptr<QIODevice> in);

    const WaveLayout layout;
};
