// The item compressor: the smallest encoding that never spells the item marker
// after the file's own (the search itself is described below).
#include "packer/compressor/compressor_parts.h"

#include "format/payload.h"
#include "packer/progress.h"
#include "packer/szdd_memory.h"

#include <algorithm>
#include <cstring>

// The installer ends an item wherever its bytes spell the marker, so a stored
// item must not. Among all encodings of the same content (token lengths, the
// source of each match, the free flag bits after the last token) one without
// the marker is chosen: the smallest encoding is kept everywhere except a
// neighbourhood of each place it spells the marker, which is searched again with
// the matcher's state in the search; the neighbourhood widens until the search
// succeeds or covers the whole file, where failing means no encoding exists.

namespace {

struct Token {
    uint8_t len;   // 1 literal, 3..18 match
    uint16_t src;  // window position of a match's source
};

// What the matcher tells apart: a byte is one of the marker's letters or not.
struct MarkerModel {
    char marker[4];
    uint8_t classOf[256];  // 0 not a letter, else 1 + index of its first occurrence
    uint8_t want[4];       // the class the matcher waits for in each state
    uint16_t specialLow[256];
    int specialLowCount;
    bool specialHigh[16];  // source high nibbles that can make a match's second byte a letter
};

void InitMarkerModel(MarkerModel &mm)
{
    BuildMarker(mm.marker);
    std::memset(mm.classOf, 0, sizeof mm.classOf);
    for (int j = 3; j >= 0; --j)
        mm.classOf[uint8_t(mm.marker[j])] = uint8_t(j + 1);
    for (int j = 0; j < 4; ++j)
        mm.want[j] = mm.classOf[uint8_t(mm.marker[j])];
    mm.specialLowCount = 0;
    for (int b = 0; b < 256; ++b)
        if (mm.classOf[b])
            mm.specialLow[mm.specialLowCount++] = uint16_t(b);
    for (int h = 0; h < 16; ++h) {
        mm.specialHigh[h] = false;
        for (int x = 0; x < 16; ++x)
            mm.specialHigh[h] = mm.specialHigh[h] || mm.classOf[(h << 4) | x] != 0;
    }
}

// The matcher's step on a byte class: 4 means the marker is complete.
inline int StepClass(const MarkerModel &mm, int m, int cls) { return cls == mm.want[m] ? m + 1 : 0; }

inline uint8_t MatchSecondByte(uint32_t src, int len)
{
    return uint8_t(((src >> 4) & 0xF0) | uint32_t(len - kSzddMinMatch));
}

// Byte j of the stream the window models: the initial spaces, then the input.
inline uint8_t StreamByte(const uint8_t *in, long long j) { return j < 0 ? uint8_t(' ') : in[size_t(j)]; }

// Length of the match at input position i from window position w, capped.
int MatchLengthFrom(const uint8_t *in, size_t i, uint32_t w, int cap)
{
    uint32_t d = (kSzddWindowStart + uint32_t(i) - w) & kSzddWindowMask;
    if (d == 0)
        d = kSzddWindowSize;
    long long base = (long long)i - (long long)d;
    int len = 0;
    while (len < cap && StreamByte(in, base + len) == in[i + size_t(len)])
        ++len;
    return len;
}

int MatchCap(size_t i, size_t n) { return int(std::min<size_t>(size_t(kSzddMaxMatch), n - i)); }

// For every match length at i, the set of byte-class pairs its two bytes can
// take over all sources of that length (bit c1 * 4 + c2). Sources whose bytes
// are no letters all look alike; the others are few and tried one by one.
void MatchClassSets(const MarkerModel &mm, const uint8_t *in, size_t n, size_t i, int longest, uint32_t canonical,
                    uint16_t sets[kSzddMaxMatch + 1])
{
    std::fill(sets, sets + kSzddMaxMatch + 1, uint16_t(0));
    if (longest < kSzddMinMatch)
        return;
    int cap = std::min(MatchCap(i, n), longest);
    auto special = [&](uint32_t w) { return mm.classOf[w & 0xFF] != 0 || mm.specialHigh[w >> 8]; };
    auto addSource = [&](uint32_t w, int len) {
        for (int l = kSzddMinMatch; l <= len; ++l)
            sets[l] |= uint16_t(1u << (mm.classOf[w & 0xFF] * 4 + mm.classOf[MatchSecondByte(w, l)]));
    };
    // Plain sources: the longest reach of any source whose bytes are no letters.
    int plain = 0;
    if (!special(canonical)) {
        plain = cap;
    } else {
        for (uint32_t w = 0; w < kSzddWindowSize && plain < cap; ++w)
            if (!special(w))
                plain = std::max(plain, MatchLengthFrom(in, i, w, cap));
    }
    for (int l = kSzddMinMatch; l <= plain; ++l)
        sets[l] |= 1u;
    for (int k = 0; k < mm.specialLowCount; ++k)
        for (uint32_t h = 0; h < 16; ++h) {
            uint32_t w = (h << 8) | mm.specialLow[k];
            addSource(w, MatchLengthFrom(in, i, w, cap));
        }
    // With a plain low byte, sources of one high nibble give the same bytes'
    // classes for the same length: only the longest reach among them matters.
    for (uint32_t h = 0; h < 16; ++h) {
        if (!mm.specialHigh[h])
            continue;
        int reach = 0;
        uint32_t some = 0;
        for (uint32_t low = 0; low < 256 && reach < cap; ++low) {
            if (mm.classOf[low])
                continue;  // done above
            some = (h << 8) | low;
            reach = std::max(reach, MatchLengthFrom(in, i, some, cap));
        }
        addSource(some, reach);
    }
}

// A source for a match of length len at i whose bytes have the given classes.
bool SourceWithClasses(const MarkerModel &mm, const uint8_t *in, size_t i, int len, int pair, uint32_t canonical,
                       uint32_t &src)
{
    auto fits = [&](uint32_t w) {
        return mm.classOf[w & 0xFF] * 4 + mm.classOf[MatchSecondByte(w, len)] == pair &&
               MatchLengthFrom(in, i, w, len) >= len;
    };
    if (fits(canonical)) {
        src = canonical;
        return true;
    }
    for (uint32_t w = 0; w < kSzddWindowSize; ++w)
        if (fits(w)) {
            src = w;
            return true;
        }
    return false;
}

// Search state inside a group: tokens taken in it (k), the matcher state (m),
// and what the group's flag byte, written before its tokens, was assumed to be:
// the letter the matcher waited for at the group's start (forced), or anything
// else (then at least one flag bit must differ from that letter's).
enum FlagKind { FLAG_FORCED = 0, FLAG_DIFFERS_NOT_YET = 1, FLAG_DIFFERS = 2 };
constexpr int kModes = 12;  // group-start state (0..3) * 3 kinds
constexpr int kStates = 4 + 7 * kModes * 4;

inline int StateIndex(int k, int mode, int m) { return k == 0 ? m : 4 + ((k - 1) * kModes + mode) * 4 + m; }
inline void StateParts(int s, int &k, int &mode, int &m)
{
    if (s < 4) {
        k = 0;
        mode = 0;
        m = s;
        return;
    }
    int r = s - 4;
    m = r % 4;
    mode = (r / 4) % kModes;
    k = r / (4 * kModes) + 1;
}

struct Back {
    uint16_t prev;
    uint8_t len;   // 0: unreached
    uint8_t pair;  // byte classes of a match
};

struct Window {
    size_t ta, tb;  // token range
    size_t A, B;    // input range
    size_t ma, mb;  // match range: indices of the first match tokens at ta and tb
};

// The tokens after a window, as far as the exit check can look (the rest of a
// group, then the matcher's run until it rests), and how many there are in all.
struct Following {
    std::vector<Token> tokens;
    size_t rest;
};
constexpr size_t kFollowingLook = 96;

struct ExitCheck {
    bool ok;
    long delta;             // flag bytes gained or saved by regrouping what follows
    uint8_t lastFlagExtra;  // free flag bits when the window reaches the end
};

// Can the search end at B in state s? The tokens after the window keep their
// lengths and sources; when the window's token count moved them within their
// groups, they are regrouped: the flags change, and the matcher is run over
// what follows until it is at rest again.
ExitCheck CheckExit(const MarkerModel &mm, const uint8_t *in, size_t n, const Following &follow, const Window &win,
                    int s)
{
    ExitCheck r{false, 0, 0};
    int k = 0, mode = 0, m = 0;
    StateParts(s, k, mode, m);
    int m0 = mode / 3;
    int kind = mode % 3;
    uint8_t v = uint8_t(mm.marker[m0]);
    const std::vector<Token> &tokens = follow.tokens;
    size_t rest = follow.rest;
    if (win.B == n) {
        // Nothing follows; free flag bits after the last token settle the flag byte.
        if (k != 0) {
            uint8_t unused = uint8_t(~((1u << k) - 1));
            r.lastFlagExtra = kind == FLAG_FORCED            ? uint8_t(v & unused)
                              : kind == FLAG_DIFFERS_NOT_YET ? uint8_t(~v & unused)
                                                             : 0;
        }
        r.ok = true;
        return r;
    }
    // The rest of the current group takes the first following tokens.
    size_t t = 0;
    size_t inGroup = k == 0 ? 0 : std::min<size_t>(size_t(8 - k), rest);
    if (k != 0) {
        bool differs = kind == FLAG_DIFFERS;
        for (size_t j = 0; j < inGroup; ++j) {
            int bit = tokens[t + j].len == 1 ? 1 : 0;
            int want = (v >> (k + int(j))) & 1;
            if (kind == FLAG_FORCED && bit != want)
                return r;
            differs = differs || bit != want;
        }
        bool freeBits = k + int(inGroup) < 8;  // the stream ends inside this group
        if (kind == FLAG_DIFFERS_NOT_YET && !differs && !freeBits)
            return r;
    }
    long before = long((rest + 7) / 8);
    long after = long(k == 0 ? (rest + 7) / 8 : (rest - inGroup + 7) / 8);
    r.delta = after - before;
    // Run the matcher over the regrouped bytes until it rests.
    size_t pos = win.B;
    size_t groupLeft = inGroup;
    size_t idx = t;
    int state = m;
    for (int guard = 0; state != 0 && idx < tokens.size() && guard < 64; ++guard) {
        if (groupLeft == 0) {
            uint8_t flag = 0;
            for (size_t j = 0; j < 8 && idx + j < tokens.size(); ++j)
                if (tokens[idx + j].len == 1)
                    flag |= uint8_t(1u << j);
            state = StepClass(mm, state, mm.classOf[flag]);
            if (state == 4)
                return r;
            groupLeft = 8;
            continue;
        }
        const Token &tok = tokens[idx];
        if (tok.len == 1) {
            state = StepClass(mm, state, mm.classOf[in[pos]]);
        } else {
            state = StepClass(mm, state, mm.classOf[tok.src & 0xFF]);
            if (state != 4)
                state = StepClass(mm, state, mm.classOf[MatchSecondByte(tok.src, tok.len)]);
        }
        if (state == 4)
            return r;
        pos += tok.len;
        ++idx;
        --groupLeft;
    }
    r.ok = true;
    return r;
}

// The window search's record. Costs and back pointers of the positions a token
// can still reach live in a ring; the reached states of each position are kept as
// a bitmask, since only a few of the states are ever reached. A position's back
// pointers are logged once it is final (unless only existence is asked): the
// reached states in increasing order, found again by binary search on the walk back.
constexpr uint32_t kUnreached = UINT32_MAX;
constexpr int kRing = 32;  // longer than any token; a power of two, so a slot is a mask
constexpr int kWords = (kStates + 63) / 64;
constexpr uint8_t kNoPair = 0xFF;

struct LoggedBack {
    uint16_t state;
    Back back;
};

struct WindowSearch {
    size_t W;  // the window's input bytes
    bool existenceOnly;
    std::vector<uint32_t> cost;
    std::vector<Back> ringBack;
    uint64_t active[kRing][kWords];
    std::vector<LoggedBack> log;
    std::vector<uint32_t> logAt;
    std::vector<uint16_t> sourceOf;  // the finder's source at each position, for the walk back
    size_t furthest;                 // the furthest position any path has reached
};

// For each match length and matcher state before it, the first byte-class pair
// of a source of that length that leads to each state after it.
typedef uint8_t PairTable[kSzddMaxMatch + 1][4][4];

void StartWindowSearch(WindowSearch &ws, const Window &win, int entryState, bool existenceOnly)
{
    ws.W = win.B - win.A;
    ws.existenceOnly = existenceOnly;
    ws.cost.assign(size_t(kRing) * kStates, kUnreached);
    ws.ringBack.assign(size_t(kRing) * kStates, Back{0, 0, 0});
    std::memset(ws.active, 0, sizeof ws.active);
    if (!existenceOnly) {
        ws.sourceOf.resize(ws.W);
        ws.logAt.resize(ws.W + 2);
    }
    ws.cost[size_t(entryState)] = 0;
    ws.active[0][entryState / 64] |= uint64_t(1) << (entryState % 64);
    ws.furthest = 0;
}

// Logs position r's back pointers once no token can reach it any more.
void SettlePosition(WindowSearch &ws, size_t r)
{
    size_t slot = r % kRing;
    if (ws.existenceOnly)
        return;
    ws.logAt[r] = uint32_t(ws.log.size());
    for (int w = 0; w < kWords; ++w)
        for (uint64_t bits = ws.active[slot][w]; bits != 0; bits &= bits - 1) {
            int st = w * 64 + __builtin_ctzll(bits);
            ws.log.push_back(LoggedBack{uint16_t(st), ws.ringBack[slot * kStates + size_t(st)]});
        }
    ws.logAt[r + 1] = uint32_t(ws.log.size());
}

// Pairs that leave the matcher in the same state are alike to the search: only
// the first of them (the one the walk back will use) is tried.
void FirstPairs(const MarkerModel &mm, const uint16_t *sets, int maxLen, PairTable &firstPair)
{
    for (int len = kSzddMinMatch; len <= maxLen; ++len)
        for (int from = 0; from < 4; ++from) {
            std::fill(firstPair[len][from], firstPair[len][from] + 4, kNoPair);
            for (uint32_t bits = sets[size_t(len)]; bits != 0; bits &= bits - 1) {
                int pair = __builtin_ctz(bits);
                int m1 = StepClass(mm, from, pair / 4);
                int m2 = m1 == 4 ? 4 : StepClass(mm, m1, pair % 4);
                if (m2 != 4 && firstPair[len][from][m2] == kNoPair)
                    firstPair[len][from][m2] = uint8_t(pair);
            }
        }
}

// Every token that can follow state s at position r, relaxed into the positions
// it reaches.
void RelaxState(const MarkerModel &mm, WindowSearch &ws, size_t r, int s, int litClass, int maxLen,
                const PairTable &firstPair)
{
    size_t slot = r % kRing;
    uint32_t c = ws.cost[slot * kStates + size_t(s)];
    int k = 0, mode = 0, m = 0;
    StateParts(s, k, mode, m);
    // At a group start the flag byte is assumed first: forced to the letter the
    // matcher waits for, or differing from it.
    for (int kindChoice = 0; kindChoice < (k == 0 ? 2 : 1); ++kindChoice) {
        int m0 = k == 0 ? m : mode / 3;
        int kind = k == 0 ? (kindChoice == 0 ? FLAG_FORCED : FLAG_DIFFERS_NOT_YET) : mode % 3;
        if (k == 0 && kind == FLAG_FORCED && StepClass(mm, m, mm.want[m]) == 4)
            continue;  // the flag byte itself would complete the marker
        int mAfterFlag = k == 0 ? (kind == FLAG_FORCED ? m + 1 : 0) : m;
        uint32_t flagCost = k == 0 ? 1 : 0;
        uint8_t v = uint8_t(mm.marker[m0]);
        int want = (v >> k) & 1;
        auto relax = [&](int len, int bit, int m2, int pair) {
            int nkind = kind;
            if (kind == FLAG_FORCED && bit != want)
                return;
            if (kind == FLAG_DIFFERS_NOT_YET && bit != want)
                nkind = FLAG_DIFFERS;
            int nk = k + 1;
            int ns;
            if (nk == 8) {
                if (nkind == FLAG_DIFFERS_NOT_YET)
                    return;  // the flag byte would be the letter after all
                ns = StateIndex(0, 0, m2);
            } else {
                ns = StateIndex(nk, m0 * 3 + nkind, m2);
            }
            uint32_t nc = c + flagCost + (len == 1 ? 1u : 2u);
            size_t to = (r + size_t(len)) % kRing;
            uint32_t &t = ws.cost[to * kStates + size_t(ns)];
            if (nc < t) {
                t = nc;
                ws.furthest = std::max(ws.furthest, r + size_t(len));
                ws.active[to][ns / 64] |= uint64_t(1) << (ns % 64);
                ws.ringBack[to * kStates + size_t(ns)] = Back{uint16_t(s), uint8_t(len), uint8_t(pair)};
            }
        };
        int mLit = StepClass(mm, mAfterFlag, litClass);
        if (mLit != 4)
            relax(1, 1, mLit, 0);
        for (int len = kSzddMinMatch; len <= maxLen; ++len)
            for (int m2 = 0; m2 < 4; ++m2)
                if (firstPair[len][mAfterFlag][m2] != kNoPair)
                    relax(len, 0, m2, firstPair[len][mAfterFlag][m2]);
    }
}

// Search forward: every encoding of the window from entryState, position by
// position, keeping the cheapest path to each (position, state). false when every
// path spells the marker before the window's end.
bool SearchWindowForward(const MarkerModel &mm, const uint8_t *in, size_t n, const Window &win, WindowSearch &ws)
{
    MatchFinder finder;
    StartMatchFinder(finder, in, n, win.A);
    std::vector<uint16_t> sets(size_t(kSzddMaxMatch + 1));
    PairTable firstPair;
    for (size_t r = 0; r < ws.W; ++r) {
        // Every path ended in a marker before this position: no encoding of the
        // window exists, however far it goes on (this decides at once for the
        // letters at a file's very start, even when the window is the whole file).
        if (r > ws.furthest)
            return false;
        size_t i = win.A + r;
        size_t slot = r % kRing;
        uint32_t *here = &ws.cost[slot * kStates];
        SettlePosition(ws, r);
        uint32_t canonical = 0;
        int longest = NextMatch(finder, canonical);
        if (!ws.existenceOnly)
            ws.sourceOf[r] = uint16_t(canonical);
        int maxLen = std::min<int>(longest, int(ws.W - r));
        MatchClassSets(mm, in, n, i, maxLen, canonical, sets.data());
        FirstPairs(mm, sets.data(), maxLen, firstPair);
        int litClass = mm.classOf[in[i]];
        // Once a group's flag byte is known to differ from the letter, nothing in
        // the group is constrained any more: the cheapest such state of a (k, m)
        // serves every completion that any costlier state of that (k, m) could.
        uint32_t freeCost[8][4];
        int freeState[8][4];
        std::fill(&freeCost[0][0], &freeCost[0][0] + 8 * 4, kUnreached);
        for (int word = 0; word < kWords; ++word)
            for (uint64_t stateBits = ws.active[slot][word]; stateBits != 0; stateBits &= stateBits - 1) {
                int st = word * 64 + __builtin_ctzll(stateBits);
                int k = 0, mode = 0, m = 0;
                StateParts(st, k, mode, m);
                if (k > 0 && mode % 3 == FLAG_DIFFERS && here[st] < freeCost[k][m]) {
                    freeCost[k][m] = here[st];
                    freeState[k][m] = st;
                }
            }
        for (int word = 0; word < kWords; ++word) {
            for (uint64_t stateBits = ws.active[slot][word]; stateBits != 0; stateBits &= stateBits - 1) {
                int s = word * 64 + __builtin_ctzll(stateBits);
                int k = 0, mode = 0, m = 0;
                StateParts(s, k, mode, m);
                if (k > 0 && here[s] >= freeCost[k][m] && s != freeState[k][m])
                    continue;  // dominated
                RelaxState(mm, ws, r, s, litClass, maxLen, firstPair);
            }
        }
        // The slot is reused for position r + kRing; it must start empty.
        for (int word = 0; word < kWords; ++word) {
            for (uint64_t bits = ws.active[slot][word]; bits != 0; bits &= bits - 1)
                here[word * 64 + __builtin_ctzll(bits)] = kUnreached;
            ws.active[slot][word] = 0;
        }
    }
    SettlePosition(ws, ws.W);
    return true;
}

// Choose the exit: the cheapest state at the window's end whose continuation is
// sound, counting the flag bytes that regrouping what follows gains or saves.
// -1 when there is none.
int ChooseWindowExit(const MarkerModel &mm, const uint8_t *in, size_t n, const Following &follow, const Window &win,
                     const WindowSearch &ws, ExitCheck &bestExit)
{
    const uint32_t *last = &ws.cost[(ws.W % kRing) * kStates];
    long bestTotal = -1;
    int bestState = -1;
    for (int s = 0; s < kStates; ++s) {
        if (last[s] == kUnreached)
            continue;
        ExitCheck e = CheckExit(mm, in, n, follow, win, s);
        if (!e.ok)
            continue;
        long total = long(last[s]) + e.delta;
        if (bestState < 0 || total < bestTotal) {
            bestTotal = total;
            bestState = s;
            bestExit = e;
        }
    }
    return bestState;
}

// Walk back from the chosen exit state and rebuild the window's tokens, each
// match with a source of the byte classes the search chose.
bool WalkWindowBack(const MarkerModel &mm, const uint8_t *in, const Window &win, const WindowSearch &ws, int exitState,
                    std::vector<Token> &middle)
{
    middle.clear();
    size_t r = ws.W;
    int s = exitState;
    while (r > 0) {
        const LoggedBack *from = ws.log.data() + ws.logAt[r];
        const LoggedBack *to = ws.log.data() + ws.logAt[r + 1];
        const LoggedBack *found =
            std::lower_bound(from, to, s, [](const LoggedBack &l, int st) { return l.state < st; });
        if (found == to || found->state != s)
            return false;  // cannot happen: every reached state was logged
        const Back &b = found->back;
        size_t i = win.A + r - b.len;
        Token tok{b.len, 0};
        if (b.len != 1) {
            uint32_t src = 0;
            if (!SourceWithClasses(mm, in, i, b.len, b.pair, ws.sourceOf[i - win.A], src))
                return false;  // cannot happen: the class came from such a source
            tok.src = uint16_t(src);
        }
        middle.push_back(tok);
        r -= b.len;
        s = b.prev;
    }
    std::reverse(middle.begin(), middle.end());
    return true;
}

// Searches the window for the smallest encoding in which the marker never
// completes; on success gives the window's new tokens in `middle`. false when
// none exists within it. With existenceOnly it only tells whether one exists,
// in memory that does not grow with the window.
bool RepairWindow(const MarkerModel &mm, const uint8_t *in, size_t n, const Following &follow, const Window &win,
                  int entryState, bool existenceOnly, std::vector<Token> &middle, uint8_t &lastFlagExtra)
{
    WindowSearch ws;
    StartWindowSearch(ws, win, entryState, existenceOnly);
    if (!SearchWindowForward(mm, in, n, win, ws))
        return false;
    ExitCheck bestExit{false, 0, 0};
    int bestState = ChooseWindowExit(mm, in, n, follow, win, ws, bestExit);
    if (bestState < 0)
        return false;
    if (existenceOnly)
        return true;  // only asked whether one exists
    if (!WalkWindowBack(mm, in, win, ws, bestState, middle))
        return false;
    if (win.B == n)
        lastFlagExtra = bestExit.lastFlagExtra;
    else if (bestExit.delta != 0 || (bestState >= 4))
        lastFlagExtra = 0;  // the last group is regrouped; the rescan judges it
    return true;
}

// The encoding being made marker-free: one length per token, and one source per
// match token (the tokens' own order), so a file costs little more than its
// token count in memory.
struct Encoding {
    std::vector<uint8_t> lens;
    std::vector<uint16_t> srcs;
    uint8_t lastFlagExtra;            // the flag bits after the last token
    std::vector<uint8_t> groupState;  // the matcher's state before each group's flag byte
};

// Where a walk over the tokens stands.
struct Cursor {
    size_t t;      // token index
    size_t pos;    // its input position
    size_t match;  // index in srcs of the first match token at or after t
};

// Where the encoding spells the marker: the groups of its first and last bytes
// (the header counts as group 0), and the token behind its first byte.
struct MarkerHit {
    size_t firstGroup;
    size_t lastGroup;
    Cursor first;
};

// Moves a cursor to token t by walking the lengths between.
void MoveCursor(const Encoding &e, Cursor &c, size_t t)
{
    for (; c.t > t; --c.t) {
        c.pos -= e.lens[c.t - 1];
        c.match -= e.lens[c.t - 1] != 1 ? 1 : 0;
    }
    for (; c.t < t; ++c.t) {
        c.pos += e.lens[c.t];
        c.match += e.lens[c.t] != 1 ? 1 : 0;
    }
}

uint8_t GroupFlag(const Encoding &e, size_t g)
{
    size_t T = e.lens.size();
    uint8_t flag = 0;
    size_t end = std::min(T, g * 8 + 8);
    for (size_t t = g * 8; t < end; ++t)
        if (e.lens[t] == 1)
            flag |= uint8_t(1u << (t - g * 8));
    if (end == T && T % 8 != 0)
        flag |= uint8_t(e.lastFlagExtra & ~((1u << (T % 8)) - 1));
    return flag;
}

// Runs the scan's matcher over the encoding from group at.t / 8 (at must be a
// group's first token) with the state recorded for that group; records the state
// of every group on the way. true at the first marker.
bool FindMarker(const MarkerModel &mm, const uint8_t *in, Encoding &e, Cursor at, MarkerHit &hit)
{
    size_t T = e.lens.size();
    size_t groups = (T + 7) / 8;
    e.groupState.resize(groups + 1);
    size_t g = at.t / 8;
    int m = e.groupState[g];
    // The last four bytes' owners: which group and token each came from.
    struct Owner {
        size_t group;
        Cursor c;
    } owners[4] = {};
    size_t seen = 0;
    Cursor c = at;
    auto byte = [&](uint8_t b, size_t group, const Cursor &owner) {
        owners[seen++ % 4] = Owner{group, owner};
        m = StepClass(mm, m, mm.classOf[b]);
        if (m != 4)
            return false;
        hit.lastGroup = group;
        if (seen >= 4) {
            hit.firstGroup = owners[(seen - 4) % 4].group;
            hit.first = owners[(seen - 4) % 4].c;
        } else if (at.t == 0) {
            hit.firstGroup = 0;  // it began in the header
            hit.first = Cursor{0, 0, 0};
        } else {
            // It began in the group before this scan's first; a group holds at
            // least nine bytes, so no further back.
            hit.firstGroup = at.t / 8 - 1;
            hit.first = at;
            MoveCursor(e, hit.first, at.t - 8);
        }
        return true;
    };
    for (; g < groups; ++g) {
        e.groupState[g] = uint8_t(m);
        if (byte(GroupFlag(e, g), g, c))
            return true;
        size_t end = std::min(T, g * 8 + 8);
        for (; c.t < end; ++c.t) {
            uint8_t len = e.lens[c.t];
            if (len == 1) {
                if (byte(in[c.pos], g, c))
                    return true;
            } else {
                uint32_t src = e.srcs[c.match];
                if (byte(uint8_t(src & 0xFF), g, c) || byte(MatchSecondByte(src, len), g, c))
                    return true;
                ++c.match;
            }
            c.pos += len;
        }
    }
    e.groupState[groups] = uint8_t(m);
    return false;
}

Following TokensAfter(const Encoding &e, const Cursor &end)
{
    Following f;
    f.rest = e.lens.size() - end.t;
    size_t match = end.match;
    for (size_t t = end.t; t < e.lens.size() && f.tokens.size() < kFollowingLook; ++t) {
        uint8_t len = e.lens[t];
        f.tokens.push_back(Token{len, uint16_t(len == 1 ? 0 : e.srcs[match])});
        match += len != 1 ? 1 : 0;
    }
    return f;
}

void Replace(Encoding &e, const Window &win, const std::vector<Token> &middle)
{
    std::vector<uint8_t> lens;
    std::vector<uint16_t> srcs;
    for (const Token &tok : middle) {
        lens.push_back(tok.len);
        if (tok.len != 1)
            srcs.push_back(tok.src);
    }
    e.lens.erase(e.lens.begin() + long(win.ta), e.lens.begin() + long(win.tb));
    e.lens.insert(e.lens.begin() + long(win.ta), lens.begin(), lens.end());
    e.srcs.erase(e.srcs.begin() + long(win.ma), e.srcs.begin() + long(win.mb));
    e.srcs.insert(e.srcs.begin() + long(win.ma), srcs.begin(), srcs.end());
}

void EmitEncoding(const uint8_t *in, size_t n, const Encoding &e, BufferedWriter &w)
{
    uint8_t header[kSzddHeaderSize];
    SzddHeader(n, header);
    PutBytes(w, header, sizeof header);
    size_t T = e.lens.size();
    size_t pos = 0;
    size_t match = 0;
    uint8_t group[1 + 2 * 8];
    for (size_t g = 0; g * 8 < T; ++g) {
        if (g % (kProgressStep / 8) == 0)
            ReportWork(WORK_WRITE, g * 8, T);
        size_t used = 0;
        group[used++] = GroupFlag(e, g);
        for (size_t t = g * 8; t < std::min(T, g * 8 + 8); ++t) {
            uint8_t len = e.lens[t];
            if (len == 1) {
                group[used++] = in[pos];
            } else {
                uint32_t src = e.srcs[match++];
                group[used++] = uint8_t(src & 0xFF);
                group[used++] = MatchSecondByte(src, len);
            }
            pos += len;
        }
        PutBytes(w, group, used);
    }
}

// The smallest encoding: token lengths from the optimal parse, then the sources
// of its matches from a second run of the finder.
void SmallestEncoding(const uint8_t *in, size_t n, Encoding &e)
{
    FindLongestMatches(in, n, e.lens);
    OptimalParse(e.lens, {});
    // Compressible data has far fewer tokens than bytes: the room is given back
    // then (a copy of the tokens), and only then, for the sources that follow.
    if (e.lens.size() < e.lens.capacity() / 2)
        e.lens.shrink_to_fit();
    size_t matches = 0;
    for (uint8_t len : e.lens)
        matches += len != 1 ? 1 : 0;
    e.srcs.reserve(matches + kSzddLargestRepairSpan / 4);
    MatchFinder f;
    StartMatchFinder(f, in, n, 0);
    size_t t = 0;
    for (uint8_t len : e.lens) {
        if (t++ % kProgressStep == 0)
            ReportWork(WORK_SOURCES, t, e.lens.size());
        if (len == 1) {
            SkipMatch(f);
            continue;
        }
        uint32_t src = 0;
        NextMatch(f, src);
        e.srcs.push_back(uint16_t(src));
        for (int j = 1; j < len; ++j)
            SkipMatch(f);
    }
    e.lastFlagExtra = 0;
}

SzddMarkerFreeStatus MarkerFreeEncoding(const uint8_t *in, size_t n, Encoding &e, SzddMarkerFreeReport &report)
{
    report = SzddMarkerFreeReport{};
    if (n > size_t(UINT32_MAX) || (in == nullptr && n > 0))
        return SZDD_MARKER_TOO_LARGE;
    SmallestEncoding(in, n, e);
    report.optimalSize = kSzddHeaderSize + e.lens.size() + e.srcs.size() + (e.lens.size() + 7) / 8;

    MarkerModel mm;
    InitMarkerModel(mm);
    // The header: its length field can spell the marker, and nothing moves it.
    uint8_t header[kSzddHeaderSize];
    SzddHeader(n, header);
    int m = 0;
    for (size_t q = 4; q < kSzddHeaderSize; ++q) {
        m = StepClass(mm, m, mm.classOf[header[q]]);
        if (m == 4)
            return SZDD_MARKER_UNAVOIDABLE;
    }
    e.groupState.assign(1, uint8_t(m));
    Cursor resume{0, 0, 0};
    std::vector<Token> middle;
    for (;;) {
        MarkerHit hit;
        if (!FindMarker(mm, in, e, resume, hit))
            return SZDD_MARKER_FREE;
        report.markerInput = hit.first.pos;
        size_t T = e.lens.size();
        Window win{};
        Cursor a = hit.first;
        Cursor b = hit.first;
        size_t ta = (hit.firstGroup > 0 ? hit.firstGroup - 1 : 0) * 8;
        size_t tb = std::min(T, (hit.lastGroup + 2) * 8);
        bool repaired = false;
        for (int widen = 0; !repaired; ++widen) {
            MoveCursor(e, a, ta);
            MoveCursor(e, b, tb);
            win = Window{ta, tb, a.pos, b.pos, a.match, b.match};
            int entry = e.groupState[ta / 8];
            bool whole = ta == 0 && tb == T;
            Following follow = TokensAfter(e, b);
            if (win.B - win.A <= kSzddLargestRepairSpan) {
                repaired = RepairWindow(mm, in, n, follow, win, entry, false, middle, e.lastFlagExtra);
                report.widest = std::max(report.widest, win.B - win.A);
            } else if (whole) {
                // Too wide to rebuild here; the search still tells whether any encoding exists.
                if (RepairWindow(mm, in, n, follow, win, entry, true, middle, e.lastFlagExtra))
                    return SZDD_MARKER_SEARCH_LIMIT;
            }
            if (!repaired && whole)
                return SZDD_MARKER_UNAVOIDABLE;
            if (repaired)
                break;
            // Widen mostly backwards: earlier matches are what move flag bytes
            // in between the letters; what follows is regrouped anyway.
            size_t grow = size_t(8) << std::min(widen, 40);
            if (ta > 0)
                ta = ta > grow ? ta - grow : 0;
            tb = std::min(T, tb + (ta > 0 ? size_t(8) : grow));
        }
        Replace(e, win, middle);
        ++report.repairs;
        // Everything before the window is as it was; the scan resumes there.
        resume = Cursor{win.ta, win.A, win.ma};
    }
}

}  // namespace

SzddMarkerFreeStatus SzddCompressMarkerFreeTo(const uint8_t *in, size_t n, SzddWriteFn write, void *ctx,
                                              SzddMarkerFreeReport &report)
{
    Encoding e;
    SzddMarkerFreeStatus status = MarkerFreeEncoding(in, n, e, report);
    if (status != SZDD_MARKER_FREE)
        return status;
    if (write == nullptr)
        return SZDD_MARKER_WRITE_FAILED;
    e.groupState = std::vector<uint8_t>();
    BufferedWriter w;
    StartWriter(w, write, ctx);
    EmitEncoding(in, n, e, w);
    bool written = FlushWriter(w);
    report.storedSize = w.total;
    return written ? SZDD_MARKER_FREE : SZDD_MARKER_WRITE_FAILED;
}

SzddMarkerFreeStatus SzddCompressMarkerFree(const uint8_t *in, size_t n, std::vector<uint8_t> &out,
                                            SzddMarkerFreeReport &report)
{
    out.clear();
    SzddMarkerFreeStatus status = SzddCompressMarkerFreeTo(in, n, SzddWriteToVector, &out, report);
    if (status != SZDD_MARKER_FREE)
        out.clear();
    return status;
}
