#include "support/LabCa.h"

#include <chrono>

#include "support/ChildProcess.h"

namespace kf::test {

namespace {

constexpr auto kOpensslTime = std::chrono::milliseconds(20000);

bool Openssl(const std::vector<std::string>& arguments) {
    std::vector<std::string> argv = {"/usr/bin/openssl"};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return RunProgram(argv, kOpensslTime) == 0;
}

}  // namespace

LabCa::LabCa() {
    made_ =
        Openssl({"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                 "-nodes", "-keyout", dir_ / "ca.key", "-out", dir_ / "ca.pem", "-days", "2",
                 "-subj", "/CN=Kestrelfetch Lab CA", "-addext", "basicConstraints=critical,CA:TRUE",
                 "-addext", "keyUsage=critical,keyCertSign,cRLSign"});
}

LabCa::Server LabCa::Issue(const std::string& name, const std::string& subject_alt_names) const {
    const std::string key = dir_ / (name + ".key");
    const std::string request = dir_ / (name + ".csr");
    const std::string certificate = dir_ / (name + ".pem");
    const std::string extensions = dir_ / (name + ".ext");
    if (!made_ ||
        !WriteFile(extensions, "subjectAltName=" + subject_alt_names +
                                   "\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n") ||
        !Openssl({"req", "-new", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                  "-nodes", "-keyout", key, "-out", request, "-subj", "/CN=" + name}) ||
        !Openssl({"x509", "-req", "-in", request, "-CA", Certificate(), "-CAkey", dir_ / "ca.key",
                  "-CAcreateserial", "-days", "2", "-extfile", extensions, "-out", certificate})) {
        return {};
    }
    return {certificate, key};
}

}  // namespace kf::test
