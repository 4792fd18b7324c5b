#pragma once

// Test inputs made and outputs read by tools nobody here wrote (sox, soxi),
// plus the few byte-level helpers the Brinmoor-WAVE layout needs.

#include "wave/frame.h"
#include "wave/waveheader.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <vector>

namespace testfiles {

// Runs a program to its end; true when it exited with 0. Its stdout goes to
// *out when given.
bool run(const QString &program, const QStringList &arguments, QByteArray *out = nullptr);

// A two-channel standard WAVE file made by sox: `length` is in sox's syntax
// ("400s" for 400 frames, "1" for a second), `synth` the rest of the synth
// effect ("sine 1000").
bool makeStandard(const QString &path, int rate, const QString &length,
                  const QString &synth = QStringLiteral("sine 1000"), int bits = 24);

// A two-channel 1 kHz sine of the given amplitude at `rate` (may be
// fractional), drawn by sox and scaled here, so amplitudes above 1 are
// possible.
std::vector<Frame> soxSine(double rate, int frames, double amplitude);

// Every frame of a standard WAVE file as sox decodes it; empty when sox
// cannot read the file.
std::vector<Frame> decodeWithSox(const QString &path);

// soxi's view of a file, e.g. soxiField(path, "-s") for the frame count;
// -1 when soxi fails.
qint64 soxiField(const QString &path, const char *option);

// A Brinmoor-WAVE file: the 44-byte header with its sizes, then the frames.
bool writeBrinmoor(const QString &path, const std::vector<Frame> &frames);

// The header and the frames of a Brinmoor-WAVE file, read byte by byte.
bool readBrinmoor(const QString &path, WaveHeader *header, std::vector<Frame> *frames);

QByteArray contents(const QString &path);
bool writeContents(const QString &path, const QByteArray &bytes);

// Names in `directory` beyond the expected ones: what a failed conversion
// must not leave behind.
QStringList strayFiles(const QString &directory, const QStringList &expected);

// Root-mean-square of both channels over frames [from, to).
double rms(const std::vector<Frame> &frames, size_t from, size_t to);

} // namespace testfiles
