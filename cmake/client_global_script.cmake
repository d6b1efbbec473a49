# Writes the classic-script form of the client library (for <script src>, file:// pages and
# pages without modules): the ES module's own code inside one function, its exports gathered
# into a single global, Lenvaro. Run as cmake -DMODULE=<lenvaro-client.js> -DOUTPUT=<file> -P.
# The module has no imports and declares each export as "export <kind> <name>" at the start of
# a line, which is all this relies on; the web tests compare the global with the module.
file(READ "${MODULE}" code)
string(REGEX MATCHALL "\nexport (async function|function|class|const|let) [A-Za-z_$][A-Za-z0-9_$]*" declarations "${code}")
set(names "")
foreach(declaration IN LISTS declarations)
  string(REGEX REPLACE ".* " "" name "${declaration}")
  list(APPEND names "${name}")
endforeach()
if(NOT names)
  message(FATAL_ERROR "${MODULE} exports nothing")
endif()
string(REGEX REPLACE "\nexport (async function|function|class|const|let) " "\n\\1 " code "${code}")
if(code MATCHES "\nexport ")
  message(FATAL_ERROR "${MODULE} has an export this script does not understand")
endif()
list(JOIN names ", " exported)
file(WRITE "${OUTPUT}.tmp" "// lenvaro-client.global.js: the client library as a classic script. Made by the build from
// lenvaro-client.js (edit that one); it defines one global, Lenvaro, holding the module's exports.
(function (global) {
\"use strict\";
${code}
global.Lenvaro = Object.freeze({ ${exported} });
})(typeof globalThis !== \"undefined\" ? globalThis : this);
")
file(RENAME "${OUTPUT}.tmp" "${OUTPUT}")
