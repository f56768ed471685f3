// A fresh temporary directory per test, removed with everything in it afterwards.
#pragma once

#include <filesystem>
#include <string>

namespace OvrinTest {

class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& Path() const { return path; }
    // Path of a name inside the directory.
    std::string operator/(const std::string& name) const { return path + "/" + name; }

private:
    std::string path;
};

// Whole-file helpers for checking what the code under test left on disk.
std::string ReadWholeFile(const std::string& path);
void WriteWholeFile(const std::string& path, const std::string& contents);

}  // namespace OvrinTest
