#include "support/temp_folder.h"

#include <filesystem>
#include <fstream>
#include <random>

namespace fs = std::filesystem;

namespace {

#ifdef _WIN32
constexpr wchar_t kSeparator = L'\\';
#else
constexpr wchar_t kSeparator = L'/';
#endif

}  // namespace

TempFolder::TempFolder() {
    std::random_device random;
    const fs::path base = fs::temp_directory_path();
    for (;;) {
        const fs::path candidate = base / (L"framelet-test-" + std::to_wstring(random()));
        if (fs::create_directory(candidate)) {
            path_ = candidate.wstring();
            break;
        }
    }
}

TempFolder::~TempFolder() {
    std::error_code ignored;
    fs::remove_all(fs::path(path_), ignored);
}

std::wstring TempFolder::Join(const std::wstring& name) const { return JoinPath(path_, name); }

std::wstring TempFolder::JoinPath(const std::wstring& folder, const std::wstring& name) {
    return folder + kSeparator + name;
}

std::wstring TempFolder::Write(const std::wstring& name, const std::vector<uint8_t>& bytes) const {
    const std::wstring full = Join(name);
    std::ofstream out(fs::path(full), std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return full;
}

std::wstring TempFolder::Write(const std::wstring& name, const std::string& text) const {
    return Write(name, std::vector<uint8_t>(text.begin(), text.end()));
}

std::vector<uint8_t> ReadWholeFile(const std::wstring& path) {
    std::ifstream in(fs::path(path), std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool FileExists(const std::wstring& path) { return fs::exists(fs::path(path)); }
