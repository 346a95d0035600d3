// The Progress bar as the Install dialog itself draws it: on its own paint, apart
// from what the engine asks of the display (engine/display.h).
#pragma once
#include <windows.h>

// Draws the Progress bar as last computed, into dc (left open), or into the
// dialog's own when dc is NULL.
void PaintProgress(HDC dc);
