#pragma once

#include <QString>

#include <cstddef>

// What the fuzzers feed with arbitrary bytes, and what the ordinary suite
// replays over the committed inputs. Each entry point writes the bytes to a
// real file, runs one part of the program on it and checks what must hold
// for any input. The result is empty when the input was handled soundly,
// otherwise a description of the fault.
namespace fuzz {

// Opens the bytes as a standard WAVE file and reads it to its end.
QString standardWave(const char *data, std::size_t size);

// Opens the bytes as a Brinmoor-WAVE file, measures its peak and reads it
// to its end.
QString brinmoorWave(const char *data, std::size_t size);

// Opens the bytes as an audio file through libsndfile and reads it.
QString soundFile(const char *data, std::size_t size);

// Converts the bytes in both directions, over an existing destination.
QString convert(const char *data, std::size_t size);

} // namespace fuzz
