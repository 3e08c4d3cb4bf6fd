// SPDX-License-Identifier: Apache-2.0
#include "support/http_test_server.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <list>
#include <map>
#include <mutex>
#include <thread>

#include "base/unique_handle_win.h"

using namespace tarnvel;

namespace {

struct SocketTraits {
  using Type = SOCKET;
  static Type Empty() { return INVALID_SOCKET; }
  static bool IsValid(Type s) { return s != INVALID_SOCKET; }
  static void Close(Type s) { ::closesocket(s); }
};
using UniqueSocket = UniqueResource<SocketTraits>;

class WinsockUse {
 public:
  WinsockUse() {
    WSADATA data;
    ok_ = WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }
  ~WinsockUse() {
    if (ok_) WSACleanup();
  }
  bool ok() const { return ok_; }

 private:
  bool ok_ = false;
};

struct Connection {
  std::thread thread;
  std::shared_ptr<std::atomic<bool>> finished = std::make_shared<std::atomic<bool>>(false);
};

const char* ReasonPhrase(int status) {
  switch (status) {
    case 200:
      return "OK";
    case 301:
      return "Moved Permanently";
    case 302:
      return "Found";
    case 404:
      return "Not Found";
    case 500:
      return "Internal Server Error";
    default:
      return "Status";
  }
}

}  // namespace

struct HttpTestServer::State {
  std::unique_ptr<WinsockUse> winsock;
  UniqueSocket listener;
  uint16_t port = 0;
  std::thread acceptThread;
  std::atomic<bool> stopping{false};

  mutable std::mutex mutex;  // guards responses, counts, connections and wakes delays
  std::condition_variable stopSignal;
  std::map<std::string, HttpTestResponse> responses;
  std::map<std::string, int> counts;
  std::list<Connection> connections;

  void AcceptLoop();
  void Serve(UniqueSocket client);
  void ReapFinished();
};

void HttpTestServer::State::ReapFinished() {
  std::list<Connection> done;
  {
    std::lock_guard<std::mutex> hold(mutex);
    for (auto it = connections.begin(); it != connections.end();) {
      auto next = std::next(it);
      if (it->finished->load()) done.splice(done.end(), connections, it);
      it = next;
    }
  }
  for (Connection& c : done) c.thread.join();
}

void HttpTestServer::State::AcceptLoop() {
  while (!stopping.load()) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(listener.get(), &readable);
    timeval wait{0, 50 * 1000};
    if (select(0, &readable, nullptr, nullptr, &wait) <= 0) {
      ReapFinished();
      continue;
    }
    UniqueSocket client(accept(listener.get(), nullptr, nullptr));
    if (!client) continue;
    Connection c;
    auto finished = c.finished;
    SOCKET raw = client.release();
    c.thread = std::thread([this, raw, finished]() {
      Serve(UniqueSocket(raw));
      finished->store(true);
    });
    {
      std::lock_guard<std::mutex> hold(mutex);
      connections.push_back(std::move(c));
    }
    ReapFinished();
  }
}

void HttpTestServer::State::Serve(UniqueSocket client) {
  DWORD timeoutMs = 5000;
  setsockopt(client.get(), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeoutMs), sizeof timeoutMs);
  std::string request;
  char buffer[2048];
  while (request.find("\r\n\r\n") == std::string::npos && request.size() < 65536) {
    int n = recv(client.get(), buffer, sizeof buffer, 0);
    if (n <= 0) break;
    request.append(buffer, static_cast<size_t>(n));
  }
  // "GET /path?query HTTP/1.1"
  std::string path = "/";
  size_t firstSpace = request.find(' ');
  if (firstSpace != std::string::npos) {
    size_t secondSpace = request.find(' ', firstSpace + 1);
    path = request.substr(firstSpace + 1,
                          secondSpace == std::string::npos ? std::string::npos : secondSpace - firstSpace - 1);
    path = path.substr(0, path.find('?'));
  }

  HttpTestResponse response;
  response.status = 404;
  {
    std::unique_lock<std::mutex> hold(mutex);
    auto it = responses.find(path);
    if (it != responses.end()) response = it->second;
    ++counts[path];
    if (response.delayMs > 0) {
      stopSignal.wait_for(hold, std::chrono::milliseconds(response.delayMs), [this] { return stopping.load(); });
    }
  }

  std::string reply = "HTTP/1.1 " + std::to_string(response.status) + " " + ReasonPhrase(response.status) +
                      "\r\nContent-Length: 0\r\nConnection: close\r\n";
  if (!response.location.empty()) reply += "Location: " + response.location + "\r\n";
  reply += "\r\n";
  send(client.get(), reply.data(), static_cast<int>(reply.size()), 0);
  shutdown(client.get(), SD_SEND);
  // Let the client close first so that it reads the answer rather than a reset.
  timeoutMs = 1000;
  setsockopt(client.get(), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeoutMs), sizeof timeoutMs);
  while (recv(client.get(), buffer, sizeof buffer, 0) > 0) {
  }
}

HttpTestServer::HttpTestServer() : state_(new State()) {}

HttpTestServer::~HttpTestServer() { Stop(); }

void HttpTestServer::SetResponse(const std::string& path, const HttpTestResponse& response) {
  std::lock_guard<std::mutex> hold(state_->mutex);
  state_->responses[path] = response;
}

bool HttpTestServer::Start() {
  state_->winsock.reset(new WinsockUse());
  if (!state_->winsock->ok()) return false;
  UniqueSocket listener(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
  if (!listener) return false;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  if (bind(listener.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return false;
  if (listen(listener.get(), SOMAXCONN) != 0) return false;
  int length = sizeof address;
  if (getsockname(listener.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) return false;
  state_->port = ntohs(address.sin_port);
  state_->listener = std::move(listener);
  state_->stopping.store(false);
  state_->acceptThread = std::thread([s = state_.get()] { s->AcceptLoop(); });
  return true;
}

void HttpTestServer::Stop() {
  if (!state_->acceptThread.joinable()) return;
  {
    std::lock_guard<std::mutex> hold(state_->mutex);
    state_->stopping.store(true);
  }
  state_->stopSignal.notify_all();
  state_->acceptThread.join();
  std::list<Connection> all;
  {
    std::lock_guard<std::mutex> hold(state_->mutex);
    all.swap(state_->connections);
  }
  for (Connection& c : all) c.thread.join();
  state_->listener.reset();
  state_->winsock.reset();
}

uint16_t HttpTestServer::Port() const { return state_->port; }

Text HttpTestServer::Url(const std::string& path) const {
  return AsciiText(("http://127.0.0.1:" + std::to_string(state_->port) + path).c_str());
}

int HttpTestServer::RequestCount(const std::string& path) const {
  std::lock_guard<std::mutex> hold(state_->mutex);
  auto it = state_->counts.find(path);
  return it == state_->counts.end() ? 0 : it->second;
}

uint16_t UnusedLoopbackPort() {
  WinsockUse winsock;
  if (!winsock.ok()) return 0;
  UniqueSocket s(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
  if (!s) return 0;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(s.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return 0;
  int length = sizeof address;
  if (getsockname(s.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) return 0;
  return ntohs(address.sin_port);
}
