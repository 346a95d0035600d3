// A real destination for engine tests: a fresh directory under the prefix's
// temporary directory, an owner window with a status line, SZDD items built on
// the spot, and the message-box answerer.
#pragma once
#include <gtest/gtest.h>
#include <windows.h>

#include <memory>
#include <string>

#include "engine/session.h"
#include "file_tree.h"
#include "msgbox_answerer.h"
#include "prefix.h"

std::string ItemContent(int index, int generation);
// The item as the scanner leaves it in the temporary file: SZDD data followed by
// alignment bytes. cutTo > 0 keeps only that many bytes (a damaged item).
std::string SzddItem(const std::string &content, size_t cutTo = 0);

// The file's content, or "<missing>".
std::string TextOrMissing(const std::string &path);
void WriteAll(const std::string &path, const std::string &content);

// A stop-icon box with OK, owned by owner, captioned with the error's number.
void ExpectErrorBox(const SeenBox &box, int code, const std::string &text, HWND owner);

struct EngineTest : ::testing::Test {
    std::string base;         // everything of the test lives below it
    std::string dest;         // the destination, existing unless a test removes it
    std::string oldSettings;  // ovra.ini in the Windows directory
    HWND owner = nullptr;     // stands in for the Install dialog
    std::unique_ptr<ScopedBoxAnswerer> answerer;

    void SetUp() override;
    void TearDown() override;

    // A new run over the current destination (ResetSession forgets the temporary path).
    void NewRun();
    std::string Target(int index) const;
    std::string Backup(const char *name) const { return dest + "\\backup\\" + name; }
    // Writes item index (of the given generation) to the temporary file and places it
    // as item number index.
    int Place(int index, int generation = 1);
    // Places every item from first to last; stops at the first result other than 1.
    int PlaceRange(int first, int last, int generation = 1);
    std::string StatusLine() const;
};
