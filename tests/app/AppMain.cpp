// The window tests need a QApplication on the test thread, which is the
// window's thread. Without a display they run on the offscreen platform.
#include <gtest/gtest.h>

#include <QApplication>

#if defined(__SANITIZE_THREAD__)
#define QV_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define QV_TSAN 1
#endif
#endif

#ifdef QV_TSAN
// Qt's raster painting hands large fills to threads of its own pool and
// waits for them with futex-based primitives that the race detector cannot
// see inside the uninstrumented Qt libraries, so it reports races there.
// Only accesses made inside those libraries are left out: the window keeps
// every Qt object on its own thread, and what it shares with the worker
// (the combo copies, AnaChk's state, the queue of synchronised calls) is
// plain C++ and stays checked.
extern "C" const char* __tsan_default_suppressions() {
  return "race:libQt6Core.so\n"
         "race:libQt6Gui.so\n";
}
#endif

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  ::testing::InitGoogleTest(&argc, argv);
  QApplication app(argc, argv);
  // A window closed by a test must not end anything.
  QApplication::setQuitOnLastWindowClosed(false);
  return RUN_ALL_TESTS();
}
