// SPDX-License-Identifier: GPL-3.0-or-later
#include "decode/lcd_state.h"

namespace dmm {
namespace {

struct Design {
    std::string_view name;
    std::string_view caption;
    bool shown;
};

constexpr Design kDesign[] = {
#define DMM_ROW(name, caption, shown) {#name, caption, shown},
    DMM_LCD_ELEMENTS(DMM_ROW)
#undef DMM_ROW
};
static_assert(std::size(kDesign) == kElementCount);

}  // namespace

LcdState::LcdState() {
    for (size_t i = 0; i < kElementCount; ++i) {
        items_[i].caption.assign(kDesign[i].caption);
        items_[i].visible = kDesign[i].shown;
    }
}

std::string_view LcdState::name(El e) {
    return kDesign[index(e)].name;
}
std::string_view LcdState::designCaption(El e) {
    return kDesign[index(e)].caption;
}
bool LcdState::designVisible(El e) {
    return kDesign[index(e)].shown;
}

std::optional<El> LcdState::byName(std::string_view name) {
    for (size_t i = 0; i < kElementCount; ++i) {
        if (kDesign[i].name == name)
            return static_cast<El>(i);
    }
    return std::nullopt;
}

}  // namespace dmm
