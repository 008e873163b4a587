// The images the validator sends in its acceptance-data and Ad-data transfers.
//
// The acceptance image is 4,536 bytes of 4-byte slots. The host sums the raw bytes 0..4533,
// complements the 32-bit total, converts every counted slot to v * 256 + v / 256 (mod 2^32) and
// requires the converted checksum slot at 4532 to equal that complement. The checksum slot's
// own first two bytes are inside the sum, so the slot is found by search, not by formula.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace tarvik::validator {

inline constexpr std::size_t kAcceptanceImageSize = 4536;
inline constexpr std::size_t kAcceptanceChecksumOffset = 4532;
inline constexpr std::size_t kAcceptanceSummedBytes = 4534;
// Bytes 4492..4531 are never converted by the host; one of them absorbs the checksum search.
inline constexpr std::size_t kAcceptanceFreeByte = 4531;
inline constexpr std::size_t kAdImageSize = 3210;

// The slot conversion the host applies before it compares the checksum.
inline std::uint32_t HostSlotConversion(std::uint32_t v) { return v * 256u + v / 256u; }

// Writes a checksum slot into `image` (4,536 bytes) that the host's check accepts, changing the
// free byte if no slot fits the present contents. Returns false only if no value of the free
// byte allows one, which the tests show does not happen for images the validator builds.
bool SealAcceptanceImage(std::span<std::uint8_t> image);

// Changes the last byte of the checksum slot, which the host's sum leaves out but its
// conversion does not, so the check fails whatever the image holds.
void SpoilAcceptanceChecksum(std::span<std::uint8_t> image);

// Counts as the validator keeps them: `seed` varies the numbers, `notesStacked` is recorded in
// the first slot. Each count is 16 bits, high byte first, in the first two bytes of its slot.
std::vector<std::uint8_t> BuildAcceptanceImage(std::uint32_t seed, std::uint32_t notesStacked);

std::vector<std::uint8_t> BuildAdImage(std::uint32_t seed);

}  // namespace tarvik::validator
