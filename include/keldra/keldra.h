/*
 * Keldra: photo metadata, image codecs and colour palettes behind one C ABI.
 *
 * Every object that crosses this interface is an opaque handle created by the
 * library and released by its matching free function. Every byte buffer the
 * library returns through an out-parameter is released by kd_exif_buffer_free
 * or kd_image_buffer_free. Strings and pixel pointers handed out without a
 * copy are borrowed from their handle and stay valid until it is freed.
 *
 * The library starts no threads, reads no environment and keeps no
 * configuration. Different handles may be used from different threads at
 * once; one handle may be read by several threads at once.
 */
#ifndef KELDRA_KELDRA_H
#define KELDRA_KELDRA_H

#include <stddef.h>
#include <stdint.h>

#if defined(KELDRA_BUILDING)
#define KD_API __attribute__((visibility("default")))
#else
#define KD_API
#endif

/* No exported function lets an exception escape; C++ callers see that. */
#if defined(__cplusplus)
#define KD_NOEXCEPT noexcept
#else
#define KD_NOEXCEPT
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Opaque handles ---------------------------------------------------- */

typedef struct KdExifObj KdExif;         /* read-only metadata snapshot */
typedef struct KdExifEditObj KdExifEdit; /* metadata edit session */
typedef struct KdImageObj KdImage;       /* decoded image */
typedef struct KdPaletteObj KdPalette;   /* extracted palette */

/* ---- Status codes ------------------------------------------------------ */

/* Metadata family (kd_exif_*), texts from kd_exif_strerror. */
#define KD_EXIF_OK 0
#define KD_EXIF_EIO 1          /* "io error" */
#define KD_EXIF_ENOMETA 2      /* "unrecognized format / no metadata" */
#define KD_EXIF_EUNSUPPORTED 4 /* "unsupported operation" */

/* Image family (kd_image_*, kd_palette_*), texts from kd_image_strerror. */
#define KD_IMAGE_OK 0
#define KD_IMAGE_EARG 2         /* "bad argument / unrecognized / truncated" */
#define KD_IMAGE_EUNSUPPORTED 4 /* "unsupported operation" */
#define KD_IMAGE_ENOMEM 8       /* "out of memory" */

/* ---- Codes ------------------------------------------------------------- */

/* Image formats: kd_image_encode and kd_image_decode_buffer. */
#define KD_FORMAT_AUTO 0 /* decode: detect from content */
#define KD_FORMAT_PNG 1
#define KD_FORMAT_JPEG 2
#define KD_FORMAT_BMP 3
#define KD_FORMAT_QOI 4
#define KD_FORMAT_PNM 5
#define KD_FORMAT_TGA 8  /* decode: TGA decoder, never detected */
#define KD_FORMAT_WEBP 9 /* decode only */
#define KD_FORMAT_TIFF 10 /* decode only */

/* Extra formats kd_image_probe reports (decoded through KD_FORMAT_AUTO). */
#define KD_FORMAT_GIF 11
#define KD_FORMAT_PCX 12

/* Flags of KdDecodeOpts. */
#define KD_DECODE_WIDE 1u /* also decode progressive/CMYK JPEG, Adam7 PNG, BMP bit fields
                             and RLE, TIFF planes/YCbCr/fax/float/JPEG, PAM, lossy WebP */

/* Colour spaces of an image's samples. */
#define KD_CS_GRAY 0   /* 1 channel */
#define KD_CS_RGB 1    /* 3 channels R, G, B */
#define KD_CS_RGBA 2   /* 4 channels R, G, B, straight A */
#define KD_CS_CMYK 3   /* 4 channels C, M, Y, K */
#define KD_CS_OTHER3 4 /* 3 channels without a fixed meaning */
#define KD_CS_OTHER1 5 /* 1 channel without a fixed meaning */

/* Resampling filters for kd_image_resize. */
#define KD_FILTER_NEAREST 0
#define KD_FILTER_BILINEAR 1
#define KD_FILTER_BOX 2

/* Operations for kd_image_rotate. */
#define KD_ROTATE_90 0  /* quarter turn clockwise */
#define KD_ROTATE_180 1
#define KD_ROTATE_270 2 /* quarter turn counter-clockwise */
#define KD_FLIP_HORIZONTAL 3
#define KD_FLIP_VERTICAL 4

/* Colour-space tags of palette colours (KdColor.space). */
#define KD_SPACE_DEFAULT 0 /* extraction: use OKLab */
#define KD_SPACE_SRGB 1
#define KD_SPACE_OKLAB 15

/* ---- Records ----------------------------------------------------------- */

/* Options of kd_image_extract_palette: 24 bytes, native byte order. */
typedef struct KdQuantizeOpts {
  uint64_t seed;    /* offset 0 */
  int32_t max_iter; /* offset 8 */
  int32_t weighted; /* offset 12, non-zero = true */
  int32_t parallel; /* offset 16, non-zero = true */
  int32_t threads;  /* offset 20 */
} KdQuantizeOpts;

/* One palette colour in the work space of the extraction: 20 bytes. */
typedef struct KdColor {
  float c0;      /* offset 0: first component (L for OKLab) */
  float c1;      /* offset 4 */
  float c2;      /* offset 8 */
  float alpha;   /* offset 12: 0..1 */
  int32_t space; /* offset 16: space tag (15 OKLab, 1 sRGB) */
} KdColor;

/* Options of kd_image_decode_ex and kd_image_thumbnail_ex: 32 bytes. The
   caller sets `size` to sizeof(KdDecodeOpts); fields past the size a caller
   passes read as zero, so records of older callers keep working. */
typedef struct KdDecodeOpts {
  uint32_t size;        /* offset 0: sizeof(KdDecodeOpts) */
  uint32_t flags;       /* offset 4: KD_DECODE_* bits */
  uint64_t max_pixels;  /* offset 8: largest width x height accepted; 0 = the library's cap */
  char* message;        /* offset 16: NULL, or a buffer for the failure's text */
  size_t message_size;  /* offset 24: bytes at `message`, terminating NUL included */
} KdDecodeOpts;

/* Options of kd_image_encode_ex: 16 bytes. The caller sets `size` to
   sizeof(KdEncodeOpts); fields past the size a caller passes read as zero. */
typedef struct KdEncodeOpts {
  uint32_t size;      /* offset 0: sizeof(KdEncodeOpts) */
  int32_t quality;    /* offset 4: JPEG quality 1..100 (clamped); 0 = 90 */
  int32_t png_level;  /* offset 8: PNG compression level 0..9, see kd_image_encode_ex */
  uint32_t reserved;  /* offset 12: must be 0 */
} KdEncodeOpts;

/* What kd_image_probe reads from a file's header: 24 bytes. */
typedef struct KdImageInfo {
  uint32_t size;      /* offset 0: sizeof(KdImageInfo), set by the caller */
  int32_t format;     /* offset 4: KD_FORMAT_* */
  int32_t width;      /* offset 8 */
  int32_t height;     /* offset 12 */
  int32_t channels;   /* offset 16: channels a decode gives */
  int32_t colorspace; /* offset 20: KD_CS_* a decode gives */
} KdImageInfo;

#define KD_LAYOUT_CHECK(name, cond) typedef char kd_layout_check_##name[(cond) ? 1 : -1]
KD_LAYOUT_CHECK(opts_size, sizeof(KdQuantizeOpts) == 24);
KD_LAYOUT_CHECK(opts_seed, offsetof(KdQuantizeOpts, seed) == 0);
KD_LAYOUT_CHECK(opts_max_iter, offsetof(KdQuantizeOpts, max_iter) == 8);
KD_LAYOUT_CHECK(opts_weighted, offsetof(KdQuantizeOpts, weighted) == 12);
KD_LAYOUT_CHECK(opts_parallel, offsetof(KdQuantizeOpts, parallel) == 16);
KD_LAYOUT_CHECK(opts_threads, offsetof(KdQuantizeOpts, threads) == 20);
KD_LAYOUT_CHECK(color_size, sizeof(KdColor) == 20);
KD_LAYOUT_CHECK(color_c0, offsetof(KdColor, c0) == 0);
KD_LAYOUT_CHECK(color_c1, offsetof(KdColor, c1) == 4);
KD_LAYOUT_CHECK(color_c2, offsetof(KdColor, c2) == 8);
KD_LAYOUT_CHECK(color_alpha, offsetof(KdColor, alpha) == 12);
KD_LAYOUT_CHECK(color_space, offsetof(KdColor, space) == 16);
KD_LAYOUT_CHECK(decode_opts_size, sizeof(KdDecodeOpts) == 32);
KD_LAYOUT_CHECK(decode_opts_flags, offsetof(KdDecodeOpts, flags) == 4);
KD_LAYOUT_CHECK(decode_opts_max_pixels, offsetof(KdDecodeOpts, max_pixels) == 8);
KD_LAYOUT_CHECK(decode_opts_message, offsetof(KdDecodeOpts, message) == 16);
KD_LAYOUT_CHECK(decode_opts_message_size, offsetof(KdDecodeOpts, message_size) == 24);
KD_LAYOUT_CHECK(encode_opts_size, sizeof(KdEncodeOpts) == 16);
KD_LAYOUT_CHECK(encode_opts_quality, offsetof(KdEncodeOpts, quality) == 4);
KD_LAYOUT_CHECK(encode_opts_png_level, offsetof(KdEncodeOpts, png_level) == 8);
KD_LAYOUT_CHECK(encode_opts_reserved, offsetof(KdEncodeOpts, reserved) == 12);
KD_LAYOUT_CHECK(info_size, sizeof(KdImageInfo) == 24);
KD_LAYOUT_CHECK(info_colorspace, offsetof(KdImageInfo, colorspace) == 20);
#undef KD_LAYOUT_CHECK

/* ---- Identity, start-up, status texts, buffers ------------------------- */

KD_API int kd_exif_abi_version(void) KD_NOEXCEPT;  /* 1 */
KD_API int kd_image_abi_version(void) KD_NOEXCEPT; /* 1 */
KD_API const char* kd_version(void) KD_NOEXCEPT;   /* "1.0.0" */

/* Fills the library's registries; idempotent and thread-safe. Registries
 * also fill themselves on first use, so calling it is recommended, not
 * required. */
KD_API void kd_exif_init(void) KD_NOEXCEPT;
/* Same start-up, reporting failure instead of swallowing it: 0 ok, 1 error. */
KD_API int kd_library_init(void) KD_NOEXCEPT;
/* Releases every live handle and the registries; call nothing afterwards. */
KD_API void kd_library_teardown(void) KD_NOEXCEPT;

KD_API const char* kd_exif_strerror(int status) KD_NOEXCEPT;  /* never NULL */
KD_API const char* kd_image_strerror(int status) KD_NOEXCEPT; /* never NULL */

KD_API void kd_exif_buffer_free(void* buf) KD_NOEXCEPT;  /* NULL is ignored */
KD_API void kd_image_buffer_free(void* buf) KD_NOEXCEPT; /* NULL is ignored */

/* ---- Metadata reading -------------------------------------------------- */

KD_API int kd_exif_read_file(const char* path, KdExif** out) KD_NOEXCEPT;
KD_API int kd_exif_read_buffer(const uint8_t* data, size_t len, KdExif** out) KD_NOEXCEPT;
KD_API int kd_exif_is_valid(const KdExif* handle) KD_NOEXCEPT;
KD_API int64_t kd_exif_tag_count(const KdExif* handle) KD_NOEXCEPT;
KD_API int kd_exif_tag_at(const KdExif* handle, int64_t index, const char** name,
                          const char** value) KD_NOEXCEPT;
KD_API const char* kd_exif_get_tag(const KdExif* handle, const char* name) KD_NOEXCEPT;
KD_API int kd_exif_get_gps(const KdExif* handle, double* latitude, double* longitude,
                           double* altitude) KD_NOEXCEPT;
KD_API int kd_exif_get_orientation(const KdExif* handle) KD_NOEXCEPT;
KD_API const char* kd_exif_to_json(KdExif* handle) KD_NOEXCEPT;
/* The capture date (DateTimeOriginal, else a movie's creation time) as ISO
   8601 text ("2020-05-01T10:20:30", "+02:00" appended when the file gave an
   offset, "Z" for movie times) into `buf` (NUL-terminated, truncated to
   `size`). KD_EXIF_ENOMETA when the file has no capture date. */
KD_API int kd_exif_get_datetime(const KdExif* handle, char* buf, size_t size) KD_NOEXCEPT;
KD_API void kd_exif_meta_free(KdExif* handle) KD_NOEXCEPT;

/* ---- Metadata editing and stripping ------------------------------------ */

KD_API int kd_exif_strip_file(const char* input_path, const char* output_path) KD_NOEXCEPT;
KD_API int kd_exif_strip_buffer(const uint8_t* data, size_t len, uint8_t** out,
                                size_t* out_len) KD_NOEXCEPT;
KD_API int kd_exif_edit_open(const char* path, KdExifEdit** out) KD_NOEXCEPT;
KD_API int kd_exif_edit_open_buffer(const uint8_t* data, size_t len, KdExifEdit** out) KD_NOEXCEPT;
KD_API void kd_exif_set_artist(KdExifEdit* handle, const char* text) KD_NOEXCEPT;
KD_API void kd_exif_set_software(KdExifEdit* handle, const char* text) KD_NOEXCEPT;
KD_API void kd_exif_set_datetime(KdExifEdit* handle, const char* text) KD_NOEXCEPT;
KD_API void kd_exif_set_gps(KdExifEdit* handle, double latitude, double longitude,
                            double altitude) KD_NOEXCEPT;
KD_API int kd_exif_edit_set_tag(KdExifEdit* handle, const char* name,
                                const char* value) KD_NOEXCEPT;
KD_API void kd_exif_strip_all(KdExifEdit* handle) KD_NOEXCEPT;
KD_API int kd_exif_edit_write(KdExifEdit* handle, const char* output_path) KD_NOEXCEPT;
KD_API int kd_exif_edit_write_buffer(KdExifEdit* handle, uint8_t** out,
                                     size_t* out_len) KD_NOEXCEPT;
KD_API void kd_exif_edit_free(KdExifEdit* handle) KD_NOEXCEPT;

/* ---- Images ------------------------------------------------------------ */

KD_API int kd_image_from_pixels(int width, int height, int colorspace, const uint8_t* pixels,
                                size_t len, KdImage** out) KD_NOEXCEPT;
KD_API int kd_image_decode_buffer(const uint8_t* data, size_t len, int format,
                                  KdImage** out) KD_NOEXCEPT;
KD_API int kd_image_encode(KdImage* img, int format, int quality, uint8_t** out,
                           size_t* out_len) KD_NOEXCEPT;
/* kd_image_encode with options. opts NULL, or png_level 0, give exactly
   kd_image_encode's bytes (quality from opts, 90 when NULL or 0). PNG
   levels 1 (fastest) to 9 (smallest) choose a filter per row (the smallest
   sum of absolute differences) and write dynamic Huffman blocks: 1-3 match
   greedily with 2, 4 and 8 candidates per position; 4-9 match lazily with
   8, 16, 32 (6, the recommended default), 64, 256 and 1024 candidates.
   Any level is a valid PNG; a level outside 0..9, a record smaller than 12
   bytes or a non-zero `reserved` is status 2. */
KD_API int kd_image_encode_ex(KdImage* img, int format, const KdEncodeOpts* opts, uint8_t** out,
                              size_t* out_len) KD_NOEXCEPT;
KD_API int kd_image_width(KdImage* img) KD_NOEXCEPT;
KD_API int kd_image_height(KdImage* img) KD_NOEXCEPT;
KD_API int kd_image_channels(KdImage* img) KD_NOEXCEPT;
KD_API int kd_image_get_colorspace(KdImage* img) KD_NOEXCEPT;
KD_API int kd_image_pixels(KdImage* img, const uint8_t** out, size_t* out_len) KD_NOEXCEPT;
KD_API void kd_image_free(KdImage* img) KD_NOEXCEPT;

KD_API int kd_image_thumbnail(const uint8_t* data, size_t len, KdImage** out) KD_NOEXCEPT;

/* Extended decoding. opts NULL, or flags 0 and max_pixels 0, behave exactly
   like kd_image_decode_buffer / kd_image_thumbnail. KD_DECODE_WIDE decodes
   the variants the plain call refuses; max_pixels refuses larger pictures
   (status 2) before anything is allocated for them. On failure the
   decoder's message ("jpeg: arithmetic/12-bit unsupported") is copied into
   opts->message when given (NUL-terminated, truncated to message_size; "out
   of memory" when an allocation failed); on success it is set to "". A
   record whose size does not reach `flags`, or unknown flag bits, give
   status 2. A refused limit reads "png: 268435456 pixels exceed the limit
   of 67108864". */
KD_API int kd_image_decode_ex(const uint8_t* data, size_t len, int format,
                              const KdDecodeOpts* opts, KdImage** out) KD_NOEXCEPT;
KD_API int kd_image_thumbnail_ex(const uint8_t* data, size_t len, const KdDecodeOpts* opts,
                                 KdImage** out) KD_NOEXCEPT;
/* Format, size and channels from the header alone, without decoding pixels,
   detected from the content (TGA is never detected). Channels and colour
   space are those a KD_DECODE_WIDE decode gives. `info->size` must be set
   (at least up to `format`; only fields inside it are written). The
   failure's text goes to `message` when given. */
KD_API int kd_image_probe(const uint8_t* data, size_t len, KdImageInfo* info, char* message,
                          size_t message_size) KD_NOEXCEPT;

KD_API int kd_image_resize(KdImage* img, int width, int height, int filter,
                           KdImage** out) KD_NOEXCEPT;
KD_API int kd_image_crop(KdImage* img, int x, int y, int width, int height,
                         KdImage** out) KD_NOEXCEPT;
KD_API int kd_image_rotate(KdImage* img, int op, KdImage** out) KD_NOEXCEPT;
KD_API int kd_image_apply_orientation(KdImage* img, int orientation, KdImage** out) KD_NOEXCEPT;

/* ---- Palettes ---------------------------------------------------------- */

/* algorithm NULL means "wu"; space 0 means OKLab; opts NULL means defaults. */
KD_API int kd_image_extract_palette(KdImage* img, int32_t n, const char* algorithm,
                                    int32_t space, const KdQuantizeOpts* opts,
                                    KdPalette** out) KD_NOEXCEPT;
KD_API int64_t kd_palette_len(const KdPalette* palette) KD_NOEXCEPT;
KD_API int kd_palette_color_at(const KdPalette* palette, int64_t index, KdColor* out) KD_NOEXCEPT;
KD_API int kd_palette_tag(const KdPalette* palette) KD_NOEXCEPT;
KD_API int kd_palette_intent(const KdPalette* palette) KD_NOEXCEPT;
KD_API uint64_t kd_palette_seed(const KdPalette* palette) KD_NOEXCEPT;
KD_API void kd_palette_free(KdPalette* palette) KD_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif /* KELDRA_KELDRA_H */
