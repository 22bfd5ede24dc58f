// SPDX-License-Identifier: GPL-3.0-or-later
#include "decode/meter_family.h"

#include "decode/decoders.h"
#include "decode/text_rules.h"

namespace dmm {
namespace {

// The high digits of a Mesko frame count 1..E, one per byte.
constexpr std::string_view kMeskoHighDigits = "123456789ABCDE";
// Tarvo and Dralin: 0x0A, nine data bytes, 0x0D. Only a run of exactly this
// length is a frame: a longer one (line noise, or the piece of a frame that
// was on the line when it closed, followed by the next line's bytes) may
// still show "A" and "D" at its first and eleventh digits.
constexpr size_t kLineFrameBytes = 11;

// The 0x0A that ended the previous frame opens the run, the 0x0D ends it.
bool LineFrameAccepted(std::string_view low, std::string_view) {
    return CharAt(low, 1) == "A" && CharAt(low, 11) == "D";
}

bool MeskoFrameAccepted(std::string_view, std::string_view high) {
    return high == kMeskoHighDigits;
}

// Tarvo: the nine data digits, then "DA" for the line end.
void TarvoSerialText(std::string_view low, std::string& frameText) {
    frameText.assign(Mid(low, 2, 9));
    frameText += "DA";
}

void WholeRunText(std::string_view low, std::string& frameText) {
    frameText.assign(low);
}

bool TarvoReportAccepted(std::string_view frameText, std::string_view) {
    return Mid(frameText, 10, 2) == "DA";
}

bool MeskoReportAccepted(std::string_view, std::string_view highDigits) {
    return highDigits == kMeskoHighDigits;
}

constexpr FamilyFacts kFamilies[kFamilyCount] = {
    {Family::Tarvo, "tarvo", "Tarvo", kLineFrameBytes, FrameEnd::CarriageReturn, TarvoSerialText,
     LineFrameAccepted, kLineFrameBytes, TarvoReportAccepted, true, true, LcdDisplayTarvo, "2",
     "1"},
    {Family::Mesko, "mesko", "Mesko", kMeskoHighDigits.size(), FrameEnd::HighDigitE, WholeRunText,
     MeskoFrameAccepted, kMeskoHighDigits.size(), MeskoReportAccepted, false, false,
     LcdDisplayMesko, "4", ""},
    {Family::Dralin, "dralin", "Dralin", kLineFrameBytes, FrameEnd::CarriageReturn, WholeRunText,
     LineFrameAccepted, 0, nullptr, false, false, LcdDisplayDralin, "4", ""},
};

}  // namespace

const FamilyFacts& FactsOf(Family family) {
    for (const FamilyFacts& facts : kFamilies) {
        if (facts.family == family)
            return facts;
    }
    return kFamilies[0];
}

const FamilyFacts* Families() {
    return kFamilies;
}

std::optional<Family> FamilyByName(std::string_view name) {
    for (const FamilyFacts& facts : kFamilies) {
        if (facts.name == name)
            return facts.family;
    }
    return std::nullopt;
}

}  // namespace dmm
