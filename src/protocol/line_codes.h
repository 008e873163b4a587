// Command and response codes of the validator line, named once for the host, the virtual
// validator and the tests. The catalogue and the response table say what each one carries.
#pragma once

#include <cstdint>

namespace tarvik {

// Commands from the host.
namespace cmd {
inline constexpr std::uint8_t kStatusRequest = 0x11;
inline constexpr std::uint8_t kReset = 0x40;
inline constexpr std::uint8_t kStack1 = 0x41;
inline constexpr std::uint8_t kStack2 = 0x42;
inline constexpr std::uint8_t kReturn = 0x43;
inline constexpr std::uint8_t kHold = 0x44;
inline constexpr std::uint8_t kWait = 0x45;
inline constexpr std::uint8_t kHopperDispense = 0x46;
inline constexpr std::uint8_t kBookmark = 0x4A;
inline constexpr std::uint8_t kAck = 0x50;
inline constexpr std::uint8_t kDisableRequest = 0x80;
inline constexpr std::uint8_t kBarcodeInhibitRequest = 0x87;
inline constexpr std::uint8_t kVersionRequest = 0x88;
inline constexpr std::uint8_t kBootVersionRequest = 0x89;
inline constexpr std::uint8_t kCurrencyAssignRequest = 0x8A;
inline constexpr std::uint8_t kAcceptRateRequest = 0x8B;
inline constexpr std::uint8_t kMachineNumberRequest = 0x8C;
inline constexpr std::uint8_t kSecretNumberRequest = 0x8F;
inline constexpr std::uint8_t kDisableSet = 0xC0;
inline constexpr std::uint8_t kSecuritySet = 0xC1;
inline constexpr std::uint8_t kModeSet = 0xC2;
inline constexpr std::uint8_t kInhibitSet = 0xC3;
inline constexpr std::uint8_t kDirectionSet = 0xC4;
inline constexpr std::uint8_t kFunctionSet = 0xC5;
inline constexpr std::uint8_t kBarcodeInhibitSet = 0xC7;
inline constexpr std::uint8_t kAcceptRateInit = 0xCB;
inline constexpr std::uint8_t kMachineNumberSet = 0xCC;
inline constexpr std::uint8_t kDownloadStart = 0xD0;
inline constexpr std::uint8_t kDownloadData = 0xD1;
inline constexpr std::uint8_t kDownloadEnd = 0xD2;
inline constexpr std::uint8_t kProgramSignature = 0xDC;
inline constexpr std::uint8_t kAcceptanceInit = 0xE0;
inline constexpr std::uint8_t kAcceptanceRequest = 0xE1;
}  // namespace cmd

// Answers and reports of the validator.
namespace rsp {
inline constexpr std::uint8_t kEnq = 0x05;
inline constexpr std::uint8_t kIdling = 0x11;
inline constexpr std::uint8_t kAccepting = 0x12;
inline constexpr std::uint8_t kEscrow = 0x13;
inline constexpr std::uint8_t kStacking = 0x14;
inline constexpr std::uint8_t kVendValid = 0x15;
inline constexpr std::uint8_t kStacked = 0x16;
inline constexpr std::uint8_t kRejecting = 0x17;
inline constexpr std::uint8_t kReturning = 0x18;
inline constexpr std::uint8_t kHolding = 0x19;
inline constexpr std::uint8_t kInhibit = 0x1A;
inline constexpr std::uint8_t kInitialize = 0x1B;
inline constexpr std::uint8_t kPowerUp = 0x40;
inline constexpr std::uint8_t kPowerUpBillInAcceptor = 0x41;
inline constexpr std::uint8_t kPowerUpBillInStacker = 0x42;
inline constexpr std::uint8_t kStackerFull = 0x43;
inline constexpr std::uint8_t kStackerOpen = 0x44;
inline constexpr std::uint8_t kJamInAcceptor = 0x45;
inline constexpr std::uint8_t kJamInStacker = 0x46;
inline constexpr std::uint8_t kPause = 0x47;
inline constexpr std::uint8_t kCheated = 0x48;
inline constexpr std::uint8_t kFailure = 0x49;
inline constexpr std::uint8_t kAck = 0x50;
inline constexpr std::uint8_t kInvalidCommand = 0x4B;
inline constexpr std::uint8_t kProgramCheck = 0xD3;
inline constexpr std::uint8_t kDownloadStatus = 0xD4;
inline constexpr std::uint8_t kSignatureBusy = 0xDE;
inline constexpr std::uint8_t kSignature = 0xDF;
inline constexpr std::uint8_t kAcceptanceBlock = 0xE1;
inline constexpr std::uint8_t kAcceptanceEnd = 0xE2;
inline constexpr std::uint8_t kAdStart = 0xE3;
inline constexpr std::uint8_t kAdBlock = 0xE4;
inline constexpr std::uint8_t kAdEnd = 0xE5;
}  // namespace rsp

}  // namespace tarvik
