#pragma once

#include "converter/batch.h"

#include <optional>
#include <vector>

// Tasks whose destination will be standard, named .flac rather than .wav, so
// that they are written as FLAC: every task when `type` is the standard
// direction, or, without a type, those whose source is recognised as a
// Brinmoor-WAVE recording. A Brinmoor-WAVE destination keeps its name:
// that layout has no FLAC form.
std::vector<BatchTask> withFlacNames(std::vector<BatchTask> tasks, std::optional<Direction> type);
