// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The state of the virtual LCD and of the other labels and pictures that the
// decoders drive: one entry per element, keyed by the element's design name,
// holding its caption and whether it is shown. The window renders from it
// after every frame; tests and the headless logger read it directly.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace dmm {

// X(name, design caption, shown at design)
#define DMM_LCD_ELEMENTS(X)    \
    X(LcdD0, "3", true)        \
    X(LcdDa, "9", true)        \
    X(LcdDb, "9", true)        \
    X(LcdDc, "9", true)        \
    X(LcdDd, "9", true)        \
    X(LcdFH, "-", true)        \
    X(LcdP0, "", false)        \
    X(LcdP1, "", false)        \
    X(LcdP2, "", false)        \
    X(LcdP3, "", false)        \
    X(LcdAuto, "AUTO", false)  \
    X(LCDRS, "RS", false)      \
    X(LCD232C, "232C", false)  \
    X(LCDHold, "\"", false)    \
    X(LCDRec, "!", false)      \
    X(LCDBATT, "$", false)     \
    X(LCDBT, "(", false)       \
    X(LcdAC, "AC", false)      \
    X(LCDJa, "+", false)       \
    X(LcdDc1, "DC", false)     \
    X(LCDTRMST, "T", false)    \
    X(LCDTRMS, "RMS", false)   \
    X(LcdACDC, "AC+DC", false) \
    X(LcdRPM, "RPM", false)    \
    X(LCDBF, "%", false)       \
    X(LCDDI, ")", false)       \
    X(LCDFm, "&", false)       \
    X(LCDCS, "#", false)       \
    X(LCDFS, "?", false)       \
    X(LCDohm, "*", false)      \
    X(LCDk, "k", false)        \
    X(LCDM1, "M", false)       \
    X(LCDHz, "Hz", false)      \
    X(LCDu, "+", false)        \
    X(Lcdm, "m", false)        \
    X(LCDn, "n", false)        \
    X(LcdV, "V", false)        \
    X(LCDA, "A", false)        \
    X(LCDF, "F", false)        \
    X(lcdW, "W", false)        \
    X(CONok, "", false)        \
    X(CONokN, "", true)        \
    X(MinText, "40001", true)  \
    X(MaxText, "-40001", true) \
    X(MinTextU, "*", true)     \
    X(MaxTextU, "*", true)     \
    X(USBtxt, "", false)       \
    X(USBtxt1, "", false)

enum class El : uint8_t {
#define DMM_ENUM(name, caption, shown) name,
    DMM_LCD_ELEMENTS(DMM_ENUM)
#undef DMM_ENUM
};

inline constexpr size_t kElementCount = 0
// NOLINTNEXTLINE(bugprone-macro-parentheses): each element adds one to the sum
#define DMM_COUNT(name, caption, shown) +1
    DMM_LCD_ELEMENTS(DMM_COUNT)
#undef DMM_COUNT
    ;

struct ElementState {
    std::string caption;
    bool visible = false;
};

class LcdState {
  public:
    LcdState();  // the design state

    const std::string& caption(El e) const { return items_[index(e)].caption; }
    bool visible(El e) const { return items_[index(e)].visible; }
    void setCaption(El e, std::string_view text) { items_[index(e)].caption.assign(text); }
    void setVisible(El e, bool shown) { items_[index(e)].visible = shown; }
    void show(El e) { setVisible(e, true); }
    void hide(El e) { setVisible(e, false); }

    static std::string_view name(El e);
    static std::optional<El> byName(std::string_view name);
    static std::string_view designCaption(El e);
    static bool designVisible(El e);

  private:
    static size_t index(El e) { return static_cast<size_t>(e); }
    std::array<ElementState, kElementCount> items_;
};

}  // namespace dmm
