#pragma once

#include <QString>

#include <cstddef>

// What the fuzzers feed with arbitrary bytes, and what the ordinary suite
// replays over the committed inputs. Each entry point runs one part of the
// program on the bytes and checks what must hold for any input. The readers
// read the bytes where they are, through the same device interface that
// files opened by name go through; the conversion works on real files. The
// result is empty when the input was handled soundly, otherwise a
// description of the fault.
namespace fuzz {

// Opens the bytes as a standard WAVE file and reads it to its end.
QString standardWave(const char *data, std::size_t size);

// Opens the bytes as a Brinmoor-WAVE file, measures its peak and reads it
// to its end.
QString brinmoorWave(const char *data, std::size_t size);

// Opens the bytes as an audio file through libsndfile and reads it.
QString soundFile(const char *data, std::size_t size);

// Converts the bytes in both directions, over an existing destination. An
// odd sample rate of a WAVE file is replaced by a usual one, and another
// format is converted only at a usual rate and when short, since those
// make a conversion slow without reaching other code.
QString convert(const char *data, std::size_t size);

} // namespace fuzz
