// The application object for player tests that make widgets (offscreen platform), shared by
// every test executable that includes this header once.
//
// Widgets need the application object; QStandardPaths takes the application name from it.
// The application lives until the process ends: destroying it makes the offscreen platform
// plugin drop its screen objects without freeing them, which the leak checker reports.
#pragma once

#include <QApplication>
#include <gtest/gtest.h>

#if defined(__SANITIZE_ADDRESS__)
// Fontconfig, loaded by the platform plugin for the application font, keeps blocks of its
// configuration without a pointer the leak checker can follow.
extern "C" __attribute__((used)) const char *__lsan_default_suppressions() {
    return "leak:libfontconfig.so\n";
}
#endif

namespace qvtest {

class OffscreenApp : public ::testing::Environment {
  public:
    void SetUp() override {
        if (!QApplication::instance())
            new QApplication(argc, argv);
    }

  private:
    int argc = 1;
    char name[32] = "player_tests";
    char *argv[2] = {name, nullptr};
};
[[maybe_unused]] inline ::testing::Environment *const offscreen_app =
    ::testing::AddGlobalTestEnvironment(new OffscreenApp);

} // namespace qvtest
