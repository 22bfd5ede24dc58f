// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The simulated meter: a reading that wanders like a real one (functions,
// ranges, auto and manual ranging, signs, the odd overload, digits that drift
// and flicker) and the serial bytes each meter family sends for it.
//
// Every frame is one the meter could really send: digits are decimal where the
// family sends a count, range codes belong to their function, and overloads
// take the family's own overload form.
//
// The sequence depends only on the seed: the generator draws every random
// number from std::mt19937 through its own small distributions (the standard
// library's differ between implementations), so a seed gives the same bytes
// everywhere.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <random>
#include <string_view>
#include <vector>

namespace dmm::metersim {

enum class Family { Tarvo, Mesko, Dralin };

// "tarvo", "mesko", "dralin".
std::optional<Family> FamilyFromName(std::string_view name);
std::string_view FamilyName(Family family);

// Bytes of one frame on the line: 11 for Tarvo and Dralin (nine data bytes,
// 0x0D, 0x0A), 14 for Mesko.
size_t FrameSize(Family family);

// Random numbers drawn from std::mt19937 with fixed arithmetic.
class Rng {
  public:
    explicit Rng(uint32_t seed) : gen_(seed) {}
    double uniform() { return gen_() * (1.0 / 4294967296.0); }  // [0, 1)
    bool chance(double p) { return uniform() < p; }
    size_t below(size_t n) { return size_t((uint64_t(gen_()) * n) >> 32); }  // [0, n)
    double gauss();                                                          // about N(0, 1)

  private:
    std::mt19937 gen_;
};

// What the meter measures and shows at one moment, independent of family.
struct Reading {
    size_t mode = 0;        // index into the family's mode table
    size_t range = 0;       // index into the mode's ranges
    bool autoRange = true;  // AUTO shown
    int32_t count = 0;      // displayed digits as a signed count (not overloaded)
    bool overload = false;  // the reading is beyond the range
    bool negative = false;  // minus sign shown
};

// A measuring mode as the walk sees it: the full-scale count of each range
// (each range ten times the one before) and how the quantity behaves.
struct ModeShape {
    std::vector<int32_t> fullCounts;
    bool isSigned = false;  // can go negative (DC, temperature)
    double openChance = 0;  // share of new values beyond the top range (open leads)
};

// The wandering reading: the quantity approaches a target that jumps now and
// then, with a little noise; auto range follows it one range per frame; the
// user now and then turns the dial to another function, or switches to manual
// range and steps through the ranges.
class ReadingWalk {
  public:
    ReadingWalk(std::vector<ModeShape> shapes, Rng& rng);
    Reading step();

  private:
    double scale(size_t range) const;
    const ModeShape& shape() const { return shapes_[mode_]; }
    void switchMode();
    void newTarget();
    void settleRange();
    void followAutoRange();

    std::vector<ModeShape> shapes_;
    Rng& rng_;
    size_t mode_ = 0;
    size_t range_ = 0;
    bool auto_ = true;
    double value_ = 0;   // in counts of the mode's lowest range
    double target_ = 0;  // likewise
};

class FrameGenerator {
  public:
    FrameGenerator(Family family, uint32_t seed);

    Family family() const { return family_; }

    // What goes on the line before the first frame. The Tarvo and Dralin
    // meters end each frame with 0x0D 0x0A and the receiver takes the 0x0A of
    // one frame as the start of the next, so the very first frame needs a 0x0A
    // of its own to be accepted.
    std::vector<uint8_t> preamble() const;

    // Appends the next frame's bytes to out.
    void next(std::vector<uint8_t>& out);
    std::vector<uint8_t> next();

    // The reading behind the last frame.
    const Reading& reading() const { return reading_; }

  private:
    void encodeTarvo(std::vector<uint8_t>& out);
    void encodeMesko(std::vector<uint8_t>& out);
    void encodeDralin(std::vector<uint8_t>& out);

    Family family_;
    Rng rng_;
    ReadingWalk walk_;
    Reading reading_;
};

}  // namespace dmm::metersim
