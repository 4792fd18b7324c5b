#pragma once

#include <Qt>

// The program's dialogs (About, progress, messages) are small and of fixed
// use: a title and a close button, but nothing to minimise or maximise,
// which some window managers otherwise add to every window.
inline Qt::WindowFlags dialogFlags(Qt::WindowType type = Qt::Dialog)
{
    return type | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint;
}
