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
// the most votes that no other new label took. A label left over takes a free
// old label where the shift of its nearest matched neighbours (below, then
// above) puts it, else one at the same address, else a fresh index after all
// old ones. False when memory runs out.
bool MatchLabels(const InstructionProgram &oldProgram, InstructionProgram &newProgram);

} // namespace vxpatch

#endif
