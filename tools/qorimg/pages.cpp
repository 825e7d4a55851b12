#include "pages.h"

namespace qorimg_tool {

std::string ListTiffPages(const std::string&, std::vector<PageSummary>* pages) {
    pages->clear();
    return "page listing is not available in this build";
}

}  // namespace qorimg_tool
