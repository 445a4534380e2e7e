// The terminal's view of several ports: the station (app/station/station.h) drawn as one line a
// port, the plain lines without a terminal, and the summary table. It renders the same model the
// station's page renders, so the two cannot disagree. Platform-free; the runner feeds it lines.
#pragma once
#include "app/station/station.h"

#include <cstddef>
#include <string>

// A value of the flat JSON objects tq330-flash writes: the string's text or the number as written;
// "" when the key is absent.
std::string JSON_Field(const std::string& line, const char* key);

void VIEW_Draw(const StationSnapshot& station, bool terminal, bool redraw);
// The plain line for an event worth a line without a terminal; "" when none. port is as the event
// left it.
std::string VIEW_PlainLine(const StationPort& port, const std::string& line);
// The summary table and its "summary" events; loop: each result says how many of the port's
// updates went well.
void VIEW_Summary(const StationSnapshot& station, bool loop);
// A line the child of port index wrote: tagged with the child's port (its name as given), passed on as JSON
// when json, applied to the station and, when plain, printed as its plain line. True when the display should
// change.
bool VIEW_TakeChildLine(size_t index, const std::string& port, std::string line, bool json, bool plain);
