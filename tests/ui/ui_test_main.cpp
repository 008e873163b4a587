// Runs the window's Qt Test classes: all of them, or the one named by the first argument (the
// rest of the arguments go to Qt Test). The window needs a QApplication; tests run offscreen.
#include <QApplication>
#include <QStringList>
#include <cstdio>

#include "ui_test_registry.h"

namespace tarvik::uitest {

std::vector<UiTest>& UiTests() {
  static std::vector<UiTest> tests;
  return tests;
}

bool RegisterUiTest(const char* name, std::function<std::unique_ptr<QObject>()> make) {
  UiTests().push_back({name, std::move(make)});
  return true;
}

}  // namespace tarvik::uitest

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QStringList args = QApplication::arguments();
  QString only;
  if (args.size() > 1 && !args[1].startsWith(QLatin1Char('-'))) only = args.takeAt(1);

  int failures = 0;
  bool found = false;
  for (const auto& test : tarvik::uitest::UiTests()) {
    if (!only.isEmpty() && only != QLatin1String(test.name)) continue;
    found = true;
    const std::unique_ptr<QObject> object = test.make();
    failures += QTest::qExec(object.get(), args);
  }
  if (!found) {
    std::fprintf(stderr, "no test class named %s\n", qPrintable(only));
    return 2;
  }
  return failures == 0 ? 0 : 1;
}
