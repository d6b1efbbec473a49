// Troubles of the library that a user should be able to find: told on standard error and in the
// service's day's log (common/daily_log.h, linked into this library), in its folder and line
// format. Never with card data or other personal data in them.
#pragma once

#include <string>

namespace pictavo {

void reportProblem(const std::string& line);

// The same, once per distinct line for the library's life: a trouble met at every read is told
// once, not at every read. Thread-safe.
void reportProblemOnce(const std::string& line);

}  // namespace pictavo
