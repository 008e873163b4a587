// A small registry so one program holds several Qt Test classes and ctest can run each alone.
#pragma once

#include <QObject>
#include <QtTest>
#include <functional>
#include <memory>
#include <vector>

namespace tarvik::uitest {

struct UiTest {
  const char* name;
  std::function<std::unique_ptr<QObject>()> make;
};

std::vector<UiTest>& UiTests();
bool RegisterUiTest(const char* name, std::function<std::unique_ptr<QObject>()> make);

}  // namespace tarvik::uitest

#define TARVIK_UI_TEST(Class)                                         \
  [[maybe_unused]] static const bool kRegistered##Class =             \
      ::tarvik::uitest::RegisterUiTest(#Class, [] { return std::make_unique<Class>(); })
