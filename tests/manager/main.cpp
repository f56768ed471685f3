// Test entry of the manager: one QApplication for every test, on the offscreen platform, and a
// configuration home of its own so that no test writes into the home of whoever runs them.
#include <cstdlib>

#include <gtest/gtest.h>

#include <QApplication>

#include "tests/support/temp_dir.h"

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    OvrinTest::TempDir configHome;
    setenv("XDG_CONFIG_HOME", configHome.Path().c_str(), 1);
    QApplication application(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
