// Shared pieces of the keldra command-line program.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "keldra/keldra.h"

namespace cli {

using Args = std::vector<std::string>;

// Reads a whole file; false (with a message on stderr) when it cannot.
bool readFile(const std::string& path, std::vector<uint8_t>& out);
// Writes a whole file; false (with a message on stderr) when it cannot.
bool writeFile(const std::string& path, const uint8_t* data, size_t len);

// Prints "keldra: <what>: <status text>" to stderr and returns 1.
int reportImage(const std::string& what, int status);
int reportExif(const std::string& what, int status);
int usageError(const std::string& message);

// Lower-case extension without the dot ("png" for "a/b.PNG"), or "".
std::string extensionOf(const std::string& path);

// Decodes a file into an image handle, picking the decoder for formats the
// content sniffer does not detect (TGA, WebP, TIFF) from the extension.
int decodeFile(const std::string& path, KdImage** out);
// The same for bytes already read from `path`.
int decodeBuffer(const std::string& path, const std::vector<uint8_t>& data, KdImage** out);

const char* colorSpaceName(int cs);

// The KD_FORMAT_* code an output extension ("png", "jpg", ...) encodes to,
// or -1.
int formatForExtension(const std::string& ext);

int cmdConvert(const Args& args);
int cmdInfo(const Args& args);
int cmdTags(const Args& args);
int cmdPalette(const Args& args);
int cmdEdit(const Args& args);
int cmdStrip(const Args& args);
int cmdThumbnail(const Args& args);

}  // namespace cli
