// The parent's view of several ports: what each child's JSON events say, the combined display and
// the summary table. Platform-free; the runner (cli_several_*.cpp) feeds it lines.
#pragma once
#include <string>
#include <vector>

struct PortView {
    std::string Port;
    std::string Step;
    int Percent = -1;
    std::string Result; // the child's last "result" ("updated", "not updated", ...)
    std::string Line;   // its last status or message
    std::string ImageCrc, TargetCrc;
    double Seconds = 0;
    int Updated = 0, NotUpdated = 0; // --loop tallies
    int ExitCode = -1;               // set when the child has ended
};

// A value of the flat JSON objects tq330-flash writes: the string's text or the number as written;
// "" when the key is absent.
std::string JSON_Field(const std::string& line, const char* key);

// One event line of a child: updates the view; returns true when the display should change.
bool VIEW_Apply(PortView& view, const std::string& line);
void VIEW_Draw(std::vector<PortView>& views, bool terminal, bool redraw);
// The plain line for an event worth a line without a terminal; "" when none.
std::string VIEW_PlainLine(const PortView& view, const std::string& line);
void VIEW_Summary(const std::vector<PortView>& views);
// A line a child wrote, as both platforms' runners take it: tagged with the child's port, passed on
// as JSON when json, applied to the view and, when plain, printed as its plain line. True when the
// display should change.
bool VIEW_TakeChildLine(PortView& view, std::string line, bool json, bool plain);
