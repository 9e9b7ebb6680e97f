#include "framework/gif_grid.h"

#include <gif_lib.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "framework/file_handle.h"

namespace tolvo {
namespace {

// --- the byte source of the decoder ---------------------------------------------------

// Follows the LZW codes of one image's data as the decoder reads them and marks the first
// code that names no entry of the code table. The decoder takes such a code as a guess and
// would go on with wrong pixels; here it ends the decoding. Only the table's size and the
// code width are followed (as the decoder counts them), not the strings of the table.
class LzwCodeCheck {
 public:
  explicit LzwCodeCheck(int min_code_size)
      : clear_(1 << min_code_size), end_(clear_ + 1), initial_bits_(min_code_size + 1) {
    Restart();
  }

  // Takes the next byte of the image's data sub-blocks, size bytes included.
  void Take(int byte) {
    if (done_) return;
    if (block_left_ == 0) {
      block_left_ = byte;
      if (byte == 0) done_ = true;
      return;
    }
    --block_left_;
    bits_ |= static_cast<std::uint32_t>(byte) << n_bits_;
    n_bits_ += 8;
    while (!done_ && n_bits_ >= code_bits_) {
      const int code = static_cast<int>(bits_ & ((1u << code_bits_) - 1));
      bits_ >>= code_bits_;
      n_bits_ -= code_bits_;
      Code(code);
    }
  }

  // The first code that named no entry, or -1.
  int bad_code() const { return bad_code_; }

 private:
  static constexpr int kMaxCode = 4095;
  static constexpr int kMaxBits = 12;

  void Restart() {
    running_ = end_ + 1;
    code_bits_ = initial_bits_;
    max_code_ = 1 << code_bits_;
    first_ = true;
  }

  void Code(int code) {
    if (running_ < kMaxCode + 2 && ++running_ > max_code_ && code_bits_ < kMaxBits) {
      max_code_ <<= 1;
      ++code_bits_;
    }
    if (code == clear_) {
      Restart();
      return;
    }
    if (code == end_) {
      done_ = true;
      return;
    }
    // Defined are the root codes and the entries up to the one that this code completes
    // (the entry running - 2, which a code may name before it is complete), except right
    // after a clear code, when only a root code can stand.
    const bool defined = code < clear_ || (!first_ && code <= running_ - 2);
    first_ = false;
    if (!defined) {
      bad_code_ = code;
      done_ = true;
    }
  }

  int clear_;
  int end_;
  int initial_bits_;
  int running_ = 0;
  int code_bits_ = 0;
  int max_code_ = 0;
  bool first_ = true;
  int block_left_ = 0;
  std::uint32_t bits_ = 0;
  int n_bits_ = 0;
  bool done_ = false;
  int bad_code_ = -1;
};

// Hands giflib the bytes of the file and remembers the last one and how many there were,
// so that a refused block can be named and an early end told apart from bad data; while an
// image's data are read, they pass the code check too.
struct ByteSource {
  std::FILE* file = nullptr;
  long long bytes_read = 0;
  int last_byte = -1;
  bool ended = false;
  std::optional<LzwCodeCheck> codes = std::nullopt;
};

int ReadBytes(GifFileType* gif, GifByteType* buffer, int count) {
  auto* source = static_cast<ByteSource*>(gif->UserData);
  const std::size_t wanted = static_cast<std::size_t>(std::max(count, 0));
  const std::size_t got = std::fread(buffer, 1, wanted, source->file);
  if (got > 0) source->last_byte = buffer[got - 1];
  source->bytes_read += static_cast<long long>(got);
  if (got < wanted) source->ended = true;
  if (source->codes) {
    for (std::size_t i = 0; i < got; ++i) source->codes->Take(buffer[i]);
  }
  return static_cast<int>(got);
}

struct GifCloser {
  void operator()(GifFileType* gif) const {
    int error = 0;
    DGifCloseFile(gif, &error);
  }
};
using GifHandle = std::unique_ptr<GifFileType, GifCloser>;

[[noreturn]] void Fail(std::string text) { throw GifDecodeError{std::move(text)}; }

std::string Hex(int byte) {
  char text[16];
  std::snprintf(text, sizeof text, "%X", static_cast<unsigned>(byte));
  return text;
}

[[noreturn]] void InvalidBlock(int byte) { Fail("invalid extension type ID \"0x" + Hex(byte) + "\" found"); }

[[noreturn]] void BadCode(const ByteSource& source, int image) {
  Fail("invalid LZW code " + std::to_string(source.codes->bad_code()) + " in the data of image " +
       std::to_string(image) + " after " + std::to_string(source.bytes_read) + " bytes");
}

// Why giflib stopped, in the terms of the file.
[[noreturn]] void GiflibFailure(const GifFileType* gif, const ByteSource& source, int image) {
  const std::string where = " after " + std::to_string(source.bytes_read) + " bytes";
  if (source.codes && source.codes->bad_code() >= 0) BadCode(source, image);
  if (source.ended) {
    Fail(std::ferror(source.file) ? "read error" + where : "the file ends" + where + ", before its trailer \";\"");
  }
  const std::string of_image = " of image " + std::to_string(image);
  switch (gif->Error) {
    case D_GIF_ERR_IMAGE_DEFECT: Fail("invalid LZW code in the data" + of_image + where);
    case D_GIF_ERR_EOF_TOO_SOON: Fail("the LZW data" + of_image + " end before its last pixel" + where);
    case D_GIF_ERR_NOT_GIF_FILE: Fail("no GIF signature");
    default: {
      const char* reason = GifErrorString(gif->Error);
      Fail(std::string("undecodable data") + of_image + where + " (" + (reason ? reason : "unknown error") + ")");
    }
  }
}

// Skips the remaining sub-blocks of an extension up to its zero-length block.
void SkipSubBlocks(GifFileType* gif, const ByteSource& source, GifByteType* block, int image) {
  while (block != nullptr) {
    if (DGifGetExtensionNext(gif, &block) == GIF_ERROR) GiflibFailure(gif, source, image);
  }
}

void ReadExtension(GifFileType* gif, const ByteSource& source, int image) {
  int label = -1;
  GifByteType* block = nullptr;
  const int result = DGifGetExtension(gif, &label, &block);
  if (label < 0) GiflibFailure(gif, source, image);
  switch (label) {
    case PLAINTEXT_EXT_FUNC_CODE:
    case COMMENT_EXT_FUNC_CODE:
    case APPLICATION_EXT_FUNC_CODE:
      if (result == GIF_ERROR) GiflibFailure(gif, source, image);
      SkipSubBlocks(gif, source, block, image);
      return;
    case GRAPHICS_EXT_FUNC_CODE: {
      if (result == GIF_ERROR) GiflibFailure(gif, source, image);
      if (block == nullptr) return;  // no data block: the terminator came first
      const int size = block[0];
      if (DGifGetExtensionNext(gif, &block) == GIF_ERROR) GiflibFailure(gif, source, image);
      if (block != nullptr) {
        Fail("Graphics COntrol extension found, but block end not found as 0x00 after " + std::to_string(size) +
             " bytes\n");
      }
      return;
    }
    default: InvalidBlock(label);
  }
}

// The true row (0-based) of the k-th row of an image stored in interlace order: rows
// 0, 8, 16, ... first, then 4, 12, ..., then 2, 6, ..., then 1, 3, ....
int InterlacedRow(int k, int height) {
  constexpr std::array<int, 4> kStart{0, 4, 2, 1};
  constexpr std::array<int, 4> kStep{8, 8, 4, 2};
  for (std::size_t pass = 0; pass < kStart.size(); ++pass) {
    const int rows_in_pass = kStart[pass] < height ? (height - kStart[pass] + kStep[pass] - 1) / kStep[pass] : 0;
    if (k < rows_in_pass) return kStart[pass] + k * kStep[pass];
    k -= rows_in_pass;
  }
  return height;  // not reached for k < height
}

void ReadImage(GifFileType* gif, ByteSource& source, int image, GridView target) {
  if (DGifGetImageDesc(gif) == GIF_ERROR) GiflibFailure(gif, source, image);
  // The descriptor was followed by the LZW minimum code size, which the decoder accepts
  // up to 8 bits; the data sub-blocks come next.
  source.codes.emplace(std::clamp(source.last_byte, 0, 8));
  const GifImageDesc& desc = gif->Image;
  if (desc.Width <= 0 || desc.Height <= 0) {
    // An image without pixels: its data hold no more than the end code.
    int code_size = 0;
    GifByteType* block = nullptr;
    if (DGifGetCode(gif, &code_size, &block) == GIF_ERROR) GiflibFailure(gif, source, image);
    while (block != nullptr) {
      if (DGifGetCodeNext(gif, &block) == GIF_ERROR) GiflibFailure(gif, source, image);
    }
    source.codes.reset();
    return;
  }
  const int screen_rows = target.rows().last;
  const int screen_cols = target.ncols();
  std::vector<GifPixelType> line(static_cast<std::size_t>(desc.Width));
  for (int k = 0; k < desc.Height; ++k) {
    if (DGifGetLine(gif, line.data(), desc.Width) == GIF_ERROR) GiflibFailure(gif, source, image);
    if (source.codes->bad_code() >= 0) BadCode(source, image);
    const int y = desc.Interlace ? InterlacedRow(k, desc.Height) : k;
    const int r = desc.Top + y + 1;
    if (r < 1 || r > screen_rows) continue;
    const std::span<double> row = target.row(r);
    for (int x = 0; x < desc.Width; ++x) {
      const int c = desc.Left + x + 1;
      if (c < 1 || c > screen_cols) continue;
      const int index = line[static_cast<std::size_t>(x)];
      row[static_cast<std::size_t>(c)] = index == kGifNodataIndex ? kNodata : index;
    }
  }
}

FilePtr OpenFile(const std::string& path) {
  FilePtr file{std::fopen(path.c_str(), "rb")};
  if (!file) Fail("the file cannot be opened for decoding");
  return file;
}

// A source index for a coordinate offset measured in cells, clamped to first..last.
// Computed in doubles, so that no distance, however large, overflows an int.
int ClampedIndex(double index, int first, int last) {
  if (!(index >= first)) return first;
  if (index > last) return last;
  return static_cast<int>(index);
}

}  // namespace

GifScreenSize GifGridReader::ReadScreenSize() const {
  FilePtr file = OpenFile(path_);
  std::array<unsigned char, 13> head{};
  if (std::fread(head.data(), 1, head.size(), file.get()) != head.size()) {
    Fail("the file ends before its logical screen descriptor");
  }
  const GifScreenSize size{head[6] | head[7] << 8, head[8] | head[9] << 8};
  if (size.width == 0 || size.height == 0) {
    Fail("the logical screen of " + std::to_string(size.width) + " x " + std::to_string(size.height) +
         " pixels holds no cell");
  }
  return size;
}

void GifGridReader::Decode(GridView target) const {
  FilePtr file = OpenFile(path_);
  ByteSource source{.file = file.get()};
  int error = 0;
  GifHandle gif{DGifOpen(&source, ReadBytes, &error)};
  if (!gif) {
    if (source.ended) Fail("the file ends after " + std::to_string(source.bytes_read) + " bytes, in its header");
    if (error == D_GIF_ERR_NOT_GIF_FILE) Fail("no GIF signature");
    const char* reason = GifErrorString(error);
    Fail(std::string("the header cannot be read (") + (reason ? reason : "unknown error") + ")");
  }
  int images = 0;
  for (;;) {
    GifRecordType type = UNDEFINED_RECORD_TYPE;
    if (DGifGetRecordType(gif.get(), &type) == GIF_ERROR) {
      if (gif->Error == D_GIF_ERR_WRONG_RECORD && !source.ended) InvalidBlock(source.last_byte);
      GiflibFailure(gif.get(), source, images);
    }
    switch (type) {
      case EXTENSION_RECORD_TYPE: ReadExtension(gif.get(), source, images); break;
      case IMAGE_DESC_RECORD_TYPE: ReadImage(gif.get(), source, ++images, target); break;
      case TERMINATE_RECORD_TYPE: return;
      case UNDEFINED_RECORD_TYPE:
      case SCREEN_DESC_RECORD_TYPE: InvalidBlock(source.last_byte);
    }
  }
}

void GifGridReader::Resample(ConstGridView source, const GifGeoreference& origin, const GridGeometry& geometry,
                             GridView target) {
  const int r1 = source.rows().first;
  const int r2 = source.rows().last;
  const int c1 = 1;
  const int c2 = source.ncols();
  const double x0 = origin.x_origin;
  const double y0 = origin.y_origin;
  const double s = origin.cell_size;
  const ConstGridView mask = origin.mask;
  for (int i = geometry.nrows; i >= 1; --i) {
    const std::span<double> out = target.row(i);
    const bool masked_row = !mask.empty() && mask.rows().contains(i);
    for (int j = 1; j <= geometry.ncols; ++j) {
      double& cell = out[static_cast<std::size_t>(j)];
      if (masked_row && j <= mask.ncols() && mask(i, j) <= kNodata) {
        cell = mask(i, j);
        continue;
      }
      // The lower-left corner of the model cell.
      const double x = geometry.xllcorner + (j - 1) * geometry.cellsize;
      const double y = geometry.yllcorner + (geometry.nrows - i) * geometry.cellsize;
      const double left = c1 + std::floor((x - x0 - s / 2) / s);
      const double lower = r2 - std::floor((y - y0 - s / 2) / s);
      const int a = ClampedIndex(left, c1, c2);
      const int b = ClampedIndex(left + 1, c1, c2);
      const int p = ClampedIndex(lower, r1, r2);
      const int q = ClampedIndex(lower - 1, r1, r2);
      const double lower_left = source(p, a);
      const double lower_right = source(p, b);
      const double upper_left = source(q, a);
      const double upper_right = source(q, b);
      if (lower_left <= kNodata || lower_right <= kNodata || upper_left <= kNodata || upper_right <= kNodata) {
        cell = kNodata;
        continue;
      }
      // Where the clamped neighbours coincide (beyond an edge) the weight along that axis
      // is moot; it is set to 0 so that the edge value is held exactly.
      const double fx = a == b ? 0.0 : (x - (x0 + (a - c1 + 0.5) * s)) / s;
      const double fy = p == q ? 0.0 : (y - (y0 + (r2 - p + 0.5) * s)) / s;
      cell = upper_right * fy * fx + upper_left * fy * (1 - fx) + lower_left * (1 - fy) * (1 - fx) +
             lower_right * (1 - fy) * fx;
    }
  }
}

void GifGridReader::MapPixelClasses(GridView target, const GifMappingParameters& mapping) {
  const RowRange rows = target.rows();
  for (int r = rows.first; r <= rows.last; ++r) {
    const std::span<double> row = target.row(r);
    for (int c = 1; c <= target.ncols(); ++c) {
      double& v = row[static_cast<std::size_t>(c)];
      if (v <= kNodata) continue;
      if (v == 0) {
        v = 0;
      } else if (v <= mapping.threshold) {
        v = mapping.f1 * std::exp(mapping.x1 * v);
      } else if (v <= kHighestMappedClass) {
        v = mapping.f2 * std::exp(mapping.x2 * v);
      } else {
        v = kNodata;
      }
    }
  }
}

std::string GeoreferenceFault(const GifGeoreference& georeference) {
  const bool usable = std::isfinite(georeference.x_origin) && std::isfinite(georeference.y_origin) &&
                      std::isfinite(georeference.cell_size) && georeference.cell_size > 0;
  if (usable) return {};
  char text[200];
  std::snprintf(text, sizeof text,
                "georeference x origin %g, y origin %g, cell size %g cannot place the raster: expected finite "
                "coordinates and a positive cell size",
                georeference.x_origin, georeference.y_origin, georeference.cell_size);
  return text;
}

}  // namespace tolvo
