#pragma once

#include "converter/direction.h"
#include "converter/ratestage.h"
#include "wave/standardformat.h"
#include "wave/wavelayout.h"

#include <QString>
#include <QStringList>

#include <functional>

enum class ConvertError {
    None,
    Cancelled,
    SameFile,          // source and destination are one file
    SourceOpen,        // the source cannot be opened or read, or is no regular file
    SourceFormat,      // the source is not a file this direction can read (see
                       // ConvertResult::source for what it was recognised as)
    UnsupportedRate,   // the stage refuses the source's sample rate
    LibraryMissing,    // a library that the chosen quality, the source's format or the
                       // destination's needs cannot be loaded
    DestinationOpen,   // the destination cannot be created
    DestinationFormat, // the destination's name asks for a format not written
    Write,             // writing or finishing the destination failed
    Read,              // reading the source failed midway
    Resampling,        // the rate conversion failed midway
};

struct ConvertOptions
{
    // Called now and then with the fraction done, 0.0 ... 1.0, never going
    // back: each time it grew by a thousandth, at least every 3200 source
    // frames (or 4 MiB scanned), and after the last. A peak scan is part of
    // it: a float source's before converting, and a recording's that turned
    // out to go above full scale, before converting it again. Returning
    // false cancels the conversion.
    std::function<bool(double fraction)> progress;
    // The rate conversion and its gains; nothing else depends on it.
    ResamplingQuality quality = ResamplingQuality::Original;
    // What a standard destination holds: depth, dither and rate. A
    // recording converted to float keeps values above full scale, unscaled.
    StandardFormat standard;
    // A long recording is converted in two halves on two threads at once
    // when the machine has more than one processor; false keeps to the
    // calling thread (for a caller that converts several files at once).
    bool parallel = true;
};

struct ConvertResult
{
    ConvertError error = ConvertError::None;
    QString reason; // for people; empty on success
    qint64 framesWritten = 0;
    double destinationRate = 0; // frames per second of the destination
    // What recognition found in the source: its layout with the evidence,
    // also when the source was refused.
    WaveInfo source;
    // What the user should know about a conversion that succeeded: data
    // that do not match the header, channels left out, damaged values,
    // values above full scale.
    Warnings warnings;

    bool ok() const { return error == ConvertError::None; }
};

// Converts one file into the other layout. The destination is written to a
// temporary file and replaces the named file only when everything succeeded;
// on any failure or cancellation an existing destination is left untouched.
//
// A standard source that is no RIFF or RF64 WAVE file is read through
// libsndfile (FLAC, AIFF, Ogg Vorbis and Opus, CAF, W64 ...) or libmpg123
// (MP3, MP2). A standard destination whose name ends in .flac is written as
// FLAC (refused before anything is written when the format's depth is one
// FLAC cannot hold, as is a rate StandardFormat does not list). A
// destination whose name ends in the extension of another audio format is
// refused; any other name gives WAVE.
ConvertResult convertFile(const QString &source, const QString &destination, Direction direction,
                          const ConvertOptions &options);

// True when both paths name one existing file: one path spelled two ways, a
// symlink and its target, or two hard links.
bool isSameFile(const QString &a, const QString &b);
