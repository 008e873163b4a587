#include "validator/acceptance_image.h"

namespace tarvik::validator {

namespace {

constexpr std::size_t kSlotsEnd = 4492;  // the counted slots lie in front of this offset

// A small linear congruential sequence: the same seed gives the same image on every run.
class Numbers {
 public:
  explicit Numbers(std::uint32_t seed) : state_(seed * 2654435761u + 1u) {}
  std::uint32_t Next(std::uint32_t limit) {
    state_ = state_ * 1664525u + 1013904223u;
    return (state_ >> 16) % limit;
  }

 private:
  std::uint32_t state_;
};

void PutCount(std::span<std::uint8_t> image, std::size_t offset, std::uint32_t count) {
  image[offset] = static_cast<std::uint8_t>(count >> 8);
  image[offset + 1] = static_cast<std::uint8_t>(count);
  image[offset + 2] = 0;
  image[offset + 3] = 0;
}

}  // namespace

bool SealAcceptanceImage(std::span<std::uint8_t> image) {
  if (image.size() != kAcceptanceImageSize) return false;
  const std::uint8_t original = image[kAcceptanceFreeByte];
  for (int tweak = 0; tweak < 256; ++tweak) {
    image[kAcceptanceFreeByte] = static_cast<std::uint8_t>(original + tweak);
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i < kAcceptanceChecksumOffset; ++i) sum += image[i];
    // b1 is the converted slot's low byte and b0 + b2 its next one, so fixing b0 and b1
    // determines b2 and b3; a candidate is kept only if the whole converted value matches.
    for (std::uint32_t b0 = 0; b0 < 256; ++b0) {
      for (std::uint32_t b1 = 0; b1 < 256; ++b1) {
        const std::uint32_t wanted = ~(sum + b0 + b1);
        if ((wanted & 0xFFu) != b1) continue;
        const std::uint32_t rest = wanted >> 8;
        const std::uint32_t b2 = (rest - b0) & 0xFFu;
        const std::uint32_t carry1 = (b0 + b2) >> 8;
        const std::uint32_t b3 = ((rest >> 8) - b1 - carry1) & 0xFFu;
        const std::uint32_t slot = b0 | b1 << 8 | b2 << 16 | b3 << 24;
        if (HostSlotConversion(slot) != wanted) continue;
        image[kAcceptanceChecksumOffset] = static_cast<std::uint8_t>(b0);
        image[kAcceptanceChecksumOffset + 1] = static_cast<std::uint8_t>(b1);
        image[kAcceptanceChecksumOffset + 2] = static_cast<std::uint8_t>(b2);
        image[kAcceptanceChecksumOffset + 3] = static_cast<std::uint8_t>(b3);
        return true;
      }
    }
  }
  image[kAcceptanceFreeByte] = original;
  return false;
}

void SpoilAcceptanceChecksum(std::span<std::uint8_t> image) {
  if (image.size() == kAcceptanceImageSize) image[kAcceptanceImageSize - 1] ^= 0x01u;
}

std::vector<std::uint8_t> BuildAcceptanceImage(std::uint32_t seed, std::uint32_t notesStacked) {
  std::vector<std::uint8_t> image(kAcceptanceImageSize, 0);
  Numbers numbers(seed);
  PutCount(image, 0, notesStacked & 0xFFFFu);
  // Four blocks of sixteen rows: a head count, then sixteen cells that add up to less than it.
  for (std::size_t offset = 4; offset < 4356; offset += 68) {
    const std::uint32_t head = numbers.Next(400);
    PutCount(image, offset, head);
    for (std::size_t cell = 0; cell < 16; ++cell) {
      PutCount(image, offset + 4 + 4 * cell, numbers.Next(head / 16 + 1));
    }
  }
  for (std::size_t offset = 4356; offset < kSlotsEnd; offset += 4) {
    PutCount(image, offset, numbers.Next(1000));
  }
  // The unconverted bytes carry the firmware's free-form notes; here a readable tag.
  constexpr char kTag[] = "TARVIK-VV ACCEPTANCE";
  for (std::size_t i = 0; i + 1 < sizeof kTag; ++i) {
    image[kSlotsEnd + i] = static_cast<std::uint8_t>(kTag[i]);
  }
  SealAcceptanceImage(image);
  return image;
}

std::vector<std::uint8_t> BuildAdImage(std::uint32_t seed) {
  std::vector<std::uint8_t> image(kAdImageSize, 0);
  Numbers numbers(seed ^ 0xADu);
  for (auto& byte : image) byte = static_cast<std::uint8_t>(numbers.Next(256));
  return image;
}

}  // namespace tarvik::validator
