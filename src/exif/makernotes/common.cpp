#include "exif/makernotes/common.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>

#include "base/text.h"

namespace kd::exif::makernote {

namespace {

std::string prefixed(std::string_view prefix, const char* name) {
  std::string key;
  key.reserve(prefix.size() + std::strlen(name));
  key.append(prefix);
  key.append(name);
  return key;
}

std::string renderRule(const TagRule& rule, const IfdEntry& e, const std::string& raw) {
  if (rule.render != nullptr) return rule.render(e, raw);
  if (!rule.values.empty()) {
    const char* text = lookup(rule.values, num(raw));
    return text == nullptr ? std::string() : text;
  }
  if (!rule.textValues.empty()) {
    const char* text = lookup(rule.textValues, raw);
    return text == nullptr ? std::string() : text;
  }
  return raw;
}

}  // namespace

const char* lookup(ValueTable table, int64_t key) {
  for (const Value& v : table) {
    if (v.key == key) return v.text;
  }
  return nullptr;
}

const char* lookup(TextValueTable table, std::string_view key) {
  for (const TextValue& v : table) {
    if (v.key == key) return v.text;
  }
  return nullptr;
}

std::string rawText(const IfdEntry& entry) {
  const std::string s = toString(entry);
  return std::string(base::trimAscii(s));
}

int64_t num(std::string_view raw) {
  std::string_view token = raw.substr(0, raw.find(' '));
  if (token.empty()) return -1;
  int64_t v = 0;
  auto r = std::from_chars(token.data(), token.data() + token.size(), v, 10);
  if (r.ec != std::errc() || r.ptr != token.data() + token.size()) return -1;
  return v;
}

Ifd readNoteDirectory(const NoteInput& in, int64_t pos, int64_t base, bool bigEndian) {
  if (!base::fits(in.buf, pos, 2)) return {};
  return readIFD(in.buf, pos, base, bigEndian, &in.budget);
}

void addTagRules(const Ifd& dir, std::span<const TagRule> rules, std::string_view prefix,
                 ReadBudget& budget, TagMap& out) {
  auto byId = [](const TagRule& r, uint16_t id) { return r.id < id; };
  for (const IfdEntry& e : dir.entries) {
    auto it = std::lower_bound(rules.begin(), rules.end(), e.tag, byId);
    if (it == rules.end() || it->id != e.tag) continue;
    if (!budget.spendText(static_cast<int64_t>(e.data.size()))) return;
    const std::string raw = rawText(e);
    for (; it != rules.end() && it->id == e.tag; ++it) {
      std::string text = renderRule(*it, e, raw);
      if (!text.empty()) out.insert_or_assign(prefixed(prefix, it->name), std::move(text));
    }
  }
}

void addFieldRules(const IfdEntry& entry, std::span<const FieldRule> fields,
                   std::string_view prefix, TagMap& out) {
  for (const FieldRule& f : fields) {
    const int64_t at = int64_t{f.index} * f.width;
    if (!base::fits(entry.data, at, f.width)) continue;
    uint32_t v = f.width == 1   ? entry.data[static_cast<size_t>(at)]
                 : f.width == 2 ? readUint16(entry.data, at, orderOf(entry.bigEndian))
                                : readUint32(entry.data, at, orderOf(entry.bigEndian));
    int64_t value = v;
    if (f.mask != 0) {
      value = (v & f.mask) >> std::countr_zero(f.mask);
    } else if (f.isSigned) {
      const int bits = 8 * f.width;
      value = bits == 32 ? int64_t{static_cast<int32_t>(v)}
                         : static_cast<int64_t>(v) - ((v >> (bits - 1)) != 0 ? int64_t{1} << bits : 0);
    }
    std::string text;
    if (f.render != nullptr) {
      text = f.render(value);
    } else if (!f.values.empty()) {
      const char* t = lookup(f.values, value);
      if (t != nullptr) text = t;
    } else {
      text = std::to_string(value);
    }
    if (!text.empty()) out.insert_or_assign(prefixed(prefix, f.name), std::move(text));
  }
}

bool startsWith(base::ByteView block, std::string_view header) {
  return block.size() >= header.size() &&
         std::memcmp(block.data(), header.data(), header.size()) == 0;
}

std::string exposureText(double seconds) {
  if (!std::isfinite(seconds) || seconds < 0) return {};
  if (seconds > 0 && seconds < 0.25001) {
    return "1/" + std::to_string(static_cast<int64_t>(std::llround(1 / seconds)));
  }
  return fmtNum(1, seconds);
}

}  // namespace kd::exif::makernote
