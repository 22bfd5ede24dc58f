// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The three family decoders. Each reads state.FrameText, writes the LCD model
// and the current reading, and reaches everything else through the host.
// A field that must be decimal and is not throws ConversionError at the step
// that reads it; the effects of the earlier steps stay.

#include "decode/decoder_host.h"
#include "decode/meter_state.h"

namespace dmm {

void LcdDisplayTarvo(MeterState& state, DecoderHost& host);
void LcdDisplayMesko(MeterState& state, DecoderHost& host);
void LcdDisplayDralin(MeterState& state, DecoderHost& host);

}  // namespace dmm
