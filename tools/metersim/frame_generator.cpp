// SPDX-License-Identifier: GPL-3.0-or-later
#include "tools/metersim/frame_generator.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <utility>

namespace dmm::metersim {
namespace {

// How often, per frame, the user or the circuit changes something.
constexpr double kTurnDial = 1.0 / 80;    // another function
constexpr double kToggleAuto = 1.0 / 70;  // AUTO <-> manual range
constexpr double kPressRange = 1.0 / 25;  // next range while in manual
constexpr double kNewValue = 1.0 / 30;    // the measured quantity jumps
constexpr double kShorted = 0.05;         // a jump goes to zero
constexpr double kNegative = 0.4;         // a jump of a signed quantity goes negative
constexpr double kApproach = 0.3;         // share of the way to the target per frame
constexpr double kFlicker = 1.2;          // noise in counts of the shown range
constexpr double kAutoDownShare = 0.9;    // auto range goes down below 90% of the lower range

// The data bytes of the line-framed meters carry their field in the low four
// bits with 0x3 above it, so digits go out as the characters '0'..'9'.
constexpr uint8_t kFieldHigh = 0x30;

// ---- Tarvo: nine fields, then CR LF ----------------------------------------
//   digits D0 Da Db Dc Dd, range, function, coupling, status
//   overload: D0 = 0xA; Da = 0xC selects the "L0." form (used for a negative
//   overload), anything else the "0.L" form
//   status: 4 minus sign, 1 auto range; a negative frequency is a duty cycle

struct TarvoRange {
    uint8_t code;
    int32_t full;
};

struct TarvoMode {
    uint8_t function;
    uint8_t coupling;  // 0 from the function, 1 AC, 2 DC, 3 AC+DC
    bool duty;         // frequency function sent with the minus bit: duty cycle
    bool isSigned;
    double open;
    std::vector<TarvoRange> ranges;
};

const std::vector<TarvoMode>& TarvoModes() {
    // Volts: 2 V, 20 V, 200 V, 1000 V.
    const std::vector<TarvoRange> volts = {{1, 19999}, {2, 19999}, {3, 19999}, {4, 10000}};
    // Ohms: 200, 2k, 20k, 200k, 2M, 20M.
    const std::vector<TarvoRange> ohms = {{1, 19999}, {2, 19999}, {3, 19999},
                                          {4, 19999}, {5, 19999}, {6, 19999}};
    // Farads: 20n, 200n, 2u, 20u, 200u, 2m, 20m.
    const std::vector<TarvoRange> farads = {{1, 19999}, {2, 19999}, {3, 19999}, {4, 19999},
                                            {5, 19999}, {6, 19999}, {7, 19999}};
    // Hertz: 20, 200, 2k, 20k, 200k, 2M, 20M, 200M.
    const std::vector<TarvoRange> hertz = {{0, 19999}, {1, 19999}, {2, 19999}, {3, 19999},
                                           {4, 19999}, {5, 19999}, {6, 19999}, {7, 19999}};
    // 200 uA, 2000 uA; 20 mA, 200 mA.
    const std::vector<TarvoRange> twoRanges = {{0, 19999}, {1, 19999}};

    static const std::vector<TarvoMode> modes = {
        {1, 2, false, true, 0.02, volts},           // V DC
        {2, 1, false, false, 0.02, volts},          // V AC
        {2, 3, false, false, 0.02, volts},          // V AC+DC
        {3, 2, false, true, 0.02, {{0, 19999}}},    // mV DC
        {3, 1, false, false, 0.02, {{0, 19999}}},   // mV AC
        {4, 0, false, false, 0.3, ohms},            // resistance
        {5, 0, false, false, 0.05, farads},         // capacitance
        {6, 0, false, true, 0.02, {{0, 10000}}},    // degrees Celsius, 1000.0 max
        {7, 2, false, true, 0.02, twoRanges},       // uA DC
        {7, 1, false, false, 0.02, twoRanges},      // uA AC
        {8, 2, false, true, 0.02, twoRanges},       // mA DC
        {8, 1, false, false, 0.02, twoRanges},      // mA AC
        {9, 2, false, true, 0.02, {{0, 10000}}},    // A DC, 10.000 max
        {9, 1, false, false, 0.02, {{0, 10000}}},   // A AC
        {10, 0, false, false, 0.4, {{0, 19999}}},   // continuity
        {11, 0, false, false, 0.3, {{0, 19999}}},   // diode
        {12, 0, false, false, 0.02, hertz},         // frequency
        {12, 0, true, false, 0, {{0, 10000}}},      // duty cycle, 100.00 max
        {13, 0, false, true, 0.02, {{0, 18320}}},   // degrees Fahrenheit, 1832.0 max
        {14, 0, false, false, 0.02, {{0, 19999}}},  // watts
        {15, 0, false, false, 0.02, {{0, 12500}}},  // 4-20 mA loop in percent, 125.00 max
    };
    return modes;
}

// ---- Mesko: 14 bytes, high digit k on byte k, segment bits below -------------
//   char 1: AC 8, DC 4, auto 2, RS232 marks 1
//   digit n: segment bits in char 2n+1 (four) and char 2n (low three);
//   char 2 b3 minus sign; chars 4, 6, 8 b3 points 1, 2, 3
//   chars 10..14: prefix and unit bits

struct MeskoRange {
    uint8_t point;  // 0 none, 1..3 after digit 1..3
    char prefix;    // 0, 'u', 'n', 'k', 'm', 'M'
    int32_t full;
};

struct MeskoMode {
    uint8_t coupling;             // char 1 bits: AC 8, DC 4
    std::array<uint8_t, 5> unit;  // unit bits of chars 10..14
    bool isSigned;
    double open;
    std::vector<MeskoRange> ranges;
};

constexpr uint8_t kMeskoAc = 8, kMeskoDc = 4, kMeskoAuto = 2, kMeskoMarks = 1;
constexpr std::array<uint8_t, 5> kVolt = {0, 0, 0, 4, 0};
constexpr std::array<uint8_t, 5> kAmpere = {0, 0, 0, 8, 0};
constexpr std::array<uint8_t, 5> kOhm = {0, 0, 4, 0, 0};
constexpr std::array<uint8_t, 5> kFarad = {0, 0, 8, 0, 0};
constexpr std::array<uint8_t, 5> kHertz = {0, 0, 0, 2, 0};
constexpr std::array<uint8_t, 5> kPercent = {0, 4, 0, 0, 0};
constexpr std::array<uint8_t, 5> kCelsius = {0, 0, 0, 0, 1};
constexpr std::array<uint8_t, 5> kDiode = {1, 0, 0, 4, 0};  // diode mark and V

const std::vector<MeskoMode>& MeskoModes() {
    const std::vector<MeskoRange> volts = {{1, 0, 3999}, {2, 0, 3999}, {3, 0, 3999}, {0, 0, 1000}};
    const std::vector<MeskoRange> ohms = {{3, 0, 3999},   {1, 'k', 3999}, {2, 'k', 3999},
                                          {3, 'k', 3999}, {1, 'M', 3999}, {2, 'M', 3999}};
    const std::vector<MeskoRange> farads = {{2, 'n', 3999}, {3, 'n', 3999}, {1, 'u', 3999},
                                            {2, 'u', 3999}, {3, 'u', 3999}, {1, 'm', 3999}};
    const std::vector<MeskoRange> hertz = {{3, 0, 3999},   {1, 'k', 3999}, {2, 'k', 3999},
                                           {3, 'k', 3999}, {1, 'M', 3999}, {2, 'M', 3999}};
    const std::vector<MeskoRange> microamps = {{3, 'u', 3999}, {0, 'u', 3999}};
    const std::vector<MeskoRange> milliamps = {{2, 'm', 3999}, {3, 'm', 3999}};
    const std::vector<MeskoRange> amps = {{1, 0, 3999}, {2, 0, 1000}};

    static const std::vector<MeskoMode> modes = {
        {kMeskoDc, kVolt, true, 0.02, volts},
        {kMeskoAc, kVolt, false, 0.02, volts},
        {kMeskoDc, kVolt, true, 0.02, {{3, 'm', 3999}}},
        {0, kOhm, false, 0.3, ohms},
        {0, kFarad, false, 0.05, farads},
        {kMeskoDc, kAmpere, true, 0.02, microamps},
        {kMeskoAc, kAmpere, false, 0.02, microamps},
        {kMeskoDc, kAmpere, true, 0.02, milliamps},
        {kMeskoAc, kAmpere, false, 0.02, milliamps},
        {kMeskoDc, kAmpere, true, 0.02, amps},
        {kMeskoAc, kAmpere, false, 0.02, amps},
        {0, kHertz, false, 0.02, hertz},
        {0, kPercent, false, 0, {{3, 0, 1000}}},
        {0, kCelsius, true, 0.02, {{0, 0, 1000}}},
        {0, kDiode, false, 0.3, {{1, 0, 3999}}},
    };
    return modes;
}

// Segment code of a digit: the four bits of the high character and the three
// low bits of the low character.
struct Segments {
    uint8_t high;
    uint8_t low;
};
constexpr Segments kDigitSegments[10] = {{0xD, 7}, {0x5, 0}, {0xB, 5}, {0xF, 1}, {0x7, 2},
                                         {0xE, 3}, {0xE, 7}, {0x5, 1}, {0xF, 7}, {0xF, 3}};
constexpr Segments kOverloadSegments = {0x8, 6};  // the L, only ever in digit 3
constexpr Segments kBlankSegments = {0x0, 0};

// Chars 10..14 bits of a prefix.
void AddMeskoPrefix(std::array<uint8_t, 5>& unit, char prefix) {
    switch (prefix) {
        case 'u':
            unit[0] |= 8;
            break;
        case 'n':
            unit[0] |= 4;
            break;
        case 'k':
            unit[0] |= 2;
            break;
        case 'm':
            unit[1] |= 8;
            break;
        case 'M':
            unit[1] |= 2;
            break;
        default:
            break;
    }
}

// ---- Dralin: nine fields, then CR LF ----------------------------------------
//   range, digits d1..d4, function, status, option, mode
//   status: variant 8 (rotation speed, Celsius), minus 4, battery 2, overload 1
//   mode: DC 8, AC 4, auto 2; the 1 bit clear keeps the RS232 marks lit

struct DralinRange {
    uint8_t code;
    int32_t full;
};

struct DralinMode {
    uint8_t function;
    uint8_t coupling;  // mode bits: DC 8, AC 4
    bool variant;
    bool isSigned;
    double open;
    std::vector<DralinRange> ranges;
};

constexpr uint8_t kDralinDc = 8, kDralinAc = 4, kDralinAuto = 2;

const std::vector<DralinMode>& DralinModes() {
    // 400.0 mV, 4.000 V, 40.00 V, 400.0 V, 1000 V.
    const std::vector<DralinRange> volts = {{0, 3999}, {1, 3999}, {2, 3999}, {3, 3999}, {4, 1000}};
    const std::vector<DralinRange> twoRanges = {{0, 3999}, {1, 3999}};
    const std::vector<DralinRange> sixRanges = {{0, 3999}, {1, 3999}, {2, 3999},
                                                {3, 3999}, {4, 3999}, {5, 3999}};
    const std::vector<DralinRange> farads = {{0, 3999}, {1, 3999}, {2, 3999}, {3, 3999},
                                             {4, 3999}, {5, 3999}, {6, 3999}, {7, 3999}};

    // Functions that do not read the range get 0 in that field.
    static const std::vector<DralinMode> modes = {
        {0xB, kDralinDc, false, true, 0.02, volts},
        {0xB, kDralinAc, false, false, 0.02, volts},
        {0xD, kDralinDc, false, true, 0.02, twoRanges},  // uA
        {0xD, kDralinAc, false, false, 0.02, twoRanges},
        {0x9, kDralinDc, false, true, 0.02, twoRanges},  // mA
        {0x9, kDralinAc, false, false, 0.02, twoRanges},
        {0xF, kDralinDc, false, true, 0.02, {{0, 1000}}},  // A, 10.00 max
        {0xF, kDralinAc, false, false, 0.02, {{0, 1000}}},
        {0x3, 0, false, false, 0.3, sixRanges},    // resistance
        {0x2, 0, false, false, 0.02, sixRanges},   // frequency
        {0x2, 0, true, false, 0.02, sixRanges},    // rotation speed
        {0x4, 0, true, true, 0.02, {{0, 1000}}},   // degrees Celsius
        {0x4, 0, false, true, 0.02, {{0, 1832}}},  // degrees Fahrenheit
        {0x5, 0, false, false, 0.3, {{0, 3999}}},  // the LCDFm reading with the ohm sign
        {0x1, 0, false, false, 0.3, {{0, 3999}}},  // diode
        {0x6, 0, false, false, 0.05, farads},      // capacitance
    };
    return modes;
}

template <typename Mode>
ModeShape ShapeOf(const Mode& mode) {
    ModeShape shape;
    for (const auto& range : mode.ranges)
        shape.fullCounts.push_back(range.full);
    shape.isSigned = mode.isSigned;
    shape.openChance = mode.open;
    return shape;
}

std::vector<ModeShape> ShapesOf(Family family) {
    std::vector<ModeShape> shapes;
    switch (family) {
        case Family::Tarvo:
            for (const auto& mode : TarvoModes())
                shapes.push_back(ShapeOf(mode));
            break;
        case Family::Mesko:
            for (const auto& mode : MeskoModes())
                shapes.push_back(ShapeOf(mode));
            break;
        case Family::Dralin:
            for (const auto& mode : DralinModes())
                shapes.push_back(ShapeOf(mode));
            break;
    }
    return shapes;
}

// The decimal digits of a count, most significant first, zero-padded.
template <size_t N>
std::array<uint8_t, N> DigitsOf(int32_t count) {
    std::array<uint8_t, N> digits{};
    uint32_t rest = uint32_t(std::abs(count));
    for (size_t i = N; i-- > 0;) {
        digits[i] = uint8_t(rest % 10);
        rest /= 10;
    }
    return digits;
}

}  // namespace

std::optional<Family> FamilyFromName(std::string_view name) {
    if (name == "tarvo")
        return Family::Tarvo;
    if (name == "mesko")
        return Family::Mesko;
    if (name == "dralin")
        return Family::Dralin;
    return std::nullopt;
}

std::string_view FamilyName(Family family) {
    switch (family) {
        case Family::Tarvo:
            return "tarvo";
        case Family::Mesko:
            return "mesko";
        case Family::Dralin:
            return "dralin";
    }
    return {};
}

size_t FrameSize(Family family) {
    return family == Family::Mesko ? 14 : 11;
}

double Rng::gauss() {
    // Sum of twelve uniforms: mean 6, variance 1; plain arithmetic, so the
    // same on every platform.
    double sum = 0;
    for (int i = 0; i < 12; ++i)
        sum += uniform();
    return sum - 6;
}

// ---- The walk ---------------------------------------------------------------

ReadingWalk::ReadingWalk(std::vector<ModeShape> shapes, Rng& rng)
    : shapes_(std::move(shapes)), rng_(rng) {
    mode_ = rng_.below(shapes_.size());
    newTarget();
    value_ = target_;
    settleRange();
}

double ReadingWalk::scale(size_t range) const {
    double s = 1;
    for (size_t i = 0; i < range; ++i)
        s *= 10;
    return s;
}

void ReadingWalk::switchMode() {
    if (shapes_.size() > 1) {
        size_t next = rng_.below(shapes_.size() - 1);
        if (next >= mode_)
            ++next;
        mode_ = next;
    }
    // Turning the dial puts the meter back into auto range; the probes land
    // on the new quantity at once.
    auto_ = true;
    range_ = 0;
    newTarget();
    value_ = target_;
    settleRange();
}

void ReadingWalk::newTarget() {
    const auto& full = shape().fullCounts;
    const size_t top = full.size() - 1;
    if (rng_.chance(shape().openChance)) {
        target_ = 1.5 * full[top] * scale(top);
        return;
    }
    if (rng_.chance(kShorted)) {
        target_ = 0;
        return;
    }
    const size_t range = rng_.below(full.size());
    target_ = full[range] * (0.1 + 0.85 * rng_.uniform()) * scale(range);
    if (shape().isSigned && rng_.chance(kNegative))
        target_ = -target_;
}

void ReadingWalk::settleRange() {
    const auto& full = shape().fullCounts;
    if (range_ >= full.size())
        range_ = 0;
    if (!auto_)
        return;
    range_ = 0;
    while (range_ + 1 < full.size() && std::fabs(value_) / scale(range_) > full[range_])
        ++range_;
}

void ReadingWalk::followAutoRange() {
    // Like the meter: at most one range step per reading, with a little
    // hysteresis so that a value near a range edge does not make it hunt.
    const auto& full = shape().fullCounts;
    const double magnitude = std::fabs(value_);
    if (range_ + 1 < full.size() && magnitude / scale(range_) > full[range_]) {
        ++range_;
    } else if (range_ > 0 && magnitude / scale(range_ - 1) <= kAutoDownShare * full[range_ - 1]) {
        --range_;
    }
}

Reading ReadingWalk::step() {
    const size_t ranges = shape().fullCounts.size();
    if (shapes_.size() > 1 && rng_.chance(kTurnDial)) {
        switchMode();
    } else {
        if (ranges > 1 && rng_.chance(kToggleAuto))
            auto_ = !auto_;
        if (!auto_ && ranges > 1 && rng_.chance(kPressRange))
            range_ = (range_ + 1) % ranges;
        if (rng_.chance(kNewValue))
            newTarget();
    }

    value_ += (target_ - value_) * kApproach;
    value_ += rng_.gauss() * kFlicker * scale(range_);
    // A quantity that cannot go negative flickers just above zero.
    if (!shape().isSigned && value_ < 0)
        value_ = -value_;
    if (auto_)
        followAutoRange();

    Reading reading;
    reading.mode = mode_;
    reading.range = range_;
    reading.autoRange = auto_;
    const double shown = std::round(value_ / scale(range_));
    reading.overload = std::fabs(shown) > shape().fullCounts[range_];
    reading.count = reading.overload ? 0 : int32_t(shown);
    reading.negative = reading.overload ? value_ < 0 : reading.count < 0;
    return reading;
}

// ---- Frames -----------------------------------------------------------------

FrameGenerator::FrameGenerator(Family family, uint32_t seed)
    : family_(family), rng_(seed), walk_(ShapesOf(family), rng_) {}

std::vector<uint8_t> FrameGenerator::preamble() const {
    if (family_ == Family::Mesko)
        return {};
    return {0x0A};
}

std::vector<uint8_t> FrameGenerator::next() {
    std::vector<uint8_t> out;
    next(out);
    return out;
}

void FrameGenerator::next(std::vector<uint8_t>& out) {
    reading_ = walk_.step();
    switch (family_) {
        case Family::Tarvo:
            encodeTarvo(out);
            break;
        case Family::Mesko:
            encodeMesko(out);
            break;
        case Family::Dralin:
            encodeDralin(out);
            break;
    }
}

void FrameGenerator::encodeTarvo(std::vector<uint8_t>& out) {
    const TarvoMode& mode = TarvoModes()[reading_.mode];
    std::array<uint8_t, 9> field{};
    if (reading_.overload) {
        field[0] = 0xA;
        field[1] = reading_.negative ? 0xC : 0x0;
    } else {
        const auto digits = DigitsOf<5>(reading_.count);
        std::copy(digits.begin(), digits.end(), field.begin());
    }
    field[5] = mode.ranges[reading_.range].code;
    field[6] = mode.function;
    field[7] = mode.coupling;
    field[8] = uint8_t(((reading_.negative || mode.duty) ? 4 : 0) | (reading_.autoRange ? 1 : 0));
    for (uint8_t f : field)
        out.push_back(kFieldHigh | f);
    out.push_back(0x0D);
    out.push_back(0x0A);
}

void FrameGenerator::encodeMesko(std::vector<uint8_t>& out) {
    const MeskoMode& mode = MeskoModes()[reading_.mode];
    const MeskoRange& range = mode.ranges[reading_.range];
    std::array<uint8_t, 15> ch{};  // ch[1..14]

    std::array<Segments, 4> segments;
    if (reading_.overload) {
        // The meter's overload display: a blank, "0", "L", a blank.
        segments = {kBlankSegments, kDigitSegments[0], kOverloadSegments, kBlankSegments};
    } else {
        const auto digits = DigitsOf<4>(reading_.count);
        for (size_t i = 0; i < 4; ++i)
            segments[i] = kDigitSegments[digits[i]];
    }
    for (size_t n = 1; n <= 4; ++n) {
        ch[2 * n + 1] = segments[n - 1].high;
        ch[2 * n] = segments[n - 1].low;
    }
    if (reading_.negative)
        ch[2] |= 8;
    if (range.point >= 1)
        ch[2 * range.point + 2] |= 8;

    ch[1] = uint8_t(mode.coupling | (reading_.autoRange ? kMeskoAuto : 0) | kMeskoMarks);
    auto unit = mode.unit;
    AddMeskoPrefix(unit, range.prefix);
    for (size_t i = 0; i < 5; ++i)
        ch[10 + i] = unit[i];

    for (size_t k = 1; k <= 14; ++k)
        out.push_back(uint8_t(k << 4 | ch[k]));
}

void FrameGenerator::encodeDralin(std::vector<uint8_t>& out) {
    const DralinMode& mode = DralinModes()[reading_.mode];
    std::array<uint8_t, 9> field{};
    field[0] = mode.ranges[reading_.range].code;
    if (!reading_.overload) {
        const auto digits = DigitsOf<4>(reading_.count);
        std::copy(digits.begin(), digits.end(), field.begin() + 1);
    }
    field[5] = mode.function;
    field[6] =
        uint8_t((mode.variant ? 8 : 0) | (reading_.negative ? 4 : 0) | (reading_.overload ? 1 : 0));
    field[7] = 0;  // option: nothing special
    field[8] = uint8_t(mode.coupling | (reading_.autoRange ? kDralinAuto : 0));
    for (uint8_t f : field)
        out.push_back(kFieldHigh | f);
    out.push_back(0x0D);
    out.push_back(0x0A);
}

}  // namespace dmm::metersim
