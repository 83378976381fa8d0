#pragma once
// A package repository: files served by path with GET, everything else 404.
#include <map>
#include <string>

#include "tests/support/FakeHttpServer.h"

class cFakeRepository : public cFakeHttpServer {
 public:
  using cFakeHttpServer::cFakeHttpServer;

  // Serves content at path ("/v4/agent/win/version"); status other than 200 serves it as an error page.
  void AddFile(const std::string& path, const std::string& content, int status = 200);
  // Serves each file under folder ("/v4/module/iis/") and a "manifest" of their SHA-256 and names,
  // one word per line, lines ending in lineEnd.
  void AddPackage(const std::string& folder, const std::map<std::string, std::string>& files,
                  const std::string& lineEnd = "\n");
  // The manifest text AddPackage serves.
  static std::string Manifest(const std::map<std::string, std::string>& files, const std::string& lineEnd = "\n");
};
