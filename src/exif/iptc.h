// IPTC-IIM application record (record 2) of JPEG files, carried in the
// IPTC-NAA resource (0x0404) of a Photoshop image-resource block in APP13.
#pragma once

#include <cstdint>
#include <utility>

#include "base/bytes.h"
#include "exif/found.h"
#include "exif/png.h"

namespace kd::exif {

// The IPTC-NAA resource data of the first APP13 segment that has one; empty
// when there is none.
FoundRange findApp13Iptc(base::ByteView jpeg);

// (dataset name, value) pairs in file order; a repeated dataset has its
// values joined with ", ". Empty when there is no IPTC.
TextPairs parseIptc(base::ByteView jpeg);
// The same pairs from bare IIM datasets (0x1C, record, dataset, size, value).
TextPairs parseIptcDatasets(base::ByteView iim);
// The same pairs from the IPTC-NAA resource of a sequence of "8BIM"
// resources (a Photoshop image-resource block without its header).
TextPairs parsePhotoshopIptc(base::ByteView resources);

// Name of a record-2 dataset, or nullptr for the ones not reported.
const char* iptcDatasetName(uint8_t dataset);

}  // namespace kd::exif
