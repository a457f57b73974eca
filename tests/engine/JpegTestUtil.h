// Makes JPEG files of every kind with libjpeg itself, for the decoder, picture job and CLI tests.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <vector>

#include <jpeglib.h>

namespace jpegtest {

enum class Kind { Baseline, Progressive, Arithmetic, Gray, Cmyk, Ycck, CmykNoAdobe, Rgb };

// Samples for pixel (x, y): Bgr fills up to four bytes in the input colour space of the kind:
// blue, green, red for colour kinds; one gray byte; C, M, Y, K for the CMYK kinds.
using PixelFn = std::function<void(int x, int y, std::uint8_t *Out)>;

inline std::vector<std::uint8_t> Make(int W, int H, Kind K, const PixelFn &Pixel,
                                      int Quality = 95) {
  jpeg_compress_struct info{};
  jpeg_error_mgr err{};
  info.err = jpeg_std_error(&err);
  jpeg_create_compress(&info);
  unsigned char *out = nullptr;
  unsigned long outSize = 0;
  jpeg_mem_dest(&info, &out, &outSize);
  info.image_width = static_cast<JDIMENSION>(W);
  info.image_height = static_cast<JDIMENSION>(H);
  int comps = 3;
  switch (K) {
  case Kind::Gray: comps = 1; info.in_color_space = JCS_GRAYSCALE; break;
  case Kind::Cmyk: case Kind::Ycck: case Kind::CmykNoAdobe:
    comps = 4; info.in_color_space = JCS_CMYK; break;
  default: info.in_color_space = JCS_EXT_BGR; break;
  }
  info.input_components = comps;
  jpeg_set_defaults(&info);
  jpeg_set_quality(&info, Quality, TRUE);
  if (K == Kind::Progressive) jpeg_simple_progression(&info);
  if (K == Kind::Arithmetic) info.arith_code = TRUE;
  if (K == Kind::Ycck) jpeg_set_colorspace(&info, JCS_YCCK);
  if (K == Kind::Rgb) jpeg_set_colorspace(&info, JCS_RGB);
  if (K == Kind::CmykNoAdobe) info.write_Adobe_marker = FALSE;
  jpeg_start_compress(&info, TRUE);
  std::vector<std::uint8_t> row(static_cast<std::size_t>(W) * comps);
  for (int y = 0; y < H; ++y) {
    for (int x = 0; x < W; ++x) Pixel(x, y, &row[static_cast<std::size_t>(x) * comps]);
    JSAMPROW r = row.data();
    jpeg_write_scanlines(&info, &r, 1);
  }
  jpeg_finish_compress(&info);
  std::vector<std::uint8_t> result(out, out + outSize);
  jpeg_destroy_compress(&info);
  std::free(out);
  return result;
}

// A smooth colour picture with some texture: hard enough to catch a wrong DCT or upsampling.
inline void Texture(int x, int y, std::uint8_t *Bgr) {
  Bgr[0] = static_cast<std::uint8_t>((x * 7 + y * 3) & 0xFF);
  Bgr[1] = static_cast<std::uint8_t>((x * x + y * 5) & 0xFF);
  Bgr[2] = static_cast<std::uint8_t>(((x ^ y) * 11) & 0xFF);
}

// Decodes with plain libjpeg (all defaults, RGB out): the reference for the adapter's output.
// Returns rows of blue, green, red.
inline std::vector<std::uint8_t> ReferenceDecode(const std::vector<std::uint8_t> &Jpeg, int &W,
                                                 int &H) {
  jpeg_decompress_struct info{};
  jpeg_error_mgr err{};
  info.err = jpeg_std_error(&err);
  jpeg_create_decompress(&info);
  jpeg_mem_src(&info, Jpeg.data(), Jpeg.size());
  jpeg_read_header(&info, TRUE);
  info.out_color_space = JCS_RGB;
  jpeg_start_decompress(&info);
  W = static_cast<int>(info.output_width);
  H = static_cast<int>(info.output_height);
  std::vector<std::uint8_t> rgb(static_cast<std::size_t>(W) * H * 3);
  while (info.output_scanline < info.output_height) {
    JSAMPROW r = &rgb[static_cast<std::size_t>(info.output_scanline) * W * 3];
    jpeg_read_scanlines(&info, &r, 1);
  }
  jpeg_finish_decompress(&info);
  jpeg_destroy_decompress(&info);
  for (std::size_t i = 0; i < rgb.size(); i += 3) std::swap(rgb[i], rgb[i + 2]);
  return rgb;
}

// Finds the SOF marker's size fields (height at offset +5, width at +7 from the marker byte FF).
inline std::size_t FindSof(const std::vector<std::uint8_t> &Jpeg) {
  for (std::size_t i = 2; i + 9 < Jpeg.size(); ++i)
    if (Jpeg[i] == 0xFF && (Jpeg[i + 1] == 0xC0 || Jpeg[i + 1] == 0xC2 || Jpeg[i + 1] == 0xC9 ||
                            Jpeg[i + 1] == 0xC1))
      return i;
  return 0;
}

inline void SetSofSize(std::vector<std::uint8_t> &Jpeg, int W, int H) {
  const std::size_t sof = FindSof(Jpeg);
  Jpeg[sof + 5] = static_cast<std::uint8_t>(H >> 8);
  Jpeg[sof + 6] = static_cast<std::uint8_t>(H & 0xFF);
  Jpeg[sof + 7] = static_cast<std::uint8_t>(W >> 8);
  Jpeg[sof + 8] = static_cast<std::uint8_t>(W & 0xFF);
}

} // namespace jpegtest
