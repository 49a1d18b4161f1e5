// A folder tree for the server's tests: real Win32 files in a temporary folder under Wine, the
// in-memory tree natively. Relative paths are "/"-separated UTF-8.
#pragma once

#include "fFiles.h"

#include <memory>
#include <string>

class TTestTree {
public:
    virtual ~TTestTree() = default;
    virtual TFileSystem &Files() = 0;
    virtual std::wstring Root() = 0;
    virtual void AddFolder(const std::string &relative) = 0;
    virtual void AddFile(const std::string &relative, const std::string &data, bool readOnly = false) = 0;
    virtual void Remove(const std::string &relative) = 0;
    // The short (8.3) name the system gave the entry; empty where names have none.
    virtual std::string ShortName(const std::string &relative) = 0;
    // The system time moves on by this much (really, under Wine).
    virtual void LetTimePass(unsigned seconds) = 0;
    // How many folder listings the server has asked for so far.
    virtual unsigned Listings() = 0;
    // How many times the server has had a file's data put on the disk.
    virtual unsigned Flushes() = 0;
};

std::unique_ptr<TTestTree> MakeTestTree();
