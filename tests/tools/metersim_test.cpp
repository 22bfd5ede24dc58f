// SPDX-License-Identifier: GPL-3.0-or-later
// The meter simulator: its frames have each family's layout, every one of them
// decodes cleanly through the real frame assembly and decoders, the reading
// wanders through functions, ranges, signs and overloads, a seed fixes the
// bytes, and the metersim program behaves on pipes, files and terminals.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "decode/frame_assembly.h"
#include "decode/model_config.h"
#include "decode/text_rules.h"
#include "support/recording_host.h"
#include "tools/metersim/frame_generator.h"

extern char** environ;

namespace dmm::metersim {
// Names the family in test output.
void PrintTo(Family family, std::ostream* os) {
    *os << FamilyName(family);
}
}  // namespace dmm::metersim

namespace dmm {
namespace {

namespace sim = metersim;
using sim::FrameGenerator;
using Bytes = std::vector<uint8_t>;

constexpr sim::Family kFamilies[] = {sim::Family::Tarvo, sim::Family::Mesko, sim::Family::Dralin};

Family CoreFamily(sim::Family family) {
    switch (family) {
        case sim::Family::Tarvo:
            return Family::Tarvo;
        case sim::Family::Mesko:
            return Family::Mesko;
        case sim::Family::Dralin:
            return Family::Dralin;
    }
    return Family::Tarvo;
}

std::string Hex(const Bytes& bytes) {
    std::string text;
    for (uint8_t b : bytes) {
        text += HexDigit(b >> 4);
        text += HexDigit(b & 0xF);
        text += ' ';
    }
    return text;
}

std::string FamilyLabel(const testing::TestParamInfo<sim::Family>& info) {
    return std::string(sim::FamilyName(info.param));
}

// The stream metersim writes for a seed: the preamble and the first frames.
Bytes Stream(sim::Family family, uint32_t seed, int frames) {
    FrameGenerator generator(family, seed);
    Bytes bytes = generator.preamble();
    for (int i = 0; i < frames; ++i)
        generator.next(bytes);
    return bytes;
}

// ---- Frame layout, checked byte by byte ----------------------------------------

class FrameLayoutTest : public testing::TestWithParam<sim::Family> {};

bool IsDecimal(uint8_t field) {
    return field <= 9;
}

// The Mesko segment table: code (seven bits) to digit, "@" the overload L.
std::string MeskoDigit(int high, int low3) {
    static const std::pair<int, const char*> table[] = {
        {0xD << 3 | 7, "0"}, {0x5 << 3 | 0, "1"}, {0xB << 3 | 5, "2"}, {0xF << 3 | 1, "3"},
        {0x7 << 3 | 2, "4"}, {0xE << 3 | 3, "5"}, {0xE << 3 | 7, "6"}, {0x5 << 3 | 1, "7"},
        {0xF << 3 | 7, "8"}, {0xF << 3 | 3, "9"}, {0x8 << 3 | 6, "@"}, {0, ""}};
    const int code = high << 3 | low3;
    for (const auto& [c, digit] : table) {
        if (c == code)
            return digit;
    }
    return "?";  // a code the meter never sends
}

TEST_P(FrameLayoutTest, EveryFrameHasTheFamilyLayout) {
    const sim::Family family = GetParam();
    FrameGenerator generator(family, 11);
    EXPECT_EQ(generator.preamble(), family == sim::Family::Mesko ? Bytes{} : Bytes{0x0A});
    for (int i = 0; i < 3000; ++i) {
        const Bytes frame = generator.next();
        SCOPED_TRACE("frame " + std::to_string(i) + ": " + Hex(frame));
        ASSERT_EQ(frame.size(), sim::FrameSize(family));
        std::vector<uint8_t> low;
        for (uint8_t b : frame)
            low.push_back(b & 0xF);

        switch (family) {
            case sim::Family::Tarvo: {
                EXPECT_EQ(frame[9], 0x0D);
                EXPECT_EQ(frame[10], 0x0A);
                for (int k = 0; k < 9; ++k)
                    EXPECT_EQ(frame[k] >> 4, 0x3) << "byte " << k;
                if (low[0] != 0xA) {
                    for (int k = 0; k < 5; ++k)
                        EXPECT_TRUE(IsDecimal(low[k])) << "digit " << k;
                }
                EXPECT_TRUE(IsDecimal(low[5])) << "range";
                EXPECT_TRUE(IsDecimal(low[7])) << "coupling";
                EXPECT_TRUE(IsDecimal(low[8])) << "status";
                break;
            }
            case sim::Family::Dralin: {
                EXPECT_EQ(frame[9], 0x0D);
                EXPECT_EQ(frame[10], 0x0A);
                for (int k = 0; k < 9; ++k)
                    EXPECT_EQ(frame[k] >> 4, 0x3) << "byte " << k;
                for (int k = 0; k < 5; ++k)
                    EXPECT_TRUE(IsDecimal(low[k])) << "range or digit " << k;
                // The range code belongs to the function.
                int maxRange = 9;
                switch (low[5]) {
                    case 0xB:
                        maxRange = 4;
                        break;
                    case 0xD:
                    case 0x9:
                        maxRange = 1;
                        break;
                    case 0x3:
                    case 0x2:
                        maxRange = 5;
                        break;
                    case 0x6:
                        maxRange = 7;
                        break;
                    default:
                        break;
                }
                EXPECT_LE(low[0], maxRange) << "range of function " << int(low[5]);
                // Status and option never ask for the frequency override.
                EXPECT_FALSE(low[6] == 0 && low[7] == 1);
                break;
            }
            case sim::Family::Mesko: {
                for (int k = 0; k < 14; ++k)
                    EXPECT_EQ(frame[k] >> 4, k + 1) << "byte " << k;
                std::string d[4];
                for (int n = 1; n <= 4; ++n) {
                    d[n - 1] = MeskoDigit(low[2 * n], low[2 * n - 1] & 7);
                    EXPECT_NE(d[n - 1], "?") << "digit " << n;
                }
                const bool overload = d[2] == "@";
                if (overload) {
                    EXPECT_EQ(d[0], "");
                    EXPECT_EQ(d[1], "0");
                    EXPECT_EQ(d[3], "");
                } else {
                    for (int n = 0; n < 4; ++n)
                        EXPECT_NE(d[n], "") << "digit " << n + 1;
                    for (int n = 0; n < 4; ++n)
                        EXPECT_NE(d[n], "@") << "digit " << n + 1;
                }
                break;
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Families, FrameLayoutTest, testing::ValuesIn(kFamilies), FamilyLabel);

// ---- Through the real decoders -------------------------------------------------

// What a run of generated frames looked like to the program.
struct Survey {
    int frames = 0;
    int offered = 0;
    std::set<std::string> units;
    std::set<std::string> functions;
    int overloads = 0;
    int negatives = 0;
    int positives = 0;
    int autos = 0;
    int manuals = 0;
};

Survey DecodeFrames(sim::Family family, uint32_t seed, int frames) {
    MeterState state;
    ApplyStartup(state, true, ".", 0);
    test::RecordingHost host(state);
    FrameReceiver receiver(state, host);
    const Family core = CoreFamily(family);

    FrameGenerator generator(family, seed);
    const Bytes preamble = generator.preamble();
    receiver.feed(core, preamble.data(), int32_t(preamble.size()));

    Survey survey;
    for (int i = 0; i < frames; ++i) {
        const Bytes frame = generator.next();
        const sim::Reading& meant = generator.reading();
        const std::string where =
            "seed " + std::to_string(seed) + " frame " + std::to_string(i) + ": " + Hex(frame);
        const int before = host.offered;
        try {
            receiver.feed(core, frame.data(), int32_t(frame.size()));
        } catch (const ConversionError& e) {
            ADD_FAILURE() << where << " raised '" << e.what() << "'";
            return survey;
        }
        ++survey.frames;
        survey.offered += host.offered - before;
        if (host.offered != before + 1) {
            ADD_FAILURE() << where << " was not decoded";
            return survey;
        }

        const CurrentReading& r = state.Reading;
        // The program sees what the simulated meter meant to show.
        const bool overload = r.ValueText.find('L') != std::string::npos;
        EXPECT_EQ(overload, meant.overload) << where << " value " << r.ValueText;
        EXPECT_EQ(r.ReadingValue < 0, meant.negative) << where << " value " << r.ValueText;

        survey.units.insert(r.UnitText);
        survey.functions.insert(r.FunctionText);
        if (overload)
            ++survey.overloads;
        if (r.ReadingValue < 0)
            ++survey.negatives;
        if (r.ReadingValue > 0)
            ++survey.positives;
        if (r.AutoText == "AUTO") {
            ++survey.autos;
        } else {
            ++survey.manuals;
        }
    }
    return survey;
}

class DecodeTest : public testing::TestWithParam<sim::Family> {};

TEST_P(DecodeTest, EveryFrameDecodesWithoutAConversionError) {
    for (uint32_t seed : {1u, 2u, 3u}) {
        const Survey survey = DecodeFrames(GetParam(), seed, 4000);
        EXPECT_EQ(survey.frames, 4000) << "seed " << seed;
        EXPECT_EQ(survey.offered, 4000) << "seed " << seed;
    }
}

TEST_P(DecodeTest, TheReadingWandersThroughTheMetersStates) {
    const sim::Family family = GetParam();
    for (uint32_t seed : {4u, 5u}) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        const Survey survey = DecodeFrames(family, seed, 5000);
        ASSERT_EQ(survey.frames, 5000);
        EXPECT_GE(survey.units.size(), 8u);
        // Mesko and Dralin name only AC and DC; Tarvo names its functions too.
        EXPECT_GE(survey.functions.size(), family == sim::Family::Tarvo ? 6u : 3u);
        EXPECT_GE(survey.overloads, 5);
        EXPECT_GE(survey.negatives, 50);
        EXPECT_GE(survey.positives, 50);
        EXPECT_GE(survey.autos, 50);
        EXPECT_GE(survey.manuals, 50);
        // Overloads stay the exception.
        EXPECT_LT(survey.overloads, survey.frames / 4);
    }
}

INSTANTIATE_TEST_SUITE_P(Families, DecodeTest, testing::ValuesIn(kFamilies), FamilyLabel);

// ---- The walk itself ---------------------------------------------------------------

class WalkTest : public testing::TestWithParam<sim::Family> {};

TEST_P(WalkTest, DigitsDriftRatherThanJump) {
    // Within one function and range, consecutive counts mostly differ by a
    // little: the last digits flicker while the reading settles.
    FrameGenerator generator(GetParam(), 9);
    sim::Reading last = generator.reading();
    int steady = 0, changed = 0, compared = 0;
    for (int i = 0; i < 3000; ++i) {
        generator.next();
        const sim::Reading& now = generator.reading();
        if (i > 0 && now.mode == last.mode && now.range == last.range && !now.overload &&
            !last.overload) {
            ++compared;
            const int32_t step = std::abs(now.count - last.count);
            if (step <= 10)
                ++steady;
            if (step != 0)
                ++changed;
        }
        last = now;
    }
    ASSERT_GT(compared, 1000);
    EXPECT_GT(steady, compared / 2);
    EXPECT_GT(changed, compared / 4);
}

INSTANTIATE_TEST_SUITE_P(Families, WalkTest, testing::ValuesIn(kFamilies), FamilyLabel);

// ---- Seeds -----------------------------------------------------------------------

TEST(MetersimSeed, TheSameSeedGivesTheSameBytes) {
    for (sim::Family family : kFamilies) {
        SCOPED_TRACE(std::string(sim::FamilyName(family)));
        EXPECT_EQ(Stream(family, 42, 1000), Stream(family, 42, 1000));
        EXPECT_NE(Stream(family, 42, 1000), Stream(family, 43, 1000));
    }
}

TEST(MetersimSeed, FamilyNamesRoundTrip) {
    for (sim::Family family : kFamilies) {
        EXPECT_EQ(sim::FamilyFromName(sim::FamilyName(family)), family);
    }
    EXPECT_FALSE(sim::FamilyFromName("Tarvo").has_value());
    EXPECT_FALSE(sim::FamilyFromName("").has_value());
}

// ---- The program -----------------------------------------------------------------

const char* const kMetersim = METERSIM_PATH;

// A child process with its standard output and error on pipes.
class Child {
  public:
    explicit Child(const std::vector<std::string>& args) {
        int out[2], err[2];
        if (::pipe(out) != 0 || ::pipe(err) != 0)
            return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_adddup2(&actions, err[1], 2);
        posix_spawn_file_actions_addclose(&actions, out[0]);
        posix_spawn_file_actions_addclose(&actions, err[0]);
        std::vector<char*> argv;
        std::vector<std::string> all = {kMetersim};
        all.insert(all.end(), args.begin(), args.end());
        for (auto& a : all)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        if (posix_spawn(&pid_, kMetersim, &actions, nullptr, argv.data(), environ) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        ::close(out[1]);
        ::close(err[1]);
        out_ = out[0];
        err_ = err[0];
    }
    ~Child() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            wait();
        }
        closeOut();
        if (err_ >= 0)
            ::close(err_);
    }

    bool started() const { return pid_ > 0; }

    // Reads standard output until it has at least n bytes, or until it ends;
    // gives up after a generous guard time so that a broken program fails the
    // test instead of hanging it.
    std::string readOut(size_t n = SIZE_MAX) { return readUntil(out_, outText_, n, '\0'); }
    std::string readLine() { return readUntil(out_, outText_, SIZE_MAX, '\n'); }
    std::string readErr() { return readUntil(err_, errText_, SIZE_MAX, '\0'); }

    void closeOut() {
        if (out_ >= 0)
            ::close(out_);
        out_ = -1;
    }
    void signal(int sig) { ::kill(pid_, sig); }

    // The exit code, or -1 when the program did not exit normally.
    int wait() {
        int status = 0;
        if (pid_ <= 0 || ::waitpid(pid_, &status, 0) != pid_)
            return -1;
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

  private:
    static std::string readUntil(int fd, std::string& text, size_t n, char stop) {
        const int guardMs = 20000;
        int waited = 0;
        while (fd >= 0 && text.size() < n &&
               (stop == '\0' || text.find(stop) == std::string::npos) && waited < guardMs) {
            pollfd p = {fd, POLLIN, 0};
            if (::poll(&p, 1, 100) == 0) {
                waited += 100;
                continue;
            }
            char buffer[4096];
            const ssize_t got = ::read(fd, buffer, sizeof buffer);
            if (got <= 0)
                break;
            text.append(buffer, size_t(got));
        }
        if (stop != '\0') {
            const size_t end = text.find(stop);
            if (end == std::string::npos)
                return {};
            std::string line = text.substr(0, end);
            text.erase(0, end + 1);
            return line;
        }
        return text;
    }

    pid_t pid_ = -1;
    int out_ = -1;
    int err_ = -1;
    std::string outText_;
    std::string errText_;
};

Bytes ToBytes(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

class MetersimProgramTest : public testing::Test {
  protected:
    void SetUp() override {
        dir_ = std::filesystem::temp_directory_path() /
               ("metersim_test_" + std::to_string(::getpid()));
        std::filesystem::create_directories(dir_);
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }
    std::filesystem::path dir_;
};

TEST_F(MetersimProgramTest, FloodWritesTheSeededFramesAndStops) {
    for (sim::Family family : kFamilies) {
        const std::string name(sim::FamilyName(family));
        SCOPED_TRACE(name);
        Child child({"--family", name, "--flood", "--count", "100", "--seed", "1", "--out", "-"});
        ASSERT_TRUE(child.started());
        const Bytes out = ToBytes(child.readOut());
        EXPECT_EQ(child.wait(), 0);
        EXPECT_EQ(child.readErr(), "");
        const size_t lead = family == sim::Family::Mesko ? 0 : 1;
        EXPECT_EQ(out.size(), lead + 100 * sim::FrameSize(family));
        EXPECT_EQ(out, Stream(family, 1, 100));
    }
}

TEST_F(MetersimProgramTest, TarvoIsTheDefaultFamily) {
    Child child({"--flood", "--count", "3", "--seed", "5"});
    ASSERT_TRUE(child.started());
    EXPECT_EQ(ToBytes(child.readOut()), Stream(sim::Family::Tarvo, 5, 3));
    EXPECT_EQ(child.wait(), 0);
}

TEST_F(MetersimProgramTest, PacedOutputIsTheSameStream) {
    Child child({"--family", "dralin", "--rate", "200", "--count", "6", "--seed", "3"});
    ASSERT_TRUE(child.started());
    EXPECT_EQ(ToBytes(child.readOut()), Stream(sim::Family::Dralin, 3, 6));
    EXPECT_EQ(child.wait(), 0);
}

TEST_F(MetersimProgramTest, WritesToAFile) {
    const std::string file = (dir_ / "frames.bin").string();
    Child child({"--family", "mesko", "--flood", "--count", "20", "--seed", "8", "--out", file});
    ASSERT_TRUE(child.started());
    EXPECT_EQ(child.wait(), 0);
    EXPECT_EQ(child.readOut(), "");
    std::FILE* f = std::fopen(file.c_str(), "rb");
    ASSERT_NE(f, nullptr);
    Bytes content(1000);
    content.resize(std::fread(content.data(), 1, content.size(), f));
    std::fclose(f);
    EXPECT_EQ(content, Stream(sim::Family::Mesko, 8, 20));
}

TEST_F(MetersimProgramTest, AReaderThatGoesAwayEndsItQuietly) {
    Child child({"--flood", "--seed", "2"});
    ASSERT_TRUE(child.started());
    EXPECT_GE(child.readOut(5000).size(), 5000u);
    child.closeOut();
    EXPECT_EQ(child.wait(), 0);
    EXPECT_EQ(child.readErr(), "");
}

TEST_F(MetersimProgramTest, BadUsageExitsWithTwoAndOneLine) {
    const std::vector<std::vector<std::string>> cases = {
        {"--bogus"},        {"--family", "kettle"}, {"--rate", "0"},
        {"--rate", "fast"}, {"--count", "-3"},      {"--seed"},
        {"--flood=yes"},    {"--link", "x"},        {"--pty", "--out", "-"},
    };
    for (const auto& args : cases) {
        SCOPED_TRACE(args.front());
        Child child(args);
        ASSERT_TRUE(child.started());
        EXPECT_EQ(child.wait(), 2);
        EXPECT_EQ(child.readOut(), "");
        const std::string err = child.readErr();
        EXPECT_FALSE(err.empty());
        EXPECT_EQ(err.find('\n'), err.size() - 1) << err;
    }
}

TEST_F(MetersimProgramTest, AnUnwritableOutputIsAnIoError) {
    Child child({"--count", "1", "--out", (dir_ / "missing" / "frames.bin").string()});
    ASSERT_TRUE(child.started());
    EXPECT_EQ(child.wait(), 1);
    EXPECT_NE(child.readErr(), "");
}

TEST_F(MetersimProgramTest, PtyCarriesFramesAndTheLinkGoesAtExit) {
    const std::string link = (dir_ / "meter").string();
    // An old link in the way is replaced.
    ASSERT_EQ(::symlink("/nonexistent", link.c_str()), 0);

    Child child({"--family", "tarvo", "--pty", "--link", link, "--rate", "50", "--seed", "6"});
    ASSERT_TRUE(child.started());
    const std::string slave = child.readLine();
    ASSERT_FALSE(slave.empty());
    EXPECT_EQ(std::filesystem::read_symlink(link).string(), slave);

    const int fd = ::open(slave.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(fd, 0) << slave;
    MeterState state;
    ApplyStartup(state, true, ".", 0);
    test::RecordingHost host(state);
    FrameReceiver receiver(state, host);
    for (int waited = 0; host.offered < 5 && waited < 20000; waited += 50) {
        pollfd p = {fd, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0)
            continue;
        uint8_t buffer[256];
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got > 0) {
            ASSERT_NO_THROW(receiver.feed(Family::Tarvo, buffer, int32_t(got)));
        }
    }
    ::close(fd);
    EXPECT_GE(host.offered, 5);

    child.signal(SIGTERM);
    EXPECT_EQ(child.wait(), 0);
    EXPECT_FALSE(std::filesystem::is_symlink(link));
}

}  // namespace
}  // namespace dmm
