#include "labelmatcher.h"

#include "diffstreamgenerator.h"
#include "instructionprogram.h"
#include "streams.h"

#include <algorithm>
#include <map>
#include <set>
#include <vector>

namespace vxpatch {

namespace {

struct Reference
{
    size_t position;
    Label *label;
    bool abs32;
};

// The program's bytes with every reference field blanked, and where the references stood.
struct Skeleton
{
    std::vector<uint8_t> bytes;
    std::vector<Reference> references;
};

Skeleton BuildSkeleton(const InstructionProgram &program)
{
    Skeleton skeleton;
    for (const Instruction *instruction : program.instructions()) {
        switch (instruction->kind) {
        case BYTE:
            skeleton.bytes.push_back(uint8_t(instruction->value));
            break;
        case MULTIPLEBYTES:
            skeleton.bytes.insert(skeleton.bytes.end(), instruction->bytes,
                                  instruction->bytes + instruction->length);
            break;
        case REL32:
        case ABS32:
            skeleton.references.push_back(
                Reference{skeleton.bytes.size(), instruction->label, instruction->kind == ABS32});
            skeleton.bytes.insert(skeleton.bytes.end(), 4, 0);
            break;
        case REL32ARM: {
            // The compressed op keeps the branch kind and condition, which should align too.
            skeleton.references.push_back(Reference{skeleton.bytes.size(), instruction->label, false});
            const uint8_t op[4] = {uint8_t(instruction->armOp), uint8_t(instruction->armOp >> 8), 0, 0};
            skeleton.bytes.insert(skeleton.bytes.end(), op, op + std::min<size_t>(instruction->opSize, 4));
            break;
        }
        case ORIGIN:
        case MAKE_PE_RELOCATION_TABLE:
        case MAKE_ELF_RELOCATION_TABLE:
        case MAKE_ELF_ARM_RELOCATION_TABLE:
            break;
        }
    }
    return skeleton;
}

struct AlignedBlock
{
    size_t newStart;
    size_t oldStart;
    size_t length;
};

// The copy steps of a plain diff from old to new: stretches of new bytes that
// stand for old bytes.
bool Align(const std::vector<uint8_t> &oldBytes, const std::vector<uint8_t> &newBytes,
           std::vector<AlignedBlock> &blocks)
{
    ByteSink diff;
    if (!GenerateDiffStream(oldBytes.data(), oldBytes.size(), newBytes.data(), newBytes.size(),
                            kDiffMethodPlain, false, diff))
        return false;
    ByteSource source(diff.Data(), diff.Length());
    uint8_t method = 0;
    uint32_t newSize = 0, controlLength = 0, diffLength = 0, extraLength = 0;
    if (!source.Read(&method, 1) || !source.ReadVarint32(newSize) || !source.ReadVarint32(controlLength) ||
        !source.ReadVarint32(diffLength) || !source.ReadVarint32(extraLength))
        return false;
    ByteSource control;
    if (!source.ShareSubstream(controlLength, control))
        return false;
    int64_t newPosition = 0;
    int64_t oldPosition = 0;
    while (!control.Empty()) {
        int32_t copy = 0, extra = 0, seek = 0;
        if (!control.ReadVarint32Signed(copy) || !control.ReadVarint32Signed(extra) ||
            !control.ReadVarint32Signed(seek))
            return false;
        if (copy > 0)
            blocks.push_back(AlignedBlock{size_t(newPosition), size_t(oldPosition), size_t(copy)});
        newPosition += int64_t(copy) + extra;
        oldPosition += int64_t(copy) + seek;
    }
    return true;
}

struct Vote
{
    Label *newLabel;
    const Label *oldLabel;
};

struct Candidate
{
    int votes;
    Label *newLabel;
    const Label *oldLabel;
};

void AssignIndexes(std::vector<Vote> &votes, const LabelMap &oldLabels, const std::vector<Label *> &newLabels)
{
    std::sort(votes.begin(), votes.end(), [](const Vote &a, const Vote &b) {
        return a.newLabel->rva != b.newLabel->rva ? a.newLabel->rva < b.newLabel->rva
                                                  : a.oldLabel->rva < b.oldLabel->rva;
    });
    std::vector<Candidate> candidates;
    for (size_t i = 0; i < votes.size();) {
        size_t j = i;
        while (j < votes.size() && votes[j].newLabel == votes[i].newLabel &&
               votes[j].oldLabel == votes[i].oldLabel)
            ++j;
        candidates.push_back(Candidate{int(j - i), votes[i].newLabel, votes[i].oldLabel});
        i = j;
    }
    std::stable_sort(candidates.begin(), candidates.end(),
                     [](const Candidate &a, const Candidate &b) { return a.votes > b.votes; });

    std::set<int32_t> takenIndexes;
    std::set<const Label *> assigned;
    std::map<uint32_t, uint32_t> shifts; // new rva of a voted label -> old rva minus new rva
    for (const Candidate &candidate : candidates) {
        if (assigned.count(candidate.newLabel) || takenIndexes.count(candidate.oldLabel->index))
            continue;
        candidate.newLabel->index = candidate.oldLabel->index;
        takenIndexes.insert(candidate.oldLabel->index);
        assigned.insert(candidate.newLabel);
        shifts.emplace(candidate.newLabel->rva, candidate.oldLabel->rva - candidate.newLabel->rva);
    }

    // A label no aligned reference vouched for most likely moved as its
    // neighbours did: try the old address that the shift of the nearest matched
    // label below, then above it, gives, and then the same address.
    auto take = [&](Label *label, uint32_t oldRva) {
        auto old = oldLabels.find(oldRva);
        if (old == oldLabels.end() || takenIndexes.count(old->second.index))
            return false;
        label->index = old->second.index;
        takenIndexes.insert(label->index);
        assigned.insert(label);
        return true;
    };
    for (Label *label : newLabels) {
        if (assigned.count(label))
            continue;
        auto above = shifts.upper_bound(label->rva);
        if (above != shifts.begin() && take(label, label->rva + std::prev(above)->second))
            continue;
        if (above != shifts.end() && take(label, label->rva + above->second))
            continue;
        take(label, label->rva);
    }

    int32_t nextIndex = 0;
    for (const auto &entry : oldLabels)
        nextIndex = std::max(nextIndex, entry.second.index + 1);
    // newLabels is in ascending rva order, so fresh indexes follow the addresses.
    for (Label *label : newLabels) {
        if (!assigned.count(label))
            label->index = nextIndex++;
    }
}

} // namespace

bool MatchLabels(const InstructionProgram &oldProgram, InstructionProgram &newProgram)
{
    const Skeleton oldSkeleton = BuildSkeleton(oldProgram);
    const Skeleton newSkeleton = BuildSkeleton(newProgram);
    std::vector<AlignedBlock> blocks;
    if (!Align(oldSkeleton.bytes, newSkeleton.bytes, blocks))
        return false;

    std::map<size_t, const Reference *> oldByPosition;
    for (const Reference &reference : oldSkeleton.references)
        oldByPosition.emplace(reference.position, &reference);

    std::vector<Vote> rel32Votes;
    std::vector<Vote> abs32Votes;
    size_t block = 0;
    for (const Reference &reference : newSkeleton.references) {
        while (block < blocks.size() && blocks[block].newStart + blocks[block].length <= reference.position)
            ++block;
        if (block == blocks.size())
            break;
        if (reference.position < blocks[block].newStart)
            continue;
        const size_t oldPosition = blocks[block].oldStart + (reference.position - blocks[block].newStart);
        auto old = oldByPosition.find(oldPosition);
        if (old == oldByPosition.end() || old->second->abs32 != reference.abs32)
            continue;
        (reference.abs32 ? abs32Votes : rel32Votes).push_back(Vote{reference.label, old->second->label});
    }

    // Every label of the program is used by at least one instruction, which hands out a writable pointer.
    std::map<uint32_t, Label *> newRel32;
    std::map<uint32_t, Label *> newAbs32;
    for (const Reference &reference : newSkeleton.references)
        (reference.abs32 ? newAbs32 : newRel32).emplace(reference.label->rva, reference.label);
    std::vector<Label *> rel32Labels;
    std::vector<Label *> abs32Labels;
    for (const auto &entry : newRel32)
        rel32Labels.push_back(entry.second);
    for (const auto &entry : newAbs32)
        abs32Labels.push_back(entry.second);

    AssignIndexes(rel32Votes, oldProgram.rel32_labels(), rel32Labels);
    AssignIndexes(abs32Votes, oldProgram.abs32_labels(), abs32Labels);
    return true;
}

} // namespace vxpatch
