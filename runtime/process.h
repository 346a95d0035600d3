// The installer's process-wide run-time calls: the current drive and the end of the program.
#pragma once

// Makes drive (1 for a:, 2 for b:, ...) the current drive, in the directory the
// process last used on it; false when the drive cannot be used.
bool ChangeDrive(int drive);
// Writes and closes every open stream, then ends the process with code.
[[noreturn]] void ExitProgram(int code);
