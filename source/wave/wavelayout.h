#pragma once

#include <QString>

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
