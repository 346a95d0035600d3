// One input file as the installer stores it: the check that a compressed input
// is one sound stream, and the marker-free encoding of everything else.
#include "packer/stored_item.h"

#include <algorithm>

#include "packer/scan_replay.h"
#include "packer/szdd_memory.h"

namespace {

// Why the bytes are not one sound stream; empty when they are. The expansion
// goes into `expanded` when given, otherwise it is only counted: checking a
// large compressed input then costs no copy of its content.
std::string StreamProblem(const uint8_t *in, size_t size, std::vector<uint8_t> *expanded, uint64_t &expandedSize)
{
    expandedSize = 0;
    if (!SzddHasMagic(in, size))
        return "it is no compressed file";
    SzddMemorySource reader{in, size, 0};
    unsigned long long consumed = 0;
    long result = expanded != nullptr
                      ? SzddExpandCounted(SzddReadMemory, &reader, SzddWriteToVector, expanded, consumed)
                      : SzddExpandCounted(SzddReadMemory, &reader, CountOnly, &expandedSize, consumed);
    if (expanded != nullptr)
        expandedSize = expanded->size();
    if (result < 0)
        return "it starts like a compressed file, but " + SzddErrorText(result);
    if (consumed < size)
        return "it holds a compressed file of " + std::to_string(consumed) + " bytes followed by " +
               std::to_string(size - consumed) + " more bytes (compressed files back to back?)";
    return "";
}

std::string MarkerFreeProblem(SzddMarkerFreeStatus status, const SzddMarkerFreeReport &report)
{
    std::string at = "offset " + std::to_string(report.markerInput);
    switch (status) {
    case SZDD_MARKER_FREE: return "";
    case SZDD_MARKER_TOO_LARGE: return "too large for the compressed-file format (at most 4294967295 bytes)";
    case SZDD_MARKER_SEARCH_LIMIT:
        return "its compressed form spells the item marker near " + at +
               ", and the only encodings without it differ over more than " + std::to_string(kSzddLargestRepairSpan) +
               " bytes, more than mksetup searches";
    case SZDD_MARKER_WRITE_FAILED: return "write failed (disk full?)";
    case SZDD_MARKER_UNAVOIDABLE: break;
    }
    return "no compressed form of this file avoids the item marker letters (near " + at +
           "): the installer ends an item wherever its bytes spell them, and the data around them "
           "leaves no other choice of tokens or flag bytes (uncompressible bytes, or the letters at the very "
           "start). Change the file near that offset, or pack it inside an archive of its own";
}

}  // namespace

std::string SzddErrorText(long code)
{
    switch (code) {
    case SZDD_ERR_READ: return "the file could not be read";
    case SZDD_ERR_WRITE: return "the output could not be written";
    case SZDD_ERR_SHORT_HEADER: return "its header is cut short";
    case SZDD_ERR_BAD_MODE: return "its compression mode is not 'A'";
    case SZDD_ERR_TRUNCATED: return "its compressed data ends before the length its header states";
    case SZDD_ERR_BAD_ARGUMENT: return "bad argument";
    case SZDD_ERR_TOO_LARGE: return "its stated length is too large";
    default: return "unknown error " + std::to_string(code);
    }
}

// The largest piece handed to a writer at once.
constexpr size_t kWritePiece = size_t(1) << 20;

bool WriteAllTo(SzddWriteFn write, void *ctx, const uint8_t *data, size_t size)
{
    while (size > 0) {
        long n = long(std::min(size, kWritePiece));
        if (write(ctx, data, n) != n)
            return false;
        data += n;
        size -= size_t(n);
    }
    return true;
}

bool IsOneSoundSzddStream(const std::vector<uint8_t> &input, std::vector<uint8_t> &expanded)
{
    return SzddStreamProblem(input, expanded).empty();
}

std::string SzddStreamProblem(const std::vector<uint8_t> &input, std::vector<uint8_t> &expanded)
{
    expanded.clear();
    uint64_t expandedSize = 0;
    return StreamProblem(input.data(), input.size(), &expanded, expandedSize);
}

bool WriteStoredItem(const std::vector<uint8_t> &input, const std::string &name, SzddWriteFn write, void *ctx,
                     StoredItem &item, std::string &error)
{
    item = StoredItem{};
    const uint8_t *source = input.data();
    size_t sourceSize = input.size();
    std::vector<uint8_t> expanded;
    // Only a file that is one whole compressed stream and nothing else stands for
    // its expansion. Anything more (streams back to back, bytes after the data) or
    // less (cut short, another mode) would lose or change bytes if taken as one,
    // so such a file is compressed as it is, like any other data.
    uint64_t expandedSize = 0;
    std::string problem = StreamProblem(input.data(), input.size(), nullptr, expandedSize);
    if (problem.empty()) {
        item.expandedSize = size_t(expandedSize);
        if (!RunMarkerMatcher(input.data() + 4, input.size() - 4).complete) {
            item.embeddedAsIs = true;
            item.optimalSize = input.size();
            item.storedSize = input.size();
            if (!WriteAllTo(write, ctx, input.data(), input.size())) {
                error = name + ": " + MarkerFreeProblem(SZDD_MARKER_WRITE_FAILED, SzddMarkerFreeReport{});
                return false;
            }
            return true;
        }
        // Its own encoding spells a second marker: encode its content again
        // (only now is the content held, and only for this item).
        SzddExpandBuffer(input.data(), input.size(), expanded);
        source = expanded.data();
        sourceSize = expanded.size();
    }
    item.expandedSize = sourceSize;
    SzddMarkerFreeReport report{};
    SzddMarkerFreeStatus status = SzddCompressMarkerFreeTo(source, sourceSize, write, ctx, report);
    item.optimalSize = report.optimalSize;
    item.repairs = report.repairs;
    if (status != SZDD_MARKER_FREE) {
        // A file that starts like a compressed one starts with the marker letters,
        // which as plain data no encoding can keep out of its first bytes.
        if (status != SZDD_MARKER_WRITE_FAILED && SzddHasMagic(input.data(), input.size()) && !problem.empty())
            error = name + ": " + problem +
                    "; as plain data its first bytes would spell the item marker, "
                    "which no encoding avoids: give the compressed files one by one, or the expanded file";
        else
            error = name + ": " + MarkerFreeProblem(status, report);
        return false;
    }
    item.storedSize = size_t(report.storedSize);
    return true;
}

bool PrepareItem(const std::vector<uint8_t> &input, const std::string &name, StoredItem &item, std::string &error)
{
    std::vector<uint8_t> bytes;
    if (!WriteStoredItem(input, name, SzddWriteToVector, &bytes, item, error))
        return false;
    item.bytes = std::move(bytes);
    return true;
}
