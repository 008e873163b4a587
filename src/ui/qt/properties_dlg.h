// The Properties dialog: the five communication settings, filled from the settings file when it
// opens. Modeless: the main window stays usable meanwhile. OK runs the engine's checks and, when
// they pass, puts the settings in force and closes; Cancel and the close box change nothing.
#pragma once

#include <QDialog>
#include <string>

#include "engine/engine.h"
#include "engine/properties.h"

class QComboBox;
class QLineEdit;
class QPushButton;

namespace tarvik::qt {

class PropertiesDlg : public QDialog {
  Q_OBJECT

 public:
  PropertiesDlg(Engine& engine, std::string settingsPath, QWidget* parent = nullptr);

  // Sets the five controls (a position the list does not have leaves it without a selection).
  void Fill(const PropertiesForm& form);
  // What the five controls hold now.
  PropertiesForm Form() const;

  QComboBox* comPortList() const { return comPort_; }        // 1006
  QComboBox* baudRateList() const { return baudRate_; }      // 1007
  QLineEdit* pollingField() const { return polling_; }       // 1008
  QComboBox* operatingModeList() const { return opeMode_; }  // 1009
  QLineEdit* packetField() const { return packetSize_; }     // 1012
  QPushButton* okButton() const { return ok_; }              // 1
  QPushButton* cancelButton() const { return cancel_; }      // 2

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void OnOk();

  Engine& engine_;
  std::string settingsPath_;
  QComboBox* comPort_ = nullptr;
  QComboBox* baudRate_ = nullptr;
  QLineEdit* polling_ = nullptr;
  QComboBox* opeMode_ = nullptr;
  QLineEdit* packetSize_ = nullptr;
  QPushButton* ok_ = nullptr;
  QPushButton* cancel_ = nullptr;
};

}  // namespace tarvik::qt
