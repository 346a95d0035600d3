// The installer's text helpers: a bounded formatter for the few formats it uses and
// the string functions it needs, with names of their own beside the C run-time's.
#pragma once
#include <cstddef>

// Formats into out (capacity bytes, terminator included) and returns the length the
// whole text has, as snprintf does: a result >= capacity means the text was cut
// (what fits is kept, always terminated). Understands %s, %d and %%; any other
// conversion makes the result -1 and out empty. Arguments beyond the format's own
// are ignored.
int FormatText(char *out, size_t capacity, const char *format, ...) __attribute__((format(printf, 3, 4)));

size_t TextLength(const char *text);
// The first occurrence of part in text (text itself for an empty part), or nullptr.
const char *TextFind(const char *text, const char *part);
char *TextFind(char *text, const char *part);
// The first c in text, or nullptr (the terminator itself for c == '\0').
const char *TextFindChar(const char *text, char c);
char *TextFindChar(char *text, char c);
