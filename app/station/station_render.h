// The station's state as the web side serves it: /state's JSON (the events' own words), the same as
// one Server-Sent Event for the page, and /metrics in Prometheus' text exposition format. Pure
// functions of a snapshot.
#pragma once
#include "app/station/station.h"

#include <string>

std::string Station_StateJson(const StationSnapshot& station);
// "data: <the state's JSON>\n\n": the JSON holds no line break, so one data line carries it.
std::string Station_EventMessage(const StationSnapshot& station);
std::string Station_Metrics(const StationSnapshot& station);
