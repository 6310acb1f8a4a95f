// Test main for the window tests: GoogleTest first, so that listing the
// tests needs no display; then a QApplication on the offscreen platform
// unless a display was asked for.
#include <gtest/gtest.h>

#include <QApplication>

#include <cstdlib>
#include <cstring>

int main(int argc, char *argv[])
{
    ::testing::InitGoogleTest(&argc, argv);
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--gtest_list_tests") == 0)
            return RUN_ALL_TESTS();
    }
    if (!std::getenv("QT_QPA_PLATFORM") && !std::getenv("DISPLAY"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
