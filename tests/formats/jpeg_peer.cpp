#include "jpeg_peer.h"

#include <csetjmp>
#include <cstdio>
#include <cstdlib>

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
  info.in_color_space = img.colorspace == csGray ? JCS_GRAYSCALE : JCS_RGB;
  jpeg_set_defaults(&info);
  jpeg_set_quality(&info, options.quality, TRUE);
  info.dct_method = options.floatDct ? JDCT_FLOAT : JDCT_ISLOW;
  info.restart_interval = static_cast<unsigned>(options.restartInterval);
  for (int c = 0; c < info.num_components && c < static_cast<int>(options.sampling.size()); ++c) {
    info.comp_info[c].h_samp_factor = options.sampling[static_cast<size_t>(c)].first;
    info.comp_info[c].v_samp_factor = options.sampling[static_cast<size_t>(c)].second;
  }
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

}  // namespace kd::formats::test
