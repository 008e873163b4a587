// Every text the virtual validator shows or sends: code names for the trace, the identity it
// reports, and the replies to operator commands. One place, so a wording change is one edit.
#pragma once

#include <cstdint>
#include <string_view>

namespace tarvik::validator {

// Name of a host command code for the trace; "?" for a code the validator does not know.
std::string_view HostCommandName(std::uint8_t code);
// Name of a validator answer code for the trace; "?" for none.
std::string_view AnswerName(std::uint8_t code);

// Identity reported to the view commands. The version text fits the host's 122 characters, the
// boot text its 35, the machine number the 20 of the machine-number frame.
inline constexpr std::string_view kVersionText = "TARVIK-VV V1.00 virtual validator";
inline constexpr std::string_view kBootVersionText = "TARVIK-VV BOOT V1.00";
inline constexpr std::string_view kInitialMachineNumber = "VV-000001";

// The operator command summary printed by `help`.
extern const std::string_view kHelpText;

}  // namespace tarvik::validator
