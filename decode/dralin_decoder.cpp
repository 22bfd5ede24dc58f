#include "decode/decoders.h"

namespace dmm {
void LcdDisplayDralin(MeterState& state, DecoderHost&) {
    MarkLinkAlive(state);
}
}  // namespace dmm
