// SPDX-License-Identifier: GPL-3.0-or-later
#include "decode/frame_assembly.h"

#include <cstring>

#include "decode/logging.h"
#include "decode/meter_family.h"
#include "decode/text_rules.h"

namespace dmm {

namespace {

// The bytes of a run as hex pairs, from their high and low digits: the kept
// start of the run, and how long it was when it was longer.
std::string RunHex(std::string_view high, std::string_view low, size_t bytes) {
    std::string out;
    for (size_t i = 0; i < high.size() && i < low.size(); ++i) {
        if (i > 0)
            out += ' ';
        out += high[i];
        out += low[i];
    }
    if (bytes > high.size())
        out += " ...";
    return out;
}

void LogTurnedAway(Family family, const char* path, std::string_view high, std::string_view low,
                   size_t bytes) {
    qCDebug(lcFrames).noquote().nospace()
        << QLatin1String(FactsOf(family).name.data(), qsizetype(FactsOf(family).name.size())) << ' '
        << path << " frame turned away (" << bytes
        << " bytes): " << RunHex(high, low, bytes).c_str();
}

}  // namespace

bool SerialCollector::push(Family family, uint8_t byte, std::string& frameText, bool& accepted) {
    if (count_ < kKept) {
        low_[count_] = HexDigit(byte & 0xF);
        high_[count_] = HexDigit(byte >> 4);
    }
    ++count_;
    const FamilyFacts& facts = FactsOf(family);
    const bool ends = facts.end == FrameEnd::HighDigitE ? (byte >> 4) == 0xE : byte == 0x0D;
    if (!ends)
        return false;

    facts.serialText(lowNibbles(), frameText);
    accepted =
        count_ == facts.serialFrameBytes && facts.serialAccepted(lowNibbles(), highNibbles());
    if (!accepted)
        LogTurnedAway(family, "serial", highNibbles(), lowNibbles(), count_);
    count_ = 0;
    return true;
}

ReportCollector::Result ReportCollector::push(Family family, uint8_t reportId, const uint8_t* data,
                                              size_t size, std::string& frameText,
                                              std::string* historyText) {
    Result result;
    const int count = size > 0 ? data[0] & 0xF : -1;
    if (size > 0)
        ++IdleReportCount;

    if (count >= 1 && count <= 9) {
        IdleReportCount = 0;
        InReportFrame = true;
        // A count larger than the report contributes only the bytes present.
        const size_t n = std::min<size_t>(size_t(count), size - 1);
        for (size_t k = 0; k < n; ++k, ++bytes_) {
            if (bytes_ < kKeptBytes) {
                hex_ += HexDigit(data[1 + k] >> 4);
                hex_ += HexDigit(data[1 + k] & 0xF);
            }
        }
        if (historyText) {
            historyText->assign("R ");
            *historyText += HexDigit(reportId >> 4);
            *historyText += HexDigit(reportId & 0xF);
            *historyText += "  ";
            for (size_t i = 0; i < size; ++i) {
                *historyText += HexDigit(data[i] >> 4);
                *historyText += HexDigit(data[i] & 0xF);
                *historyText += ' ';
            }
        }
        result.kind = Kind::Data;
        return result;
    }

    // An idle report (or an empty one) ends the frame in progress. The frame
    // is the start of the run: bytes beyond the family's frame are ignored.
    if (InReportFrame) {
        const FamilyFacts& facts = FactsOf(family);
        const size_t n = std::min(facts.reportFrameBytes, hex_.size() / 2);
        frameText.clear();
        for (size_t i = 0; i < n; ++i) {
            result.highDigits += hex_[2 * i];
            frameText += hex_[2 * i + 1];
        }
        result.accepted =
            facts.reportAccepted && facts.reportAccepted(frameText, result.highDigits);
        if (!result.accepted && lcFrames().isDebugEnabled()) {
            std::string high, low;
            for (size_t i = 0; i + 1 < hex_.size(); i += 2) {
                high += hex_[i];
                low += hex_[i + 1];
            }
            LogTurnedAway(family, "cable", high, low, bytes_);
        }
        hex_.clear();
        bytes_ = 0;
        result.kind = Kind::FrameEnd;
    }
    InReportFrame = false;
    return result;
}

void FrameReceiver::feed(Family family, const uint8_t* data, int32_t size) {
    consumed_ = 0;
    if (size <= 0 || data == nullptr)
        return;
    bool accepted = false;
    for (int32_t i = 0; i < size; ++i) {
        if (!serial_.push(family, data[i], state_.FrameText, accepted))
            continue;
        consumed_ = size_t(i) + 1;
        if (FactsOf(family).serialCaption)
            state_.Lcd.setCaption(El::USBtxt, state_.FrameText);
        if (accepted)
            decode(family);
    }
    consumed_ = size_t(size);
}

void FrameReceiver::feedReport(Family family, uint8_t reportId, const uint8_t* data,
                               uint16_t size) {
    if (data == nullptr)
        size = 0;
    const auto result = reports_.push(family, reportId, data, size, state_.FrameText,
                                      onHistory ? &history_ : nullptr);
    if (result.kind == ReportCollector::Kind::Data) {
        if (onHistory)
            onHistory(history_);
        return;
    }
    if (result.kind != ReportCollector::Kind::FrameEnd)
        return;
    if (FactsOf(family).reportCheckCaptions) {
        state_.Lcd.setCaption(El::USBtxt, result.highDigits);
        state_.Lcd.setCaption(El::USBtxt1, Mid(state_.FrameText, 10, 2));
    } else {
        state_.Lcd.setCaption(El::USBtxt, state_.FrameText);
    }
    if (result.accepted)
        decode(family);
}

void FrameReceiver::decode(Family family) {
    FactsOf(family).decoder(state_, host_);
}

}  // namespace dmm
