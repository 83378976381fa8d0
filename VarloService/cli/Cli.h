#pragma once
// The command line of VarloService: a command word and its argument. Most commands are one
// message to the running service's slot, with no answer; the others work in this process.
#include <cstdint>

// The exit code of the command.
int CliMain(int argc, char** argv);

// Sends {code, text, NUL} to the service slot; nothing when the text is missing or empty. 0.
int SendToService(uint8_t code, const char* text);
// Signs in and tells the management server that the agent is being removed ("uninstall": 1, or
// -4) or upgraded ("upgrade": 2, or -3); -1 no connection, -2 sign-in failed; 0 another word.
int CliNotify(const char* word);
// "uninstall" unregisters the web-server module (-1 always); "upgrade" installs or updates it
// (2, or -2 on failure); 0 another word.
int CliModVarlo(const char* word);
