// A zh_CN.GBK locale of the tests' own, made once per test process with localedef (Debian's
// locales package), so that a program started with LOCPATH and LC_ALL set works in GBK, the code
// page of Chinese Windows, whatever locales this machine has installed.
#pragma once

#include <cstdio>
#include <memory>
#include <string>

#include "common/paths.h"

namespace lenvaro::testing {

struct GbkLocale {
    std::string folder;   // for LOCPATH
    std::string problem;  // why it could not be made (then the test skips), or empty
};

inline const GbkLocale& gbkLocale() {
    static const std::unique_ptr<ScratchDirectory> folder = std::make_unique<ScratchDirectory>();
    static const GbkLocale locale = [] {
        const std::string quoted = "'" + folder->path() + "'";
        // localedef warns (status 1) about the charmap's gaps, yet writes a usable locale: what
        // the locale does decides, not the status.
        const std::string make = "localedef -i zh_CN -f GBK " + quoted + "/zh_CN.GBK >/dev/null 2>&1";
        if (std::system(make.c_str()) == -1) return GbkLocale{"", "cannot run localedef"};
        const std::string ask = "LOCPATH=" + quoted + " LC_ALL=zh_CN.GBK locale charmap 2>/dev/null";
        std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(ask.c_str(), "r"), pclose);
        char charmap[64] = {};
        if (!pipe || std::fgets(charmap, sizeof charmap, pipe.get()) == nullptr ||
            std::string(charmap) != "GBK\n") {
            return GbkLocale{"", "localedef could not make zh_CN.GBK (is the locales package installed?)"};
        }
        return GbkLocale{folder->path(), ""};
    }();
    return locale;
}

}  // namespace lenvaro::testing
