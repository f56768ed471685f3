#include "tests/support/test_ca.h"

#include <stdexcept>
#include <vector>

#include "tests/support/program_run.h"

namespace OvrinTest {

namespace {

constexpr int kOpensslSeconds = 30;

void Openssl(const std::vector<std::string>& arguments) {
    std::vector<std::string> command{"openssl"};
    command.insert(command.end(), arguments.begin(), arguments.end());
    const ProgramResult result = RunProgram(command, kOpensslSeconds);
    if (result.exitCode != 0)
        throw std::runtime_error("openssl " + arguments.front() + " failed: " + result.output);
}

// Elliptic-curve keys: made in milliseconds, unlike RSA ones.
const std::vector<std::string> kNewKey = {"-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"};

}  // namespace

TestCA::TestCA() {
    std::vector<std::string> arguments{"req", "-x509", "-days", "2", "-subj", "/CN=Ovrin Test CA",
                                       "-keyout", dir / "ca.key", "-out", dir / "ca.pem"};
    arguments.insert(arguments.begin() + 2, kNewKey.begin(), kNewKey.end());
    Openssl(arguments);
}

TestCA::Issued TestCA::Issue(const std::string& altNames, int days) {
    const std::string base = dir / ("server" + std::to_string(++issued));
    Issued made{base + ".pem", base + ".key"};
    std::vector<std::string> request{"req", "-subj", "/CN=Ovrin Test Server", "-keyout", made.key, "-out",
                                     base + ".csr"};
    request.insert(request.begin() + 1, kNewKey.begin(), kNewKey.end());
    Openssl(request);
    WriteWholeFile(base + ".ext", "subjectAltName=" + altNames + "\n");
    // A negative count puts the end of validity before its beginning, now: expired.
    Openssl({"x509", "-req", "-in", base + ".csr", "-CA", CertificateFile(), "-CAkey", dir / "ca.key",
             "-CAcreateserial", "-days", std::to_string(days), "-extfile", base + ".ext", "-out", made.certificate});
    return made;
}

}  // namespace OvrinTest
