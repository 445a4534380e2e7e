// What the station's tests share: a station's facts, and the JSON reader they read /state with.
#pragma once
#include "app/station/station.h"

#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>

#include <sstream>
#include <string>

inline StationInfo TestInfo() {
    StationInfo info;
    info.Host = "line-4";
    info.Version = "3.11";
    info.Firmware = "built in";
    info.FirmwareSize = 322785;
    info.FirmwareCrc = "0x1D23";
    info.FirmwareSha256 = "b3c13bbd8f931b3a45ecc6581731265d3dde899db2fe7e2ba69b2389f887a155";
    info.Record = "/var/lib/line/record.jsonl";
    return info;
}

// A JSON text read by Boost's own parser (not the station's): arrays are children with empty names.
inline boost::property_tree::ptree ReadJson(const std::string& text) {
    std::istringstream in(text);
    boost::property_tree::ptree tree;
    boost::property_tree::read_json(in, tree);
    return tree;
}
