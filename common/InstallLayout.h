#pragma once
// Where the agent lives on a host: the install folder and the sub-folders it writes into (its log,
// and rule files, downloads and staged updates on their way in). The installer makes them, and
// the service's start-up makes again whatever of them a host has lost since.
#include <string>
#include <vector>

constexpr char kInstallDirDefault[] = "C:\\Program Files\\VARLO";
constexpr char kLogSubFolder[] = "logs";
constexpr char kTempSubFolder[] = "temp";
constexpr const char* kInstallSubFolders[] = {kLogSubFolder, kTempSubFolder};

// Makes the install folder's sub-folders that are missing; a line for each it cannot make,
// "CreateFolders(<folder>)=<error>".
std::vector<std::string> MakeInstallFolders(const std::string& installDir = kInstallDirDefault);
