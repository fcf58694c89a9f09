#include "page.h"

#include <fstream>
#include <sstream>

namespace tarn::view {
namespace {

struct EmbeddedFile {
    const char* path;
    const char* contentType;
    const char* body;
};

// Made at configure time from the files in page/.
const EmbeddedFile kEmbedded[] = {
#include "page_files.inc"
};

bool readFile(const std::string& name, std::string& out) {
    std::ifstream in(name, std::ios::binary);
    if (!in) {
        return false;
    }
    std::ostringstream text;
    text << in.rdbuf();
    out = text.str();
    return static_cast<bool>(in) || in.eof();
}

}  // namespace

std::vector<PageFile> loadPageFiles(const std::string& threeDirectory) {
    std::vector<PageFile> files;
    for (const EmbeddedFile& f : kEmbedded) {
        files.push_back({f.path, f.contentType, f.body});
    }
    const char* const kScript = "text/javascript; charset=utf-8";
    const struct {
        const char* path;
        const char* file;
    } three[] = {{"/three.min.js", "/three.min.js"},
                 {"/OrbitControls.js", "/examples/js/controls/OrbitControls.js"}};
    for (const auto& t : three) {
        PageFile f{t.path, kScript, {}};
        if (readFile(threeDirectory + t.file, f.body)) {
            files.push_back(std::move(f));
        }
    }
    return files;
}

}  // namespace tarn::view
