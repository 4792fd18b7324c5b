#pragma once

// Which way a conversion goes: from a recording to the standard layout, or
// from a standard file to a recording. The front ends name the directions
// their own way (a list's rows, a command-line word) and turn them into
// this at their edge.
enum class Direction {
    BrinmoorToStandard,
    StandardToBrinmoor,
};
