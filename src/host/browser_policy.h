// `lenvaro-server --browser-policy install|remove|show`: a managed-policy file that lets the
// pages an administrator trusts reach the service through the Local Network Access check of
// Chromium-based browsers.
//
// Chromium (since about version 142) refuses a page on a public address a connection to
// 127.0.0.1 unless the user allows it at a prompt, and refuses plain-HTTP public pages outright.
// An enterprise policy lifts that for listed origins. The list is the service's own
// allowedOrigin list: the same pages the service lets in.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace lenvaro {

// Our file's name in each managed-policy folder. Nothing else in those folders is ever written
// or removed.
constexpr const char* kBrowserPolicyFileName = "lenvaro-server.json";

// The policy that exempts listed origins from Local Network Access checks, and the one that
// makes a listed plain-HTTP origin count as a secure page. Chromium 156 ignores the first for a
// page that is not a secure context, so plain-HTTP origins are listed in both.
constexpr const char* kLocalNetworkAccessPolicy = "LocalNetworkAccessAllowedForUrls";
constexpr const char* kInsecureOriginPolicy = "OverrideSecurityRestrictionsOnInsecureOrigin";

struct PolicyFolder {
    std::string browser;  // "Chromium", "Google Chrome", "Microsoft Edge"
    std::string path;     // the managed-policy folder, no trailing separator
};

// The managed-policy folders of Chromium, Google Chrome and Microsoft Edge on Linux.
std::vector<PolicyFolder> managedPolicyFolders();

// The origins a policy file lists, taken from the allowedOrigin settings: canonical, without
// duplicates, in the order written. `error` says why there are none to write: no setting at all,
// or a setting that is not the origin of a web page (a wildcard, "null", a path, another scheme).
// One bad entry refuses the whole list: a policy must never be wider or narrower than what the
// administrator meant.
struct PolicyOrigins {
    std::vector<std::string> origins;
    std::string error;
};
PolicyOrigins policyOriginsFrom(const std::vector<std::string>& allowedOriginSettings);

// The JSON text of our policy file for these origins.
std::string browserPolicyText(const std::vector<std::string>& origins);

enum class BrowserPolicyAction { Install, Remove, Show };

struct BrowserPolicySetup {
    std::string configPath;             // cfg/exeCfg.xml of this installation
    std::vector<PolicyFolder> folders;  // where the browsers read managed policies
    bool privileged = false;            // may write the folders (root)
};

// Carries out the action and returns the exit status: 0 done, 1 refused or failed. What was done
// goes to `out`, what went wrong to `err`.
int runBrowserPolicy(BrowserPolicyAction action, const BrowserPolicySetup& setup, std::ostream& out,
                     std::ostream& err);

}  // namespace lenvaro
