// SPDX-License-Identifier: Apache-2.0
// A loopback HTTP server for URL-check tests: 127.0.0.1 on an ephemeral port, one answer
// per path (status, delay, redirect target), unknown paths 404. Every request is answered
// eventually: a delay ends early when the server stops, because WinINet may wait forever
// on a connection that never answers.
#pragma once
#include <cstdint>
#include <memory>
#include <string>

#include "base/text.h"

using namespace tarnvel;

struct HttpTestResponse {
  int status = 200;
  unsigned delayMs = 0;
  std::string location;  // sent as the Location header when not empty
};

class HttpTestServer {
 public:
  HttpTestServer();
  ~HttpTestServer();
  HttpTestServer(const HttpTestServer&) = delete;
  HttpTestServer& operator=(const HttpTestServer&) = delete;

  // May be called before or after Start; path is what follows the port, e.g. "/a".
  void SetResponse(const std::string& path, const HttpTestResponse& response);
  bool Start();
  // Answers delayed requests at once, then waits for every connection thread.
  void Stop();

  uint16_t Port() const;
  Text Url(const std::string& path) const;
  int RequestCount(const std::string& path) const;

  struct State;

 private:
  std::unique_ptr<State> state_;
};

// A loopback port that nothing listens on (bound once, then released).
uint16_t UnusedLoopbackPort();
