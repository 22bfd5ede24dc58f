// SPDX-License-Identifier: GPL-3.0-or-later
// The window's widgets at their design places. The client area is a fixed
// 716 x 474 widget; controls parked beyond it are its children all the same,
// cut off from view but still in the Tab order.

#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QAreaSeries>
#include <QChart>
#include <QChartView>
#include <QCheckBox>
#include <QComboBox>
#include <QFrame>
#include <QGraphicsLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QLineSeries>
#include <QListWidget>
#include <QMenuBar>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QStyledItemDelegate>
#include <QTableView>
#include <QTimer>
#include <QToolButton>
#include <QValueAxis>

#include "app/error_handler.h"
#include "app/fcomm.h"
#include "app/lcd_widgets.h"
#include "decode/limit_rules.h"
#include "decode/model_config.h"
#include "record/reading_table_model.h"

namespace dmm::app {
namespace {

const QColor kSilver(192, 192, 192);
const QColor kBevelBlue(0, 128, 255);

QFont Face(const QString& family, int pixels, bool bold, bool italic = false) {
    QFont font(family);
    font.setPixelSize(pixels);
    font.setBold(bold);
    font.setItalic(italic);
    return font;
}

QFont Arial(int pixels, bool bold, bool italic = false) {
    return Face(QStringLiteral("Arial"), pixels, bold, italic);
}

// The platform's default sans stands in for the design's system face.
QFont SystemSans(int pixels, bool bold) {
    return Face(QApplication::font().family(), pixels, bold);
}

template <class W>
W* Place(W* widget, const char* name, int left, int top, int width, int height) {
    widget->setObjectName(QString::fromLatin1(name));
    widget->setGeometry(left, top, width, height);
    return widget;
}

void SetBackground(QWidget* widget, const QColor& colour) {
    QPalette palette = widget->palette();
    palette.setColor(QPalette::Window, colour);
    widget->setPalette(palette);
    widget->setAutoFillBackground(true);
}

void SetBase(QWidget* widget, const QColor& colour) {
    QPalette palette = widget->palette();
    palette.setColor(QPalette::Base, colour);
    widget->setPalette(palette);
}

void SetTextColour(QWidget* widget, const QColor& colour) {
    QPalette palette = widget->palette();
    palette.setColor(QPalette::WindowText, colour);
    palette.setColor(QPalette::ButtonText, colour);
    palette.setColor(QPalette::Text, colour);
    widget->setPalette(palette);
}

// Black text on the designed background, whatever the theme.
void SetDesignedColours(QWidget* widget, const QColor& background, QPalette::ColorRole role) {
    QPalette palette = widget->palette();
    palette.setColor(role, background);
    for (auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
        palette.setColor(group, QPalette::WindowText, Qt::black);
        palette.setColor(group, QPalette::Text, Qt::black);
    }
    widget->setPalette(palette);
}

QFrame* Panel(QWidget* parent, const char* name, int left, int top, int width, int height,
              int shadow, int lineWidth = 1) {
    auto* panel = Place(new QFrame(parent), name, left, top, width, height);
    panel->setFrameStyle(QFrame::Panel | shadow);
    panel->setLineWidth(lineWidth);
    return panel;
}

QLabel* Label(QWidget* parent, const char* name, const QString& text, int left, int top) {
    auto* label = new QLabel(text, parent);
    label->setObjectName(QString::fromLatin1(name));
    label->move(left, top);
    label->adjustSize();
    return label;
}

// A panel used as a button: a bevelled, coloured caption.
QLabel* PanelButton(QWidget* parent, const char* name, const QString& caption, int left, int top,
                    int width, int height, int shadow) {
    auto* panel = Place(new QLabel(caption, parent), name, left, top, width, height);
    panel->setFrameStyle(QFrame::Panel | shadow);
    panel->setAlignment(Qt::AlignCenter);
    return panel;
}

QLineEdit* Edit(QWidget* parent, const char* name, const QString& text, int left, int top,
                int width, int height) {
    auto* edit = Place(new QLineEdit(text, parent), name, left, top, width, height);
    return edit;
}

QToolButton* GlyphButton(QWidget* parent, const char* name, Glyph glyph, int left, int top,
                         int width, int height) {
    auto* button = Place(new QToolButton(parent), name, left, top, width, height);
    button->setIcon(GlyphIcon(glyph));
    button->setFocusPolicy(Qt::NoFocus);  // glyph buttons never take the focus
    return button;
}

QToolButton* SpeedButton(QWidget* parent, const char* name, const QString& caption, int left,
                         int top, int width, int height) {
    auto* button = Place(new QToolButton(parent), name, left, top, width, height);
    button->setText(caption);
    button->setFocusPolicy(Qt::NoFocus);
    return button;
}

// A picture that runs a handler when clicked: no frame, no focus.
QToolButton* PictureButton(QWidget* parent, const char* name, Glyph glyph, int left, int top) {
    auto* button = GlyphButton(parent, name, glyph, left, top, 25, 25);
    button->setAutoRaise(true);
    button->setIconSize(QSize(20, 20));
    return button;
}

// The verdict lamp: a circle filled with the palette's window colour.
class CircleShape : public QWidget {
  public:
    using QWidget::QWidget;

  protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(Qt::black);
        painter.setBrush(palette().color(QPalette::Window));
        painter.drawEllipse(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5));
    }
};

// The grid's row indicator: a narrow column that marks the current row with
// a triangle. It draws no row numbers, so nothing in it grows with the table.
class RowIndicator : public QHeaderView {
  public:
    explicit RowIndicator(QWidget* parent) : QHeaderView(Qt::Vertical, parent) {}
    QSize sizeHint() const override { return {kWidth, defaultSectionSize()}; }

  protected:
    void paintSection(QPainter* painter, const QRect& rect, int logicalIndex) const override {
        painter->fillRect(rect, palette().color(QPalette::Button));
        painter->setPen(palette().color(QPalette::Mid));
        painter->drawLine(rect.topRight(), rect.bottomRight());
        painter->drawLine(rect.bottomLeft(), rect.bottomRight());
        const QItemSelectionModel* selection = selectionModel();
        if (!selection || selection->currentIndex().row() != logicalIndex)
            return;
        const QPoint centre = rect.center();
        const QPointF triangle[3] = {QPointF(centre.x() - 2, centre.y() - 4),
                                     QPointF(centre.x() + 2, centre.y()),
                                     QPointF(centre.x() - 2, centre.y() + 4)};
        painter->setPen(Qt::NoPen);
        painter->setBrush(Qt::black);
        painter->drawPolygon(triangle, 3);
    }

  private:
    static constexpr int kWidth = 12;
};

// The grid's cells: the text drawn with narrow margins, as the column widths
// were laid out for, and the unit column's symbol letters drawn as the
// symbols they stand for.
class GridCellDelegate : public QStyledItemDelegate {
  public:
    GridCellDelegate(bool symbols, QObject* parent)
        : QStyledItemDelegate(parent), symbols_(symbols) {}

    QString displayText(const QVariant& value, const QLocale& locale) const override {
        return symbols_ ? SymbolText(value.toString())
                        : QStyledItemDelegate::displayText(value, locale);
    }

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override {
        QStyleOptionViewItem cell = option;
        initStyleOption(&cell, index);
        const QString text = cell.text;
        cell.text.clear();
        const QWidget* view = cell.widget;
        QStyle* style = view ? view->style() : QApplication::style();
        style->drawControl(QStyle::CE_ItemViewItem, &cell, painter, view);
        const QPalette::ColorGroup group =
            !(cell.state & QStyle::State_Enabled) ? QPalette::Disabled
            : (cell.state & QStyle::State_Active) ? QPalette::Normal
                                                  : QPalette::Inactive;
        const bool selected = cell.state & QStyle::State_Selected;
        painter->save();
        painter->setFont(cell.font);
        painter->setPen(
            cell.palette.color(group, selected ? QPalette::HighlightedText : QPalette::Text));
        painter->drawText(cell.rect.adjusted(kMargin, 0, -kMargin, 0), int(cell.displayAlignment),
                          text);
        painter->restore();
    }

  private:
    static constexpr int kMargin = 2;
    bool symbols_;
};

// The LCD panel's elements: place, face and character height.
struct LcdElementDesign {
    El element;
    int left, top, width, height;
    LcdFace face;
    int pixels;
    bool bold;
    bool opaque;  // drawn on the panel colour rather than see-through
};

constexpr LcdElementDesign kLcdDesign[] = {
    {El::LcdD0, 40, 20, 38, 112, LcdFace::Digit, 100, false, false},
    {El::LcdDa, 88, 20, 38, 112, LcdFace::Digit, 100, false, false},
    {El::LcdDb, 136, 20, 38, 112, LcdFace::Digit, 100, false, false},
    {El::LcdDc, 184, 20, 38, 112, LcdFace::Digit, 100, false, false},
    {El::LcdDd, 232, 20, 38, 112, LcdFace::Digit, 100, false, false},
    {El::LcdFH, 5, 20, 26, 112, LcdFace::Digit, 100, false, false},
    {El::LcdAuto, 8, 11, 58, 21, LcdFace::Symbol, 19, true, false},
    {El::LCDRS, 70, 11, 29, 21, LcdFace::Symbol, 19, true, true},
    {El::LCD232C, 98, 15, 34, 16, LcdFace::Arial, 14, true, true},
    {El::LCDHold, 8, 30, 19, 39, LcdFace::Symbol, 35, false, false},
    {El::LCDRec, 160, 3, 19, 36, LcdFace::Symbol, 32, false, false},
    {El::LCDBATT, 8, 80, 12, 39, LcdFace::Symbol, 35, false, false},
    {El::LCDBT, 288, 25, 11, 39, LcdFace::Symbol, 35, false, false},
    {El::LcdAC, 182, 14, 29, 22, LcdFace::Symbol, 20, true, false},
    {El::LCDJa, 211, 13, 12, 24, LcdFace::Arial, 21, false, false},
    {El::LcdDc1, 223, 14, 30, 22, LcdFace::Symbol, 20, true, false},
    {El::LCDTRMST, 253, 13, 13, 21, LcdFace::Symbol, 19, true, false},
    {El::LCDTRMS, 264, 19, 30, 14, LcdFace::Symbol, 12, true, false},
    {El::LcdACDC, 77, 14, 56, 19, LcdFace::Arial, 16, true, false},
    {El::LcdRPM, 286, 11, 46, 21, LcdFace::Symbol, 19, true, false},
    {El::LCDBF, 136, 8, 21, 27, LcdFace::Symbol, 24, false, false},
    {El::LCDDI, 296, 33, 31, 32, LcdFace::Symbol, 29, false, false},
    {El::LCDFm, 296, 31, 25, 36, LcdFace::Symbol, 32, false, false},
    {El::LCDCS, 304, 33, 24, 36, LcdFace::Symbol, 32, false, false},
    {El::LCDFS, 304, 33, 23, 36, LcdFace::Symbol, 32, false, false},
    {El::LCDohm, 304, 54, 19, 32, LcdFace::Symbol, 29, false, false},
    {El::LCDk, 286, 55, 14, 30, LcdFace::Symbol, 27, false, false},
    {El::LCDM1, 278, 57, 20, 27, LcdFace::Symbol, 24, false, false},
    {El::LCDHz, 296, 58, 29, 27, LcdFace::Symbol, 24, false, false},
    {El::LCDu, 288, 75, 16, 36, LcdFace::Symbol, 32, false, false},
    {El::Lcdm, 280, 81, 20, 27, LcdFace::Symbol, 24, false, false},
    {El::LCDn, 288, 82, 13, 27, LcdFace::Symbol, 24, false, false},
    {El::LcdV, 304, 83, 16, 27, LcdFace::Symbol, 24, false, false},
    {El::LCDA, 304, 82, 16, 27, LcdFace::Symbol, 24, false, false},
    {El::LCDF, 304, 82, 15, 27, LcdFace::Symbol, 24, false, false},
    {El::lcdW, 296, 99, 19, 21, LcdFace::Symbol, 19, true, false},
};

constexpr int kPointTop = 117;

struct PointDesign {
    El element;
    int left;
};
constexpr PointDesign kPointDesign[] = {
    {El::LcdP0, 78}, {El::LcdP1, 127}, {El::LcdP2, 175}, {El::LcdP3, 224}};

QString NameOf(El element) {
    return ToQString(LcdState::name(element));
}

}  // namespace

void TFCOMM::CreateWidgets() {
    client_ = new QWidget(this);
    client_->setObjectName(QStringLiteral("ClientArea"));
    client_->setFixedSize(kClientWidth, kClientHeight);
    setCentralWidget(client_);

    // Creation order is the Tab order and the stacking order: the speed
    // buttons under the chart come before it.
    CreateTopBar(client_);
    CreateLcdPanel(client_);
    CreateLimitsPanel(client_);
    CreateRecordingRow(client_);
    CreateGrid(client_);
    CreateChart(client_);
    CreateParkedControls(client_);
    CreateHiddenControls(client_);
}

void TFCOMM::CreateTopBar(QWidget* client) {
    Panel6 = Panel(client, "Panel6", 0, 0, kClientWidth, 30, QFrame::Raised);
    QLabel** ports[] = {&BtCOM1, &BtCOM2, &BtCOM3, &BtCOM4};
    const char* names[] = {"BtCOM1", "BtCOM2", "BtCOM3", "BtCOM4"};
    const int tops[] = {3, 5, 4, 4};
    for (int i = 0; i < 4; ++i) {
        QLabel* port = PanelButton(Panel6, names[i], QStringLiteral("COM %1").arg(i + 1), 3,
                                   tops[i], 61, 24, QFrame::Sunken);
        port->setFont(Arial(16, true));
        SetBackground(port, kSilver);
        // Black on silver, also while disabled (the port is open): the panel
        // still names the port being read.
        SetDesignedColours(port, kSilver, QPalette::Window);
        port->setVisible(i == 0);
        *ports[i] = port;
        portPanels_[size_t(i)] = port;
    }
    COMCon =
        Place(new QPushButton(QStringLiteral("COM Connect"), Panel6), "COMCon", 65, 2, 147, 25);
    USBCon =
        Place(new QPushButton(QStringLiteral("USB Connect"), Panel6), "USBCon", 218, 2, 117, 25);
    for (QPushButton* link : {COMCon, USBCon}) {
        link->setCheckable(true);
        link->setFont(Arial(13, false));
    }
    BitBtn1 = Place(new QPushButton(QStringLiteral("Quit"), Panel6), "BitBtn1", 641, 1, 74, 25);
    BitBtn1->setFont(Arial(13, false));
}

void TFCOMM::CreateLcdPanel(QWidget* client) {
    Panel1 = Panel(client, "Panel1", 4, 29, 334, 136, QFrame::Sunken);
    SetBackground(Panel1, WindowColour());
    for (const LcdElementDesign& d : kLcdDesign) {
        auto* label = new LcdLabel(d.face, d.pixels, d.bold, Panel1);
        label->setObjectName(NameOf(d.element));
        label->setGeometry(d.left, d.top, d.width, d.height);
        if (d.opaque)
            label->setBackground(WindowColour());
        AddLcdWidget(d.element, label, label, nullptr);
    }
    for (const PointDesign& d : kPointDesign) {
        auto* point = new LcdPoint(Panel1);
        point->setObjectName(NameOf(d.element));
        // At the figures' foot, below the annunciator row.
        point->setGeometry(d.left, kPointTop, 7, 8);
        AddLcdWidget(d.element, point, nullptr, nullptr);
    }

    PBar2 = Place(new QProgressBar(client), "PBar2", 3, 167, 334, 17);
    PBar2->setAutoFillBackground(true);
    PBar2->setRange(0, kPBar2DesignMaximum);
    PBar2->setValue(20);
    PBar2->setTextVisible(false);
}

void TFCOMM::CreateLimitsPanel(QWidget* client) {
    Panel4 = Panel(client, "Panel4", 338, 29, 375, 120, QFrame::Sunken, 3);
    SetBackground(Panel4, WindowColour());
    SetDesignedColours(Panel4, WindowColour(), QPalette::Window);
    const QFont captionFont = Arial(11, true);
    const struct {
        const char* name;
        const char* text;
        int top, width;
    } captions[] = {{"T1_HI", "Set High Limit:", 16, 79},
                    {"T1_Value", "Measure Value:", 52, 85},
                    {"T1_LO", "Set Low Limit:", 84, 79}};
    for (const auto& c : captions) {
        auto* label =
            Place(new QLabel(QString::fromLatin1(c.text), Panel4), c.name, 16, c.top, c.width, 14);
        label->setFont(captionFont);
    }
    const QString hint = QStringLiteral("Please enter a number here.");
    T1HI = Edit(Panel4, "T1HI", ToQString(kStartHighLimit), 112, 12, 57, 22);
    T1VALUE = Edit(Panel4, "T1VALUE", QStringLiteral("0"), 112, 43, 81, 32);
    T1LO = Edit(Panel4, "T1LO", ToQString(kStartLowLimit), 112, 84, 57, 22);
    for (QLineEdit* limit : {T1HI, T1LO}) {
        limit->setFont(captionFont);
        limit->setToolTip(hint);
    }
    SetDesignedColours(T1HI, WindowColour(), QPalette::Base);
    SetDesignedColours(T1LO, WindowColour(), QPalette::Base);
    T1VALUE->setReadOnly(true);
    T1VALUE->setFont(Arial(21, true));
    SetDesignedColours(T1VALUE, TooltipColour(), QPalette::Base);
    // The box and the bar change with every frame drawn; filling their own
    // backgrounds spares the panels behind them a repaint each time.
    T1VALUE->setAutoFillBackground(true);

    Shape1 = Place(new CircleShape(Panel4), "Shape1", 192, 8, 113, 97);
    QPalette lamp = Shape1->palette();
    lamp.setColor(QPalette::Window, TooltipColour());
    Shape1->setPalette(lamp);
    judge = Place(new QLabel(Panel4), "judge", 216, 40, 8, 29);
    judge->setFont(SystemSans(24, true));
    SetBackground(judge, TooltipColour());
    // The lamp and its caption are drawn on the panel, beneath the edit boxes.
    judge->lower();
    Shape1->lower();

    auto* lit = Place(new QLabel(Panel4), "CONok", 310, 13, 25, 24);
    lit->setPixmap(LinkPicture(true));
    AddLcdWidget(El::CONok, lit, nullptr, nullptr);
    auto* unlit = Place(new QLabel(Panel4), "CONokN", 310, 13, 25, 20);
    unlit->setPixmap(LinkPicture(false));
    AddLcdWidget(El::CONokN, unlit, nullptr, nullptr);
}

void TFCOMM::CreateRecordingRow(QWidget* client) {
    RepeatSet = Place(new QCheckBox(QStringLiteral("Repeat"), client), "RepeatSet", 2, 187, 63, 20);
    RepeatSet->setFont(Arial(11, false));
    RepeatSet->setChecked(true);
    // The interval box sits over the blanks of the caption.
    RecordSI = Place(new QCheckBox(QStringLiteral("Sampling Interval           'S"), client),
                     "RecordSI", 64, 187, 170, 20);
    {
        // Arial's blanks are narrower than the caption was measured for; widen
        // them so that the "'S" after the gap shows beside the interval box.
        QFont font = Arial(11, false);
        font.setWordSpacing(3);
        RecordSI->setFont(font);
    }
    RecordSITime = Edit(client, "RecordSITime", QStringLiteral("1"), 183, 187, 27, 21);

    RecordNew = GlyphButton(client, "RecordNew", Glyph::BlankPage, 247, 187, 23, 21);
    RecordNew->setToolTip(QStringLiteral("Close Data"));
    OpenDataFiles = GlyphButton(client, "OpenDataFiles", Glyph::OpenFolder, 269, 187, 23, 21);
    OpenDataFiles->setToolTip(QStringLiteral("Open old data files"));
    saveas = GlyphButton(client, "saveas", Glyph::Diskette, 291, 187, 23, 21);
    saveas->setToolTip(QStringLiteral("Save data files"));
    BtPrint = GlyphButton(client, "BtPrint", Glyph::Printer, 313, 187, 22, 21);
}

void TFCOMM::CreateGrid(QWidget* client) {
    DBGrid1 = Place(new QTableView(client), "DBGrid1", 1, 208, 334, 264);
    DBGrid1->setFont(Arial(12, false));
    // The row indicator first: the view hands it the model and selection.
    auto* indicator = new RowIndicator(DBGrid1);
    DBGrid1->setVerticalHeader(indicator);
    model_ = new ReadingTableModel(cds1_, this);
    DBGrid1->setModel(model_);
    DBGrid1->setEditTriggers(QAbstractItemView::NoEditTriggers);
    DBGrid1->setSelectionMode(QAbstractItemView::SingleSelection);
    DBGrid1->setSelectionBehavior(QAbstractItemView::SelectItems);
    DBGrid1->setTabKeyNavigation(false);  // Tab leaves the grid
    DBGrid1->setWordWrap(false);
    DBGrid1->setCornerButtonEnabled(false);
    DBGrid1->setItemDelegate(new GridCellDelegate(false, DBGrid1));
    DBGrid1->setItemDelegateForColumn(ReadingTableModel::Unit, new GridCellDelegate(true, DBGrid1));

    // Every row is as high as the next: the view never measures rows, which
    // keeps a table of millions as cheap as one of ten.
    indicator->setSectionResizeMode(QHeaderView::Fixed);
    indicator->setMinimumSectionSize(1);
    indicator->setDefaultSectionSize(18);

    QHeaderView* titles = DBGrid1->horizontalHeader();
    titles->setFont(SystemSans(11, false));
    titles->setHighlightSections(false);
    titles->setStretchLastSection(false);
    titles->setSectionResizeMode(QHeaderView::Interactive);
    const int widths[] = {53, 53, 54, 56, 35, 35};
    for (int column = 0; column < int(std::size(widths)); ++column)
        titles->resizeSection(column, widths[column]);
    DBGrid1->setColumnHidden(ReadingTableModel::Nval, true);
}

void TFCOMM::CreateChart(QWidget* client) {
    // The chart's toolbar: the rendering switch and the page label.
    Panel19 = Panel(client, "Panel19", 339, 152, 372, 33, QFrame::Raised);
    auto* bevel = Place(new QFrame(Panel19), "Bevel1", 2, 6, 40, 20);
    bevel->setFrameStyle(QFrame::Box | QFrame::Sunken);
    BtFill = Place(new QCheckBox(QStringLiteral("Fill"), Panel19), "BtFill", 5, 6, 36, 17);
    // The box and its caption share 36 pixels: the style's usual gap would
    // cut the caption short.
    BtFill->setStyleSheet(QStringLiteral("QCheckBox { spacing: 1px; }"));
    BtFill->setChecked(true);
    Maxrecord = Edit(Panel19, "Maxrecord", QStringLiteral("100"), 48, 6, 49, 21);
    BtSave = GlyphButton(Panel19, "BtSave", Glyph::Picture, 165, 6, 35, 21);
    BtFirst = GlyphButton(Panel19, "BtFirst", Glyph::First, 200, 6, 28, 21);
    BTPrevious = GlyphButton(Panel19, "BTPrevious", Glyph::Previous, 227, 6, 25, 21);
    BtNext = GlyphButton(Panel19, "BtNext", Glyph::Next, 275, 6, 25, 21);
    BTlast = GlyphButton(Panel19, "BTlast", Glyph::Last, 300, 6, 25, 21);
    // The enlarge and restore pictures share one place; one is shown at a time.
    TbFd = PictureButton(Panel19, "TbFd", Glyph::Enlarge, 336, 6);
    TbSx = PictureButton(Panel19, "TbSx", Glyph::Restore, 336, 4);
    TbSx->hide();
    Bt10 = Place(new QPushButton(QStringLiteral("1"), Panel19), "Bt10", 251, 6, 25, 21);
    Bt10->setFocusPolicy(Qt::NoFocus);
    SetTextColour(Bt10, Qt::blue);

    // The speed buttons that the chart covers, drawn beneath it.
    ReadBtn = SpeedButton(client, "ReadBtn", QStringLiteral("Read"), 622, 308, 81, 22);
    ReadBtn->setCheckable(true);
    ClearBtn = SpeedButton(client, "ClearBtn", QStringLiteral("Clear"), 533, 234, 81, 21);

    auto* chart = new QChart();
    chart->legend()->hide();
    chart->setTitle(QStringLiteral("  "));
    chart->setTitleFont(Arial(13, false));
    chart->setTitleBrush(Qt::blue);
    chart->setBackgroundBrush(WindowColour());
    chart->setPlotAreaBackgroundBrush(Qt::white);
    chart->setPlotAreaBackgroundVisible(true);
    // The chart's background reaches the view's border: no band of the
    // view's own colour inside it, on screen or in the saved picture.
    chart->setBackgroundRoundness(0);
    chart->layout()->setContentsMargins(0, 0, 0, 0);

    Series2 = new QAreaSeries(chart);
    Series2->setObjectName(QStringLiteral("Series2"));
    Series2->setUpperSeries(new QLineSeries(Series2));
    Series2->setBrush(QColor(255, 255, 128));
    Series2->setPen(QPen(QColor(0, 128, 255)));
    Series1 = new QLineSeries(chart);
    Series1->setObjectName(QStringLiteral("Series1"));
    Series1->setColor(Qt::red);
    // The line's light green needs some width to show on white.
    Series1->setPen(QPen(QColor(128, 255, 0), 2));
    chart->addSeries(Series2);
    chart->addSeries(Series1);

    valueAxis_ = new QValueAxis(chart);
    valueAxis_->setObjectName(QStringLiteral("LeftAxis"));
    QPen axisLine(QColor(0, 64, 128));
    axisLine.setStyle(Qt::DashLine);
    axisLine.setWidth(1);
    valueAxis_->setLinePen(axisLine);
    valueAxis_->setMinorTickCount(4);
    valueAxis_->setLabelFormat(QStringLiteral("%g"));  // "2000", "1.5": no idle decimals
    valueAxis_->setRange(-41000, 41000);
    axisMin_ = -41000;
    axisMax_ = 41000;
    auto* pageAxis = new QValueAxis(chart);
    pageAxis->setObjectName(QStringLiteral("BottomAxis"));
    pageAxis->setRange(1, 100);
    // Reading positions are whole numbers: ticks at round positions.
    pageAxis->setLabelFormat(QStringLiteral("%d"));
    pageAxis->setTickType(QValueAxis::TicksDynamic);
    pageAxis->setTickAnchor(0);
    pageAxis->setTickInterval(25);
    chart->addAxis(valueAxis_, Qt::AlignLeft);
    chart->addAxis(pageAxis, Qt::AlignBottom);
    for (QAbstractSeries* series : chart->series()) {
        series->attachAxis(valueAxis_);
        series->attachAxis(pageAxis);
    }

    Chtshow = Place(new QChartView(chart, client), "Chtshow", 336, 187, 377, 286);
    Chtshow->setFocusPolicy(Qt::NoFocus);
    Chtshow->setFrameStyle(QFrame::Box | QFrame::Plain);
    Chtshow->setBackgroundBrush(WindowColour());
    KeepChartMargins();

    ComboBox1 = Place(new QComboBox(Chtshow), "ComboBox1", 176, 59, 65, 21);
    ComboBox1->addItems({QStringLiteral("atile"), QStringLiteral("btile")});
    ComboBox1->setEditable(true);
    ComboBox1->setEditText(QStringLiteral("ComboBox1"));
    SetBase(ComboBox1, QColor(192, 221, 248));
    ComboBox1->hide();
}

void TFCOMM::CreateParkedControls(QWidget* client) {
    InfoBtn = SpeedButton(client, "InfoBtn", QStringLiteral("Info"), 838, 214, 57, 22);
    DevListBox = Place(new QListWidget(client), "DevListBox", 742, 327, 10, 25);
    systeminfomation = Edit(client, "systeminfomation", QString(), 947, 240, 22, 21);
    systeminfomation->setFont(SystemSans(11, false));
    SetFeature = Place(new QPushButton(QStringLiteral("SetFeature"), client), "SetFeature", 443,
                       508, 81, 21);

    Panel2 = Panel(client, "Panel2", 928, 464, 334, 25, QFrame::Sunken);
    SetBackground(Panel2, kSilver);
    RecallCheck =
        Place(new QCheckBox(QStringLiteral("RecallData"), Panel2), "RecallCheck", 3, 2, 86, 20);
    RecallCheck->setFont(Arial(12, true, true));
    SetTextColour(RecallCheck, Qt::black);
    Label(Panel2, "Label2", QStringLiteral("StartTime:"), 88, 5);
    TimeH = Edit(Panel2, "TimeH", QStringLiteral("23"), 143, 2, 25, 21);
    Label(Panel2, "Label3", QStringLiteral(":"), 169, 4);
    TimeM = Edit(Panel2, "TimeM", QStringLiteral("59"), 175, 2, 25, 21);
    Label(Panel2, "Label4", QStringLiteral(":"), 201, 4);
    TimeS = Edit(Panel2, "TimeS", QStringLiteral("59"), 207, 2, 25, 21);
    Label(Panel2, "Label1", QStringLiteral("Interval"), 238, 5);
    TimeInt = Edit(Panel2, "TimeInt", QStringLiteral("1"), 284, 2, 30, 21);
    Label(Panel2, "Label5", QStringLiteral("'S"), 317, 4);
    for (QLineEdit* box : {TimeH, TimeM, TimeS, TimeInt})
        SetBase(box, kSilver);

    BTCon =
        PanelButton(client, "BTCon", QStringLiteral("Connect"), 496, 538, 105, 26, QFrame::Raised);
    BTCon->setFont(Arial(19, true, true));
    BtDiscon = PanelButton(client, "BtDiscon", QStringLiteral("Disconnect"), 384, 538, 105, 26,
                           QFrame::Raised);
    BtDiscon->setFont(Arial(16, true, true));
    BtDiscon->hide();
    BtExit =
        PanelButton(client, "BtExit", QStringLiteral("Exit"), 600, 538, 65, 26, QFrame::Raised);
    BtExit->setFont(Arial(19, true, true));
    for (QLabel* panel : {BTCon, BtDiscon, BtExit}) {
        SetBackground(panel, kBevelBlue);
        SetTextColour(panel, Qt::yellow);
    }

    HistoryListBox = Place(new QListWidget(client), "HistoryListBox", 936, 357, 0, 0);
    HistoryListBox->setFocusPolicy(Qt::NoFocus);
}

void TFCOMM::CreateHiddenControls(QWidget* client) {
    // The minimum and maximum labels: kept up to date, never seen.
    Panel3 = Panel(client, "Panel3", 760, 30, 200, 50, QFrame::Sunken);
    Panel3->hide();
    auto* minCaption = new LcdLabel(LcdFace::Symbol, 12, true, Panel3);
    minCaption->setObjectName(QStringLiteral("MinLabel"));
    minCaption->setGeometry(4, 4, 40, 18);
    minCaption->setCaption(QStringLiteral("MIN: "));
    auto* maxCaption = new LcdLabel(LcdFace::Symbol, 12, true, Panel3);
    maxCaption->setObjectName(QStringLiteral("MaxLabel"));
    maxCaption->setGeometry(4, 26, 40, 18);
    maxCaption->setCaption(QStringLiteral("MAX: "));
    const struct {
        El element;
        int top;
    } values[] = {{El::MinText, 4}, {El::MaxText, 26}};
    for (const auto& v : values) {
        auto* text = new QLabel(Panel3);
        text->setObjectName(NameOf(v.element));
        text->setGeometry(48, v.top, 80, 18);
        text->setFont(Arial(14, false, true));
        AddLcdWidget(v.element, text, nullptr, text);
    }
    const struct {
        El element;
        int top;
    } units[] = {{El::MinTextU, 4}, {El::MaxTextU, 26}};
    for (const auto& u : units) {
        auto* unit = new LcdLabel(LcdFace::Symbol, 14, false, Panel3);
        unit->setObjectName(NameOf(u.element));
        unit->setGeometry(132, u.top, 40, 18);
        AddLcdWidget(u.element, unit, unit, nullptr);
    }

    // Diagnostic captions of frame assembly.
    for (El element : {El::USBtxt, El::USBtxt1}) {
        auto* text = new QLabel(client);
        text->setObjectName(NameOf(element));
        text->setGeometry(760, element == El::USBtxt ? 100 : 120, 120, 16);
        AddLcdWidget(element, text, nullptr, text);
    }

    // The configuration switch and the variant switches nothing reads.
    IFDralin = Place(new QCheckBox(QStringLiteral("Dralin"), client), "IFDralin", 760, 150, 80, 17);
    IFDralin->setChecked(true);
    IFDralin->hide();
    for (int i = 1; i <= 8; ++i) {
        auto* variant = new QCheckBox(QStringLiteral("Variant %1").arg(i), client);
        variant->setObjectName(QStringLiteral("VariantCheck%1").arg(i));
        variant->setGeometry(760, 150 + 20 * i, 80, 17);
        variant->hide();
    }
}

void TFCOMM::CreateMenu() {
    auto* bar = new QMenuBar(this);
    bar->setObjectName(QStringLiteral("MainMenu1"));
    bar->setFont(QApplication::font());  // menus keep the system's menu face
    setMenuBar(bar);
    auto menu = [bar](const char* name, const char* caption, bool visible) {
        QMenu* m = bar->addMenu(QString::fromLatin1(caption));
        m->setObjectName(QString::fromLatin1(name));
        m->menuAction()->setVisible(visible);
        return m;
    };
    auto item = [](QMenu* m, const char* name, const char* caption) {
        QAction* a = m->addAction(QString::fromLatin1(caption));
        a->setObjectName(QString::fromLatin1(name));
        return a;
    };
    auto separator = [](QMenu* m, const char* name) {
        QAction* a = m->addSeparator();
        if (name)
            a->setObjectName(QString::fromLatin1(name));
        return a;
    };

    QMenu* ports = menu("ComSetup1", "ComSetup", false);
    ComSetup1 = ports;
    const char* portItems[][2] = {
        {"COM11", "COM1"}, {"COM21", "COM2"}, {"COM31", "COM3"}, {"COM41", "COM4"}};
    for (const auto& p : portItems) {
        QAction* port = item(ports, p[0], p[1]);
        port->setCheckable(true);
        port->setChecked(&p == &portItems[0]);
        portItems_[size_t(&p - portItems)] = port;
    }
    QMenu* link = menu("Connect1", "Connect", false);
    START1 = item(link, "START1", "START");
    START1->setCheckable(true);
    STOP1 = item(link, "STOP1", "STOP");
    STOP1->setCheckable(true);
    STOP1->setEnabled(false);

    QMenu* graphic = menu("Graphic", "Graphic", false);
    item(graphic, "First", "First");
    item(graphic, "Previous", "Previous");
    item(graphic, "Next", "Next");
    item(graphic, "Last", "Last");
    separator(graphic, "N1");
    GraphicNew = item(graphic, "New", "New");
    GraphicSave = item(graphic, "Save", "Save");
    separator(graphic, "N2");
    Fill = item(graphic, "Fill", "Fill");
    Fill->setCheckable(true);
    Fill->setChecked(true);

    Record1 = menu("Record1", "Record", true);
    New1 = item(Record1, "New1", "New");
    New1->setVisible(false);
    Save1 = item(Record1, "Save1", "Save");
    Save1->setVisible(false);
    separator(Record1, nullptr)->setVisible(false);
    auto* capacities = new QActionGroup(Record1);
    capacities->setExclusionPolicy(QActionGroup::ExclusionPolicy::Exclusive);
    for (size_t i = 0; i < std::size(kCapacityItems); ++i) {
        const CapacityItem& c = kCapacityItems[i];
        QAction* a = item(Record1, "", "");
        a->setObjectName(ToQString(c.name));
        a->setText(ToQString(c.caption));
        a->setCheckable(true);
        a->setChecked(c.limit == kStartRecordLimit);
        capacities->addAction(a);
        capacityActions_[i] = a;
    }
    // Two menus of our own after the design's: the meter family and help.
    CreateFamilyMenu(bar);
    CreateHelpMenu(bar);
}

void TFCOMM::CreateTimers() {
    auto timer = [this](const char* name, int ms, bool singleShot) {
        auto* t = new QTimer(this);
        t->setObjectName(QString::fromLatin1(name));
        t->setInterval(ms);
        t->setSingleShot(singleShot);
        return t;
    };
    Timer1 = timer("Timer1", 1000, false);
    Timer2 = timer("Timer2", 2000, true);
    Timer3 = timer("Timer3", 1000, true);
    Timer4 = timer("Timer4", 1000, true);
    gridTimer_ = timer("GridTimer", kGridSyncMs, true);
    lcdTimer_ = timer("LcdTimer", kLcdRefreshMs, true);
    loadPoll_ = timer("LoadPoll", 100, false);
    ConTimer = timer("ConTimer", 100, false);
}

void TFCOMM::ConnectHandlers() {
    // Every handler runs guarded: an error ends it and is shown, and the
    // program goes on with the next event.
    auto handler = [this](void (TFCOMM::*method)()) {
        return [this, method] { RunHandler([this, method] { (this->*method)(); }); };
    };
    // The recording reads the switches and boxes as they are at each frame:
    // any change reaches it first, before the change's own handler runs.
    for (QCheckBox* box : {BtFill, RecordSI, IFDralin, RepeatSet, RecallCheck})
        connect(box, &QCheckBox::toggled, this, &TFCOMM::ReadControls);
    for (QLineEdit* box : {TimeInt, T1HI, T1LO})
        connect(box, &QLineEdit::textChanged, this, &TFCOMM::ReadControls);

    connect(BitBtn1, &QPushButton::clicked, this, handler(&TFCOMM::BitBtn1Click));
    for (QPushButton* link : {COMCon, USBCon}) {
        connect(link, &QPushButton::toggled, this,
                [this, link](bool down) { LinkButtonToggled(link, down); });
    }

    connect(BtFill, &QCheckBox::clicked, this, handler(&TFCOMM::btFillClick));
    connect(RepeatSet, &QCheckBox::clicked, this, handler(&TFCOMM::btFillClick));
    connect(RecordSI, &QCheckBox::toggled, this, handler(&TFCOMM::RecordSIClick));
    for (QLineEdit* box : {RecordSITime, TimeH, TimeM, TimeS, TimeInt}) {
        connect(box, &QLineEdit::textChanged, this, handler(&TFCOMM::RecordSITimeChange));
        box->installEventFilter(this);
    }
    connect(Timer1, &QTimer::timeout, this, handler(&TFCOMM::Timer1Timer));
    connect(gridTimer_, &QTimer::timeout, this, handler(&TFCOMM::SyncGrid));
    connect(lcdTimer_, &QTimer::timeout, this, handler(&TFCOMM::RenderLcd));
    void (TFCOMM::*capacity[])() = {&TFCOMM::N10001Click,   &TFCOMM::N50001Click,
                                    &TFCOMM::N100001Click,  &TFCOMM::N500001Click,
                                    &TFCOMM::N1000001Click, &TFCOMM::limitessClick};
    static_assert(std::size(capacity) == std::size(kCapacityItems));
    for (size_t i = 0; i < std::size(capacity); ++i)
        connect(capacityActions_[i], &QAction::triggered, this, handler(capacity[i]));
    connect(RecordNew, &QToolButton::clicked, this, handler(&TFCOMM::RecordNewClick));
    connect(New1, &QAction::triggered, this, handler(&TFCOMM::RecordNewClick));

    connect(saveas, &QToolButton::clicked, this, handler(&TFCOMM::saveasClick));
    connect(Save1, &QAction::triggered, this, handler(&TFCOMM::saveasClick));
    connect(OpenDataFiles, &QToolButton::clicked, this, handler(&TFCOMM::SpeedButton2Click));
    connect(BtPrint, &QToolButton::clicked, this, handler(&TFCOMM::PrintButtonClick));

    // The chart's pages: the toolbar and the hidden "Graphic" menu.
    const std::pair<QToolButton*, void (TFCOMM::*)()> pages[] = {
        {BtFirst, &TFCOMM::BtFirstClick},
        {BTPrevious, &TFCOMM::BTPreviousClick},
        {BtNext, &TFCOMM::BtNextClick},
        {BTlast, &TFCOMM::BTlastClick}};
    const char* pageItems[] = {"First", "Previous", "Next", "Last"};
    for (size_t i = 0; i < std::size(pages); ++i) {
        connect(pages[i].first, &QToolButton::clicked, this, handler(pages[i].second));
        if (auto* item = menuBar()->findChild<QAction*>(QString::fromLatin1(pageItems[i])))
            connect(item, &QAction::triggered, this, handler(pages[i].second));
    }
    // The chart's renderings, its picture and its enlarged view.
    connect(Fill, &QAction::triggered, this, handler(&TFCOMM::FillClick));
    connect(ComboBox1, &QComboBox::activated, this, handler(&TFCOMM::ComboBox1Change));
    connect(GraphicNew, &QAction::triggered, this, handler(&TFCOMM::BtNewClick));
    connect(BtSave, &QToolButton::clicked, this, handler(&TFCOMM::BtSaveClick));
    connect(GraphicSave, &QAction::triggered, this, handler(&TFCOMM::BtSaveClick));
    connect(TbFd, &QToolButton::clicked, this, handler(&TFCOMM::TbFdClick));
    connect(TbSx, &QToolButton::clicked, this, handler(&TFCOMM::TbFdClick));
    connect(Maxrecord, &QLineEdit::textChanged, this, handler(&TFCOMM::MaxrecordChange));
    Maxrecord->installEventFilter(this);
    connect(Timer2, &QTimer::timeout, this, handler(&TFCOMM::Timer2Timer));

    connect(RecallCheck, &QCheckBox::toggled, this, handler(&TFCOMM::RecallCheckClick));
    RecallCheck->installEventFilter(this);

    connect(T1HI, &QLineEdit::textChanged, this, handler(&TFCOMM::T1HIChange));
    connect(T1LO, &QLineEdit::textChanged, this, handler(&TFCOMM::T1LOChange));
    T1HI->installEventFilter(this);
    T1LO->installEventFilter(this);
    connect(Timer3, &QTimer::timeout, this, handler(&TFCOMM::Timer3Timer));
    connect(Timer4, &QTimer::timeout, this, handler(&TFCOMM::Timer4Timer));

    BtExit->installEventFilter(this);
}

}  // namespace dmm::app
