#include "decode/decoders.h"

namespace dmm {
void LcdDisplayMesko(MeterState& state, DecoderHost&) {
    MarkLinkAlive(state);
}
}  // namespace dmm
