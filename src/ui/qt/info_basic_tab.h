// The "Validator Information" page: what the host knows about the validator. Passive: it only
// shows the texts the window services write into its thirteen value fields.
#pragma once

#include <QWidget>
#include <map>

#include "engine/window_services.h"

class QLabel;

namespace tarvik::qt {

class InfoBasicTab : public QWidget {
  Q_OBJECT

 public:
  // The five value fields that are not settings (control numbers of the page layout).
  enum class Field {
    ValidatorStatus = 1027,
    CommStatus = 1026,
    Version = 1028,
    BootVersion = 1029,
    MachineNumber = 1030,
  };

  explicit InfoBasicTab(QWidget* parent = nullptr);

  QLabel* field(Field which) const;
  QLabel* field(SettingField which) const;
  // The field with control number `id`, or nullptr.
  QLabel* fieldById(int id) const;

 private:
  std::map<int, QLabel*> fields_;  // by control number
};

}  // namespace tarvik::qt
