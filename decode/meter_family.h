// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The three meter families side by side: how each one's frames are found on
// the serial line and in the cable's reports, which test a frame must pass,
// which decoder reads it, whether the family has a USB cable, and the model
// row and first digit the window starts from. Frame assembly, the window,
// dmmlog and the tests look a family up here instead of branching on it.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "decode/decoder_host.h"
#include "decode/meter_state.h"

namespace dmm {

// What ends a frame on the serial line.
enum class FrameEnd {
    CarriageReturn,  // the byte 0x0D (the meter ends each frame with CR LF)
    HighDigitE,      // the byte whose high four bits are 0xE
};

struct FamilyFacts {
    Family family;
    std::string_view name;     // "tarvo": command line and settings
    std::string_view caption;  // "Tarvo": the "Meter" menu
    // Serial line: the run of bytes a frame is, from the byte after the
    // previous frame's end up to its own end, and what ends it.
    size_t serialFrameBytes;
    FrameEnd end;
    // The frame text of an ended run (from its low digits), and the test a
    // run of serialFrameBytes bytes must pass to be a frame of the family
    // (on its low and high digits). A run of any other length is none.
    void (*serialText)(std::string_view low, std::string& frameText);
    bool (*serialAccepted)(std::string_view low, std::string_view high);
    // Cable: the meter bytes of a report run that make the frame; 0 when the
    // family has no cable.
    size_t reportFrameBytes;
    bool (*reportAccepted)(std::string_view frameText, std::string_view highDigits);
    // The diagnostic captions: whether the serial path shows each frame in
    // USBtxt, and whether the cable path shows the high digits and the line
    // end it checked (else the frame itself).
    bool serialCaption;
    bool reportCheckCaptions;
    // The decoder of an accepted frame.
    void (*decoder)(MeterState& state, DecoderHost& host);
    // Start-up: the row of the model table and the caption of the first digit
    // (empty: the family's meters have four digits and leave it dark).
    std::string_view modelCode;
    std::string_view firstDigit;

    bool hasCable() const { return reportFrameBytes != 0; }
};

const FamilyFacts& FactsOf(Family family);
// The families in menu order.
const FamilyFacts* Families();
inline constexpr size_t kFamilyCount = 3;
std::optional<Family> FamilyByName(std::string_view name);

}  // namespace dmm
