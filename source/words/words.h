#pragma once

#include "converter/batch.h"
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

// How a batch ended: "12 converted, 1 failed", then how many were skipped
// as no recordings and as already there, and how many were not started
// after a stop.
QString batchSummaryText(const Batch &batch);

// Why a task of a batch failed, as one line that names its source.
// `chooseHint` ends the line of a source whose layout cannot be told: how
// the front end lets the user choose.
QString taskFailureText(const BatchTask &task, const TaskEnd &end, const QString &chooseHint);

// A failed conversion's reason as one line that names the source, for a
// list of many files.
QString failureLine(const QString &source, const ConvertResult &result);

// Why a file whose name the system's encoding cannot hold is not read.
QString lossyNameText(const QString &name);
