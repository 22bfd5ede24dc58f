// SPDX-License-Identifier: GPL-3.0-or-later
// Golden frames: one fixture file per meter family, each line the bytes of one
// frame as the serial line delivers them and the reading they must give.
//
//   bytes | ValueText | ReadingValue | FunctionText | UnitText | AutoText | bar
//   bytes | error:MESSAGE    the decoder raises a conversion error
//   bytes | dropped          the frame check rejects the run
//
// Blank lines and lines starting with "#" are comments. Every frame is fed
// to a fresh receiver in the built configuration, so each line stands alone.

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "decode/frame_assembly.h"
#include "decode/model_config.h"
#include "decode/text_rules.h"
#include "support/recording_host.h"

namespace dmm {
namespace {

std::string Trim(std::string_view s) {
    const size_t b = s.find_first_not_of(" \t\r");
    if (b == std::string_view::npos)
        return "";
    const size_t e = s.find_last_not_of(" \t\r");
    return std::string(s.substr(b, e - b + 1));
}

std::vector<std::string> SplitFields(const std::string& line) {
    std::vector<std::string> fields;
    size_t start = 0;
    while (true) {
        const size_t bar = line.find('|', start);
        fields.push_back(Trim(std::string_view(line).substr(start, bar - start)));
        if (bar == std::string::npos)
            break;
        start = bar + 1;
    }
    return fields;
}

// Hexadecimal byte pairs separated by blanks; false on anything else.
bool ParseBytes(const std::string& text, std::vector<uint8_t>& bytes) {
    size_t i = 0;
    while (i < text.size()) {
        if (text[i] == ' ') {
            ++i;
            continue;
        }
        if (i + 1 >= text.size())
            return false;
        const int hi = HexValue(text[i]);
        const int lo = HexValue(text[i + 1]);
        if (hi < 0 || lo < 0)
            return false;
        bytes.push_back(uint8_t(hi << 4 | lo));
        i += 2;
    }
    return !bytes.empty();
}

struct FamilyFixture {
    const char* name;
    Family family;
};

void PrintTo(const FamilyFixture& f, std::ostream* os) {
    *os << f.name;
}

class GoldenFrames : public ::testing::TestWithParam<FamilyFixture> {};

TEST_P(GoldenFrames, Fixture) {
    const std::string path =
        std::string(DMM_TEST_DATA_DIR) + "/fixtures/" + GetParam().name + ".txt";
    std::ifstream in(path);
    ASSERT_TRUE(in) << "cannot open " << path;

    int frames = 0, lineNo = 0;
    std::string line;
    while (std::getline(in, line)) {
        ++lineNo;
        const std::string trimmed = Trim(line);
        if (trimmed.empty() || trimmed[0] == '#')
            continue;
        SCOPED_TRACE(path + ":" + std::to_string(lineNo));
        ++frames;

        const std::vector<std::string> f = SplitFields(trimmed);
        std::vector<uint8_t> bytes;
        ASSERT_TRUE(ParseBytes(f[0], bytes)) << "bad bytes";
        ASSERT_GE(f.size(), 2u) << "no expectation";

        MeterState state;
        ApplyStartup(state, true, ".", 0);
        test::RecordingHost host(state);
        FrameReceiver receiver(state, host);
        const auto feed = [&] {
            receiver.feed(GetParam().family, bytes.data(), int32_t(bytes.size()));
        };

        if (f[1] == "dropped") {
            ASSERT_EQ(f.size(), 2u);
            feed();
            EXPECT_TRUE(host.calls.empty());
            EXPECT_FALSE(state.Lcd.visible(El::CONok));
        } else if (f[1].rfind("error:", 0) == 0) {
            ASSERT_EQ(f.size(), 2u);
            try {
                feed();
                ADD_FAILURE() << "no conversion error";
            } catch (const ConversionError& e) {
                EXPECT_EQ(e.what(), f[1].substr(6));
            }
            EXPECT_TRUE(state.Lcd.visible(El::CONok));  // the decoder ran
        } else {
            ASSERT_EQ(f.size(), 7u) << "expected 7 fields";
            feed();
            const CurrentReading& r = state.Reading;
            EXPECT_EQ(host.offered, 1);
            EXPECT_EQ(r.ValueText, f[1]);
            EXPECT_EQ(r.ReadingValue, std::stod(f[2]));
            EXPECT_EQ(r.FunctionText, f[3]);
            EXPECT_EQ(r.UnitText, f[4]);
            EXPECT_EQ(r.AutoText, f[5]);
            EXPECT_EQ(host.bar, std::stoi(f[6]));
        }
    }
    EXPECT_GE(frames, 8);
}

INSTANTIATE_TEST_SUITE_P(Families, GoldenFrames,
                         ::testing::Values(FamilyFixture{"tarvo", Family::Tarvo},
                                           FamilyFixture{"mesko", Family::Mesko},
                                           FamilyFixture{"dralin", Family::Dralin}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace dmm
