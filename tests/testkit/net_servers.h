// Real servers on loopback for the download and update tests: the HTTP(S)
// server of tests/servers/http_server.py serving a host folder, and
// Debian's tinyproxy with Basic authentication. Both are started on free
// ports and stopped when the object goes.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace nxtest {

class HttpServer {
 public:
  struct Tls {
    std::string cert, key;  // PEM files; empty for plain HTTP
  };
  // Serves root; requests.log and the gate files live in control (a
  // folder the test owns; default: root's parent).
  explicit HttpServer(const std::string& root, const std::string& control = "", const Tls& tls = {});
  ~HttpServer();
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  bool running() const { return port_ > 0; }
  int port() const { return port_; }
  // "http://127.0.0.1:PORT/" followed by prefix (controls such as "slow=2000/").
  std::string url(const std::string& prefix = "") const;
  // The requests so far, "GET /path" each.
  std::vector<std::string> requests() const;
  // Lets a gate=NAME download go on.
  void openGate(const std::string& name) const;
  const std::string& control() const { return control_; }

 private:
  pid_t pid_ = -1;
  int port_ = 0;
  bool tls_ = false;
  std::string control_;
};

class Proxy {
 public:
  // tinyproxy on a free port, asking for Basic authentication with user and
  // password (none when user is empty). available() is false when tinyproxy
  // is not installed.
  Proxy(const std::string& user, const std::string& password);
  ~Proxy();
  Proxy(const Proxy&) = delete;
  Proxy& operator=(const Proxy&) = delete;

  static bool available();
  bool running() const { return port_ > 0; }
  int port() const { return port_; }
  // What the proxy logged (requests it forwarded or refused).
  std::string log() const;

 private:
  pid_t pid_ = -1;
  int port_ = 0;
  std::string dir_;
};

// A port nothing listens on at this moment (for "connection refused").
int closedPort();

// A self-signed certificate for 127.0.0.1 made with the openssl tool into
// dir (cert.pem, key.pem); false when it cannot be made.
bool makeTestCertificate(const std::string& dir);

}  // namespace nxtest
