// The station's page, built into the program from app/station/page/ by tools/embedtext: nothing is
// read from disk or fetched from elsewhere when it is served.
#pragma once
#include <cstddef>

extern const char acStationHtml[];
extern const size_t StationHtmlLength;
extern const char acStationCss[];
extern const size_t StationCssLength;
extern const char acStationJs[];
extern const size_t StationJsLength;
extern const char acStationIcon[]; // SVG
extern const size_t StationIconLength;
