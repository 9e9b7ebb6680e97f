#pragma once
// GIF files for the tests, written byte by byte by an encoder of their own, independent
// of the library that the reader decodes with. The image data are LZW codes of 9 bits
// (minimum code size 8) in which every pixel is a literal code and a clear code comes
// often enough that the code width never grows: valid LZW that compresses nothing.

#include <cstdint>
#include <string>
#include <vector>

namespace tolvo::test {

inline constexpr int kGifClearCode = 256;
inline constexpr int kGifEndCode = 257;

inline std::string Le16(int value) { return {static_cast<char>(value & 0xFF), static_cast<char>((value >> 8) & 0xFF)}; }

// Codes of 9 bits, least significant bit first, as GIF packs them.
inline std::string PackCodes(const std::vector<int>& codes) {
  std::string bytes;
  std::uint32_t accumulator = 0;
  int bits = 0;
  for (const int code : codes) {
    accumulator |= static_cast<std::uint32_t>(code) << bits;
    bits += 9;
    while (bits >= 8) {
      bytes.push_back(static_cast<char>(accumulator & 0xFF));
      accumulator >>= 8;
      bits -= 8;
    }
  }
  if (bits > 0) bytes.push_back(static_cast<char>(accumulator & 0xFF));
  return bytes;
}

// The codes of `pixels`: a clear code, then a literal a pixel with a clear code after
// every 200 (before the table reaches 512 entries), then the end code.
inline std::vector<int> LiteralCodes(const std::vector<int>& pixels) {
  std::vector<int> codes{kGifClearCode};
  for (std::size_t i = 0; i < pixels.size(); ++i) {
    if (i > 0 && i % 200 == 0) codes.push_back(kGifClearCode);
    codes.push_back(pixels[i]);
  }
  codes.push_back(kGifEndCode);
  return codes;
}

// Data bytes cut into sub-blocks of at most 255 bytes, closed by the zero-length block.
inline std::string SubBlocks(const std::string& data) {
  std::string out;
  for (std::size_t at = 0; at < data.size(); at += 255) {
    const std::string piece = data.substr(at, 255);
    out.push_back(static_cast<char>(piece.size()));
    out += piece;
  }
  out.push_back('\0');
  return out;
}

// Signature, logical screen descriptor and a global colour table of 256 entries.
inline std::string GifHeader(int width, int height) {
  std::string out = "GIF89a" + Le16(width) + Le16(height);
  out += static_cast<char>(0xF7);  // global table of 2^(7 + 1) entries
  out += '\0';                     // background colour
  out += '\0';                     // aspect ratio
  out += std::string(3 * 256, '\x10');
  return out;
}

struct GifImage {
  int left = 0;
  int top = 0;
  int width = 0;
  int height = 0;
  std::vector<int> pixels{};  // in the order they are stored: row by row, interlace order if set
  bool interlaced = false;
  bool local_table = false;
};

// An image descriptor (with a local colour table of 4 entries when asked) and its data.
inline std::string ImageBlock(const GifImage& image, const std::vector<int>& codes) {
  std::string out(1, ',');
  out += Le16(image.left) + Le16(image.top) + Le16(image.width) + Le16(image.height);
  out += static_cast<char>((image.interlaced ? 0x40 : 0) | (image.local_table ? 0x81 : 0));
  if (image.local_table) out += std::string(3 * 4, '\x20');
  out += '\x08';  // LZW minimum code size
  out += SubBlocks(PackCodes(codes));
  return out;
}

inline std::string ImageBlock(const GifImage& image) { return ImageBlock(image, LiteralCodes(image.pixels)); }

// An extension with the label and the given data sub-blocks.
inline std::string Extension(int label, const std::vector<std::string>& blocks) {
  std::string out = "!";
  out += static_cast<char>(label);
  for (const std::string& block : blocks) {
    out += static_cast<char>(block.size());
    out += block;
  }
  out += '\0';
  return out;
}

inline std::string GraphicControl() { return Extension(0xF9, {std::string("\x04\x00\x00\x00", 4)}); }

inline const std::string kGifTrailer = ";";

}  // namespace tolvo::test
