#include "window_fixture.h"

namespace dmm::app {

int WindowTestMain(int argc, char** argv) {
    // Listing the tests at build time runs without the test environment.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    Application app(argc, argv);
    // Windows open and close test after test; the application stays.
    QApplication::setQuitOnLastWindowClosed(false);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

}  // namespace dmm::app
