// XMP: finding the packet in its container and flattening its RDF/XML.
//
// pugixml builds the tree (entities and character references decoded,
// comments and processing instructions such as the xpacket wrapper left out,
// malformed documents refused). The walks below are iterative, so nesting
// depth costs no stack, and every node they visit and every text byte they
// produce is charged to the read's budget: a packet of nested descriptions
// whose properties each repeat the text below them cannot make quadratic
// work.
#include "exif/xmp.h"

#include <cstring>
#include <unordered_map>

#include "base/jpeg_segments.h"
#include "base/text.h"
#include "exif/tiff.h"
#include "exif/webp.h"
#include "exif/xmp_tree.h"

namespace kd::exif {

namespace {

constexpr char kXmpSignature[] = "http://ns.adobe.com/xap/1.0/";  // 28 bytes, then NUL
constexpr int64_t kSignatureSize = 29;

// `s` without leading and trailing ASCII space, trimmed in place.
std::string stripped(std::string s) {
  const std::string_view kept = base::trimAscii(s);
  const auto start = static_cast<size_t>(kept.data() - s.data());
  s.erase(start + kept.size());
  s.erase(0, start);
  return s;
}

bool spendWork(ReadBudget* budget) { return budget == nullptr || budget->spendWork(1); }
bool spendText(ReadBudget* budget, size_t n) {
  return budget == nullptr || budget->spendText(static_cast<int64_t>(n));
}

// The node after `n` in document order within `root`'s subtree, or null.
pugi::xml_node nextInTree(pugi::xml_node n, pugi::xml_node root) {
  if (pugi::xml_node child = n.first_child()) return child;
  while (n != root) {
    if (pugi::xml_node sibling = n.next_sibling()) return sibling;
    n = n.parent();
  }
  return pugi::xml_node();
}

bool isElement(pugi::xml_node n, const char* name) {
  return n.type() == pugi::node_element && std::strcmp(n.name(), name) == 0;
}

// All character data below `element`, concatenated. Empty (and the budget
// spent) when the budget runs out.
std::string innerText(pugi::xml_node element, ReadBudget* budget) {
  std::string out;
  for (pugi::xml_node n = element.first_child(); n; n = nextInTree(n, element)) {
    if (!spendWork(budget)) return {};
    if (n.type() == pugi::node_pcdata || n.type() == pugi::node_cdata) {
      const char* v = n.value();
      size_t len = std::strlen(v);
      if (!spendText(budget, len)) return {};
      out.append(v, len);
    }
  }
  return out;
}

// Insertion-ordered properties: a repeated name keeps its first position.
// A packet's few properties are found by a scan; past kScanLimit a hash index
// is built once and kept up to date.
class Properties {
 public:
  void set(std::string_view name, std::string value) {
    size_t at = pairs_.size();
    if (pairs_.size() <= kScanLimit) {
      for (size_t i = 0; i < pairs_.size(); ++i) {
        if (pairs_[i].first == name) {
          at = i;
          break;
        }
      }
    } else {
      if (index_.empty()) {
        for (size_t i = 0; i < pairs_.size(); ++i) index_.emplace(pairs_[i].first, i);
      }
      at = index_.try_emplace(std::string(name), pairs_.size()).first->second;
    }
    if (at == pairs_.size()) {
      pairs_.emplace_back(std::string(name), std::move(value));
    } else {
      pairs_[at].second = std::move(value);
    }
  }
  TextPairs take() { return std::move(pairs_); }

 private:
  static constexpr size_t kScanLimit = 32;
  TextPairs pairs_;
  std::unordered_map<std::string, size_t> index_;
};

bool isPropertyName(const char* name) {
  return std::strchr(name, ':') != nullptr && std::strncmp(name, "rdf:", 4) != 0;
}

// Attributes, then child elements, of one rdf:Description. False when the
// budget ran out.
bool readDescription(pugi::xml_node description, Properties& props, ReadBudget* budget) {
  for (pugi::xml_attribute a : description.attributes()) {
    if (!spendWork(budget)) return false;
    const char* name = a.name();
    if (!isPropertyName(name) || std::strncmp(name, "xmlns", 5) == 0) continue;
    std::string value = stripped(a.value());
    if (!spendText(budget, value.size())) return false;
    if (!value.empty()) props.set(name, std::move(value));
  }
  for (pugi::xml_node child = description.first_child(); child; child = child.next_sibling()) {
    if (!spendWork(budget)) return false;
    if (child.type() != pugi::node_element || !isPropertyName(child.name())) continue;
    std::vector<std::string> items = allLi(child, budget);
    std::string value;
    if (items.empty()) {
      value = stripped(innerText(child, budget));
    } else {
      for (const std::string& item : items) {
        if (!value.empty()) value += ", ";
        value += item;
      }
    }
    if (budget != nullptr && budget->exhausted()) return false;
    if (!value.empty()) props.set(child.name(), std::move(value));
  }
  return true;
}

}  // namespace

std::vector<std::string> allLi(pugi::xml_node element, ReadBudget* budget) {
  std::vector<std::string> out;
  for (pugi::xml_node n = element.first_child(); n; n = nextInTree(n, element)) {
    if (!spendWork(budget)) return out;
    if (!isElement(n, "rdf:li")) continue;
    std::string text = stripped(innerText(n, budget));
    if (!text.empty()) out.push_back(std::move(text));
  }
  return out;
}

std::string firstLi(pugi::xml_node element, ReadBudget* budget) {
  std::vector<std::string> items = allLi(element, budget);
  return items.empty() ? stripped(innerText(element, budget)) : items.front();
}

bool headerMatches(base::ByteView buf, int64_t pos) {
  return base::fits(buf, pos, kSignatureSize) &&
         std::memcmp(buf.data() + pos, kXmpSignature, kSignatureSize) == 0;
}

FoundRange findXmpApp1(base::ByteView jpeg) {
  if (jpeg.size() <= 3 || !base::isJpeg(jpeg)) return std::nullopt;
  base::JpegSegmentWalk walk(jpeg);
  base::JpegSegment s;
  while (walk.next(s) && s.marker != 0xDA && s.marker != 0xD9) {
    const auto body = static_cast<int64_t>(s.body);
    if (s.marker == 0xE1 && headerMatches(jpeg, body)) {
      return ByteRange{body + kSignatureSize, static_cast<int64_t>(s.length) - 2 - kSignatureSize};
    }
  }
  return std::nullopt;
}

TextPairs parseXmp(std::string_view packet, ReadBudget* budget) {
  pugi::xml_document doc;
  pugi::xml_parse_result parsed =
      doc.load_buffer(packet.data(), packet.size(), pugi::parse_default | pugi::parse_ws_pcdata,
                      pugi::encoding_auto);
  if (!parsed) return {};
  Properties props;
  for (pugi::xml_node n = doc.first_child(); n; n = nextInTree(n, doc)) {
    if (!spendWork(budget)) break;
    if (isElement(n, "rdf:Description") && !readDescription(n, props, budget)) break;
  }
  return props.take();
}

TextPairs readXmpBytes(base::ByteView file, ReadBudget* budget) {
  if (isPng(file)) {
    std::string packet = findXmpInPng(file, budget);
    return packet.empty() ? TextPairs{} : parseXmp(packet, budget);
  }
  if (isWebp(file)) {
    std::string packet = findXmpInWebp(file);
    return packet.empty() ? TextPairs{} : parseXmp(packet, budget);
  }
  const FoundRange found = findXmpApp1(file);
  if (!found) return {};
  const auto [start, length] = *found;
  if (length <= 0 || !base::fits(file, start, length)) return {};
  return parseXmp(std::string_view(reinterpret_cast<const char*>(file.data() + start),
                                   static_cast<size_t>(length)),
                  budget);
}

}  // namespace kd::exif
