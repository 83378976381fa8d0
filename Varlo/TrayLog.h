#pragma once
// The tray program's log file.

constexpr char kTrayLogPath[] = "C:\\Program Files\\VARLO\\logs\\event-ui.log";

// Sets up the rotating log file, writes the banner with the title and the four test lines. 0.
int InitLog(const char* title);
