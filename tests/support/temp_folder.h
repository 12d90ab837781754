// A fresh folder per test, removed with everything in it afterwards.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class TempFolder {
public:
    TempFolder();
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    const std::wstring& path() const { return path_; }
    // path() joined with a relative name, with the platform's separator.
    std::wstring Join(const std::wstring& name) const;
    static std::wstring JoinPath(const std::wstring& folder, const std::wstring& name);
    // Writes bytes to a file in the folder and returns its full path.
    std::wstring Write(const std::wstring& name, const std::vector<uint8_t>& bytes) const;
    std::wstring Write(const std::wstring& name, const std::string& text) const;

private:
    std::wstring path_;
};

// The whole content of a file; empty when it cannot be read.
std::vector<uint8_t> ReadWholeFile(const std::wstring& path);
bool FileExists(const std::wstring& path);
