#pragma once

#include <string>

#include "support/TempDir.h"

namespace kf::test {

// A certificate authority made for one test with the openssl tool (P-256 keys, valid two days),
// and the server certificates it signs. Everything lives in a temporary folder of its own.
//
//   LabCa ca;
//   ASSERT_TRUE(ca.Made());
//   LabCa::Server server = ca.Issue("good", "IP:127.0.0.1,DNS:localhost");
//   ... nginx with server.certificate and server.key; clients trust ca.Certificate() ...
class LabCa {
  public:
    struct Server {
        std::string certificate;  // PEM, empty when it could not be made
        std::string key;          // PEM
    };

    LabCa();
    bool Made() const { return made_; }
    // The authority's certificate (PEM file).
    std::string Certificate() const { return dir_ / "ca.pem"; }
    // A server certificate called `name` for `subject_alt_names` (openssl's syntax).
    Server Issue(const std::string& name, const std::string& subject_alt_names) const;

  private:
    TempDir dir_;
    bool made_ = false;
};

}  // namespace kf::test
