// The splash image: one icon image from a file, and its size in pixels.
#pragma once

#include "diagnosticLog.h"

#include <windows.h>

// Set only by initImage and read by the splash window. The icon lives until
// the process ends; the sizes stay 0 when it has no colour bitmap to measure.
extern HICON splashIcon;
extern int splashWidth;
extern int splashHeight;

// Why the last initImage left the splash without an image, as the log says
// it; empty when the image was made or none was asked for.
extern KeptMessage splashImageProblem;

// Makes splashIcon from the file at `path` (null: nothing happens), which
// holds one icon image as an icon resource holds it: a DIB with its AND mask,
// or a whole PNG. Failures are logged and leave the splash without an image.
void initImage(const wchar_t* path);
