// Telling the library's troubles.
#include "pictavo/problem_log.h"

#include <iostream>
#include <mutex>
#include <set>

#include "common/daily_log.h"
#include "pictavo/recognition/locale_text.h"

namespace pictavo {

void reportProblem(const std::string& line) {
    std::cerr << line << std::endl;
    lenvaro::DailyLog log(lenvaro::dailyLogFolder(), interfaceCodePage());
    log.writeLine(line.c_str());
}

void reportProblemOnce(const std::string& line) {
    static std::mutex mutex;
    static std::set<std::string>* const told = new std::set<std::string>();
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (!told->insert(line).second) return;
    }
    reportProblem(line);
}

}  // namespace pictavo
