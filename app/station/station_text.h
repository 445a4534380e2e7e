// Texts in and out of the station: the children's event lines read into fields, and every text the
// station writes escaped for where it goes (JSON, Prometheus' labels). A device's identify text and
// a port's name are untrusted: they pass through here and nowhere else.
#pragma once
#include <map>
#include <string>

// The fields of one flat JSON object, as tq330-flash writes its events: strings decoded, numbers
// and true/false/null as written. False when the line is not one such object (then *pFields holds
// what was read before the fault and must not be used).
bool STX_ReadEvent(const std::string& line, std::map<std::string, std::string>* pFields);

// The text with every byte that is not part of well-formed UTF-8 replaced by U+FFFD.
std::string STX_Utf8(const std::string& text);

// A JSON string, quotes included. Besides what JSON requires, < > & are written as \u escapes, so
// that the text stays inert wherever the JSON ends up.
std::string STX_JsonString(const std::string& text);

// A label value of Prometheus' text format, without its quotes: \ " and line feed escaped.
std::string STX_LabelValue(const std::string& text);
