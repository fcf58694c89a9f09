// The viewer page's files, built into the library, and the three.js files it loads from the
// host's three.js directory. Request paths only select from this fixed table.
#ifndef TARN_SRC_VIEW_PAGE_H
#define TARN_SRC_VIEW_PAGE_H

#include <string>
#include <string_view>
#include <vector>

namespace tarn::view {

struct PageFile {
    std::string path;         // "/viewer.js"
    std::string contentType;  // "text/javascript; charset=utf-8"
    std::string body;
};

// The page's own files, then three.min.js and OrbitControls.js read from threeDirectory (each
// left out when it cannot be read).
std::vector<PageFile> loadPageFiles(const std::string& threeDirectory);

}  // namespace tarn::view

#endif  // TARN_SRC_VIEW_PAGE_H
