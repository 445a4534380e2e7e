// Everything tq330-flash prints goes through here, under one lock, from either thread: the human
// lines on standard error (a bar that updates in place on a terminal) and, with --json, one JSON
// object a line on standard output.
#pragma once
#include <cstdint>
#include <string>

// Builds one JSON object; keys in the order added.
struct JsonLine {
    std::string Text = "{";
    JsonLine& Add(const char* key, const std::string& value);
    JsonLine& Add(const char* key, const char* value);
    JsonLine& Add(const char* key, long long value);
    JsonLine& Add(const char* key, double value);
    JsonLine& AddBool(const char* key, bool value);
    // "0x1D0F": at least `digits` hex digits (a byte's two, a CRC-16's four).
    JsonLine& AddHex(const char* key, uint32_t value, int digits = 4);
};
std::string JSON_Escape(const std::string& text);

void OUT_Init(bool json, bool quiet, bool terminal);
// Whether standard error is a terminal, as OUT_Init was told: the progress bar and the live view of
// several ports are drawn only there.
bool OUT_Terminal();
// Seconds on a steady clock since the program started (its static initialisation, before main;
// OUT_Init does not reset it): the clock of the JSON events' "t" and of every duration printed.
double OUT_Now();
// A human line (not with --quiet).
void OUT_Line(const std::string& text);
// A line printed even with --quiet: the result, and the message of what went wrong.
void OUT_Always(const std::string& text);
// An event for --json (nothing without it); "event" and "t" are put first.
void OUT_Event(const char* event, const JsonLine& fields);

// Every event line (its JSON text, without the line feed) also goes to pfnSink, with or without
// --json, under the output's lock: the station's page of one port reads the session's events so.
void OUT_SetEventSink(void (*pfnSink)(const std::string& line));

// The progress display of one step: begun, moved (worker thread), ended.
void OUT_StepBegin(const std::string& step);
void OUT_StepProgress(int32_t low, int32_t high, int32_t pos);
void OUT_StepEnd(const char* outcome);

// The text of an errno value (main thread only).
std::string CLI_ErrorText(int error);
