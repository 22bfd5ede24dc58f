// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The main window TFCOMM. It owns the meter state, frame assembly, the reading
// table with its log, the recall clock, the timers and every widget, and it is
// the decoders' host. Its handlers read the widgets, call the core and render;
// the rules themselves live in decode/, record/ and chart/.
//
// The handlers are spread over one file per concern: fcomm_layout.cpp builds
// the widgets, fcomm_lcd.cpp renders the LCD model, fcomm_host.cpp is the
// decoder host, fcomm_recording.cpp the reading log's controls,
// fcomm_files.cpp the data files, fcomm_recall.cpp the recall clock and
// fcomm_limits.cpp the limit boxes.

#include <QElapsedTimer>
#include <QHash>
#include <QMainWindow>
#include <QString>
#include <array>
#include <atomic>
#include <cstdint>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "chart/chart_pager.h"
#include "decode/decoder_host.h"
#include "decode/frame_assembly.h"
#include "decode/lcd_state.h"
#include "decode/meter_family.h"
#include "decode/meter_state.h"
#include "record/background_load.h"
#include "record/data_files.h"
#include "record/journal.h"
#include "record/reading_log.h"
#include "record/reading_table.h"
#include "record/recall_clock.h"
#include "record/recording_session.h"

class QAction;
class QActionGroup;
class QAreaSeries;
class QChartView;
class QCheckBox;
class QComboBox;
class QFrame;
class QKeyEvent;
class QLabel;
class QLineEdit;
class QLineSeries;
class QListWidget;
class QMenu;
class QMenuBar;
class QProgressBar;
class QProgressDialog;
class QPushButton;
class QTableView;
class QTimer;
class QToolButton;
class QValueAxis;

namespace dmm {
class HidBackend;
class MeterCable;
class ReadingTableModel;
class TCommPortDriver;
class TJvHidDevice;
class TJvHidDeviceController;
}  // namespace dmm

namespace dmm::app {

class LcdLabel;
class TrendChart;

// The window's modal questions, notices and file choices, behind one small
// interface so that tests can answer them without modal dialogs.
class WindowDialogs {
  public:
    enum class Icon { Information, Error };
    virtual ~WindowDialogs() = default;

    // A question with the buttons Yes and No and the information icon; true
    // on Yes.
    virtual bool ask(QWidget* parent, const QString& title, const QString& text) = 0;
    // A notice with one OK button.
    virtual void tell(QWidget* parent, const QString& title, const QString& text, Icon icon) = 0;
    // A notice that does not wait for its OK: recording goes on behind it.
    virtual void notice(QWidget* parent, const QString& title, const QString& text) = 0;
    // The data files' save and open dialogs; an empty name when cancelled.
    virtual QString saveFileName(QWidget* parent) = 0;
    virtual QString openFileName(QWidget* parent) = 0;
    // The chart picture's save dialog; an empty name when cancelled. It
    // offers the name chosen last time and asks before overwriting a file.
    virtual QString savePictureName(QWidget* parent) = 0;
    // The printed report of the table in a print preview, until it closes.
    virtual void previewReport(QWidget* parent, const ReadingTable& table) = 0;
};

// The dialogs as the user sees them.
std::unique_ptr<WindowDialogs> StandardDialogs();

// A UTF-8 text of the core as a QString.
inline QString ToQString(std::string_view text) {
    return QString::fromUtf8(text.data(), qsizetype(text.size()));
}

// The printable character a key press types, or 0 for a key that types none
// (navigation and editing keys, control characters): the key filters of the
// edit boxes judge only what would be inserted.
char32_t TypedCharacter(const QKeyEvent& event);

class TFCOMM : public QMainWindow, public DecoderDisplay {
    Q_OBJECT
  public:
    static constexpr int kClientWidth = 716;
    static constexpr int kClientHeight = 474;
    // The grid catches up with the table twice a second while readings
    // arrive: plenty for the eye, and each catching-up repaints the grid and
    // costs the row header time in proportion to the rows held.
    static constexpr int kGridSyncMs = 500;
    // The display catches up with the line at most ten times a second. At
    // 2400 baud a meter sends some 22 frames a second and the cable hands
    // over a report every few bytes; drawing each costs more than the rest
    // of the window together, and the eye sees no difference.
    static constexpr int kLcdRefreshMs = 100;

    // hid: where the HID devices come from; null gives the system's own.
    explicit TFCOMM(QWidget* parent = nullptr, std::shared_ptr<HidBackend> hid = nullptr);
    ~TFCOMM() override;

    void setDialogs(std::unique_ptr<WindowDialogs> dialogs);

    // The Tarvo family's serial receive handler: bytes as they arrive. A
    // decoding failure propagates (to the general error handler when the call
    // came from an event) once the display shows what was decoded before it.
    void HTarvoRData(const uint8_t* data, int size);
    // The same for the other two families.
    void HMeskoRData(const uint8_t* data, int size);
    void HDralinRData(const uint8_t* data, int size);

    // The meter family decoded: its serial handler and cable handler are the
    // ones the links deliver to, and the display starts afresh from its
    // start-up values. Refused (false) while a link is open.
    bool SetMeterFamily(Family family);
    Family meterFamily() const { return family_; }
    // Where the chosen family is remembered between runs.
    static QString SettingsFileName();
    // The family remembered from the last run, if any.
    static std::optional<Family> RememberedFamily();
    // Decodes FrameText as a Tarvo frame and shows the result.
    void LcdDisplayTarvo();
    // The cable's data handlers: one input report each, on the window thread.
    void HTarvoHidData(TJvHidDevice* HidDev, uint8_t ReportID, const uint8_t* Data, uint16_t Size);
    void HMeskoHidData(TJvHidDevice* HidDev, uint8_t ReportID, const uint8_t* Data, uint16_t Size);
    // How often at most the three receive handlers redraw the display, in
    // ms; what comes in between is shown when the interval is up. 0 draws at
    // the end of every call.
    void setLcdRefreshInterval(int ms) { lcdRefreshMs_ = ms; }

    // The links: the serial port driver and the HID controller.
    TCommPortDriver& comm2() { return *COMM2; }
    TJvHidDeviceController& hidCtl() { return *HidCtl; }
    TJvHidDevice* currentHidDevice() const { return CurrentHidDevice; }

    const MeterState& meterState() const { return state_; }
    const TChartControl& chartPager() const { return *ChartPager; }
    const ReadingTable& table() const { return cds1_; }
    const RecordingSession& session() const { return session_; }
    const ReadingLog& readingLog() const { return session_.log(); }
    const RecallClock& recallClock() const { return session_.recall(); }
    const std::string& lastGoodHigh() const { return LastGoodHigh_; }
    const std::string& lastGoodLow() const { return LastGoodLow_; }
    bool loading() const { return load_ != nullptr; }
    // The recording journal in the folder given, after offering back what
    // earlier runs left unsaved there (the program turns it on; tests may).
    void StartJournal(const QString& directory);
    Journal* journal() const { return session_.journal(); }

    // Start-up and the window as a whole.
    void FormCreate();
    void FormResize();
    void BitBtn1Click();
    void BtExit1Click();

    // Connection control.
    void COM11Click();
    void COM21Click();
    void COM31Click();
    void COM41Click();
    void COMConClick();
    void BTCon1Click();
    void BtDiscon1Click();
    void USBConClick();
    void SetFeatureClick();
    void ReadCurrentCable(bool on);
    void ResumeCable();
    void ReadBtnClick();
    void ClearBtnClick();
    void InfoBtnClick();
    void ConTimerTimer();
    bool HidCtlEnumerate(TJvHidDevice* HidDev, int32_t Idx);
    void HidCtlDeviceChange(QObject* Sender);
    void HidCtlArrival(TJvHidDevice* HidDev);
    void HidCtlRemoval(TJvHidDevice* HidDev);
    void HidCtlDeviceDataError(TJvHidDevice* HidDev, uint32_t Error);

    // The reading log's controls.
    void RecordSIClick();
    void RecordSITimeChange();
    bool RecordSITimeKeyPress(QKeyEvent* event);  // true: the key is dropped
    void Timer1Timer();
    void N10001Click();
    void N50001Click();
    void N100001Click();
    void N500001Click();
    void N1000001Click();
    void limitessClick();
    void RecordNewClick();

    // The data files.
    void saveasClick();
    void SpeedButton2Click();

    // The printed report. The printer button says so when the table holds
    // nothing to print, and otherwise opens the preview (BtPrintClick).
    void BtPrintClick();
    void PrintButtonClick();

    // The recall clock.
    void RecallCheckClick();
    void RecallCheckExit();
    void TimeHKeyUp();

    // The limit boxes.
    bool T1HIKeyPress(QKeyEvent* event);  // true: the key is dropped
    bool T1LOKeyPress(QKeyEvent* event);
    void T1HIChange();
    void T1LOChange();
    void Timer3Timer();
    void Timer4Timer();

    // The chart's rendering choice (the repeat switch shares it), its
    // picture and its enlarged view.
    void btFillClick();
    void FillClick();
    void ComboBox1Change();
    void BtNewClick();
    void BtSaveClick();
    void TbFdClick();

    // The chart's pages.
    void BtFirstClick();
    void BTPreviousClick();
    void BtNextClick();
    void BTlastClick();
    void MaxrecordChange();
    void Timer2Timer();

    // What the decoders draw (the recording session passes it on).
    void SetValueAxis(double minimum, double maximum) override;
    void ShowSeries(int index) override;
    void SetMeasuredValue(const std::string& valueText) override;
    void ShowVerdict(Verdict verdict) override;
    void SetBarPosition(int position) override;
    void Beep() override;

  signals:
    // A data file has been read and its rows are in the table (ok false: the
    // load failed and the user has been told, or the user cancelled it).
    void dataFileLoaded(bool ok);

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void showEvent(QShowEvent* event) override;

  private:
    // fcomm_layout.cpp
    void CreateWidgets();
    void CreateTopBar(QWidget* client);
    void CreateLcdPanel(QWidget* client);
    void CreateLimitsPanel(QWidget* client);
    void CreateRecordingRow(QWidget* client);
    void CreateGrid(QWidget* client);
    void CreateChart(QWidget* client);
    void CreateParkedControls(QWidget* client);
    void CreateHiddenControls(QWidget* client);
    void CreateMenu();
    void CreateTimers();
    void ConnectHandlers();

    // fcomm_family.cpp
    void CreateFamilyMenu(QMenuBar* bar);
    void CreateHelpMenu(QMenuBar* bar);
    void MeterFamilyClick(Family family);
    void AboutClick();
    void LinkStateChanged();

    // fcomm_lcd.cpp
    void AddLcdWidget(El element, QWidget* widget, LcdLabel* label, QLabel* text);
    void RenderLcd();
    void RenderLcdSoon();
    // The receive handlers draw what they decoded however they end: a frame
    // that fails part-way keeps the effects of its earlier steps.
    struct RenderSoonOnExit {
        TFCOMM& window;
        ~RenderSoonOnExit() { window.RenderLcdSoon(); }
    };

    // fcomm_host.cpp
    // The switches and boxes the recording reads, into the session.
    void ReadControls();
    void ReadingRecorded(size_t row);
    void CapacityReached(int32_t limit);
    void ShowPendingHostState();
    void ShowPendingVerdict(Verdict verdict);
    // The value box, the lamp and its caption as at start-up.
    void ClearVerdict();

    // fcomm_recording.cpp
    void CapacityClick(size_t item);
    void MarkGridDirty();
    void SyncGrid();
    // Bt10 shows the pager's page; the chart catches up with the window.
    void ShowPage(int32_t page);

    // fcomm_chart.cpp
    void KeepChartMargins();

    // fcomm_files.cpp
    void StartLoad(const QString& fileName);
    void FinishLoad();
    void CancelLoad();
    bool OfferUnsavedJournals(const QString& directory);
    void JournalFailed(const std::string& reason);
    void EndLoad();
    void SetFileButtonsEnabled(bool enabled);

    // fcomm_connection.cpp
    void CreateLinks(std::shared_ptr<HidBackend> hid);
    void ConnectLinkHandlers();
    void CloseLinks();
    void SelectPort(int index);
    bool SerialConnect();
    void SerialDisconnect();
    TJvHidDevice* SelectedDevice() const;
    void AddHistoryLine(const QString& line);
    void ShowLinkSilent();

    // fcomm.cpp
    void LinkButtonToggled(QPushButton* button, bool down);
    bool FilterEvent(QObject* watched, QEvent* event);  // true: the event is dropped

    // The core.
    Family family_ = Family::Tarvo;
    MeterState state_;
    // The table, the reading log, the recall clock, the limit texts and the
    // journal; the decoders' host, which passes on what is drawn.
    RecordingSession session_;
    ReadingTable& cds1_;
    FrameReceiver receiver_;
    ReadingTableModel* model_ = nullptr;
    std::string LastGoodHigh_;
    std::string LastGoodLow_;
    std::unique_ptr<WindowDialogs> dialogs_;
    // The links.
    std::unique_ptr<TCommPortDriver> COMM2;
    std::unique_ptr<TJvHidDeviceController> HidCtl;
    // The claimed devices, one per line of DevListBox, and the cable's rule
    // and watchdog; goes before HidCtl.
    std::unique_ptr<MeterCable> cable_;
    TJvHidDevice* CurrentHidDevice = nullptr;

    // The trend chart's points and its pager, made by FormCreate.
    std::unique_ptr<TrendChart> trend_;
    std::unique_ptr<TChartControl> ChartPager;

    // What the LCD widgets show, so that a frame repaints only what changed.
    struct LcdItem {
        QWidget* widget = nullptr;
        LcdLabel* label = nullptr;  // the LCD faces
        QLabel* text = nullptr;     // plain labels
        std::string caption;
        bool visible = false;
    };
    std::array<LcdItem, kElementCount> lcd_{};

    // What the host last showed, so that a frame touches only what changed.
    double axisMin_ = 0;
    double axisMax_ = 0;
    int verdictShown_ = -1;  // -1 none yet, else the Verdict
    // What the last frames gave the value box, the page label and the bar,
    // shown when the chunk has been decoded.
    std::optional<std::string> pendingValue_;
    std::optional<int32_t> pendingPage_;
    std::optional<int> pendingBar_;
    std::optional<Verdict> pendingVerdict_;
    // When the display was last drawn, and the redraw that is due.
    QElapsedTimer lcdShown_;
    QTimer* lcdTimer_ = nullptr;
    int lcdRefreshMs_ = kLcdRefreshMs;

    // A data file being read on a thread of its own.
    std::unique_ptr<BackgroundLoad> load_;
    size_t rowsBeforeLoad_ = 0;
    QProgressDialog* loadProgress_ = nullptr;
    QTimer* loadPoll_ = nullptr;

    // Widgets, by their design names.
    QWidget* client_ = nullptr;
    QFrame* Panel6 = nullptr;
    QLabel* BtCOM1 = nullptr;
    QLabel* BtCOM2 = nullptr;
    QLabel* BtCOM3 = nullptr;
    QLabel* BtCOM4 = nullptr;
    QPushButton* COMCon = nullptr;
    QPushButton* USBCon = nullptr;
    QPushButton* BitBtn1 = nullptr;
    QFrame* Panel1 = nullptr;
    QFrame* Panel3 = nullptr;
    QFrame* Panel4 = nullptr;
    QLineEdit* T1HI = nullptr;
    QLineEdit* T1VALUE = nullptr;
    QLineEdit* T1LO = nullptr;
    QWidget* Shape1 = nullptr;
    QLabel* judge = nullptr;
    QFrame* Panel19 = nullptr;
    QCheckBox* BtFill = nullptr;
    QLineEdit* Maxrecord = nullptr;
    QToolButton* BtSave = nullptr;
    QToolButton* BtFirst = nullptr;
    QToolButton* BTPrevious = nullptr;
    QToolButton* BtNext = nullptr;
    QToolButton* BTlast = nullptr;
    QPushButton* Bt10 = nullptr;
    QToolButton* TbFd = nullptr;
    QToolButton* TbSx = nullptr;
    QProgressBar* PBar2 = nullptr;
    QCheckBox* RepeatSet = nullptr;
    QCheckBox* RecordSI = nullptr;
    QLineEdit* RecordSITime = nullptr;
    QToolButton* RecordNew = nullptr;
    QToolButton* OpenDataFiles = nullptr;
    QToolButton* saveas = nullptr;
    QToolButton* BtPrint = nullptr;
    QTableView* DBGrid1 = nullptr;
    QChartView* Chtshow = nullptr;
    QAreaSeries* Series2 = nullptr;
    QLineSeries* Series1 = nullptr;
    QValueAxis* valueAxis_ = nullptr;
    QComboBox* ComboBox1 = nullptr;
    QLineEdit* systeminfomation = nullptr;
    QListWidget* DevListBox = nullptr;
    QListWidget* HistoryListBox = nullptr;
    QFrame* Panel2 = nullptr;
    QCheckBox* RecallCheck = nullptr;
    QLineEdit* TimeH = nullptr;
    QLineEdit* TimeM = nullptr;
    QLineEdit* TimeS = nullptr;
    QLineEdit* TimeInt = nullptr;
    QLabel* BTCon = nullptr;
    QLabel* BtDiscon = nullptr;
    QLabel* BtExit = nullptr;
    QToolButton* ReadBtn = nullptr;
    QToolButton* ClearBtn = nullptr;
    QToolButton* InfoBtn = nullptr;
    QPushButton* SetFeature = nullptr;
    std::array<QLabel*, 4> portPanels_{};
    std::array<QAction*, 4> portItems_{};  // COM11 .. COM41
    QMenu* ComSetup1 = nullptr;
    QAction* START1 = nullptr;
    QAction* STOP1 = nullptr;
    QCheckBox* IFDralin = nullptr;

    QMenu* Meter1 = nullptr;
    std::array<QAction*, kFamilyCount> familyActions_{};
    QMenu* Help1 = nullptr;
    QMenu* Record1 = nullptr;
    QAction* New1 = nullptr;
    QAction* Save1 = nullptr;
    QAction* Fill = nullptr;
    QAction* GraphicNew = nullptr;
    QAction* GraphicSave = nullptr;
    std::array<QAction*, std::size(kCapacityItems)> capacityActions_{};

    QTimer* Timer1 = nullptr;
    QTimer* Timer2 = nullptr;
    QTimer* Timer3 = nullptr;
    QTimer* Timer4 = nullptr;
    QTimer* gridTimer_ = nullptr;
    QTimer* ConTimer = nullptr;

    // The chart's place before it was enlarged: left, top, width, height.
    std::array<int32_t, 4> SavedChartBounds{};

    bool placed_ = false;  // centred on the screen at the first show
    // The keys pressed in the start-time boxes and not yet released, and the
    // box that saw each press.
    QHash<int, QObject*> timeKeysDown_;
};

}  // namespace dmm::app
