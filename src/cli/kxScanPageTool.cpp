// A build tool, never installed: writes orvane-scan's manual page or bash completion from the
// option table the program itself uses.
//
//   orvane-scan-page man VERSION DATE FILE
//   orvane-scan-page bash FILE

#include "cli/kxScanPage.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

namespace {

int Usage() {
    std::fputs("Usage: orvane-scan-page man VERSION DATE FILE | bash FILE\n", stderr);
    return 2;
}

// The whole file or a failure: a half-written page must not pass for a page.
int Write(const char* fileName, const std::string& text) {
    std::FILE* file = std::fopen(fileName, "wb");
    const bool written = file && std::fwrite(text.data(), 1, text.size(), file) == text.size();
    if (file && std::fclose(file) == 0 && written)
        return 0;
    std::fprintf(stderr, "orvane-scan-page: can not write %s: %s\n", fileName,
                 std::strerror(errno));
    std::remove(fileName);
    return 1;
}

} // namespace

int main(int argc, char** argv) {
    const std::string_view kind = argc > 1 ? argv[1] : "";
    if (kind == "man" && argc == 5)
        return Write(argv[4], ScanManPage(ScanPage(), argv[2], argv[3]));
    if (kind == "bash" && argc == 3)
        return Write(argv[2], ScanBashCompletion(ScanPage()));
    return Usage();
}
