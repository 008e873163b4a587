// The echoes of the view and setting commands, the text and data responses (versions, currency
// assignment, machine number, program signature) and the hopper and peripheral reports.
#include <cstdio>
#include <string>

#include "engine/operating_modes.h"
#include "engine/response_table.h"
#include "protocol/line_codes.h"
#include "protocol/response_text.h"

namespace tarvik {

namespace {

// An echo's field shows its one or two value bytes: "12" or "12 34".
void ShowEchoedValue(Engine& engine, const ResponseRow& row) {
  const bool twoBytes = row.length - kMinFrameLength >= 2;
  engine.ui.ShowSettingValue(*row.field,
                             FormatDataBytes(twoBytes ? "%02X %02X" : "%02X", FrameData(engine)));
}

void HandleEcho(Engine& engine, const ResponseRow& row, const ResponseContext&) {
  LogResponse(engine, FormatDataBytes(row.text, FrameData(engine)));
  ShowEchoedValue(engine, row);
}

// While an Auto Reset re-applies the stored settings, each echo sends the next setting.
void HandleSettingEcho(Engine& engine, const ResponseRow& row, const ResponseContext& context) {
  HandleEcho(engine, row, context);
  if (context.step == kStepReapplying) QueueCommand(engine, row.followUp);
}

// The last setting of the chain: a non-zero communication mode means the validator no longer
// answers status polls on its own terms, so the host stops polling.
void HandleModeSetEcho(Engine& engine, const ResponseRow& row, const ResponseContext&) {
  const auto data = FrameData(engine);
  const std::string text = FormatDataBytes(row.text, data);
  if (data[0] != 0) ApplyPollingMode(engine, kPollingManu);
  engine.state.transactionStep.store(kStepNone);
  LogResponse(engine, text);
  engine.state.reapplySettings.store(0);
  ShowEchoedValue(engine, row);
}

// Sent again from the store, the bar-code function is followed by the stored bar-code inhibit.
// The store mode ends here, before that follow-up is built, so the follow-up would carry whatever
// `commandValue` last held (the function value just sent) and write it into the inhibit store;
// it is given the stored inhibit instead, which it then stores back unchanged.
void HandleBarcodeFunctionEcho(Engine& engine, const ResponseRow& row,
                               const ResponseContext& context) {
  EngineState& s = engine.state;
  HandleEcho(engine, row, context);
  if (s.reapplySettings.load() == 1) {
    engine.commandValue.store(static_cast<std::uint32_t>(s.barcodeInhibitSetting.load()));
    QueueCommand(engine, row.followUp);
  }
  s.reapplySettings.store(0);
}

// The window's field shows the text before the line is logged.
void HandleVersion(Engine& engine, const ResponseRow& row, const ResponseContext&) {
  const std::string version = PrintableText(FrameData(engine), kMaxVersionChars);
  engine.ui.ShowVersion(version);
  LogResponse(engine, std::string(row.text) + version);
}

void HandleBootVersion(Engine& engine, const ResponseRow& row, const ResponseContext&) {
  const std::string version = PrintableText(FrameData(engine), kMaxBootVersionChars);
  engine.ui.ShowBootVersion(version);
  LogResponse(engine, std::string(row.text) + version);
}

void HandleCurrency(Engine& engine, const ResponseRow& row, const ResponseContext&) {
  LogResponse(engine, std::string(row.text) + FormatCurrencyEntries(FrameData(engine)));
}

// The stored number keeps the bytes as received (it is sent back by later commands); the log
// and the field show them printable.
void HandleMachineNumber(Engine& engine, const ResponseRow& row, const ResponseContext&) {
  const auto data = FrameData(engine).first(kMaxMachineNumberChars);
  std::string stored;
  for (const std::uint8_t byte : data) {
    if (byte == 0) break;
    stored += static_cast<char>(byte);
  }
  const std::string shown = PrintableText(data, kMaxMachineNumberChars);
  LogResponse(engine, std::string(row.text) + shown);
  engine.state.reapplySettings.store(0);
  engine.state.machineNumber.Set(stored);
  engine.ui.ShowMachineNumber(shown);
}

// The date and time the host sent with the initial accept-rate command, six characters each.
void HandleInitTimeDate(Engine& engine, const ResponseRow& row, const ResponseContext&) {
  const auto data = FrameData(engine);
  LogResponse(engine, std::string(row.text) + PrintableText(data.first(6), 6, ZeroByte::IsShown) +
                          " " + PrintableText(data.subspan(6, 6), 6, ZeroByte::IsShown));
}

void HandleProgramSignature(Engine& engine, const ResponseRow& row, const ResponseContext&) {
  const auto data = FrameData(engine);
  char fileCrc[12];
  std::snprintf(fileCrc, sizeof fileCrc, "%04X",
                static_cast<unsigned>(engine.download.targetFileCrc.load()));
  LogResponse(engine, FormatDataBytes(row.text, data) + fileCrc);
  QueueCommand(engine, row.followUp);
}

constexpr ResponseHandler Plain = HandlePlainResponse;
constexpr ResponseHandler Echo = HandleEcho;
constexpr ResponseHandler SettingEcho = HandleSettingEcho;
constexpr Exchange OpenWhileReapplying = Exchange::OpenWhileReapplying;

// Rows name only the fields they use and leave the rest at their defaults; this compiler warns
// about every field a designated initializer leaves out, defaults or not.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
// clang-format off
constexpr ResponseRow kRows[] = {
    // Hopper and peripheral reports.
    {.code = 0x21, .length = 7, .handler = Plain, .text = "Hopper Status %02X,%02X"},
    {.code = 0x24, .handler = Plain, .text = "Hopper Dispense"},
    {.code = 0x25, .handler = Plain, .text = "Hopper DispenseD"},
    {.code = 0x26, .handler = Plain, .text = "Hopper Dispense Complete"},
    {.code = 0x28, .handler = Plain, .text = "Hopper Dispense Abort"},
    {.code = 0x2B, .length = 6, .handler = Plain, .text = "Hopper FAILURE %02X"},
    {.code = 0x8D, .length = 6, .handler = Plain, .text = "Hopper Currency %02X"},
    {.code = 0x73, .handler = Plain, .text = "MIREL Busy"},
    {.code = 0x74, .handler = Plain, .text = "MIREL Complete", .followUp = cmd::kAck},

    // Echoes of the view commands.
    {.code = 0x80, .length = 7, .handler = Echo, .text = "DISABLE %02X,%02X",
     .field = SettingField::Disable},
    {.code = 0x81, .length = 7, .handler = Echo, .text = "SECURITY %02X,%02X",
     .field = SettingField::Security},
    {.code = 0x82, .length = 6, .handler = Echo, .text = "Mode %02X",
     .field = SettingField::CommMode},
    {.code = 0x83, .length = 6, .handler = Echo, .text = "INHIBIT %02X",
     .field = SettingField::Inhibit},
    {.code = 0x84, .length = 6, .handler = Echo, .text = "DIRECTION %02X",
     .field = SettingField::Direction},
    {.code = 0x85, .length = 7, .handler = Echo, .text = "FUNCTION %02X,%02X",
     .field = SettingField::OptionalFuncs},
    {.code = 0x86, .length = 7, .handler = Echo, .text = "Bar FUNCTION %02X,%02X",
     .field = SettingField::BarcodeFunc},
    {.code = 0x87, .length = 6, .handler = Echo, .text = "Bar Inhibit %02X",
     .field = SettingField::BarcodeInhibit},

    // Echoes of the setting commands; in step 4 each sends the next stored setting.
    {.code = 0xC0, .length = 7, .exchange = OpenWhileReapplying, .handler = SettingEcho,
     .text = "Set DISABLE %02X,%02X", .followUp = cmd::kSecuritySet, .field = SettingField::Disable},
    {.code = 0xC1, .length = 7, .exchange = OpenWhileReapplying, .handler = SettingEcho,
     .text = "Set SECURITY %02X,%02X", .followUp = cmd::kInhibitSet, .field = SettingField::Security},
    {.code = 0xC2, .length = 6, .handler = HandleModeSetEcho, .text = "Set Mode %02X",
     .field = SettingField::CommMode},
    {.code = 0xC3, .length = 6, .exchange = OpenWhileReapplying, .handler = SettingEcho,
     .text = "Set INHIBIT %02X", .followUp = cmd::kDirectionSet, .field = SettingField::Inhibit},
    {.code = 0xC4, .length = 6, .exchange = OpenWhileReapplying, .handler = SettingEcho,
     .text = "Set DIRECTION %02X", .followUp = cmd::kFunctionSet, .field = SettingField::Direction},
    {.code = 0xC5, .length = 7, .exchange = OpenWhileReapplying, .handler = SettingEcho,
     .text = "Set FUNCTION %02X,%02X", .followUp = cmd::kModeSet,
     .field = SettingField::OptionalFuncs},
    {.code = 0xC6, .length = 7, .handler = HandleBarcodeFunctionEcho,
     .text = "Set Bar FUNCTION %02X,%02X", .followUp = cmd::kBarcodeInhibitSet,
     .field = SettingField::BarcodeFunc},
    {.code = 0xC7, .length = 6, .handler = Echo, .text = "Set Bar Inhibit %02X",
     .field = SettingField::BarcodeInhibit},
    {.code = 0xCA, .length = 6, .handler = Plain, .text = "Set Currency %02X"},

    // Text and data responses.
    {.code = 0x88, .length = kOwnLength, .handler = HandleVersion, .text = "Ver.:"},
    {.code = 0x89, .length = kOwnLength, .handler = HandleBootVersion, .text = "Boot ROM Ver.:"},
    {.code = 0x8A, .length = kOwnLength, .handler = HandleCurrency, .text = "Currency : "},
    {.code = 0x8B, .length = 65, .handler = Plain, .text = "Accept Rate Response"},
    {.code = 0x8C, .length = 25, .handler = HandleMachineNumber, .text = "M/C No.:"},
    {.code = 0xCC, .length = 25, .handler = HandleMachineNumber, .text = "M/C No.:"},
    {.code = 0xCB, .length = 17, .handler = HandleInitTimeDate, .text = "INIT Time,Date "},
    {.code = 0x8F, .length = 8, .handler = Plain, .text = "Secret No. %02X,%02X,%02X"},
    {.code = 0xDE, .length = kOwnLength, .handler = Plain, .text = "Program Signature Busy"},
    // The validator's version bytes, then the host's CRC of the target file.
    {.code = 0xDF, .length = kOwnLength, .minLength = 7, .handler = HandleProgramSignature,
     .text = "Program Signature : V%02X%02X, M", .followUp = cmd::kAck},
};
// clang-format on
#pragma GCC diagnostic pop

}  // namespace

std::span<const ResponseRow> EchoResponseRows() { return kRows; }

}  // namespace tarvik
