// The engine's texts are bytes, one character each; the widgets show them as Latin-1.
#pragma once

#include <QString>
#include <string_view>

namespace tarvik::qt {

inline QString Latin1(std::string_view text) {
  return QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
}

}  // namespace tarvik::qt
