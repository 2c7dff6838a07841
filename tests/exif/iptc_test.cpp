// IPTC-IIM: the Photoshop resource walk in APP13 and the record-2 datasets.
#include "exif/iptc.h"

#include <gtest/gtest.h>

#include "exif/exif.h"
#include "support/container_builder.h"

namespace kd::exif {
namespace {

using test::append;
using test::ByteVec;
using test::concat;
using test::putBe;

ByteVec dataset(uint8_t record, uint8_t number, const std::string& value) {
  ByteVec d = {0x1C, record, number};
  putBe(d, value.size(), 2);
  append(d, value);
  return d;
}

ByteVec resource(uint16_t id, const std::string& name, const ByteVec& data) {
  ByteVec r;
  append(r, std::string("8BIM"));
  putBe(r, id, 2);
  r.push_back(static_cast<uint8_t>(name.size()));
  append(r, name);
  if (name.size() % 2 == 0) r.push_back(0);
  putBe(r, data.size(), 4);
  append(r, data);
  if (data.size() % 2 == 1) r.push_back(0);
  return r;
}

ByteVec app13(const ByteVec& payload, const std::string& header = std::string("Photoshop 3.0\0", 14)) {
  ByteVec s = {0xFF, 0xED};
  putBe(s, 2 + header.size() + payload.size(), 2);
  append(s, header);
  append(s, payload);
  return s;
}

ByteVec jpeg(const std::vector<ByteVec>& segments) {
  ByteVec out = {0xFF, 0xD8};
  for (const ByteVec& s : segments) append(out, s);
  append(out, ByteVec{0xFF, 0xDA, 0, 2});
  return out;
}

TEST(IptcDatasets, RepeatsJoinAndSpecialCases) {
  ByteVec block = {'j', 'u', 'n', 'k'};
  for (const ByteVec& d : {dataset(1, 90, "envelope"), dataset(2, 0, std::string("\0\4", 2)),
                           dataset(2, 25, "a"), dataset(2, 25, ""), dataset(2, 25, "c"),
                           dataset(2, 105, "Head"), dataset(2, 200, "unnamed"),
                           dataset(2, 80, "Me")}) {
    append(block, d);
  }
  ByteVec file = jpeg({app13(concat({resource(0x03ED, "", {1, 2, 3}), resource(0x0404, "n", block)}))});
  TextPairs want = {{"ApplicationRecordVersion", "4"}, {"Keywords", "a, , c"},
                    {"Headline", "Head"}, {"By-line", "Me"}};
  EXPECT_EQ(parseIptc(file), want);
  Metadata md = readMetadataFromBytes(file);
  EXPECT_EQ(md.tags.at("IPTC:Keywords"), "a, , c");
  EXPECT_FALSE(md.isValid);
}

TEST(IptcDatasets, ExtendedOrOverlongSizeStopsParsing) {
  ByteVec ext = concat({dataset(2, 5, "Title"), ByteVec{0x1C, 2, 25, 0x80, 4, 0, 0, 0, 9},
                        dataset(2, 25, "late")});
  EXPECT_EQ(parseIptc(jpeg({app13(resource(0x0404, "", ext))})), (TextPairs{{"ObjectName", "Title"}}));
  ByteVec overlong = concat({dataset(2, 5, "Title"), ByteVec{0x1C, 2, 25, 0, 50, 'x'}});
  EXPECT_EQ(parseIptc(jpeg({app13(resource(0x0404, "", overlong))})).size(), 1u);
}

TEST(IptcResources, WalkRules) {
  ByteVec block = dataset(2, 90, "Paris");
  // A first APP13 that is not Photoshop, then one whose IPTC follows a named
  // resource.
  ByteVec other = app13(resource(0x0404, "", block), std::string("Adobe_CM\0\0\0\0\0\0", 14));
  ByteVec named = resource(0x0400, "x", {9});
  ByteVec file = jpeg({other, app13(concat({named, resource(0x0404, "", block)}))});
  auto [offset, length] = findApp13Iptc(file).value();
  EXPECT_EQ(length, static_cast<int64_t>(block.size()));
  EXPECT_EQ(parseIptc(file), (TextPairs{{"City", "Paris"}}));
  // The name of length 1 takes 2 bytes, no pad; of length 0, 2 bytes.
  EXPECT_EQ(named.size(), 4u + 2 + 2 + 4 + 2);
  EXPECT_EQ(offset, static_cast<int64_t>(file.size() - 4 - block.size()));
  // A resource whose size runs past the segment ends its walk.
  ByteVec truncated = resource(0x0404, "", block);
  truncated[11] = 0x7F;
  EXPECT_EQ(findApp13Iptc(jpeg({app13(truncated)})), std::nullopt);
  EXPECT_EQ(findApp13Iptc(ByteVec{0xFF, 0xD8, 0xFF, 0xDA, 0, 2}), std::nullopt);
}

}  // namespace
}  // namespace kd::exif
