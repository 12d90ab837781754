// Where the public test material lies, on the native build and under Wine.
#pragma once

#include <filesystem>
#include <string>

// The folder of the shared corpora: FRAMELET_CORPORA when set, else
// ../shared/corpora beside the repository. On Windows an absolute POSIX path
// (as the environment carries it into Wine) is turned into its Z: drive form.
// Empty when the folder does not exist.
std::filesystem::path CorporaRoot();

// A POSIX path as the Windows build sees it: "/a/b" becomes "Z:\a\b"; other
// paths and every path on the native build are returned unchanged.
std::filesystem::path HostPath(const std::string& path);
