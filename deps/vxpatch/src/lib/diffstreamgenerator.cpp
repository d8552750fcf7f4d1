#include "diffstreamgenerator.h"

#include "logmessage.h"
#include "lzmaioout.h"
#include "streams.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <divsufsort.h>
#include <memory>
#include <new>

namespace vxpatch {

namespace {

const char kDiffMagic[8] = {'V', 'X', 'D', 'I', 'F', 'F', '1', '0'};

// A candidate match must beat the current alignment by more than this many
// bytes before a new control step is worth its cost.
const int64_t kMinGain = 8;

// Match lengths from which the scan skips ahead instead of trying every start
// inside the match; keeps long repetitive regions from costing O(n * length).
const int64_t kLongMatch = 256;

// Equally long matches examined on each side when choosing among them.
const int kMaxCandidates = 16;

bool Fail(const char *message)
{
    LogError(message);
    return false;
}

// Length of the common prefix of a and b, both at least `limit` long.
int64_t CommonPrefix(const uint8_t *a, const uint8_t *b, int64_t limit)
{
    int64_t n = 0;
    while (n + 8 <= limit) {
        uint64_t x, y;
        std::memcpy(&x, a + n, 8);
        std::memcpy(&y, b + n, 8);
        if (x != y)
            return n + __builtin_ctzll(x ^ y) / 8;
        n += 8;
    }
    while (n < limit && a[n] == b[n])
        ++n;
    return n;
}

// Finds the control steps of a diff by suffix-array matching: exact matches of
// the new bytes in the old ones, grown forwards and backwards over stretches
// where more than half of the bytes agree, so that small edits inside moved or
// shifted code end up as diff bytes rather than extra bytes.
class Matcher
{
public:
    Matcher(const uint8_t *oldData, int64_t oldSize, const uint8_t *newData, int64_t newSize)
        : m_old(oldData), m_oldSize(oldSize), m_new(newData), m_newSize(newSize)
    {
    }

    // Writes the control triples to `control` and counts the diff and extra bytes.
    bool run(ByteSink &control, size_t &diffLength, size_t &extraLength)
    {
        if (m_oldSize > 0) {
            m_suffixes.reset(new (std::nothrow) saidx_t[m_oldSize]);
            if (!m_suffixes)
                return Fail("unable to allocate suffix array");
            if (divsufsort(m_old, m_suffixes.get(), static_cast<saidx_t>(m_oldSize)) != 0)
                return Fail("could not sort old data");
        }
        diffLength = 0;
        extraLength = 0;

        int64_t scan = 0, len = 0, pos = 0;
        int64_t lastScan = 0, lastPos = 0, lastOffset = 0;
        while (scan < m_newSize) {
            int64_t oldScore = 0; // bytes in [scan, covered) that agree at lastOffset
            int64_t covered = scan += len;
            for (; scan < m_newSize; ++scan) {
                len = longestMatch(scan, scan + lastOffset, pos);
                for (; covered < scan + len; ++covered)
                    oldScore += agrees(covered, lastOffset);
                if ((len == oldScore && len != 0) || len > oldScore + kMinGain)
                    break;
                oldScore -= agrees(scan, lastOffset);
                if (len >= kLongMatch) {
                    // The current alignment is about as good over this match:
                    // skip half of it, keeping oldScore the count over [scan, covered).
                    for (int64_t stop = scan + len / 2; scan + 1 < stop; ++scan)
                        oldScore -= agrees(scan + 1, lastOffset);
                }
            }
            if (len == oldScore && scan != m_newSize)
                continue;

            int64_t forward = forwardExtension(lastScan, lastPos, scan);
            int64_t backward = scan < m_newSize ? backwardExtension(lastScan, scan, pos) : 0;
            if (lastScan + forward > scan - backward)
                resolveOverlap(lastScan, lastPos, scan, pos, forward, backward);

            const int64_t extra = (scan - backward) - (lastScan + forward);
            const int64_t seek = (pos - backward) - (lastPos + forward);
            if (!control.WriteVarint32Signed(static_cast<int32_t>(forward)) ||
                !control.WriteVarint32Signed(static_cast<int32_t>(extra)) ||
                !control.WriteVarint32Signed(static_cast<int32_t>(seek)))
                return Fail("unable to allocate sink space");
            diffLength += forward;
            extraLength += extra;

            lastScan = scan - backward;
            lastPos = pos - backward;
            lastOffset = pos - scan;
        }
        m_suffixes.reset();
        return true;
    }

private:
    int agrees(int64_t newPos, int64_t offset) const
    {
        const int64_t oldPos = newPos + offset;
        return oldPos >= 0 && oldPos < m_oldSize && m_old[oldPos] == m_new[newPos];
    }

    // Longest prefix of the new bytes at `at` found in the old bytes; its old
    // position goes to `pos`. The longest match is next to where the target
    // would sort among the old suffixes. Of several equally long matches the
    // one nearest to `preferred` wins: it keeps seeks short and diff runs
    // aligned, which compresses better.
    int64_t longestMatch(int64_t at, int64_t preferred, int64_t &pos) const
    {
        pos = 0;
        if (m_oldSize == 0)
            return 0;
        const uint8_t *target = m_new + at;
        const int64_t targetSize = m_newSize - at;
        int64_t lo = 0, hi = m_oldSize;
        while (lo < hi) {
            const int64_t mid = lo + (hi - lo) / 2;
            const int64_t suffix = m_suffixes[mid];
            const int64_t suffixSize = m_oldSize - suffix;
            const int cmp = std::memcmp(m_old + suffix, target, std::min(suffixSize, targetSize));
            if (cmp < 0 || (cmp == 0 && suffixSize < targetSize))
                lo = mid + 1;
            else
                hi = mid;
        }
        int64_t best = 0, bestIndex = -1;
        for (int64_t i = lo - 1; i <= lo; ++i) {
            if (i < 0 || i >= m_oldSize)
                continue;
            const int64_t n = matchAt(i, target, targetSize);
            if (n > best) {
                best = n;
                bestIndex = i;
            }
        }
        if (bestIndex < 0)
            return 0;
        pos = m_suffixes[bestIndex];
        // Suffixes sharing the match lie next to each other in the array.
        for (int direction : {-1, 1}) {
            int64_t i = bestIndex + direction;
            for (int tried = 0; tried < kMaxCandidates && i >= 0 && i < m_oldSize; ++tried, i += direction) {
                if (matchAt(i, target, targetSize) < best)
                    break;
                if (std::llabs(m_suffixes[i] - preferred) < std::llabs(pos - preferred))
                    pos = m_suffixes[i];
            }
        }
        return best;
    }

    int64_t matchAt(int64_t index, const uint8_t *target, int64_t targetSize) const
    {
        const int64_t suffix = m_suffixes[index];
        return CommonPrefix(m_old + suffix, target, std::min(m_oldSize - suffix, targetSize));
    }

    // Length after lastScan/lastPos over which the alignment keeps more than
    // half of the bytes equal, maximising (equal bytes * 2 - length).
    int64_t forwardExtension(int64_t lastScan, int64_t lastPos, int64_t scan) const
    {
        int64_t equal = 0, bestScore = 0, best = 0;
        for (int64_t i = 0; lastScan + i < scan && lastPos + i < m_oldSize;) {
            equal += m_old[lastPos + i] == m_new[lastScan + i];
            ++i;
            if (equal * 2 - i > bestScore * 2 - best) {
                bestScore = equal;
                best = i;
            }
        }
        return best;
    }

    // The same rule backwards from the match at scan/pos, not below lastScan.
    int64_t backwardExtension(int64_t lastScan, int64_t scan, int64_t pos) const
    {
        int64_t equal = 0, bestScore = 0, best = 0;
        for (int64_t i = 1; scan >= lastScan + i && pos >= i; ++i) {
            equal += m_old[pos - i] == m_new[scan - i];
            if (equal * 2 - i > bestScore * 2 - best) {
                bestScore = equal;
                best = i;
            }
        }
        return best;
    }

    // Both extensions claim the same new bytes: split them where the bytes
    // agree best with their own alignment.
    void resolveOverlap(int64_t lastScan, int64_t lastPos, int64_t scan, int64_t pos, int64_t &forward,
                        int64_t &backward) const
    {
        const int64_t overlap = (lastScan + forward) - (scan - backward);
        int64_t score = 0, bestScore = 0, split = 0;
        for (int64_t i = 0; i < overlap; ++i) {
            score += m_new[lastScan + forward - overlap + i] == m_old[lastPos + forward - overlap + i];
            score -= m_new[scan - backward + i] == m_old[pos - backward + i];
            if (score > bestScore) {
                bestScore = score;
                split = i + 1;
            }
        }
        forward += split - overlap;
        backward -= split;
    }

    const uint8_t *m_old;
    int64_t m_oldSize;
    const uint8_t *m_new;
    int64_t m_newSize;
    std::unique_ptr<saidx_t[]> m_suffixes;
};

// Replays the control triples and writes the diff bytes (new minus old, modulo
// 256) or the extra bytes they describe.
bool WriteBlockFromControl(const ByteSink &control, const uint8_t *oldData, const uint8_t *newData,
                           bool diffBytes, ByteSink &out)
{
    ByteSource steps;
    steps.Init(control);
    int64_t oldPos = 0, newPos = 0;
    uint8_t chunk[64 * 1024];
    int32_t d, e, s;
    while (steps.ReadVarint32Signed(d) && steps.ReadVarint32Signed(e) && steps.ReadVarint32Signed(s)) {
        if (diffBytes) {
            for (int64_t done = 0; done < d;) {
                const int64_t n = std::min<int64_t>(d - done, sizeof chunk);
                for (int64_t i = 0; i < n; ++i)
                    chunk[i] = static_cast<uint8_t>(newData[newPos + done + i] - oldData[oldPos + done + i]);
                if (!out.Write(chunk, static_cast<size_t>(n)))
                    return Fail("unable to allocate sink space");
                done += n;
            }
        } else if (!out.Write(newData + newPos + d, static_cast<size_t>(e))) {
            return Fail("unable to allocate sink space");
        }
        newPos += static_cast<int64_t>(d) + e;
        oldPos += static_cast<int64_t>(d) + s;
    }
    return true;
}

// The method 0 layout: three lengths, then the control, diff and extra bytes.
bool WritePlainBlocks(const ByteSink &control, size_t diffLength, size_t extraLength, const uint8_t *oldData,
                      const uint8_t *newData, ByteSink &out)
{
    if (!out.WriteSizeVarint32(control.Length()) || !out.WriteSizeVarint32(diffLength) ||
        !out.WriteSizeVarint32(extraLength) || !out.Reserve(control.Length() + diffLength + extraLength) ||
        !out.Write(control.Data(), control.Length()))
        return Fail("unable to allocate sink space");
    return WriteBlockFromControl(control, oldData, newData, true, out) &&
           WriteBlockFromControl(control, oldData, newData, false, out);
}

} // namespace

bool GenerateDiffStream(const uint8_t *oldData, size_t oldSize, const uint8_t *newData, size_t newSize,
                        int method, bool withHeader, ByteSink &out)
{
    if (method < kDiffMethodPlain || method > kDiffMethodLzma2Whole)
        return Fail("Invalid compression method");
    // divsufsort indexes with int32 and the applier's old position is int32.
    if (oldSize > static_cast<size_t>(INT32_MAX) || newSize > static_cast<size_t>(INT32_MAX))
        return Fail("diff input too large");

    ByteSink control;
    size_t diffLength = 0, extraLength = 0;
    Matcher matcher(oldData, static_cast<int64_t>(oldSize), newData, static_cast<int64_t>(newSize));
    if (!matcher.run(control, diffLength, extraLength))
        return false;

    if (withHeader) {
        if (!out.Write(reinterpret_cast<const uint8_t *>(kDiffMagic), sizeof kDiffMagic) ||
            !out.WriteVarint32(CalculateChecksum(newData, newSize)))
            return Fail("unable to allocate sink space");
    }
    const uint8_t methodByte = static_cast<uint8_t>(method);
    if (!out.Write(&methodByte, 1) || !out.WriteSizeVarint32(newSize))
        return Fail("unable to allocate sink space");

    switch (method) {
    case kDiffMethodPlain:
        return WritePlainBlocks(control, diffLength, extraLength, oldData, newData, out);
    case kDiffMethodLzma2Blocks: {
        if (!WriteLzma2Block(control.Data(), control.Length(), out))
            return false;
        // One block at a time, so that only one of them is in memory.
        for (bool diffBytes : {true, false}) {
            ByteSink block;
            if (!block.Reserve(diffBytes ? diffLength : extraLength))
                return Fail("unable to allocate sink space");
            if (!WriteBlockFromControl(control, oldData, newData, diffBytes, block) ||
                !WriteLzma2Block(block.Data(), block.Length(), out))
                return false;
        }
        return true;
    }
    default: {
        ByteSink plain;
        return WritePlainBlocks(control, diffLength, extraLength, oldData, newData, plain) &&
               WriteLzma2Block(plain.Data(), plain.Length(), out);
    }
    }
}

} // namespace vxpatch
