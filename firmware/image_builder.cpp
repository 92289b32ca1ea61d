#include "firmware/image_builder.hpp"

#include <algorithm>
#include <fstream>
#include <stdexcept>

namespace kavori::firmware {
namespace {

// Each descriptor byte sits in the low byte of a little-endian word whose high byte is 0.
std::vector<std::uint8_t> Widen(const std::vector<std::uint8_t>& descriptor) {
  std::vector<std::uint8_t> words;
  words.reserve(descriptor.size() * 2);
  for (const std::uint8_t byte : descriptor) {
    words.push_back(byte);
    words.push_back(0x00);
  }
  return words;
}

std::uint8_t Low(std::uint16_t value) { return static_cast<std::uint8_t>(value & 0xFF); }
std::uint8_t High(std::uint16_t value) { return static_cast<std::uint8_t>(value >> 8); }

// Filler bytes lie in 0x40..0xFF: never 0x08 (magic), 0x12 (bLength of a device descriptor) or
// 0x00 (first byte of a string header), so no pattern starts inside filler. A fixed xorshift
// keeps images identical from build to build.
void Fill(std::vector<std::uint8_t>& image) {
  std::uint32_t state = 0x4B41564FU;
  for (auto& byte : image) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    byte = static_cast<std::uint8_t>(0x40 + (state >> 8) % 0xC0);
  }
}

}  // namespace

ImageBuilder& ImageBuilder::Magic() { return BytesAt(0, {0x08, 0xAA}); }

ImageBuilder& ImageBuilder::DeviceDescriptorAt(std::size_t offset, std::uint16_t productId,
                                               std::uint16_t bcdDevice) {
  const std::vector<std::uint8_t> descriptor = {
      0x12,                  // bLength
      0x01,                  // bDescriptorType: device
      0x00,           0x02,  // bcdUSB 2.00
      0x00,           0x00,
      0x00,                  // class, subclass, protocol
      0x40,                  // bMaxPacketSize0
      0xEF,           0x0B,  // idVendor
      Low(productId), High(productId),
      Low(bcdDevice), High(bcdDevice),
      0x01,           0x02,
      0x03,  // iManufacturer, iProduct, iSerialNumber
      0x01,  // bNumConfigurations
  };
  return BytesAt(offset, Widen(descriptor));
}

ImageBuilder& ImageBuilder::StringDescriptorAt(std::size_t offset, std::string_view code) {
  if (code.size() != 22) throw std::invalid_argument("product code must have 22 characters");
  std::vector<std::uint8_t> descriptor = {46, 0x03};  // bLength, bDescriptorType: string
  for (const char c : code) {
    descriptor.push_back(static_cast<std::uint8_t>(c));  // UTF-16 code unit, low byte
    descriptor.push_back(0x00);                          // and high byte
  }
  std::vector<std::uint8_t> bytes = {0x00};  // high byte of the word before the descriptor
  const std::vector<std::uint8_t> words = Widen(descriptor);
  bytes.insert(bytes.end(), words.begin(), words.end());
  return BytesAt(offset, std::move(bytes));
}

ImageBuilder& ImageBuilder::BytesAt(std::size_t offset, std::vector<std::uint8_t> bytes) {
  placements_.push_back({offset, std::move(bytes)});
  return *this;
}

ImageBuilder& ImageBuilder::Size(std::size_t size) {
  size_ = size;
  sizeSet_ = true;
  return *this;
}

std::vector<std::uint8_t> ImageBuilder::Build() const {
  std::size_t size = size_;
  if (!sizeSet_) {
    size = 0;
    for (const auto& placement : placements_) {
      size = std::max(size, placement.offset + placement.bytes.size());
    }
  }
  std::vector<std::uint8_t> image(size);
  Fill(image);
  for (const auto& placement : placements_) {
    if (placement.offset >= size) continue;
    const std::size_t count = std::min(placement.bytes.size(), size - placement.offset);
    std::copy_n(placement.bytes.begin(), count, image.data() + placement.offset);
  }
  return image;
}

bool ImageBuilder::WriteTo(const std::string& path) const {
  const std::vector<std::uint8_t> image = Build();
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(image.data()),
            static_cast<std::streamsize>(image.size()));
  out.close();
  return static_cast<bool>(out);
}

ImageBuilder DemoImage() {
  ImageBuilder builder;
  builder.Magic()
      .DeviceDescriptorAt(0x0400, kDemoProductId, kDemoBcdDevice)
      .StringDescriptorAt(0x0800, kDemoProductCode)
      .Size(kDemoImageSize);
  return builder;
}

}  // namespace kavori::firmware
