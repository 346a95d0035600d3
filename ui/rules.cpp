// The centring and chooser-suffix rules (see ui/rules.h).
#include "ui/rules.h"

#include "runtime/text.h"

static const int kEdgeMargin = 10;

ScreenPoint CentredOrigin(int left, int top, int right, int bottom, int width, int height)
{
    // C++ division truncates toward zero, as the halving rule wants for odd
    // and negative sizes alike.
    int y = top + (bottom - top) / 2 - height / 2;
    int x = left + (right - left) / 2 - width / 2;
    if (y + height > bottom - kEdgeMargin)
        y = bottom - kEdgeMargin - height;
    if (x + width > right - kEdgeMargin)
        x = right - kEdgeMargin - width;
    if (y < 0)
        y = 1;
    if (x < 0)
        x = 1;
    return ScreenPoint{x, y};
}

const char *ChooserSuffix(const char *directory)
{
    if (TextFind(directory, "\\ovra") != nullptr)
        return "";
    size_t n = TextLength(directory);
    return n > 0 && directory[n - 1] == '\\' ? "ovra" : "\\ovra";
}
