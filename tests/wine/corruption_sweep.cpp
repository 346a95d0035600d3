// Single changed bytes over the whole payload region of a packed installer (markers,
// item headers, compressed data, alignment, tail), each installer run for real into a
// fresh destination and over an earlier installation. Every run must end in success
// with byte-identical files or in a numbered error that leaves nothing of the payload
// (fresh) and loses nothing of the user's (earlier installation). Then two-byte swaps
// at distances the checksum's weights cannot see, and what they do.
//
// SETUP32_SWEEP=full samples densely (the benchmark); otherwise a few positions of
// each kind (the CI test).
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "format/szdd.h"
#include "program_fixture.h"
#include "tests/test_files.h"

namespace {

bool FullSweep()
{
    char value[16];
    DWORD n = GetEnvironmentVariableA("SETUP32_SWEEP", value, sizeof value);
    return n > 0 && n < sizeof value && std::string(value, n) == "full";
}

// The small payload with two items whose stored form ends in the marker's first letter
// (an unmatched literal S as their last byte), so the packer puts an alignment byte
// after them and the sweep has alignment to change.
const std::vector<Bytes> &SweepPayload()
{
    static std::vector<Bytes> inputs;
    if (inputs.empty()) {
        inputs = SmallPayload();
        for (int item : {3, 7}) {
            inputs[item].push_back(0x01);
            inputs[item].push_back('S');
        }
    }
    return inputs;
}

struct Position {
    const char *kind;
    size_t offset;
};

// Positions of each kind over the payload region; every stride-th one of a kind.
std::vector<Position> SamplePositions(const BuildReport &report, size_t installerSize, bool full)
{
    std::map<std::string, std::vector<size_t>> all;
    for (int i = 0; i < kPayloadItemCount; i++) {
        size_t start = report.itemOffsets[i];
        size_t stored = report.items[i].bytes.size();
        size_t next = i + 1 < kPayloadItemCount ? report.itemOffsets[i + 1] : installerSize - kTailSize;
        for (size_t at = start; at < next; at++) {
            size_t inItem = at - start;
            const char *kind = inItem < 4                 ? "marker"
                               : inItem < kSzddHeaderSize ? "header"
                               : inItem < stored          ? "data"
                                                          : "alignment";
            all[kind].push_back(at);
        }
    }
    for (size_t at = installerSize - kTailSize; at < installerSize; at++)
        all["tail"].push_back(at);
    // The stub's own alignment byte, when it has one, comes before the first marker.
    for (size_t at = ReadStub().size(); at < report.itemOffsets[0]; at++)
        all["alignment"].push_back(at);

    std::vector<Position> chosen;
    const char *kinds[] = {"marker", "header", "data", "alignment", "tail"};
    for (const char *kind : kinds) {
        const std::vector<size_t> &list = all[kind];
        std::string name = kind;
        size_t wanted = !full ? 2 : name == "data" ? 60 : name == "header" ? 40 : list.size();
        if (list.empty() || wanted == 0)
            continue;
        size_t stride = list.size() / wanted > 0 ? list.size() / wanted : 1;
        // Spread from the first to the last, so the first and the last item both get hit.
        for (size_t k = 0, picked = 0; k < list.size() && picked < wanted; k += stride, picked++)
            chosen.push_back({kind, list[k == 0 || picked + 1 < wanted ? k : list.size() - 1]});
    }
    return chosen;
}

// How one run ended.
struct Outcome {
    bool success = false;
    int error = 0;      // the number in the error caption; 0 for none
    bool idle = false;  // the error was a soft failure: the dialog went back to idle
    bool hung = false;  // no box came, or the program ended without one
};

class CorruptionSweep : public ProgramTest {
protected:
    Outcome Run(const Bytes &installer, const std::string &where)
    {
        Outcome outcome;
        StopProgram(program);
        Start(installer);
        if (HasFatalFailure())
            return outcome;
        SetDestination(where);
        ClearIcons();
        Click(dialog, IDC_INSTALL);
        for (;;) {
            SeenBox box;
            if (!WaitForNextBox(program, dialog, kRunWait, box)) {
                outcome.hung = true;
                break;
            }
            if (box.caption == kWarningCaption) {
                // Replace the settings too: the user's files must then all be in backup.
                AnswerMessageBox(box, IDNO);
                continue;
            }
            if (box.caption == kSuccessCaption) {
                AnswerMessageBox(box, IDOK);
                outcome.success = true;
                break;
            }
            if (sscanf(box.caption.c_str(), "Ovra Installation Error [%d]", &outcome.error) != 1) {
                ADD_FAILURE() << "unexpected box " << box.caption;
                outcome.hung = true;
                break;
            }
            AnswerMessageBox(box, IDOK);
            DWORD start = GetTickCount();
            while (!HasEnded(program) && GetTickCount() - start < 10000) {
                if (ControlText(dialog, IDC_CANCEL) == "Cancel" && ControlEnabled(dialog, IDC_INSTALL)) {
                    outcome.idle = true;
                    Click(dialog, IDC_CANCEL);
                    break;
                }
                Sleep(15);
            }
            break;
        }
        if (WaitForExit(program, 10000) != 0)
            outcome.hung = true;
        return outcome;
    }

    // What breaks the rule, or empty.
    std::string Judge(const Outcome &o, const std::string &where, bool earlier)
    {
        if (o.hung)
            return "no end: the run neither succeeded nor showed a numbered error";
        if (o.success) {
            for (int i = 0; i < kPayloadItemCount; i++)
                if (ReadWholeFile(where + "\\" + PayloadItemName(i)) != SweepPayload()[i])
                    return std::string("success with a different ") + PayloadItemName(i);
            return "";
        }
        for (int i = 0; i < kPayloadItemCount; i++) {
            std::string name = PayloadItemName(i);
            Bytes here = ReadWholeFile(where + "\\" + name);
            if (Exists(where + "\\" + name) && here != OldContent(i))
                return "error " + std::to_string(o.error) + " left " + name + " of the payload";
            if (earlier && here != OldContent(i) && ReadWholeFile(where + "\\backup\\" + name) != OldContent(i))
                return "error " + std::to_string(o.error) + " lost the user's " + name;
        }
        if (earlier && ReadWholeFile(where + "\\notes.txt") != BytesOf("the user's notes"))
            return "the user's notes are lost";
        if (!earlier && Exists(where))
            return "error " + std::to_string(o.error) + " left the destination it made";
        return "";
    }
};

TEST_F(CorruptionSweep, EveryChangedByteEndsInIdenticalFilesOrANumberedErrorThatLosesNothing)
{
    const bool full = FullSweep();
    BuildReport report;
    const Bytes original = Pack(SweepPayload(), report);
    const std::vector<Position> positions = SamplePositions(report, original.size(), full);
    const std::string fresh = work + "\\fresh", earlier = work + "\\earlier";
    std::map<std::string, int> outcomes;
    int breaking = 0;
    DWORD started = GetTickCount();

    for (const Position &p : positions) {
        Bytes changed = original;
        changed[p.offset] ^= 0xA5;
        for (bool over : {false, true}) {
            const std::string &where = over ? earlier : fresh;
            if (over)
                MakeExistingInstallation(where);
            else
                RemoveTree(where);
            Outcome o = Run(changed, where);
            std::string name = o.success ? "success"
                               : o.hung  ? "no end"
                                         : "error " + std::to_string(o.error) + (o.idle ? " (idle)" : "");
            outcomes[std::string(over ? "earlier " : "fresh ") + name]++;
            std::string broken = Judge(o, where, over);
            if (!broken.empty()) {
                breaking++;
                ADD_FAILURE() << p.kind << " byte at " << p.offset << ", " << (over ? "earlier installation" : "fresh")
                              << ": " << broken;
            }
        }
    }
    printf("corruption sweep (%s): %zu positions over %zu payload bytes, %zu runs, %.1f s\n", full ? "full" : "ci",
           positions.size(), original.size() - report.itemOffsets[0], positions.size() * 2,
           (GetTickCount() - started) / 1000.0);
    std::map<std::string, int> kinds;
    for (const Position &p : positions)
        kinds[p.kind]++;
    for (const auto &k : kinds)
        printf("  positions in %s: %d\n", k.first.c_str(), k.second);
    for (const auto &o : outcomes)
        printf("  %-24s %d\n", o.first.c_str(), o.second);
    printf("  breaking the rule: %d\n", breaking);
}

// Swapping two bytes whose distance is a multiple of four gives both the same weight:
// the checksum cannot see it. How often that goes unnoticed, and what it installs.
TEST_F(CorruptionSweep, SwapsAtDistancesTheChecksumCannotSee)
{
    const bool full = FullSweep();
    BuildReport report;
    const Bytes original = Pack(SweepPayload(), report);
    ScanResult expected;
    SimulateScan(original.data(), original.size(), expected);
    const std::string fresh = work + "\\fresh";
    const size_t begin = report.itemOffsets[0] + 4, end = original.size();
    const int perDistance = full ? 20 : 1;
    for (size_t distance : {4, 8, 12}) {
        std::map<std::string, int> outcomes;
        int tried = 0, unseen = 0;
        for (size_t at = begin; at + distance < end && tried < perDistance; at += (end - begin) / (perDistance + 1)) {
            Bytes changed = original;
            if (changed[at] == changed[at + distance])
                continue;
            std::swap(changed[at], changed[at + distance]);
            tried++;
            ScanResult scan;
            SimulateScan(changed.data(), changed.size(), scan);
            if (scan.checksum != expected.checksum)
                continue;
            unseen++;
            RemoveTree(fresh);
            Outcome o = Run(changed, fresh);
            std::string name;
            if (o.success) {
                int differing = 0;
                for (int i = 0; i < kPayloadItemCount; i++)
                    differing += ReadWholeFile(fresh + "\\" + PayloadItemName(i)) != SweepPayload()[i];
                name = differing ? "success, " + std::to_string(differing) + " file(s) differ" : "success, identical";
            } else {
                name = o.hung ? "no end" : "error " + std::to_string(o.error);
                std::string broken = Judge(o, fresh, false);
                EXPECT_EQ("", broken) << "swap at " << at << " and " << at + distance;
            }
            outcomes[name]++;
        }
        printf("swaps at distance %zu: %d tried, %d unseen by the checksum\n", distance, tried, unseen);
        for (const auto &o : outcomes)
            printf("  %-32s %d\n", o.first.c_str(), o.second);
    }
}

}  // namespace
