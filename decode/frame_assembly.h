// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Frame assembly: turns the bytes of the serial line and the cable's input
// reports into whole meter frames, checks them and hands each plausible one to
// its family's decoder through FrameText.
//
// Serial line. The meters put their data in the low four bits of every byte;
// the high four bits only find and check frames.
//   Tarvo, Dralin: nine data bytes, then 0x0D 0x0A. Collection stops at the
//     0x0D, so the 0x0A of the previous frame opens the next run: a run is
//     accepted when its 1st low digit is A and its 11th is D.
//   Mesko: 14 bytes whose high digits count 1..E; the 0xE byte ends it.
// Cable. Each input report carries, after its report ID, a count byte whose low
// digit 1..9 says how many meter bytes follow; any other low digit (or an empty
// report) is idle. A frame is the run of meter bytes between two idle reports.

#include <cstdint>
#include <functional>
#include <string>

#include "decode/meter_state.h"

namespace dmm {

class DecoderHost;

// The serial collection: the low and high digits of every byte since the last
// frame end. Only the start of a run decides whether it is a frame, so a long
// run of noise keeps its first digits and its length, never its whole text.
class SerialCollector {
  public:
    static constexpr size_t kKept = 32;

    // Adds one byte; true when the byte ended a frame of the family. The
    // frame's text and verdict are then in frameText and accepted, and the
    // collection is empty again.
    bool push(Family family, uint8_t byte, std::string& frameText, bool& accepted);

    size_t size() const { return count_; }
    std::string_view lowNibbles() const { return {low_, kept()}; }
    std::string_view highNibbles() const { return {high_, kept()}; }
    void clear() { count_ = 0; }

  private:
    size_t kept() const { return count_ < kKept ? count_ : kKept; }
    char low_[kKept] = {};
    char high_[kKept] = {};
    size_t count_ = 0;
};

// The cable collection: the meter bytes of the data reports since the last
// idle report, and the count of consecutive idle reports.
class ReportCollector {
  public:
    static constexpr size_t kKeptBytes = 16;

    enum class Kind { Data, Idle, FrameEnd };
    struct Result {
        Kind kind = Kind::Idle;
        bool accepted = false;   // FrameEnd: the frame passed the family's test
        std::string highDigits;  // FrameEnd: the high digits of the frame's bytes
    };

    // Processes one report (ID and the bytes after it). historyText, when not
    // null, receives the report's diagnostic line ("R 00  0B 3A ..."), for data
    // reports only.
    Result push(Family family, uint8_t reportId, const uint8_t* data, size_t size,
                std::string& frameText, std::string* historyText);

    int32_t IdleReportCount = 0;
    bool InReportFrame = false;
    std::string_view reportHexText() const { return hex_; }
    // Forgets the run in progress (another family's bytes, say).
    void clear() {
        hex_.clear();
        bytes_ = 0;
        InReportFrame = false;
        IdleReportCount = 0;
    }

  private:
    std::string hex_;   // ReportHexText, up to kKeptBytes bytes
    size_t bytes_ = 0;  // meter bytes seen in this run
};

// Both paths together, wired to the decoders. The window, dmmlog, the tests
// and the fuzzers all feed bytes and reports through this one object.
class FrameReceiver {
  public:
    FrameReceiver(MeterState& state, DecoderHost& host) : state_(state), host_(host) {}

    // The serial receive handlers, one per family. A decoder failure ends the
    // chunk: its ConversionError propagates and the remaining bytes are
    // dropped; consumed() tells how far the chunk got.
    void HTarvoRData(const uint8_t* data, int32_t size) { feed(Family::Tarvo, data, size); }
    void HMeskoRData(const uint8_t* data, int32_t size) { feed(Family::Mesko, data, size); }
    void HDralinRData(const uint8_t* data, int32_t size) { feed(Family::Dralin, data, size); }
    void feed(Family family, const uint8_t* data, int32_t size);
    size_t consumed() const { return consumed_; }

    // The cable's data handlers (the Dralin family has none).
    void HTarvoHidData(uint8_t reportId, const uint8_t* data, uint16_t size) {
        feedReport(Family::Tarvo, reportId, data, size);
    }
    void HMeskoHidData(uint8_t reportId, const uint8_t* data, uint16_t size) {
        feedReport(Family::Mesko, reportId, data, size);
    }
    void feedReport(Family family, uint8_t reportId, const uint8_t* data, uint16_t size);

    // Receives one diagnostic line per data report, when set.
    std::function<void(const std::string&)> onHistory;

    SerialCollector& serial() { return serial_; }
    ReportCollector& reports() { return reports_; }

  private:
    void decode(Family family);

    MeterState& state_;
    DecoderHost& host_;
    SerialCollector serial_;
    ReportCollector reports_;
    size_t consumed_ = 0;
    std::string history_;
};

}  // namespace dmm
