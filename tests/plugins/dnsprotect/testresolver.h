// Loopback resolvers for the DNS-protection plug-in's tests: plain DNS over
// UDP and TCP, or DNS over TLS with certificates from a CA made on the spot.
#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "common/hxttypes.h"

namespace hxt::test {

// A CA and server certificates, written as PEM files into `dir`.
class TestPki {
 public:
  explicit TestPki(const std::string& dir);
  ~TestPki();
  const std::string& caFile() const { return caFile_; }
  // A certificate for `name` (its subject alternative name) and its key;
  // `trusted` false signs it with a second CA that nobody trusts.
  void Issue(const std::string& name, const std::string& certFile, const std::string& keyFile,
             bool trusted = true);

 private:
  struct Keys;
  std::string dir_, caFile_;
  std::unique_ptr<Keys> keys_;
};

struct ResolverOptions {
  std::string answer = "192.0.2.1";  // every query gets this A record
  bool silent = false;               // reads queries, never answers
  bool truncateUdp = false;          // UDP answers carry TC and no record
  std::string certFile, keyFile;     // set: the TCP side speaks TLS
  int answerInBatchesOf = 1;         // TLS: holds answers and sends each batch in reverse order
  u16 port = 0;                      // 0: any free port
};

// Serves UDP and TCP (or TLS) on one loopback port, on its own thread.
class TestResolver {
 public:
  explicit TestResolver(ResolverOptions options);
  ~TestResolver();
  u16 port() const;
  int udpQueries() const;
  int streamQueries() const;
  int connections() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace hxt::test
