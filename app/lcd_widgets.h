// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The drawing pieces of the window that have no stock Qt widget: the virtual
// LCD's labels in their three faces, its decimal points, the link pictures,
// the window icon and the glyph buttons' pictures. All drawn by code.
//
// Faces. The digit face draws "0".."9", "-" and "@" (the overload mark, drawn
// as an L) as seven-segment figures. The symbol face draws each symbol letter
// as the symbol it stands for ("*" ohm, "#" degrees Celsius, "?" degrees
// Fahrenheit, "u" and "+" micro, ...); the letters themselves stay in the
// captions, the reading table and the files.

#include <QColor>
#include <QIcon>
#include <QPixmap>
#include <QString>
#include <QWidget>

namespace dmm::app {

enum class LcdFace { Digit, Symbol, Arial };

// The design's "window" colour and the tooltip yellow. They are the designed
// colours, not the desktop theme's: the LCD's black figures, the verdict
// colours and the limit texts were chosen against them, and a dark theme
// would leave black on near-black.
inline QColor WindowColour() {
    return QColor(255, 255, 255);
}
inline QColor TooltipColour() {
    return QColor(255, 255, 225);
}

// What the symbol face shows for a text of symbol letters ("k*" gives "kΩ",
// "#" gives "°C"); used by the LCD labels and by the grid's unit column.
QString SymbolText(const QString& letters);

// A label of the virtual LCD: its caption drawn in one face, black, on a
// transparent background unless a background colour is set.
class LcdLabel : public QWidget {
    Q_OBJECT
  public:
    LcdLabel(LcdFace face, int pixelHeight, bool bold, QWidget* parent = nullptr);

    QString caption() const { return caption_; }
    void setCaption(const QString& caption);  // repaints only on a change
    LcdFace face() const { return face_; }
    void setBackground(const QColor& colour);  // an opaque background

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    LcdFace face_;
    int pixelHeight_;
    bool bold_;
    QString caption_;
    QColor background_;
};

// A decimal point of the LCD: a small filled rectangle (pen width 5).
class LcdPoint : public QWidget {
    Q_OBJECT
  public:
    explicit LcdPoint(QWidget* parent = nullptr);

  protected:
    void paintEvent(QPaintEvent* event) override;
};

// The link pictures: lit (frames arriving, 25 x 24) and unlit (25 x 20).
QPixmap LinkPicture(bool lit);

// The window's icon (32 x 32).
QIcon WindowIcon();

enum class Glyph {
    BlankPage,
    OpenFolder,
    Diskette,
    Printer,
    Picture,  // the chart saved as a picture
    First,    // the chart's page buttons
    Previous,
    Next,
    Last,
    Enlarge,  // the chart's enlarge and restore pictures (20 x 20)
    Restore,
};
// A glyph button's picture (with its greyed form for the disabled state).
QIcon GlyphIcon(Glyph glyph);

}  // namespace dmm::app
