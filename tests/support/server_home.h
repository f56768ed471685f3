// ServerHome: a temporary home for a test server: config.xml with every parameter (a free
// POP3 port on 127.0.0.1), and a mail store whose users are made from the
// demo's .template directory, the way the manager makes them.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/temp_dir.h"

namespace OvrinTest {

class ServerHome {
public:
    ServerHome();

    const std::string& Path() const { return dir.Path(); }
    // The mail store root, (home)/mail.
    std::string MailDirectory() const { return dir / "mail"; }
    std::string ConfigPath() const { return dir / "config.xml"; }
    int POP3Port() const;
    // (mail)/(user)/(name)
    std::string UserPath(const std::string& user, const std::string& name) const;

    // Every parameter of a complete configuration, as (name, value) in file order.
    std::vector<std::pair<std::string, std::string>>& Params() { return params; }
    void SetParam(const std::string& name, const std::string& value);
    // The value of a parameter, empty when it is not set.
    std::string Param(const std::string& name) const;
    void RemoveParam(const std::string& name);
    // Writes config.xml from Params().
    void WriteConfig() const;

    // A user directory with the .template's files and directories.
    void AddUser(const std::string& user);
    // Writes a file below the home (directories must exist).
    void WriteFile(const std::string& relativePath, const std::string& contents) const;
    bool Exists(const std::string& relativePath) const;

private:
    TempDir dir;
    std::vector<std::pair<std::string, std::string>> params;
};

// A TCP port on 127.0.0.1 kept for this test process: free when drawn, and drawn by no other
// test while this one runs. Only for servers that bind with SO_REUSEADDR, as ovrin, Dovecot and
// Python's HTTP server do.
int FreePort();
// Where the bundled demo lies in the source tree.
std::string DemoDirectory();
// Attribute text for XML: & < > " escaped.
std::string XmlAttribute(const std::string& text);

}  // namespace OvrinTest
