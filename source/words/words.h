#pragma once

#include "wave/wavelayout.h"

#include <QString>

// The sentences of both front ends for what the core reports as kinds and
// numbers, translatable in the context "Words". The core says what happened;
// only these say it to people, so that a number or a phrase is never typed
// twice.

// One warning about a conversion that succeeded, without the source's name.
QString warningText(const Warning &warning);

// How the data of a recognised file compare with what its header or
// container announces: "as its header announces", "cut short: holds ...".
QString extentText(const WaveInfo &info);

// The count of damaged values a peak measurement left out.
QString damageLeftOutText(qint64 count);
