// SPDX-License-Identifier: GPL-3.0-or-later
#include <QSettings>

#include "window_fixture.h"

namespace dmm::app {

int WindowTestMain(int argc, char** argv) {
    // Listing the tests at build time runs without the test environment.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    Application app(argc, argv);
    // The window remembers the meter family; the tests' choices go to a
    // folder of their own, never to the user's settings.
    QTemporaryDir settings;
    for (auto format : {QSettings::NativeFormat, QSettings::IniFormat}) {
        for (auto scope : {QSettings::UserScope, QSettings::SystemScope})
            QSettings::setPath(format, scope, settings.path());
    }
    // Windows open and close test after test; the application stays.
    QApplication::setQuitOnLastWindowClosed(false);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

}  // namespace dmm::app
