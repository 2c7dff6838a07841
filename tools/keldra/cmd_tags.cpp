// keldra tags FILE...: the metadata tags of each file, in the library's
// order (ascending by name), as "Name: value" lines with control
// characters escaped, or as JSON ({"file", "tags": {name: value}}).
#include "cli.h"

namespace cli {

namespace {

struct TagsSettings {
  bool json = false;
  bool compact = false;
  bool binary = false;
  bool header = false;  // a "======== FILE" line before each file's tags
  std::string indent;
};

std::string listTags(const TagsSettings& s, const std::string& path) {
  bool complete = true;
  const Bytes data = readInput(path, kMetadataHead, &complete);
  if (data.empty()) throw FileError(path, "empty file");
  ExifPtr meta = readMetadata(data, complete, path);
  const int64_t count = kd_exif_tag_count(meta.get());
  std::string out = s.header && !s.json ? "======== " + terminalText(path) + "\n" : "";
  JsonObject file(s.compact, s.indent);
  JsonObject tags(s.compact, file.inner());
  std::string scratch;
  for (int64_t i = 0; i < count; ++i) {
    const char* name = nullptr;
    const char* value = nullptr;
    if (kd_exif_tag_at(meta.get(), i, &name, &value) != KD_EXIF_OK) continue;
    const std::string_view shown = shownValue(value, s.binary, scratch);
    if (s.json) {
      tags.text(name, shown);
    } else {
      out += terminalText(name) + ": " + terminalText(shown) + "\n";
    }
  }
  if (!s.json) return out;
  return file.text("file", path).raw("tags", tags.finish()).finish();
}

}  // namespace

int cmdTags(const Args& args) {
  std::vector<OptionSpec> specs(kBatchOptions, kBatchOptions + kBatchOptionCount);
  specs.insert(specs.end(), {{"--json", false}, {"--binary", false}});
  const ParsedArgs parsed = parseArgs(args, specs);
  TagsSettings s;
  s.compact = parsed.has("--jsonl");
  s.json = s.compact || parsed.has("--json");
  s.binary = parsed.has("--binary");
  const BatchSetup setup = setUpBatch(parsed, s.json);
  s.header = setup.batch.summary;
  if (setup.batch.open.size() > 1) s.indent = "  ";
  BatchWork work;
  work.run = [&s](const std::string& path) { return listTags(s, path); };
  if (s.json && (setup.batch.summary || s.compact)) {
    work.failed = [&s](const std::string& path, const std::string& reason) {
      return JsonObject(s.compact, s.indent).text("file", path).text("error", reason).finish();
    };
  }
  return runBatch(setup.entries, setup.batch, work);
}

}  // namespace cli
