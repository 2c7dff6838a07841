// XMP: locating the packet in each container and flattening RDF/XML.
#include "exif/xmp.h"

#include <gtest/gtest.h>

#include "exif/exif.h"
#include "exif/tiff.h"
#include "exif/xmp_tree.h"
#include "support/container_builder.h"

namespace kd::exif {
namespace {

using test::append;
using test::ByteVec;
using test::bytesOf;

std::string packet(const std::string& body) {
  return "<?xpacket begin='' id='W5M0MpCehiHzreSzNTczkc9d'?><x:xmpmeta xmlns:x='adobe:ns:meta/'>"
         "<rdf:RDF xmlns:rdf='http://www.w3.org/1999/02/22-rdf-syntax-ns#'>" +
         body + "</rdf:RDF></x:xmpmeta><?xpacket end='w'?>";
}

ByteVec xmpApp1(const std::string& xml) {
  ByteVec seg = {0xFF, 0xE1};
  test::putBe(seg, 2 + 29 + xml.size(), 2);
  append(seg, std::string("http://ns.adobe.com/xap/1.0/"));
  seg.push_back(0);
  append(seg, xml);
  return seg;
}

ByteVec jpegWith(const std::vector<ByteVec>& segments) {
  ByteVec out = {0xFF, 0xD8};
  for (const ByteVec& s : segments) append(out, s);
  return out;
}

const ByteVec kSos = {0xFF, 0xDA, 0, 2};

TEST(XmpFlatten, AttributesElementsAndJoins) {
  std::string xml = packet(
      "<rdf:Description rdf:about='' xmlns:xmp='x' xmlns:dc='d' xmp:Rating=' 5 ' plain='no'"
      " xmp:Empty='  '>"
      "<xmp:Label>Red</xmp:Label>"
      "<dc:subject><rdf:Bag><rdf:li>a</rdf:li><rdf:li> </rdf:li><rdf:li>b</rdf:li>"
      "<rdf:li>c &amp; &#x41;&#66;</rdf:li></rdf:Bag></dc:subject>"
      "<dc:title><rdf:Alt><rdf:li xml:lang='x-default'>Title</rdf:li></rdf:Alt></dc:title>"
      "<!-- a comment --><dc:note><![CDATA[ <cdata> ]]> and text </dc:note>"
      "<rdf:type>skipped</rdf:type><nocolon>skipped</nocolon>"
      "</rdf:Description>"
      "<rdf:Description xmp:Label='Blue' xmp:Extra='1'/>");
  TextPairs want = {{"xmp:Rating", "5"},
                    {"xmp:Label", "Blue"},
                    {"dc:subject", "a, b, c & AB"},
                    {"dc:title", "Title"},
                    {"dc:note", "<cdata>  and text"},
                    {"xmp:Extra", "1"}};
  EXPECT_EQ(parseXmp(xml), want);
}

TEST(XmpFlatten, NestedDescriptionsAreVisitedToo) {
  std::string xml = packet(
      "<rdf:Description><a:Struct><rdf:Description a:Field='f'><a:Inner>i</a:Inner>"
      "</rdf:Description></a:Struct></rdf:Description>");
  TextPairs want = {{"a:Struct", "i"}, {"a:Field", "f"}, {"a:Inner", "i"}};
  EXPECT_EQ(parseXmp(xml), want);
}

TEST(XmpFlatten, MalformedGivesNothing) {
  EXPECT_TRUE(parseXmp(packet("<rdf:Description a:b='1'><a:c>x</a:c>")).empty());
  EXPECT_TRUE(parseXmp("<rdf:Description a:b='1'>").empty());
  EXPECT_TRUE(parseXmp("").empty());
  EXPECT_TRUE(parseXmp("<rdf:Description a:b='1'></rdf:Descriptio>").empty());
}

TEST(XmpFlatten, LiHelpers) {
  pugi::xml_document doc;
  ASSERT_TRUE(doc.load_string("<p><rdf:Seq><rdf:li> </rdf:li><rdf:li> x </rdf:li>"
                              "<rdf:li>y</rdf:li></rdf:Seq></p>"));
  EXPECT_EQ(allLi(doc.first_child()), (std::vector<std::string>{"x", "y"}));
  EXPECT_EQ(firstLi(doc.first_child()), "x");
  ASSERT_TRUE(doc.load_string("<p> own text </p>"));
  EXPECT_EQ(firstLi(doc.first_child()), "own text");
}

// Each nested description's property holds all the text below it: the
// budget bounds the work and keeps what was found before it ran out.
TEST(XmpFlatten, DeepNestingIsBounded) {
  std::string open, close;
  for (int i = 0; i < 20000; ++i) {
    open += "<rdf:Description><a:p>t";
    close += "</a:p></rdf:Description>";
  }
  std::string xml = packet(open + close);
  ReadBudget budget = ReadBudget::forInputSize(xml.size());
  TextPairs got = parseXmp(xml, &budget);
  EXPECT_TRUE(budget.exhausted());
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].first, "a:p");
}

TEST(XmpJpeg, FirstXmpApp1BeforeScan) {
  std::string xml = packet("<rdf:Description a:b='1'/>");
  ByteVec exif = {0xFF, 0xE1, 0, 8, 'E', 'x', 'i', 'f', 0, 0};
  ByteVec jpeg = jpegWith({exif, xmpApp1(xml), xmpApp1(packet("<rdf:Description a:b='2'/>")), kSos});
  auto [start, length] = findXmpApp1(jpeg).value();
  EXPECT_EQ(start, 2 + 10 + 33);
  EXPECT_EQ(length, static_cast<int64_t>(xml.size()));
  EXPECT_TRUE(headerMatches(jpeg, 2 + 10 + 4));
  EXPECT_EQ(readXmpBytes(jpeg), (TextPairs{{"a:b", "1"}}));
  EXPECT_TRUE(readXmpBytes(jpegWith({kSos, xmpApp1(xml)})).empty());
  // A packet running past the buffer gives nothing.
  ByteVec cut = jpegWith({xmpApp1(xml)});
  cut.pop_back();
  EXPECT_TRUE(readXmpBytes(cut).empty());
  // The metadata record: "XMP:" keys without making the record valid.
  Metadata md = readMetadataFromBytes(jpegWith({xmpApp1(xml), kSos}));
  EXPECT_FALSE(md.isValid);
  EXPECT_EQ(md.tags.at("XMP:a:b"), "1");
}

TEST(XmpContainers, PngItxtOnlyAndWebpChunk) {
  std::string xml = packet("<rdf:Description a:b='png'/>");
  ByteVec itxt = bytesOf("XML:com.adobe.xmp");
  itxt.insert(itxt.end(), {0, 0, 0, 0, 0});
  append(itxt, xml);
  ByteVec text = bytesOf("XML:com.adobe.xmp");
  text.push_back(0);
  append(text, xml);
  ByteVec png = test::pngFile({test::pngChunk("IHDR", ByteVec(13, 0)), test::pngChunk("tEXt", text)});
  EXPECT_TRUE(readXmpBytes(png).empty());
  png = test::pngFile({test::pngChunk("IHDR", ByteVec(13, 0)), test::pngChunk("iTXt", itxt)});
  EXPECT_EQ(readXmpBytes(png), (TextPairs{{"a:b", "png"}}));
  ByteVec webp = test::webpFile({test::webpChunkOf("VP8X", ByteVec(10, 0)),
                                 test::webpChunkOf("XMP ", bytesOf(xml))});
  EXPECT_EQ(readXmpBytes(webp), (TextPairs{{"a:b", "png"}}));
  EXPECT_EQ(readMetadataFromBytes(webp).tags.at("XMP:a:b"), "png");
}

}  // namespace
}  // namespace kd::exif
