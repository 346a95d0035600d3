// The dialogs' pure rules, free of the platform so that they are also checked natively
// (table tests under Wine, fuzzing under the sanitizers): where a dialog goes on the
// desktop, and which suffix the chooser adds to the directory browsed to.
#pragma once

struct ScreenPoint {
    int x, y;
};

// Centred on the desktop rectangle, but kept 10 pixels inside its right and bottom
// edges and never at a negative coordinate (1 instead).
ScreenPoint CentredOrigin(int left, int top, int right, int bottom, int width, int height);

// What to append to a lower-cased directory of two or more characters: nothing when
// it already holds "\ovra" anywhere, "ovra" after a trailing backslash, else "\ovra".
const char *ChooserSuffix(const char *directory);
