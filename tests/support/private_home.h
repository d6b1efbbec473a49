// A home folder of the test's own: HOME and XDG_CONFIG_HOME point into a scratch directory for
// the life of the object, so that what the service keeps in the user's documents folder (the
// collected fingerprint images) never reaches the real user's, and the real user's
// user-dirs.dirs does not move it elsewhere.
#pragma once

#include <string>

#include "common/paths.h"
#include "scoped_environment.h"

namespace lenvaro::testing {

class PrivateHome {
public:
    const std::string& path() const { return folder_.path(); }
    std::string file(const std::string& name) const { return folder_.file(name); }
    // Where the service puts documents under this home.
    std::string documents() const { return folder_.file("Documents"); }

private:
    ScratchDirectory folder_;
    ScopedEnvironment home_{"HOME", folder_.path()};
    ScopedEnvironment config_{"XDG_CONFIG_HOME", folder_.file(".config")};
};

}  // namespace lenvaro::testing
