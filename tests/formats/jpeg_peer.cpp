#include "jpeg_peer.h"

#include "support/testdata.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include <jpeglib.h>

namespace kd::formats::test {
namespace {

struct ErrorTrap {
  jpeg_error_mgr mgr;
  jmp_buf jump;
  int warnings = 0;
  char message[JMSG_LENGTH_MAX];
};

void onError(j_common_ptr info) {
  auto* trap = reinterpret_cast<ErrorTrap*>(info->err);
  (*info->err->format_message)(info, trap->message);
  std::longjmp(trap->jump, 1);
}

void onMessage(j_common_ptr info, int level) {
  if (level < 0) reinterpret_cast<ErrorTrap*>(info->err)->warnings++;
}

}  // namespace

PeerDecode peerDecodeJpeg(ByteView data) {
  PeerDecode result;
  jpeg_decompress_struct info;
  ErrorTrap trap;
  info.err = jpeg_std_error(&trap.mgr);
  trap.mgr.error_exit = onError;
  trap.mgr.emit_message = onMessage;
  // Everything the longjmp can skip lives in `result` or `info`.
  if (setjmp(trap.jump)) {
    result.ok = false;
    result.error = trap.message;
    jpeg_destroy_decompress(&info);
    return result;
  }
  jpeg_create_decompress(&info);
  jpeg_mem_src(&info, data.data(), static_cast<unsigned long>(data.size()));
  jpeg_read_header(&info, TRUE);
  info.dct_method = JDCT_FLOAT;
  info.do_fancy_upsampling = FALSE;
  if (info.num_components == 3) {
    info.jpeg_color_space = JCS_YCbCr;
    info.out_color_space = JCS_RGB;
  }
  jpeg_start_decompress(&info);
  const ColorSpace cs = info.output_components == 1   ? csGray
                       : info.output_components == 3 ? csRgb
                                                     : csCmyk;
  if (info.output_components > 4) {
    jpeg_destroy_decompress(&info);
    result.error = "more than four components";
    return result;
  }
  result.image = newImage(info.output_width, info.output_height, cs);
  const size_t rowBytes = static_cast<size_t>(info.output_width) * info.output_components;
  while (info.output_scanline < info.output_height) {
    JSAMPROW row = result.image.pixels.data() + info.output_scanline * rowBytes;
    jpeg_read_scanlines(&info, &row, 1);
  }
  jpeg_finish_decompress(&info);
  jpeg_destroy_decompress(&info);
  result.ok = true;
  result.warned = trap.warnings > 0;
  return result;
}

Bytes peerEncodeJpeg(const Image& img, const PeerEncodeOptions& options) {
  jpeg_compress_struct info;
  ErrorTrap trap;
  info.err = jpeg_std_error(&trap.mgr);
  trap.mgr.error_exit = onError;
  trap.mgr.emit_message = onMessage;
  unsigned char* buffer = nullptr;
  unsigned long size = 0;
  if (setjmp(trap.jump)) {
    jpeg_destroy_compress(&info);
    std::free(buffer);
    return {};
  }
  jpeg_create_compress(&info);
  jpeg_mem_dest(&info, &buffer, &size);
  info.image_width = static_cast<JDIMENSION>(img.width);
  info.image_height = static_cast<JDIMENSION>(img.height);
  info.input_components = static_cast<int>(img.channels);
  info.in_color_space = img.colorspace == csGray  ? JCS_GRAYSCALE
                        : img.colorspace == csCmyk ? JCS_CMYK
                                                   : JCS_RGB;
  jpeg_set_defaults(&info);
  if (img.colorspace == csCmyk && options.ycck) jpeg_set_colorspace(&info, JCS_YCCK);
  jpeg_set_quality(&info, options.quality, options.baseline ? TRUE : FALSE);
  info.dct_method = options.floatDct ? JDCT_FLOAT : JDCT_ISLOW;
  info.restart_interval = static_cast<unsigned>(options.restartInterval);
  for (int c = 0; c < info.num_components && c < static_cast<int>(options.sampling.size()); ++c) {
    info.comp_info[c].h_samp_factor = options.sampling[static_cast<size_t>(c)].first;
    info.comp_info[c].v_samp_factor = options.sampling[static_cast<size_t>(c)].second;
  }
  if (options.progressive) jpeg_simple_progression(&info);
  jpeg_start_compress(&info, TRUE);
  const size_t rowBytes = static_cast<size_t>(img.width * img.channels);
  while (info.next_scanline < info.image_height) {
    JSAMPROW row = const_cast<uint8_t*>(img.pixels.data()) + info.next_scanline * rowBytes;
    jpeg_write_scanlines(&info, &row, 1);
  }
  jpeg_finish_compress(&info);
  jpeg_destroy_compress(&info);
  Bytes out(buffer, buffer + size);
  std::free(buffer);
  return out;
}

Image rgbOfAdobeCmyk(const Image& cmyk) {
  Image rgb = newImage(cmyk.width, cmyk.height, csRgb);
  for (size_t i = 0, o = 0; i < cmyk.pixels.size(); i += 4, o += 3) {
    const unsigned k = cmyk.pixels[i + 3];
    for (size_t c = 0; c < 3; ++c) {
      rgb.pixels[o + c] = static_cast<uint8_t>(std::lround(cmyk.pixels[i + c] * k / 255.0));
    }
  }
  return rgb;
}

// Smooth gradients with some texture: realistic for a DCT codec, and with
// saturated corners that exercise the clamping.
Image photoLike(int64_t width, int64_t height, ColorSpace cs) {
  Image img = newImage(width, height, cs);
  for (int64_t y = 0; y < height; ++y) {
    for (int64_t x = 0; x < width; ++x) {
      for (int64_t c = 0; c < img.channels; ++c) {
        double v = 128 + 120 * std::sin(0.09 * x + 0.7 * c) * std::cos(0.05 * y - 0.3 * c) +
                   15 * std::sin(0.9 * x * y / (width + 1.0));
        img.pixels[static_cast<size_t>((y * width + x) * img.channels + c)] =
            static_cast<uint8_t>(std::clamp(v, 0.0, 255.0));
      }
    }
  }
  return img;
}

// Tolerance against libjpeg-turbo's float IDCT: its IDCT rounds and clamps
// each plane sample to 0..255 before colour conversion and converts colour
// in fixed point, where this decoder keeps floats to the end. Samples agree
// to within 2 nearly everywhere; the clamping makes saturated edges differ
// more (up to 2.5% of the samples of a cartoon with saturated colours).
void expectCloseToPeer(const Image& ours, const Image& peer, const std::string& what) {
  ASSERT_EQ(ours.width, peer.width) << what;
  ASSERT_EQ(ours.height, peer.height) << what;
  ASSERT_EQ(ours.colorspace, peer.colorspace) << what;
  size_t far = 0;
  double total = 0;
  for (size_t i = 0; i < ours.pixels.size(); ++i) {
    const int d = std::abs(ours.pixels[i] - peer.pixels[i]);
    total += d;
    if (d > 2) ++far;
  }
  const double n = static_cast<double>(ours.pixels.size());
  EXPECT_LE(total / n, 0.6) << what << ": mean absolute difference";
  EXPECT_LE(static_cast<double>(far) / n, 0.025) << what << ": share of samples off by more than 2";
}

// Every JPEG of the bundled test files and of the corpus, as relative names.
std::vector<std::string> sharedJpegFiles() {
  std::vector<std::string> files;
  std::vector<std::filesystem::path> roots = {std::filesystem::path(KELDRA_SOURCE_DIR) / "tests" / "data"};
  if (const auto corpus = kd::test::corpusDir()) roots.emplace_back(*corpus);
  for (const std::filesystem::path& root : roots) {
    std::error_code ec;
    for (auto it = std::filesystem::recursive_directory_iterator(root, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
      const std::string ext = it->path().extension().string();
      if (it->is_regular_file() && (ext == ".jpg" || ext == ".jpeg" || ext == ".JPG")) {
        files.push_back(std::filesystem::relative(it->path(), root).string());
      }
    }
  }
  std::sort(files.begin(), files.end());
  files.erase(std::unique(files.begin(), files.end()), files.end());
  return files;
}

// The first frame marker of a file (0 when none is found).
int firstFrameMarker(const Bytes& f) {
  size_t p = 2;
  while (p + 4 <= f.size() && f[p] == 0xFF) {
    const uint8_t m = f[p + 1];
    if (m >= 0xC0 && m <= 0xCF && m != 0xC4 && m != 0xC8 && m != 0xCC) return m;
    if (m == 0xDA) return 0;
    if (m == 0x01 || (m >= 0xD0 && m <= 0xD7)) {
      p += 2;
      continue;
    }
    p += 2 + static_cast<size_t>(f[p + 2] << 8 | f[p + 3]);
  }
  return 0;
}

}  // namespace kd::formats::test
