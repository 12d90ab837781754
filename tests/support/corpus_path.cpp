#include "support/corpus_path.h"

#include <cstdlib>

namespace fs = std::filesystem;

fs::path HostPath(const std::string& path) {
#ifdef _WIN32
    if (!path.empty() && path[0] == '/') {
        std::string windows = "Z:" + path;
        for (char& c : windows)
            if (c == '/') c = '\\';
        return fs::path(windows);
    }
#endif
    return fs::path(path);
}

fs::path CorporaRoot() {
    fs::path root;
    if (const char* configured = std::getenv("FRAMELET_CORPORA"); configured != nullptr && configured[0] != 0) {
        root = HostPath(configured);
    } else {
        // This file lies at <repository>/tests/support/; the build names it
        // by its absolute path, so the repository's folder follows from it.
        const fs::path repository = HostPath(__FILE__).parent_path().parent_path().parent_path();
        root = repository / ".." / "shared" / "corpora";
    }
    std::error_code error;
    if (!fs::is_directory(root, error)) return {};
    const fs::path tidy = fs::weakly_canonical(root, error);
    return error ? root : tidy;
}
