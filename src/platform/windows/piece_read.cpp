// No batched reads here: every file is left to the caller, who opens and reads it
// through ContentFile.
#include "platform/piece_read.h"

namespace merravine::platform {

bool PieceReadsBatched() { return false; }

void ReadPieces(std::span<PieceRead> /*pieces*/) {}

}  // namespace merravine::platform
