// Shared by the app tests: the pseudo-terminals behind COM1 to COM3 and helpers to look at the dialog.
#pragma once
#include <QString>
#include <string>

class QWidget;

// Device path of the pseudo-terminal behind port index i (0 to 2).
std::string TestPortDevice(int index);
// True while some open file holds the device's lock (the serial-port module has it open).
bool TestPortHeld(int index);

QString TextOf(int id); // a label's or a button's text
bool Shown(int id);     // not hidden (the dialog itself need not be on screen)
// Lets queued commands and timers run for a moment.
void Pump(int ms = 20);
