// SPDX-License-Identifier: GPL-3.0-or-later
// The meter family and the help menu. Which family is decoded is the user's
// choice in the "Meter" menu (or the command line), remembered between runs;
// it decides the serial receive handler, the cable handler and the start-up
// values of the display. It cannot change while a link is open: the bytes on
// the line belong to the meter that was chosen.

#include <QAction>
#include <QActionGroup>
#include <QMenu>
#include <QMenuBar>
#include <QProgressBar>
#include <QPushButton>
#include <QSettings>

#include "app/error_handler.h"
#include "app/fcomm.h"
#include "decode/date_time.h"
#include "decode/model_config.h"
#include "record/journal.h"

#ifndef DMM_VERSION
#define DMM_VERSION "unknown"
#endif
#ifndef DMM_DOC_DIR
#define DMM_DOC_DIR "/usr/share/doc/tarvometer"
#endif

namespace dmm::app {
namespace {

const QString kFamilyKey = QStringLiteral("meter/family");
const QString kNoCableHint =
    QStringLiteral("Dralin meters have no USB cable: connect them with the serial cable.");

// The user's settings file (~/.config/tarvometer/tarvometer.conf on Linux).
QSettings UserSettings() {
    return QSettings(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("tarvometer"),
                     QStringLiteral("tarvometer"));
}

}  // namespace

QString TFCOMM::SettingsFileName() {
    return UserSettings().fileName();
}

std::optional<Family> TFCOMM::RememberedFamily() {
    const QString name = UserSettings().value(kFamilyKey).toString();
    return FamilyByName(name.toStdString());
}

void TFCOMM::CreateFamilyMenu(QMenuBar* bar) {
    Meter1 = bar->addMenu(QStringLiteral("Meter"));
    Meter1->setObjectName(QStringLiteral("Meter1"));
    auto* group = new QActionGroup(Meter1);
    group->setExclusionPolicy(QActionGroup::ExclusionPolicy::Exclusive);
    for (size_t i = 0; i < kFamilyCount; ++i) {
        const FamilyFacts& facts = Families()[i];
        QAction* item = Meter1->addAction(ToQString(facts.caption));
        item->setObjectName(QStringLiteral("Meter") + ToQString(facts.caption));
        item->setCheckable(true);
        item->setChecked(facts.family == family_);
        group->addAction(item);
        familyActions_[size_t(facts.family)] = item;
        const Family family = facts.family;
        connect(item, &QAction::triggered, this,
                [this, family] { RunHandler([this, family] { MeterFamilyClick(family); }); });
    }
}

void TFCOMM::CreateHelpMenu(QMenuBar* bar) {
    Help1 = bar->addMenu(QStringLiteral("Help"));
    Help1->setObjectName(QStringLiteral("Help1"));
    QAction* about = Help1->addAction(QStringLiteral("About TarvoMeter"));
    about->setObjectName(QStringLiteral("About1"));
    connect(about, &QAction::triggered, this, [this] { RunHandler([this] { AboutClick(); }); });
}

bool TFCOMM::SetMeterFamily(Family family) {
    if (COMCon->isChecked() || USBCon->isChecked())
        return false;
    family_ = family;
    familyActions_[size_t(family)]->setChecked(true);
    // The display starts afresh: another family drives other elements, and
    // its scales come from its own row of the model table.
    const std::string decimalSep = state_.DecimalSep;
    state_ = MeterState{};
    receiver_.serial().clear();
    receiver_.reports().clear();
    const StartupResult start = ApplyFamilyStartup(state_, family, decimalSep, NowDateTime());
    setWindowTitle(QString::fromStdString(start.caption));
    PBar2->setMaximum(start.pbarMaximum);
    SetValueAxis(start.axisMinimum, start.axisMaximum);
    const bool cable = FactsOf(family).hasCable();
    USBCon->setEnabled(cable);
    USBCon->setToolTip(cable ? QString() : kNoCableHint);
    ClearVerdict();  // the Mesko and Dralin decoders judge nothing
    RenderLcd();
    return true;
}

void TFCOMM::MeterFamilyClick(Family family) {
    if (!SetMeterFamily(family)) {
        familyActions_[size_t(family_)]->setChecked(true);
        return;
    }
    QSettings settings = UserSettings();
    settings.setValue(kFamilyKey, ToQString(FactsOf(family).name));
}

void TFCOMM::LinkStateChanged() {
    if (Meter1)
        Meter1->menuAction()->setEnabled(!COMCon->isChecked() && !USBCon->isChecked());
}

void TFCOMM::AboutClick() {
    const QString text =
        QStringLiteral(
            "TarvoMeter Interface Program, version %1\n\n"
            "Live readings, recording, charts and reports for handheld digital multimeters of "
            "the Tarvo, Mesko and Dralin families.\n\n"
            "Licence: GPL-3.0-or-later\n"
            "Journal of recorded rows: %2\n"
            "Settings (the meter family): %3\n"
            "Manual: %4/README.md")
            .arg(QStringLiteral(DMM_VERSION), JournalDirectory(), SettingsFileName(),
                 QStringLiteral(DMM_DOC_DIR));
    dialogs_->tell(this, QStringLiteral("About TarvoMeter"), text,
                   WindowDialogs::Icon::Information);
}

}  // namespace dmm::app
