// SPDX-License-Identifier: GPL-3.0-or-later
// The LCD's drawing pieces: the segment figures, the symbol face, the decimal
// point, the link pictures and the icons, checked on their rendered pixels.

#include <gtest/gtest.h>

#include <QApplication>
#include <QEvent>
#include <QImage>
#include <QObject>
#include <QTest>

#include <array>
#include <cstdlib>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "app/lcd_widgets.h"

namespace dmm::app {
namespace {

// The widgets need an application object; main() below makes it.
class LcdWidgets : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_NE(qApp, nullptr); }
};

// Renders a widget on a transparent image, without any window background.
QImage Render(QWidget& widget) {
    QImage image(widget.size(), QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    widget.render(&image, QPoint(), QRegion(), QWidget::DrawChildren);
    return image;
}

QImage RenderLabel(LcdFace face, int pixelHeight, bool bold, QSize size, const QString& caption) {
    LcdLabel label(face, pixelHeight, bold);
    label.resize(size);
    label.setCaption(caption);
    return Render(label);
}

bool IsInk(QRgb pixel) {
    return qAlpha(pixel) > 200 && qGray(pixel) < 60;
}

bool IsClear(QRgb pixel) {
    return qAlpha(pixel) == 0;
}

int InkCount(const QImage& image) {
    int count = 0;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x)
            count += IsInk(image.pixel(x, y));
    }
    return count;
}

bool AllClear(const QImage& image) {
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            if (!IsClear(image.pixel(x, y)))
                return false;
        }
    }
    return true;
}

// A 3 x 3 patch around a point: lit when all of it is ink, dark when none of
// it has been touched.
bool PatchLit(const QImage& image, QPoint centre) {
    for (int dy = -1; dy <= 1; ++dy) {
        for (int dx = -1; dx <= 1; ++dx) {
            if (!IsInk(image.pixel(centre + QPoint(dx, dy))))
                return false;
        }
    }
    return true;
}

bool PatchDark(const QImage& image, QPoint centre) {
    for (int dy = -1; dy <= 1; ++dy) {
        for (int dx = -1; dx <= 1; ++dx) {
            if (!IsClear(image.pixel(centre + QPoint(dx, dy))))
                return false;
        }
    }
    return true;
}

// The digit places of the panel are 38 x 112 with a 100-pixel face. The middle
// of each segment of a figure there, in the order a (top), b (upper right),
// c (lower right), d (bottom), e (lower left), f (upper left), g (middle).
const QSize kDigitPlace(38, 112);
const std::array<QPoint, 7> kSegmentMiddles = {
    QPoint(21, 25), QPoint(31, 43), QPoint(29, 82), QPoint(17, 100),
    QPoint(7, 82),  QPoint(9, 43),  QPoint(19, 62),
};
const char kSegmentNames[] = "abcdefg";

// The lit segments of a rendered figure, as letters "a".."g"; "?" where a
// segment's middle is neither fully lit nor untouched.
std::string LitSegments(const QImage& image) {
    std::string lit;
    for (size_t i = 0; i < kSegmentMiddles.size(); ++i) {
        if (PatchLit(image, kSegmentMiddles[i]))
            lit += kSegmentNames[i];
        else if (!PatchDark(image, kSegmentMiddles[i]))
            lit += '?';
    }
    return lit;
}

std::string DigitSegments(const QString& caption) {
    return LitSegments(RenderLabel(LcdFace::Digit, 100, false, kDigitPlace, caption));
}

TEST_F(LcdWidgets, DigitFaceLightsTheSegmentsOfEachFigure) {
    const std::array<std::pair<const char*, const char*>, 19> figures = {{
        {"0", "abcdef"}, {"1", "bc"},     {"2", "abdeg"},  {"3", "abcdg"},   {"4", "bcfg"},
        {"5", "acdfg"},  {"6", "acdefg"}, {"7", "abc"},    {"8", "abcdefg"}, {"9", "abcdfg"},
        {"-", "g"},      {"@", "def"},    {"A", "abcefg"}, {"B", "cdefg"},   {"C", "adef"},
        {"D", "bcdeg"},  {"E", "adefg"},  {"F", "aefg"},   {"b", "cdefg"},
    }};
    for (const auto& [caption, segments] : figures)
        EXPECT_EQ(DigitSegments(caption), segments) << "caption " << caption;
}

TEST_F(LcdWidgets, DigitFaceFigureStaysInsideItsPlace) {
    const QImage eight = RenderLabel(LcdFace::Digit, 100, false, kDigitPlace, "8");
    // The foot of the figure lines up with the decimal point beside it (rows
    // 97 to 104 of the place); nothing is drawn in the margins above, which
    // the annunciator row uses, and below.
    bool footAtPoint = false;
    for (int x = 0; x < eight.width(); ++x) {
        footAtPoint = footAtPoint || IsInk(eight.pixel(x, 102));
        for (const int y : {0, 5, 10, 15, 18, 108, 111})
            EXPECT_TRUE(IsClear(eight.pixel(x, y))) << x << "," << y;
    }
    EXPECT_TRUE(footAtPoint);
}

TEST_F(LcdWidgets, MinusSignFitsItsNarrowPlace) {
    // The sign place is 26 wide: the bar is drawn whole inside it, not cut off.
    const QImage minus = RenderLabel(LcdFace::Digit, 100, false, QSize(26, 112), "-");
    EXPECT_TRUE(PatchLit(minus, QPoint(9, 62)));
    EXPECT_TRUE(PatchLit(minus, QPoint(17, 62)));
    EXPECT_TRUE(PatchDark(minus, QPoint(1, 62)));
    EXPECT_TRUE(PatchDark(minus, QPoint(24, 62)));
    EXPECT_TRUE(PatchDark(minus, QPoint(13, 32)));
    EXPECT_TRUE(PatchDark(minus, QPoint(13, 97)));
}

TEST_F(LcdWidgets, EmptyCaptionsDrawNothing) {
    for (const LcdFace face : {LcdFace::Digit, LcdFace::Symbol, LcdFace::Arial}) {
        EXPECT_TRUE(AllClear(RenderLabel(face, 100, false, kDigitPlace, "")));
        EXPECT_TRUE(AllClear(RenderLabel(face, 100, false, kDigitPlace, " ")));
    }
    // Characters with no figure leave a digit place blank.
    EXPECT_TRUE(AllClear(RenderLabel(LcdFace::Digit, 100, false, kDigitPlace, "Z")));
    EXPECT_TRUE(AllClear(RenderLabel(LcdFace::Digit, 100, false, kDigitPlace, "\u00E9")));
}

TEST_F(LcdWidgets, BackgroundIsTransparentUntilSet) {
    LcdLabel label(LcdFace::Symbol, 19, true);
    label.resize(29, 21);
    label.setCaption("RS");
    EXPECT_TRUE(IsClear(Render(label).pixel(28, 20)));
    EXPECT_GT(InkCount(Render(label)), 0);

    label.setBackground(QColor(255, 255, 0));
    const QImage filled = Render(label);
    EXPECT_EQ(filled.pixel(28, 20), qRgb(255, 255, 0));
    EXPECT_EQ(filled.pixel(0, 0), qRgb(255, 255, 0));
    EXPECT_GT(InkCount(filled), 0);
}

// Counts the paint events a widget receives.
class PaintCounter : public QObject {
  public:
    int paints = 0;

  protected:
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Paint)
            ++paints;
        return false;
    }
};

TEST_F(LcdWidgets, CaptionChangeRepaintsAndSameCaptionDoesNot) {
    QWidget panel;
    panel.resize(100, 120);
    auto* digit = new LcdLabel(LcdFace::Digit, 100, false, &panel);
    digit->setGeometry(10, 4, 38, 112);
    digit->setCaption("9");
    panel.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&panel));
    QCoreApplication::processEvents();

    PaintCounter counter;
    digit->installEventFilter(&counter);
    digit->setCaption("9");
    QCoreApplication::processEvents();
    EXPECT_EQ(counter.paints, 0);
    EXPECT_EQ(digit->caption(), "9");

    digit->setCaption("1");
    QCoreApplication::processEvents();
    EXPECT_GE(counter.paints, 1);
    EXPECT_EQ(digit->caption(), "1");
    EXPECT_EQ(LitSegments(Render(*digit)), "bc");
    EXPECT_EQ(digit->face(), LcdFace::Digit);
}

TEST_F(LcdWidgets, SymbolTextGivesTheGridsUnitTexts) {
    const std::array<std::pair<const char*, QString>, 14> units = {{
        {"", ""},
        {"V", "V"},
        {"mV", "mV"},
        {"k*", "k\u03A9"},
        {"M*", "M\u03A9"},
        {"*", "\u03A9"},
        {"#", "\u00B0C"},
        {"?", "\u00B0F"},
        {"u", "\u00B5"},
        {"uF", "\u00B5F"},
        {"+", "\u00B5"},
        {"%", "%"},
        {"mA%", "mA%"},
        {"MHz", "MHz"},
    }};
    for (const auto& [letters, text] : units)
        EXPECT_EQ(SymbolText(letters), text) << "letters " << letters;
}

TEST_F(LcdWidgets, SymbolTextShowsTheDiodeAndBeeperAsSigns) {
    const QString diode = SymbolText(")V");
    EXPECT_TRUE(diode.endsWith('V'));
    EXPECT_FALSE(diode.contains(')'));
    EXPECT_GT(diode.size(), 1);

    const QString beeper = SymbolText("&*");
    EXPECT_TRUE(beeper.endsWith(QStringLiteral("\u03A9")));
    EXPECT_FALSE(beeper.contains('&'));
    EXPECT_GT(beeper.size(), 1);

    // Every code stands for something other than itself.
    for (const char* code : {"*", "#", "?", "u", "+", "$", "\"", "!", "(", ")", "&"})
        EXPECT_NE(SymbolText(code), QString(code)) << code;
}

TEST_F(LcdWidgets, SymbolFaceDrawsTheSymbolsTheLettersStandFor) {
    // In the symbol face a code draws exactly what the plain face draws for
    // its symbol text, and not the code character itself.
    const std::array<std::pair<const char*, int>, 5> codes = {
        {{"*", 29}, {"#", 32}, {"?", 32}, {"k*", 27}, {"u", 32}}};
    for (const auto& [code, pixels] : codes) {
        const QSize place(60, 40);
        const QImage symbol = RenderLabel(LcdFace::Symbol, pixels, false, place, code);
        EXPECT_EQ(symbol, RenderLabel(LcdFace::Arial, pixels, false, place, SymbolText(code)))
            << code;
        EXPECT_NE(symbol, RenderLabel(LcdFace::Arial, pixels, false, place, code)) << code;
        EXPECT_GT(InkCount(symbol), 10) << code;
    }
    // Letters stand for themselves.
    EXPECT_EQ(RenderLabel(LcdFace::Symbol, 19, true, QSize(58, 21), "AUTO"),
              RenderLabel(LcdFace::Arial, 19, true, QSize(58, 21), "AUTO"));
}

TEST_F(LcdWidgets, SymbolFacePicturesAreDrawnInTheirPlaces) {
    // The pictured codes in the places the panel gives them.
    struct Place {
        const char* code;
        int pixels;
        QSize size;
    };
    const std::array<Place, 6> places = {{
        {"\"", 35, {19, 39}},
        {"!", 32, {19, 36}},
        {"$", 35, {12, 39}},
        {"(", 35, {11, 39}},
        {")", 29, {31, 32}},
        {"&", 32, {25, 36}},
    }};
    for (const Place& place : places) {
        const QImage picture =
            RenderLabel(LcdFace::Symbol, place.pixels, false, place.size, place.code);
        EXPECT_GT(InkCount(picture), 8) << place.code;
        EXPECT_NE(picture, RenderLabel(LcdFace::Arial, place.pixels, false, place.size, place.code))
            << place.code;
        // Inside the place: the rightmost column and the top row stay clear.
        for (int y = 0; y < picture.height(); ++y)
            EXPECT_FALSE(IsInk(picture.pixel(picture.width() - 1, y))) << place.code << y;
        for (int x = 0; x < picture.width(); ++x)
            EXPECT_FALSE(IsInk(picture.pixel(x, 0))) << place.code << x;
    }
}

TEST_F(LcdWidgets, BoldMakesHeavierText) {
    const QSize place(80, 30);
    EXPECT_GT(InkCount(RenderLabel(LcdFace::Symbol, 24, true, place, "DC")),
              InkCount(RenderLabel(LcdFace::Symbol, 24, false, place, "DC")));
    EXPECT_GT(InkCount(RenderLabel(LcdFace::Arial, 24, true, place, "232C")),
              InkCount(RenderLabel(LcdFace::Arial, 24, false, place, "232C")));
}

TEST_F(LcdWidgets, OddCaptionsDoNotCrash) {
    const QString odd[] = {
        QString(500, QChar('8')),
        "Z",
        "\u00E9\u03A9\u266A",
        QString::fromUtf8("\xF0\x9F\x98\x80"),  // a character outside the basic plane
        QString(QChar(0xD800)),                 // a lone surrogate
        QString(QChar(0)),
        "\"!$()&*#?u+%",
    };
    for (const LcdFace face : {LcdFace::Digit, LcdFace::Symbol, LcdFace::Arial}) {
        for (const QSize size : {QSize(38, 112), QSize(1, 1), QSize(400, 20)}) {
            for (const QString& caption : odd) {
                const QImage image = RenderLabel(face, 35, true, size, caption);
                EXPECT_EQ(image.size(), size);
            }
        }
        // A pixel height of nothing is taken as the smallest there is.
        EXPECT_EQ(RenderLabel(face, 0, false, QSize(10, 10), "8").size(), QSize(10, 10));
    }
}

TEST_F(LcdWidgets, LongCaptionIsSqueezedIntoItsPlace) {
    // Rather than cut off: the top segments of all four figures show side by
    // side in one digit place.
    const QImage squeezed = RenderLabel(LcdFace::Digit, 100, false, kDigitPlace, "8888");
    int runs = 0;
    for (int x = 0; x < squeezed.width(); ++x) {
        if (IsInk(squeezed.pixel(x, 25)) && (x == 0 || !IsInk(squeezed.pixel(x - 1, 25))))
            ++runs;
    }
    EXPECT_EQ(runs, 4);
}

TEST_F(LcdWidgets, DecimalPointIsASolidBlock) {
    LcdPoint point;
    point.resize(7, 8);
    const QImage image = Render(point);
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x)
            EXPECT_TRUE(IsInk(image.pixel(x, y))) << x << "," << y;
    }
}

QImage Argb(const QPixmap& pixmap) {
    return pixmap.toImage().convertToFormat(QImage::Format_ARGB32);
}

TEST_F(LcdWidgets, LinkPicturesHaveTheirSizesAndLookDifferent) {
    const QImage lit = Argb(LinkPicture(true));
    const QImage unlit = Argb(LinkPicture(false));
    EXPECT_EQ(lit.size(), QSize(25, 24));
    EXPECT_EQ(unlit.size(), QSize(25, 20));

    // Transparent corners, a coloured middle.
    EXPECT_TRUE(IsClear(lit.pixel(0, 0)));
    EXPECT_TRUE(IsClear(unlit.pixel(0, 0)));
    const QRgb litMiddle = lit.pixel(12, 12);
    const QRgb unlitMiddle = unlit.pixel(12, 10);
    EXPECT_EQ(qAlpha(litMiddle), 255);
    EXPECT_EQ(qAlpha(unlitMiddle), 255);
    EXPECT_GT(qGreen(litMiddle), qRed(litMiddle) + 60);
    EXPECT_GT(qGreen(litMiddle), qBlue(litMiddle) + 60);
    // The unlit lamp is grey: no colour dominates.
    EXPECT_LT(std::abs(qGreen(unlitMiddle) - qRed(unlitMiddle)), 16);
    EXPECT_LT(std::abs(qGreen(unlitMiddle) - qBlue(unlitMiddle)), 16);
}

TEST_F(LcdWidgets, WindowIconIsDrawnAt32) {
    const QIcon icon = WindowIcon();
    ASSERT_FALSE(icon.isNull());
    const QImage image = Argb(icon.pixmap(32, 32));
    EXPECT_EQ(image.size(), QSize(32, 32));
    int opaque = 0;
    int clear = 0;
    for (int y = 0; y < 32; ++y) {
        for (int x = 0; x < 32; ++x) {
            opaque += qAlpha(image.pixel(x, y)) == 255;
            clear += IsClear(image.pixel(x, y));
        }
    }
    EXPECT_GT(opaque, 300);
    EXPECT_GT(clear, 50);
}

TEST_F(LcdWidgets, GlyphIconsAreDistinctWithGreyedDisabledForms) {
    const Glyph glyphs[] = {Glyph::BlankPage, Glyph::OpenFolder, Glyph::Diskette, Glyph::Printer};
    std::vector<QImage> normals;
    for (const Glyph glyph : glyphs) {
        const QIcon icon = GlyphIcon(glyph);
        ASSERT_FALSE(icon.isNull());
        const QImage normal = Argb(icon.pixmap(16, 16, QIcon::Normal));
        EXPECT_EQ(normal.size(), QSize(16, 16));
        EXPECT_FALSE(AllClear(normal));
        for (const QImage& other : normals)
            EXPECT_NE(normal, other);
        normals.push_back(normal);
    }

    const QIcon folder = GlyphIcon(Glyph::OpenFolder);
    const QImage normal = Argb(folder.pixmap(16, 16, QIcon::Normal));
    const QImage disabled = Argb(folder.pixmap(16, 16, QIcon::Disabled));
    EXPECT_NE(normal, disabled);
    int coloured = 0;
    for (int y = 0; y < 16; ++y) {
        for (int x = 0; x < 16; ++x) {
            const QRgb n = normal.pixel(x, y);
            const QRgb d = disabled.pixel(x, y);
            EXPECT_EQ(qAlpha(n) == 0, qAlpha(d) == 0) << x << "," << y;
            if (qAlpha(d) > 0) {
                EXPECT_EQ(qRed(d), qGreen(d)) << x << "," << y;
                EXPECT_EQ(qGreen(d), qBlue(d)) << x << "," << y;
            }
            coloured += qAlpha(n) > 0 && qRed(n) != qBlue(n);
        }
    }
    EXPECT_GT(coloured, 20);  // the enabled folder is in colour
}

}  // namespace
}  // namespace dmm::app

// The application object lives from before the first test to after the last,
// and is gone before Qt's own globals are torn down. Listing the tests makes
// none, so the list can be taken where no display exists.
class QtApplication : public ::testing::Environment {
  public:
    QtApplication(int& argc, char** argv) : argc_(argc), argv_(argv) {}
    void SetUp() override { app_ = std::make_unique<QApplication>(argc_, argv_); }
    void TearDown() override { app_.reset(); }

  private:
    int& argc_;
    char** argv_;
    std::unique_ptr<QApplication> app_;
};

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new QtApplication(argc, argv));
    return RUN_ALL_TESTS();
}
