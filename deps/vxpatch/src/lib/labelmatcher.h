#ifndef VXPATCH_LABELMATCHER_H
#define VXPATCH_LABELMATCHER_H

namespace vxpatch {

class InstructionProgram;

// Gives the labels of `newProgram` the indexes of the labels of `oldProgram`
// that stand for the same place, so that the encoded programs of two versions
// of an executable differ little even where code moved and every address
// changed. Both programs must have their final labels (indexes assigned,
// labels trimmed).
//
// Correspondences come from aligning the two programs with their reference
// fields blanked out: a reference in aligned code votes for the pair of labels
// it uses in the two versions, and each new label takes the old label with
// the most votes that no other new label took. Labels left over take an old
// label at the same address when that one is free, and fresh indexes after
// all old ones otherwise. False when memory runs out.
bool MatchLabels(const InstructionProgram &oldProgram, InstructionProgram &newProgram);

} // namespace vxpatch

#endif
