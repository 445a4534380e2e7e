// The update behind the Start button: clear, program, make valid, CRC compare, start application.
#pragma once

void RunUpdate();
int UpdateTarget();
int CompareCrc();
// 1 while RunUpdate runs (the dialog must not start a second update inside the first).
int UpdateRunning();
