// SPDX-License-Identifier: GPL-3.0-or-later
// The LCD model on screen. The decoders write captions and visibility into
// the model; after each pass the window copies what changed to the widgets,
// so a frame that repeats the last one costs a few string compares.

#include <QLabel>
#include <QTimer>

#include "app/fcomm.h"
#include "app/lcd_widgets.h"

namespace dmm::app {

void TFCOMM::AddLcdWidget(El element, QWidget* widget, LcdLabel* label, QLabel* text) {
    LcdItem& item = lcd_[size_t(element)];
    item.widget = widget;
    item.label = label;
    item.text = text;
    item.caption = state_.Lcd.caption(element);
    item.visible = state_.Lcd.visible(element);
    const QString caption = QString::fromStdString(item.caption);
    if (label)
        label->setCaption(caption);
    if (text)
        text->setText(caption);
    widget->setVisible(item.visible);
}

void TFCOMM::RenderLcdSoon() {
    if (lcdRefreshMs_ <= 0 || !lcdShown_.isValid() || lcdShown_.elapsed() >= lcdRefreshMs_) {
        RenderLcd();
        return;
    }
    if (!lcdTimer_->isActive())
        lcdTimer_->start(int(lcdRefreshMs_ - lcdShown_.elapsed()));
}

void TFCOMM::RenderLcd() {
    if (lcdTimer_)
        lcdTimer_->stop();
    lcdShown_.start();
    ShowPendingHostState();
    const LcdState& lcd = state_.Lcd;
    for (size_t i = 0; i < kElementCount; ++i) {
        LcdItem& item = lcd_[i];
        if (!item.widget)
            continue;
        const El element = El(i);
        const std::string& caption = lcd.caption(element);
        if (caption != item.caption && (item.label || item.text)) {
            item.caption = caption;
            const QString text = QString::fromStdString(caption);
            if (item.label)
                item.label->setCaption(text);
            else
                item.text->setText(text);
        }
        const bool visible = lcd.visible(element);
        if (visible != item.visible) {
            item.visible = visible;
            item.widget->setVisible(visible);
        }
    }
}

}  // namespace dmm::app
