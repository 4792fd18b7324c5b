#pragma once

#include "wavelayout.h"

#include <QString>

// Recognises the file named `fileName` in any format a source may have: a
// RIFF, RF64 or BW64 WAVE file as recognizeWave() in wavelayout.h does, any
// other through libsndfile, where a format it reads is a standard source,
// named in `format`.
WaveInfo recognizeWave(const QString &fileName);
