// Builds firmware images, valid and deliberately broken, for tests, the simulated device and the
// demo. Everything not placed explicitly is deterministic filler that contains neither the magic
// nor a byte that could start a device descriptor or a string descriptor header.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kavori::firmware {

class ImageBuilder {
 public:
  // The magic 0x08 0xAA at offset 0.
  ImageBuilder& Magic();
  // An 18-byte USB device descriptor of vendor 0x0BEF, one byte per 16-bit word (36 bytes),
  // whose bLength byte lies at `offset`.
  ImageBuilder& DeviceDescriptorAt(std::size_t offset, std::uint16_t productId,
                                   std::uint16_t bcdDevice);
  // A 46-byte string descriptor holding the 22 characters of `code` (std::invalid_argument for
  // another length), one byte per 16-bit word, preceded by a 0x00 byte at `offset`: the header
  // 00 2E 00 03 as the scan sees it starts at `offset`; 93 bytes in all.
  ImageBuilder& StringDescriptorAt(std::size_t offset, std::string_view code);
  // Raw bytes, for broken images.
  ImageBuilder& BytesAt(std::size_t offset, std::vector<std::uint8_t> bytes);
  // The total size. Placed bytes beyond it are cut off. Without it the image ends after the last
  // placed byte.
  ImageBuilder& Size(std::size_t size);

  // Placements are applied in the order they were made; a later one overwrites an earlier one.
  std::vector<std::uint8_t> Build() const;
  // Writes Build() to `path`, replacing the file; false when that fails.
  bool WriteTo(const std::string& path) const;

 private:
  struct Placement {
    std::size_t offset;
    std::vector<std::uint8_t> bytes;
  };
  std::vector<Placement> placements_;
  std::size_t size_ = 0;
  bool sizeSet_ = false;
};

// The standard demo image, which suits the simulated device's default serial string
// "KAVSBL01234567890ABCDE" (prefix KAVSBL, numbers A 23 and B 89 within 00..99).
inline constexpr std::size_t kDemoImageSize = 30000;
inline constexpr std::uint16_t kDemoProductId = 0x0005;
inline constexpr std::uint16_t kDemoBcdDevice = 0x0110;
inline constexpr std::string_view kDemoProductCode = "KAVSBL0000009900990000";
ImageBuilder DemoImage();

}  // namespace kavori::firmware
