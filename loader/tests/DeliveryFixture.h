// Delivery trees and files for the delivery, boot-folder and server tests, built by the tests themselves.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace fixture {

// A fresh folder below the temporary folder, removed with everything in it on destruction.
class TempFolder {
public:
    explicit TempFolder(const std::string &name);
    ~TempFolder();
    const std::string &Path() const { return m_path; }

private:
    std::string m_path;
};

void RemoveTree(const std::string &path);
// Writes a file, creating its folders.
void WriteTextFile(const std::string &path, const std::string &content);
std::string ReadTextFile(const std::string &path);
bool FileExists(const std::string &path);
// The names in a folder (no "." or ".."), sorted.
std::vector<std::string> FolderEntries(const std::string &folder);

// A new-style delivery: config.rc with the release line and extra lines, hw_req.xml with the board type,
// kernel files (with the boot list "pemrocom" unless left out) and RAM-disk files.
void MakeNewStyleDelivery(const std::string &folder, const std::string &releaseLine, const std::string &boardType,
                          bool withBootList = true);
// An old-style delivery: only config.rc with an old release line.
void MakeOldStyleDelivery(const std::string &folder);

}  // namespace fixture
