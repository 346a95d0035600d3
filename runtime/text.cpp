// The bounded formatter and the string functions. Plain C++ on nothing else, so
// the native tree tests them under the sanitizers.
#include "runtime/text.h"

#include <cstdarg>

namespace {

// Appends one character, counting it whether or not it still fits.
struct Output {
    char *out;
    size_t capacity;
    size_t length;

    void Put(char c)
    {
        if (length + 1 < capacity)
            out[length] = c;
        ++length;
    }
};

void PutDecimal(Output &output, int value)
{
    // Counted as unsigned, so the lowest int needs no special case.
    unsigned magnitude = value < 0 ? 0u - unsigned(value) : unsigned(value);
    char digits[10];
    int count = 0;
    do {
        digits[count++] = char('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    if (value < 0)
        output.Put('-');
    while (count > 0)
        output.Put(digits[--count]);
}

}  // namespace

int FormatText(char *out, size_t capacity, const char *format, ...)
{
    Output output = {out, capacity, 0};
    va_list arguments;
    va_start(arguments, format);
    bool understood = true;
    for (const char *f = format; understood && *f != '\0'; ++f) {
        if (*f != '%') {
            output.Put(*f);
            continue;
        }
        switch (*++f) {
        case '%': output.Put('%'); break;
        case 's':
            for (const char *s = va_arg(arguments, const char *); *s != '\0'; ++s)
                output.Put(*s);
            break;
        case 'd': PutDecimal(output, va_arg(arguments, int)); break;
        default: understood = false;
        }
    }
    va_end(arguments);
    if (capacity > 0)
        out[output.length < capacity ? output.length : capacity - 1] = '\0';
    if (!understood) {
        if (capacity > 0)
            out[0] = '\0';
        return -1;
    }
    // Longer texts than an int can count never occur: the buffers are a few hundred bytes.
    return int(output.length);
}

size_t TextLength(const char *text)
{
    size_t length = 0;
    while (text[length] != '\0')
        ++length;
    return length;
}

const char *TextFind(const char *text, const char *part)
{
    for (;; ++text) {
        size_t i = 0;
        while (part[i] != '\0' && text[i] == part[i])
            ++i;
        if (part[i] == '\0')
            return text;
        if (*text == '\0')
            return nullptr;
    }
}

char *TextFind(char *text, const char *part)
{
    return const_cast<char *>(TextFind(const_cast<const char *>(text), part));
}

const char *TextFindChar(const char *text, char c)
{
    for (;; ++text) {
        if (*text == c)
            return text;
        if (*text == '\0')
            return nullptr;
    }
}

char *TextFindChar(char *text, char c) { return const_cast<char *>(TextFindChar(const_cast<const char *>(text), c)); }
