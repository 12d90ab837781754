#include "engine/input_list.h"

#include <algorithm>
#include <cwchar>

namespace {

// "." and ".." too; natively a leading dot reads as the hidden attribute.
bool Hidden(const WIN32_FIND_DATAW& entry) {
    return (entry.dwFileAttributes & FILE_ATTRIBUTE_HIDDEN) != 0 || wcscmp(entry.cFileName, L".") == 0 ||
           wcscmp(entry.cFileName, L"..") == 0;
}

bool IsFolder(const WIN32_FIND_DATAW& entry) { return (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0; }

// The folder's own kind of separator: a path from the root of a POSIX system
// takes '/', a Windows one '\\'.
std::wstring Join(const std::wstring& folder, const WCHAR* name) {
    const bool separated = !folder.empty() && (folder.back() == L'\\' || folder.back() == L'/');
    const WCHAR* separator = separated ? L"" : !folder.empty() && folder[0] == L'/' ? L"/" : L"\\";
    return folder + separator + name;
}

// The folder's own files, then each sub-folder's, both in name order.
void ListFolder(const std::wstring& folder, int given, std::vector<ListedInput>& listed) {
    std::vector<std::wstring> files;
    std::vector<std::wstring> folders;
    WIN32_FIND_DATAW entry;
    const HANDLE search = FindFirstFileW(Join(folder, L"*").c_str(), &entry);
    if (search == INVALID_HANDLE_VALUE) return;
    do {
        if (Hidden(entry)) continue;
        if (!IsFolder(entry)) {
            files.push_back(entry.cFileName);
        } else if ((entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
            folders.push_back(entry.cFileName);
        }
    } while (FindNextFileW(search, &entry));
    FindClose(search);
    std::sort(files.begin(), files.end());
    std::sort(folders.begin(), folders.end());
    for (const std::wstring& name : files) listed.push_back({Join(folder, name.c_str()), given});
    for (const std::wstring& name : folders) ListFolder(Join(folder, name.c_str()), given, listed);
}

}  // namespace

std::vector<ListedInput> ListInputs(int count, const WCHAR* const* inputs) {
    std::vector<ListedInput> listed;
    for (int i = 0; i < count; ++i) {
        if (PathIsDirectoryW(inputs[i])) {
            ListFolder(inputs[i], i, listed);
        } else {
            listed.push_back({inputs[i], i});
        }
    }
    return listed;
}
