// Several threads creating, reading and freeing handles at once. Run under
// AddressSanitizer this catches use-after-free and reference-count races;
// CI also runs these tests under ThreadSanitizer.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "keldra/keldra.h"
#include "support/tiff_builder.h"

namespace {

TEST(HandleThreads, SharedReadsPrivateHandlesAndFreeDuringRead) {
  kd_exif_init();
  std::vector<uint8_t> px(64 * 64 * 3, 5);
  KdImage* shared = nullptr;
  ASSERT_EQ(kd_image_from_pixels(64, 64, KD_CS_RGB, px.data(), px.size(), &shared), 0);

  std::atomic<int> failures{0};
  std::atomic<bool> freed{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < 6; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 400; ++i) {
        // Private handle: create, read, free.
        KdImage* own = nullptr;
        if (kd_image_from_pixels(8 + t, 3, KD_CS_RGB, px.data(),
                                 static_cast<size_t>((8 + t) * 3 * 3), &own) != 0 ||
            kd_image_width(own) != 8 + t) {
          ++failures;
        }
        kd_image_free(own);
        // Shared handle: reads before the free see the image. After it the
        // address is dead (or reused by another thread's new image), and
        // reads must merely be safe.
        int w = kd_image_width(shared);
        if (w != 64 && !freed) ++failures;
        const uint8_t* p = nullptr;
        size_t len = 0;
        if (kd_image_pixels(shared, &p, &len) == 0 && len != px.size() && !freed) ++failures;
        // One thread frees the shared handle half-way through.
        if (t == 0 && i == 200) {
          freed = true;
          kd_image_free(shared);
        }
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(failures.load(), 0);
}

// One metadata handle read by several threads at once (tags, GPS and the
// JSON document, which none has asked for before), while other threads make,
// use and free handles of their own of every kind that can be created.
TEST(HandleThreads, OneMetadataHandleReadByManyWhileOthersChurn) {
  kd_exif_init();
  using kd::test::TiffBuilder;
  using kd::test::TiffDir;
  TiffBuilder tb(true);
  const std::vector<uint8_t> file = tb.build(
      {TiffDir{{tb.ascii(0x010F, "Acme"), tb.ascii(0x0110, "Z1"), tb.shorts(0x0112, {6}),
                tb.ascii(0x010E, "caf\xC3\xA9 \xE9t\xE9"), tb.pointer(0x8825, 1)}},
       TiffDir{{tb.ascii(1, "N"), tb.rationals(2, {{48, 1}, {51, 1}, {1461, 50}}),
                tb.ascii(3, "E"), tb.rationals(4, {{2, 1}, {21, 1}, {0, 1}})}}});
  // The expected answers, from a handle of its own.
  KdExif* reference = nullptr;
  ASSERT_EQ(kd_exif_read_buffer(file.data(), file.size(), &reference), 0);
  const std::string wantJson = kd_exif_to_json(reference);
  std::vector<std::pair<std::string, std::string>> wantTags;
  for (int64_t i = 0; i < kd_exif_tag_count(reference); ++i) {
    const char* n = nullptr;
    const char* v = nullptr;
    ASSERT_EQ(kd_exif_tag_at(reference, i, &n, &v), 0);
    wantTags.emplace_back(n, v);
  }
  kd_exif_meta_free(reference);

  // Many handles, each new to all readers, which go through them in the same
  // order so that first calls of kd_exif_to_json meet.
  std::vector<KdExif*> shared(64, nullptr);
  for (KdExif*& h : shared) ASSERT_EQ(kd_exif_read_buffer(file.data(), file.size(), &h), 0);
  std::vector<std::atomic<const char*>> firstJson(shared.size());
  for (auto& p : firstJson) p = nullptr;
  std::vector<uint8_t> px(48 * 32 * 3);
  for (size_t i = 0; i < px.size(); ++i) px[i] = static_cast<uint8_t>(i * 7 % 251);

  std::atomic<int> failures{0};
  std::atomic<bool> go{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      while (!go) std::this_thread::yield();
      for (size_t s = 0; s < shared.size(); ++s) {
        KdExif* h = shared[s];
        const char* json = kd_exif_to_json(h);
        const char* expected = nullptr;
        if (json == nullptr || wantJson != json ||
            (!firstJson[s].compare_exchange_strong(expected, json) && expected != json)) {
          ++failures;
        }
        for (size_t k = 0; k < wantTags.size(); ++k) {
          const char* n = nullptr;
          const char* v = nullptr;
          if (kd_exif_tag_at(h, static_cast<int64_t>(k), &n, &v) != 0 ||
              wantTags[k].first != n || wantTags[k].second != v || kd_exif_get_tag(h, n) != v) {
            ++failures;
          }
        }
        double lat = 0, lon = 0;
        if (kd_exif_get_gps(h, &lat, &lon, nullptr) != 1 || lat < 48 || lon < 2) ++failures;
      }
    });
  }
  for (int t = 0; t < 2; ++t) {
    threads.emplace_back([&] {
      while (!go) std::this_thread::yield();
      for (int i = 0; i < 30; ++i) {
        KdExif* meta = nullptr;
        if (kd_exif_read_buffer(file.data(), file.size(), &meta) != 0 ||
            wantJson != kd_exif_to_json(meta)) {
          ++failures;
        }
        kd_exif_meta_free(meta);
        KdImage* img = nullptr;
        KdImage* small = nullptr;
        KdPalette* pal = nullptr;
        uint8_t* encoded = nullptr;
        size_t encodedLen = 0;
        KdColor colour;
        if (kd_image_from_pixels(48, 32, KD_CS_RGB, px.data(), px.size(), &img) != 0 ||
            kd_image_resize(img, 20, 10, KD_FILTER_BOX, &small) != 0 ||
            kd_image_encode(small, KD_FORMAT_PNG, 0, &encoded, &encodedLen) != 0 ||
            kd_image_extract_palette(small, 4, nullptr, 0, nullptr, &pal) != 0 ||
            kd_palette_color_at(pal, 0, &colour) != 0) {
          ++failures;
        }
        kd_image_buffer_free(encoded);
        kd_palette_free(pal);
        kd_image_free(small);
        kd_image_free(img);
      }
    });
  }
  go = true;
  for (auto& th : threads) th.join();
  EXPECT_EQ(failures.load(), 0);
  for (KdExif* h : shared) kd_exif_meta_free(h);
}

}  // namespace
