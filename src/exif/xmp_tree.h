// The element-level helpers of the XMP reader, for the reader itself and its
// tests. Only modules that already read XML include this (it brings in
// pugixml).
#pragma once

#include <pugixml.hpp>
#include <string>
#include <vector>

namespace kd::exif {

class ReadBudget;

// The stripped, non-empty inner texts of the element's rdf:li descendants,
// in document order.
std::vector<std::string> allLi(pugi::xml_node element, ReadBudget* budget = nullptr);
// The first of allLi, or the element's own stripped inner text when there is
// none.
std::string firstLi(pugi::xml_node element, ReadBudget* budget = nullptr);

}  // namespace kd::exif
