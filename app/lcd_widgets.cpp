// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/lcd_widgets.h"

#include <QFont>
#include <QFontMetricsF>
#include <QImage>
#include <QList>
#include <QPaintEvent>
#include <QPainter>
#include <QPen>
#include <QPolygonF>
#include <QRadialGradient>
#include <QTransform>

#include <algorithm>
#include <array>
#include <cstdint>
#include <utility>

namespace dmm::app {
namespace {

const QColor kInk = Qt::black;

// ---------------------------------------------------------------------------
// The digit face: seven-segment figures.
//
// Segment bits, in the usual lettering: a top, b upper right, c lower right,
// d bottom, e lower left, f upper left, g middle.
enum Segment : uint8_t {
    kA = 1 << 0,
    kB = 1 << 1,
    kC = 1 << 2,
    kD = 1 << 3,
    kE = 1 << 4,
    kF = 1 << 5,
    kG = 1 << 6,
};

// Proportions of a figure, as fractions of the face's pixel height. The figure
// stands from kFigureTop to kFigureTop + kFigureHeight so that its foot lines
// up with the decimal points placed beside the digits. The top fifth of the
// digit's place is left to the annunciator row above the figures (AUTO, AC,
// DC, RS 232C), which sits in the same band of the panel.
constexpr qreal kCellAdvance = 0.38;
constexpr qreal kFigureTop = 0.20;
constexpr qreal kFigureHeight = 0.85;
constexpr qreal kSideMargin = 0.015;
constexpr qreal kThickness = 0.09;
constexpr qreal kSegmentGap = 0.015;
constexpr qreal kSlant = 0.05;  // horizontal shift per pixel of height

// Which segments a character lights. The meter sends digits and the overload
// mark (the minus sign has a figure of its own, below); a frame that carries a
// hexadecimal digit in a digit place shows its letter, as a meter's own
// display would. Anything else stays blank.
uint8_t SegmentsOf(QChar ch) {
    switch (ch.unicode()) {
        case '0':
            return kA | kB | kC | kD | kE | kF;
        case '1':
            return kB | kC;
        case '2':
            return kA | kB | kD | kE | kG;
        case '3':
            return kA | kB | kC | kD | kG;
        case '4':
            return kB | kC | kF | kG;
        case '5':
            return kA | kC | kD | kF | kG;
        case '6':
            return kA | kC | kD | kE | kF | kG;
        case '7':
            return kA | kB | kC;
        case '8':
            return kA | kB | kC | kD | kE | kF | kG;
        case '9':
            return kA | kB | kC | kD | kF | kG;
        case 'A':
        case 'a':
            return kA | kB | kC | kE | kF | kG;
        case 'B':
        case 'b':
            return kC | kD | kE | kF | kG;
        case 'C':
        case 'c':
            return kA | kD | kE | kF;
        case 'D':
        case 'd':
            return kB | kC | kD | kE | kG;
        case 'E':
        case 'e':
            return kA | kD | kE | kF | kG;
        case 'F':
        case 'f':
            return kA | kE | kF | kG;
        case '@':  // the overload mark
        case 'L':
            return kD | kE | kF;
        case 'H':
            return kB | kC | kE | kF | kG;
        case 'P':
            return kA | kB | kE | kF | kG;
        case 'U':
            return kB | kC | kD | kE | kF;
        case '_':
            return kD;
        default:
            return 0;
    }
}

// A horizontal segment along y from x0 to x1 (the centre lines of the upright
// segments), with pointed ends.
QPolygonF HorizontalSegment(qreal x0, qreal x1, qreal y, qreal t, qreal gap) {
    const qreal h = t / 2;
    return QPolygonF({{x0 + gap, y},
                      {x0 + gap + h, y - h},
                      {x1 - gap - h, y - h},
                      {x1 - gap, y},
                      {x1 - gap - h, y + h},
                      {x0 + gap + h, y + h}});
}

QPolygonF VerticalSegment(qreal x, qreal y0, qreal y1, qreal t, qreal gap) {
    const qreal h = t / 2;
    return QPolygonF({{x, y0 + gap},
                      {x + h, y0 + gap + h},
                      {x + h, y1 - gap - h},
                      {x, y1 - gap},
                      {x - h, y1 - gap - h},
                      {x - h, y0 + gap + h}});
}

// The minus sign is a figure of its own, narrower than a digit: the sign's
// place in front of the digits is narrower than a digit's.
constexpr qreal kMinusAdvance = 0.26;

qreal FigureAdvance(QChar ch) {
    return ch == '-' ? kMinusAdvance : kCellAdvance;
}

QTransform Lean(qreal footY) {
    // Lean the figure to the right, pivoting on its foot, as LCD figures do.
    QTransform lean;
    lean.translate(kSlant * footY, 0);
    lean.shear(-kSlant, 0);
    return lean;
}

// Draws one figure in the cell starting at cellLeft, for a face of pixel
// height px.
void DrawFigure(QPainter& p, QChar ch, qreal cellLeft, qreal px) {
    const qreal bottom = (kFigureTop + kFigureHeight) * px;
    if (ch == '-') {
        const qreal left = cellLeft + kSideMargin * px;
        const qreal right = cellLeft + (kMinusAdvance - kSideMargin - kSlant * kFigureHeight) * px;
        const qreal y = (kFigureTop + kFigureHeight / 2) * px;
        p.drawPolygon(Lean(bottom).map(HorizontalSegment(left, right, y, kThickness * px, 0)));
        return;
    }
    const uint8_t segments = SegmentsOf(ch);
    if (segments == 0)
        return;
    const qreal t = kThickness * px;
    const qreal gap = std::max<qreal>(0.5, kSegmentGap * px);
    const qreal top = kFigureTop * px;
    const qreal height = kFigureHeight * px;
    const qreal left = cellLeft + kSideMargin * px;
    const qreal width = (kCellAdvance - 2 * kSideMargin - kSlant * kFigureHeight) * px;

    const qreal xl = left + t / 2;
    const qreal xr = left + width - t / 2;
    const qreal yt = top + t / 2;
    const qreal ym = top + height / 2;
    const qreal yb = bottom - t / 2;

    const std::array<std::pair<Segment, QPolygonF>, 7> shapes = {{
        {kA, HorizontalSegment(xl, xr, yt, t, gap)},
        {kB, VerticalSegment(xr, yt, ym, t, gap)},
        {kC, VerticalSegment(xr, ym, yb, t, gap)},
        {kD, HorizontalSegment(xl, xr, yb, t, gap)},
        {kE, VerticalSegment(xl, ym, yb, t, gap)},
        {kF, VerticalSegment(xl, yt, ym, t, gap)},
        {kG, HorizontalSegment(xl, xr, ym, t, gap)},
    }};

    const QTransform lean = Lean(bottom);
    for (const auto& [bit, shape] : shapes) {
        if (segments & bit)
            p.drawPolygon(lean.map(shape));
    }
}

// ---------------------------------------------------------------------------
// The symbol face.

enum class Picture { None, Hold, Record, Battery, Link, Diode, Beeper };

Picture PictureOf(QChar ch) {
    switch (ch.unicode()) {
        case '"':
            return Picture::Hold;
        case '!':
            return Picture::Record;
        case '$':
            return Picture::Battery;
        case '(':
            return Picture::Link;
        case ')':
            return Picture::Diode;
        case '&':
            return Picture::Beeper;
        default:
            return Picture::None;
    }
}

// Width of a picture, as a fraction of the face's pixel height; chosen so the
// pictures fit the panel places they are shown in.
qreal PictureWidth(Picture picture) {
    switch (picture) {
        case Picture::Hold:
            return 0.54;
        case Picture::Record:
            return 0.56;
        case Picture::Battery:
            return 0.34;
        case Picture::Link:
            return 0.31;
        case Picture::Diode:
            return 1.0;
        case Picture::Beeper:
            return 0.78;
        case Picture::None:
            break;
    }
    return 0;
}

QString SymbolCharText(QChar ch) {
    switch (ch.unicode()) {
        case '*':
            return QStringLiteral("\u03A9");  // Ω
        case '#':
            return QStringLiteral("\u00B0C");
        case '?':
            return QStringLiteral("\u00B0F");
        case 'u':
        case '+':
            return QStringLiteral("\u00B5");  // µ
        case ')':
            return QStringLiteral("\u25B7|");  // diode: ▷|
        case '&':
            return QStringLiteral("\u266A");  // beeper: ♪
        case '$':
            return QStringLiteral("BAT");
        case '"':
            return QStringLiteral("HOLD");
        case '!':
            return QStringLiteral("REC");
        case '(':
            return QStringLiteral("BT");
        default:
            return QString(ch);
    }
}

QFont SansFont(int pixelHeight, bool bold) {
    QFont font;
    // fontconfig maps Arial to its metric twin where Arial itself is missing.
    font.setFamilies({QStringLiteral("Arial"), QStringLiteral("Liberation Sans")});
    font.setStyleHint(QFont::SansSerif);
    font.setPixelSize(std::max(1, pixelHeight));
    font.setBold(bold);
    return font;
}

QPen InkPen(qreal width) {
    return QPen(kInk, std::max<qreal>(1.0, width), Qt::SolidLine, Qt::FlatCap, Qt::MiterJoin);
}

// Draws a picture in the box from x, between capTop and baseline.
void DrawPicture(QPainter& p, Picture picture, qreal x, qreal capTop, qreal baseline, qreal px,
                 bool bold) {
    const qreal w = PictureWidth(picture) * px;
    const qreal h = baseline - capTop;
    const qreal midY = (capTop + baseline) / 2;
    const qreal stroke = (bold ? 0.09 : 0.07) * px;
    p.save();
    switch (picture) {
        case Picture::Hold: {
            // "H" in a rounded box.
            const QRectF box(x + 0.03 * px, capTop, w - 0.06 * px, h);
            p.setPen(InkPen(stroke));
            p.setBrush(Qt::NoBrush);
            p.drawRoundedRect(box.adjusted(stroke / 2, stroke / 2, -stroke / 2, -stroke / 2),
                              0.06 * px, 0.06 * px);
            p.setFont(SansFont(qRound(0.6 * px), true));
            p.drawText(box, Qt::AlignCenter, QStringLiteral("H"));
            break;
        }
        case Picture::Record: {
            const qreal d = std::min(0.48 * px, w - 0.06 * px);
            p.setPen(Qt::NoPen);
            p.setBrush(kInk);
            p.drawEllipse(QPointF(x + w / 2, midY), d / 2, d / 2);
            break;
        }
        case Picture::Battery: {
            // Standing battery, nearly empty.
            const qreal nub = 0.1 * px;
            const QRectF body(x + 0.03 * px, capTop + nub, w - 0.06 * px, h - nub);
            p.setPen(Qt::NoPen);
            p.setBrush(kInk);
            p.drawRect(QRectF(x + w / 2 - 0.07 * px, capTop, 0.14 * px, nub));
            p.drawRect(QRectF(body.left(), body.bottom() - 0.2 * h, body.width(), 0.2 * h));
            p.setPen(InkPen(stroke));
            p.setBrush(Qt::NoBrush);
            p.drawRect(body.adjusted(stroke / 2, stroke / 2, -stroke / 2, -stroke / 2));
            break;
        }
        case Picture::Link: {
            // The two-arrow rune of a short-range radio link.
            const qreal pen = 0.06 * px;
            const qreal l = x + pen;
            const qreal r = x + w - pen;
            const qreal m = x + w / 2;
            const QPolygonF rune({{l, capTop + 0.28 * h},
                                  {r, capTop + 0.72 * h},
                                  {m, baseline},
                                  {m, capTop},
                                  {r, capTop + 0.28 * h},
                                  {l, capTop + 0.72 * h}});
            QPen runePen = InkPen(pen);
            runePen.setJoinStyle(Qt::RoundJoin);
            p.setPen(runePen);
            p.setBrush(Qt::NoBrush);
            p.drawPolyline(rune);
            break;
        }
        case Picture::Diode: {
            // Lead, triangle pointing at the bar, bar.
            const qreal half = 0.24 * px;
            const qreal tip = x + 0.64 * px;
            p.setPen(InkPen(0.06 * px));
            p.drawLine(QPointF(x + 0.04 * px, midY), QPointF(x + w - 0.04 * px, midY));
            p.setPen(Qt::NoPen);
            p.setBrush(kInk);
            p.drawPolygon(QPolygonF(
                {{x + 0.28 * px, midY - half}, {tip, midY}, {x + 0.28 * px, midY + half}}));
            p.setPen(InkPen(stroke));
            p.drawLine(QPointF(tip, midY - half), QPointF(tip, midY + half));
            break;
        }
        case Picture::Beeper: {
            // A loudspeaker with sound waves.
            const qreal s = 0.08 * px;
            p.setPen(Qt::NoPen);
            p.setBrush(kInk);
            p.drawPolygon(QPolygonF({{x + 0.04 * px, midY - s},
                                     {x + 0.14 * px, midY - s},
                                     {x + 0.30 * px, midY - 2.4 * s},
                                     {x + 0.30 * px, midY + 2.4 * s},
                                     {x + 0.14 * px, midY + s},
                                     {x + 0.04 * px, midY + s}}));
            p.setPen(InkPen(0.06 * px));
            p.setBrush(Qt::NoBrush);
            const QPointF centre(x + 0.30 * px, midY);
            for (const qreal radius : {0.16, 0.30, 0.44}) {
                const qreal r = radius * px;
                p.drawArc(QRectF(centre.x() - r, centre.y() - r, 2 * r, 2 * r), -45 * 16, 90 * 16);
            }
            break;
        }
        case Picture::None:
            break;
    }
    p.restore();
}

// A caption in the symbol face, cut into runs of text and pictures.
struct SymbolRun {
    Picture picture = Picture::None;
    QString text;
};

QList<SymbolRun> SymbolRuns(const QString& caption) {
    QList<SymbolRun> runs;
    for (const QChar ch : caption) {
        const Picture picture = PictureOf(ch);
        if (picture != Picture::None) {
            runs.append({picture, {}});
        } else if (!runs.isEmpty() && runs.last().picture == Picture::None) {
            runs.last().text += SymbolCharText(ch);
        } else {
            runs.append({Picture::None, SymbolCharText(ch)});
        }
    }
    return runs;
}

// Squeezes the drawing sideways when the caption would not fit its place; the
// panel's places were sized for a narrow face.
void FitWidth(QPainter& p, qreal naturalWidth, int available) {
    if (naturalWidth > available && naturalWidth > 0)
        p.scale(std::max(0, available) / naturalWidth, 1.0);
}

// ---------------------------------------------------------------------------
// Pictures.

QPixmap TransparentPixmap(int width, int height) {
    QPixmap pixmap(width, height);
    pixmap.fill(Qt::transparent);
    return pixmap;
}

// The greyed form of a glyph for a disabled button: grey levels, lightened,
// with the outline kept.
QPixmap GreyedPixmap(const QPixmap& pixmap) {
    QImage image = pixmap.toImage().convertToFormat(QImage::Format_ARGB32);
    for (int y = 0; y < image.height(); ++y) {
        auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < image.width(); ++x) {
            const int grey = 128 + qGray(line[x]) / 2;
            line[x] = qRgba(grey, grey, grey, qAlpha(line[x]));
        }
    }
    return QPixmap::fromImage(image);
}

void DrawBlankPage(QPainter& p) {
    const QPolygonF sheet({{2.5, 0.5}, {9.5, 0.5}, {13.5, 4.5}, {13.5, 15.5}, {2.5, 15.5}});
    p.setPen(QPen(QColor(64, 64, 64), 1));
    p.setBrush(Qt::white);
    p.drawPolygon(sheet);
    p.setBrush(QColor(208, 208, 208));
    p.drawPolygon(QPolygonF({{9.5, 0.5}, {9.5, 4.5}, {13.5, 4.5}}));
}

void DrawOpenFolder(QPainter& p) {
    const QColor edge(128, 96, 0);
    p.setPen(QPen(edge, 1));
    p.setBrush(QColor(216, 168, 32));
    p.drawPolygon(
        QPolygonF({{0.5, 2.5}, {5.5, 2.5}, {6.5, 3.5}, {12.5, 3.5}, {12.5, 6.5}, {0.5, 14.5}}));
    p.setBrush(QColor(255, 216, 80));
    p.drawPolygon(QPolygonF({{3.5, 6.5}, {15.5, 6.5}, {12.5, 14.5}, {0.5, 14.5}}));
}

void DrawDiskette(QPainter& p) {
    p.setPen(QPen(QColor(0, 0, 64), 1));
    p.setBrush(QColor(40, 64, 160));
    p.drawPolygon(QPolygonF({{0.5, 0.5}, {13.5, 0.5}, {15.5, 2.5}, {15.5, 15.5}, {0.5, 15.5}}));
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(200, 200, 208));  // shutter
    p.drawRect(QRectF(4, 1, 8, 5));
    p.setBrush(QColor(40, 64, 160));
    p.drawRect(QRectF(9, 2, 2, 3));
    p.setBrush(Qt::white);  // label
    p.drawRect(QRectF(3, 9, 10, 6));
    p.setPen(QPen(QColor(128, 128, 160), 1));
    p.drawLine(QPointF(4, 11.5), QPointF(12, 11.5));
    p.drawLine(QPointF(4, 13.5), QPointF(12, 13.5));
}

void DrawPrinter(QPainter& p) {
    const QPen edge(QColor(48, 48, 48), 1);
    p.setPen(edge);
    p.setBrush(Qt::white);
    p.drawRect(QRectF(3.5, 0.5, 8, 6));  // paper going in
    p.setBrush(QColor(176, 176, 176));
    p.drawRoundedRect(QRectF(0.5, 5.5, 15, 6), 1.5, 1.5);
    p.setBrush(Qt::white);
    p.drawRect(QRectF(2.5, 10.5, 11, 5));  // the printed sheet
    p.setPen(QPen(QColor(120, 120, 120), 1));
    p.drawLine(QPointF(4, 12.5), QPointF(12, 12.5));
    p.drawLine(QPointF(4, 14.5), QPointF(10, 14.5));
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0, 192, 0));
    p.drawRect(QRectF(12, 7, 2, 2));  // power lamp
}

// A framed picture of a trend line, for saving the chart.
void DrawChartPicture(QPainter& p) {
    p.setPen(QPen(QColor(64, 64, 64), 1));
    p.setBrush(Qt::white);
    p.drawRect(QRectF(0.5, 1.5, 15, 13));
    p.setPen(QPen(QColor(0, 128, 255), 1.5));
    p.drawPolyline(QPolygonF({{2, 12}, {5, 7}, {8, 9}, {11, 4}, {14, 6}}));
}

// The page buttons: triangles pointing the way of the move, with a bar at the
// end for the first and last page.
void DrawPageArrow(QPainter& p, bool forward, bool toEnd) {
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0, 0, 128));
    const qreal tip = forward ? 12 : 4;
    const qreal base = forward ? 5 : 11;
    p.drawPolygon(QPolygonF({{base, 3}, {tip, 8}, {base, 13}}));
    if (toEnd)
        p.drawRect(QRectF(forward ? 12 : 2, 3, 2, 10));
}

// Four arrows from the middle to the corners (outward: enlarge), or from the
// corners to the middle (inward: restore), on a 20 x 20 picture.
void DrawCornerArrows(QPainter& p, bool outward) {
    p.setPen(QPen(QColor(64, 64, 64), 1));
    p.setBrush(QColor(240, 240, 240));
    p.drawRect(QRectF(0.5, 0.5, 19, 19));
    p.setPen(QPen(QColor(0, 0, 128), 1.5));
    p.setBrush(QColor(0, 0, 128));
    for (const QPointF corner : {QPointF(3, 3), QPointF(17, 3), QPointF(3, 17), QPointF(17, 17)}) {
        const QPointF inner = QPointF(10, 10) + (corner - QPointF(10, 10)) * 0.35;
        const QPointF head = outward ? corner : inner;
        const QPointF tail = outward ? inner : corner;
        p.drawLine(tail, head);
        const QPointF along = (head - tail) / 2.5;
        const QPointF side(-along.y(), along.x());
        p.drawPolygon(QPolygonF({head, head - along + side * 0.6, head - along - side * 0.6}));
    }
}

// The window icon at 32 x 32 units: a handheld meter in its holster.
void DrawMeter(QPainter& p) {
    p.setPen(QPen(QColor(96, 64, 0), 1));
    p.setBrush(QColor(240, 176, 0));
    p.drawRoundedRect(QRectF(4.5, 0.5, 23, 31), 4, 4);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(56, 60, 68));
    p.drawRoundedRect(QRectF(7, 3, 18, 26), 2, 2);

    // LCD window with "88".
    p.setBrush(QColor(196, 210, 176));
    p.drawRect(QRectF(9, 5, 14, 9));
    p.setPen(QPen(QColor(24, 24, 24), 1, Qt::SolidLine, Qt::SquareCap));
    p.setBrush(Qt::NoBrush);
    for (const qreal left : {11.5, 17.5}) {
        p.drawRect(QRectF(left, 6.5, 3, 6));
        p.drawLine(QPointF(left, 9.5), QPointF(left + 3, 9.5));
    }

    // Range knob.
    QRadialGradient knob(QPointF(15, 19), 5);
    knob.setColorAt(0, QColor(240, 240, 240));
    knob.setColorAt(1, QColor(150, 150, 150));
    p.setPen(QPen(QColor(30, 30, 30), 1));
    p.setBrush(knob);
    p.drawEllipse(QPointF(16, 20.5), 4.5, 4.5);
    p.setPen(QPen(QColor(30, 30, 30), 1.5, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(16, 20.5), QPointF(18.8, 17.7));

    // Test lead sockets.
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(208, 32, 32));
    p.drawEllipse(QPointF(11, 27), 1.6, 1.6);
    p.setBrush(QColor(10, 10, 10));
    p.drawEllipse(QPointF(21, 27), 1.6, 1.6);
}

}  // namespace

QString SymbolText(const QString& letters) {
    QString text;
    for (const QChar ch : letters)
        text += SymbolCharText(ch);
    return text;
}

// ---------------------------------------------------------------------------

LcdLabel::LcdLabel(LcdFace face, int pixelHeight, bool bold, QWidget* parent)
    : QWidget(parent), face_(face), pixelHeight_(std::max(1, pixelHeight)), bold_(bold) {}

void LcdLabel::setCaption(const QString& caption) {
    if (caption == caption_)
        return;
    caption_ = caption;
    update();
}

void LcdLabel::setBackground(const QColor& colour) {
    if (colour == background_)
        return;
    background_ = colour;
    update();
}

void LcdLabel::paintEvent(QPaintEvent*) {
    QPainter p(this);
    if (background_.isValid())
        p.fillRect(rect(), background_);
    if (caption_.isEmpty())
        return;
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);
    const qreal px = pixelHeight_;

    switch (face_) {
        case LcdFace::Digit: {
            qreal natural = 0;
            for (const QChar ch : caption_)
                natural += FigureAdvance(ch) * px;
            FitWidth(p, natural, width());
            p.setPen(Qt::NoPen);
            p.setBrush(kInk);
            qreal x = 0;
            for (const QChar ch : caption_) {
                DrawFigure(p, ch, x, px);
                x += FigureAdvance(ch) * px;
            }
            break;
        }
        case LcdFace::Symbol: {
            const QFont font = SansFont(pixelHeight_, bold_);
            const QFontMetricsF metrics(font);
            const QList<SymbolRun> runs = SymbolRuns(caption_);
            qreal natural = 0;
            for (const SymbolRun& run : runs) {
                natural += run.picture == Picture::None ? metrics.horizontalAdvance(run.text)
                                                        : PictureWidth(run.picture) * px;
            }
            FitWidth(p, natural, width());
            p.setFont(font);
            p.setPen(kInk);
            const qreal baseline = metrics.ascent();
            const qreal capTop = baseline - metrics.capHeight();
            qreal x = 0;
            for (const SymbolRun& run : runs) {
                if (run.picture == Picture::None) {
                    p.drawText(QPointF(x, baseline), run.text);
                    x += metrics.horizontalAdvance(run.text);
                } else {
                    DrawPicture(p, run.picture, x, capTop, baseline, px, bold_);
                    x += PictureWidth(run.picture) * px;
                }
            }
            break;
        }
        case LcdFace::Arial: {
            const QFont font = SansFont(pixelHeight_, bold_);
            const QFontMetricsF metrics(font);
            FitWidth(p, metrics.horizontalAdvance(caption_), width());
            p.setFont(font);
            p.setPen(kInk);
            p.drawText(QPointF(0, metrics.ascent()), caption_);
            break;
        }
    }
}

// ---------------------------------------------------------------------------

LcdPoint::LcdPoint(QWidget* parent) : QWidget(parent) {}

void LcdPoint::paintEvent(QPaintEvent*) {
    // A rectangle outlined with a 5-pixel pen is solid at this size.
    QPainter p(this);
    p.fillRect(rect(), kInk);
}

// ---------------------------------------------------------------------------

QPixmap LinkPicture(bool lit) {
    const int width = 25;
    const int height = lit ? 24 : 20;
    QPixmap pixmap = TransparentPixmap(width, height);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    const QPointF centre(width / 2.0, height / 2.0);
    const qreal radius = 7.5;

    if (lit) {
        QRadialGradient glow(centre, 12);
        glow.setColorAt(0.5, QColor(80, 255, 80, 160));
        glow.setColorAt(1.0, QColor(80, 255, 80, 0));
        p.setPen(Qt::NoPen);
        p.setBrush(glow);
        p.drawEllipse(centre, 12, 12);
    }

    QRadialGradient body(centre - QPointF(2.5, 2.5), radius * 1.4);
    if (lit) {
        body.setColorAt(0.0, QColor(220, 255, 220));
        body.setColorAt(0.35, QColor(40, 230, 40));
        body.setColorAt(1.0, QColor(0, 110, 0));
    } else {
        body.setColorAt(0.0, QColor(210, 210, 210));
        body.setColorAt(0.35, QColor(130, 130, 130));
        body.setColorAt(1.0, QColor(60, 60, 60));
    }
    p.setPen(QPen(lit ? QColor(0, 80, 0) : QColor(50, 50, 50), 1));
    p.setBrush(body);
    p.drawEllipse(centre, radius, radius);
    return pixmap;
}

QIcon WindowIcon() {
    QIcon icon;
    for (const int size : {16, 32, 48}) {
        QPixmap pixmap = TransparentPixmap(size, size);
        QPainter p(&pixmap);
        p.setRenderHint(QPainter::Antialiasing);
        p.scale(size / 32.0, size / 32.0);
        DrawMeter(p);
        p.end();
        icon.addPixmap(pixmap);
    }
    return icon;
}

QIcon GlyphIcon(Glyph glyph) {
    const bool large = glyph == Glyph::Enlarge || glyph == Glyph::Restore;
    QPixmap pixmap = TransparentPixmap(large ? 20 : 16, large ? 20 : 16);
    {
        QPainter p(&pixmap);
        p.setRenderHint(QPainter::Antialiasing);
        switch (glyph) {
            case Glyph::BlankPage:
                DrawBlankPage(p);
                break;
            case Glyph::OpenFolder:
                DrawOpenFolder(p);
                break;
            case Glyph::Diskette:
                DrawDiskette(p);
                break;
            case Glyph::Printer:
                DrawPrinter(p);
                break;
            case Glyph::Picture:
                DrawChartPicture(p);
                break;
            case Glyph::First:
            case Glyph::Previous:
            case Glyph::Next:
            case Glyph::Last:
                DrawPageArrow(p, glyph == Glyph::Next || glyph == Glyph::Last,
                              glyph == Glyph::First || glyph == Glyph::Last);
                break;
            case Glyph::Enlarge:
            case Glyph::Restore:
                DrawCornerArrows(p, glyph == Glyph::Enlarge);
                break;
        }
    }
    QIcon icon;
    icon.addPixmap(pixmap, QIcon::Normal);
    icon.addPixmap(GreyedPixmap(pixmap), QIcon::Disabled);
    return icon;
}

}  // namespace dmm::app
