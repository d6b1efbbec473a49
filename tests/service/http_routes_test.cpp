#include "service/http_routes.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>

#include "common/paths.h"

namespace lenvaro {
namespace {

class DemoFolder : public ::testing::Test {
protected:
    DemoFolder() {
        mkdir(demo().c_str(), 0700);
        mkdir((demo() + "/client").c_str(), 0700);
        mkdir((demo() + "/empty").c_str(), 0700);
        write(demo() + "/index.html", "<!doctype html><title>demo</title>");
        write(demo() + "/app.js", "export const a = 1;");
        write(demo() + "/style.css", "body{}");
        write(demo() + "/client/lenvaro-client.js", "export class LenvaroClient {}");
        write(demo() + "/odd name.txt", "spaced");
        write(scratch_.file("secret.txt"), "outside the demo folder");
    }
    static void write(const std::string& path, const std::string& text) { std::ofstream(path) << text; }
    std::string demo() const { return scratch_.file("demo"); }
    std::optional<HttpAnswer> get(const std::string& resource) const {
        return HttpRoutes(demo(), "Lenvaro Server", "1.2.3").answer("GET", resource);
    }
    HttpRoutes withState() const {
        return HttpRoutes(demo(), "Lenvaro Server", "1.2.3", [] { return R"("pdfList":2)"; });
    }

    ScratchDirectory scratch_;
};

TEST_F(DemoFolder, ServesFilesWithTheirContentTypes) {
    const auto index = get("/demo/");
    ASSERT_TRUE(index);
    EXPECT_EQ(index->status, 200);
    EXPECT_EQ(index->body, "<!doctype html><title>demo</title>");
    EXPECT_EQ(index->header("Content-Type"), "text/html; charset=utf-8");
    EXPECT_EQ(index->header("X-Content-Type-Options"), "nosniff");

    const auto script = get("/demo/client/lenvaro-client.js?v=2");
    ASSERT_TRUE(script);
    EXPECT_EQ(script->status, 200);
    EXPECT_EQ(script->body, "export class LenvaroClient {}");
    // Module scripts load only under a JavaScript type.
    EXPECT_EQ(script->header("Content-Type"), "text/javascript; charset=utf-8");
    EXPECT_EQ(get("/demo/style.css")->header("Content-Type"), "text/css; charset=utf-8");
    EXPECT_EQ(get("/demo/index.html")->body, index->body);
    EXPECT_EQ(get("/demo/odd%20name.txt")->body, "spaced");
}

TEST_F(DemoFolder, DirectoriesAndMissingFiles) {
    const auto bare = get("/demo");
    ASSERT_TRUE(bare);
    EXPECT_EQ(bare->status, 301);
    EXPECT_EQ(bare->header("Location"), "/demo/");
    const auto folder = get("/demo/client");
    ASSERT_TRUE(folder);
    EXPECT_EQ(folder->status, 301);
    EXPECT_EQ(folder->header("Location"), "/demo/client/");
    EXPECT_EQ(get("/demo/empty/")->status, 404);  // a folder without index.html is not listed
    EXPECT_EQ(get("/demo/missing.js")->status, 404);
}

TEST_F(DemoFolder, NothingOutsideTheFolderIsReachable) {
    for (const char* resource : {"/demo/../secret.txt", "/demo/%2e%2e/secret.txt", "/demo/%2E%2E%2fsecret.txt",
                                 "/demo/client/../../secret.txt", "/demo/..", "/demo/./index.html",
                                 "/demo/client//lenvaro-client.js", "/demo/..%5csecret.txt"}) {
        const auto answer = get(resource);
        ASSERT_TRUE(answer) << resource;
        EXPECT_EQ(answer->status, 403) << resource;
        EXPECT_EQ(answer->body.find("outside"), std::string::npos) << resource;
    }
    EXPECT_EQ(get("/demo/index.html%00.png")->status, 403);
    EXPECT_EQ(get("/demo/%zz")->status, 400);
    EXPECT_EQ(get("/demo/%4")->status, 400);

    // A link inside the folder that leads out of it is not followed.
    ASSERT_EQ(symlink(scratch_.file("secret.txt").c_str(), (demo() + "/link.txt").c_str()), 0);
    EXPECT_EQ(get("/demo/link.txt")->status, 404);
    ASSERT_EQ(symlink(scratch_.path().c_str(), (demo() + "/up").c_str()), 0);
    EXPECT_EQ(get("/demo/up/secret.txt")->status, 404);
}

TEST_F(DemoFolder, StatusNamesTheServiceForAnyPage) {
    const auto status = get("/status");
    ASSERT_TRUE(status);
    EXPECT_EQ(status->status, 200);
    EXPECT_EQ(status->body, R"({"name":"Lenvaro Server","version":"1.2.3"})");
    EXPECT_EQ(status->header("Access-Control-Allow-Origin"), "*");
    EXPECT_EQ(status->header("Content-Type"), "application/json; charset=utf-8");
    EXPECT_EQ(get("/status?probe=1")->body, status->body);
    EXPECT_EQ(HttpRoutes(demo(), "a\"b", "1\\2").answer("GET", "/status").body,
              R"({"name":"a\"b","version":"1\\2"})");
}

TEST_F(DemoFolder, StatusTellsTheStateOnlyToThoseLetIn) {
    const HttpRoutes routes = withState();
    EXPECT_EQ(routes.answer("GET", "/status").body, R"({"name":"Lenvaro Server","version":"1.2.3","pdfList":2})");
    EXPECT_EQ(routes.answer("GET", "/status", false).body, R"({"name":"Lenvaro Server","version":"1.2.3"})");
}

TEST_F(DemoFolder, TheClientLibraryIsForPagesOfAnySite) {
    write(demo() + "/client/lenvaro-client.global.js", "var Lenvaro;");
    const HttpAnswer module = get("/client/lenvaro-client.js").value();
    EXPECT_EQ(module.status, 200);
    EXPECT_EQ(module.body, "export class LenvaroClient {}");
    EXPECT_EQ(module.header("Content-Type"), "text/javascript; charset=utf-8");
    EXPECT_EQ(module.header("Access-Control-Allow-Origin"), "*");
    EXPECT_EQ(module.header("Cross-Origin-Resource-Policy"), "cross-origin");
    EXPECT_EQ(get("/client/lenvaro-client.global.js")->body, "var Lenvaro;");
    EXPECT_EQ(get("/client")->header("Location"), "/client/");
    EXPECT_EQ(get("/client/../index.html")->status, 403);
    EXPECT_EQ(get("/client/missing.js")->status, 404);
    // The demo page's own copy stays a file of that page.
    EXPECT_EQ(get("/demo/client/lenvaro-client.js")->header("Access-Control-Allow-Origin"), "");
}

TEST_F(DemoFolder, EveryOtherRequestGetsAPlainAnswer) {
    const HttpRoutes routes = withState();
    const HttpAnswer root = routes.answer("GET", "/");
    EXPECT_EQ(root.status, 302);
    EXPECT_EQ(root.header("Location"), "/demo/");
    for (const char* resource : {"/index.html", "/status/", "/statusx", "/demox/", "/DEMO/", "/favicon.icon"}) {
        EXPECT_EQ(routes.answer("GET", resource).status, 404) << resource;
    }
    // HEAD: the headers of GET, the length of its body, no body sent.
    for (const char* resource : {"/status", "/demo/", "/demo/app.js", "/", "/missing"}) {
        const HttpAnswer get = routes.answer("GET", resource);
        const HttpAnswer head = routes.answer("HEAD", resource);
        EXPECT_TRUE(get.sendBody);
        EXPECT_FALSE(head.sendBody) << resource;
        EXPECT_EQ(head.status, get.status) << resource;
        EXPECT_EQ(head.headers, get.headers) << resource;
        EXPECT_EQ(head.body.size(), get.body.size()) << resource;
    }
    for (const char* method : {"POST", "PUT", "OPTIONS", "DELETE", "get"}) {
        const HttpAnswer refused = routes.answer(method, "/status");
        EXPECT_EQ(refused.status, 405) << method;
        EXPECT_EQ(refused.header("Allow"), "GET, HEAD") << method;
        EXPECT_EQ(refused.body.find("pdfList"), std::string::npos) << method;
    }
}

TEST_F(DemoFolder, TheSiteIconIsTheDemoPagesIconOrMissing) {
    // Without an icon in the folder: 404.
    EXPECT_EQ(get("/favicon.ico")->status, 404);
    write(demo() + "/favicon.ico", "icon");
    const auto icon = get("/favicon.ico");
    EXPECT_EQ(icon->status, 200);
    EXPECT_EQ(icon->body, "icon");
    EXPECT_EQ(icon->header("Content-Type"), "image/x-icon");
}

TEST(DemoFolderLookup, BesideTheExecutableFirstThenTheSharedFolder) {
    ScratchDirectory root;
    const std::string bin = root.file("bin");
    mkdir(bin.c_str(), 0700);
    EXPECT_EQ(demoDirectory(bin), bin + "/../share/lenvaro-server/web/demo");
    mkdir((bin + "/web").c_str(), 0700);
    mkdir((bin + "/web/demo").c_str(), 0700);
    EXPECT_EQ(demoDirectory(bin), bin + "/web/demo");
}

TEST(DemoFolderLookup, WithoutAFolderEveryDemoFileIsMissing) {
    const HttpRoutes routes("/nonexistent/lenvaro/demo", "Lenvaro Server", "1");
    EXPECT_EQ(routes.answer("GET", "/demo/").status, 404);
    EXPECT_EQ(routes.answer("GET", "/status").status, 200);
}

TEST(ContentTypes, ByExtensionWhateverTheCase) {
    EXPECT_EQ(contentTypeFor("a/b.PNG"), "image/png");
    EXPECT_EQ(contentTypeFor("x.mjs"), "text/javascript; charset=utf-8");
    EXPECT_EQ(contentTypeFor("x.d.ts"), "text/plain; charset=utf-8");
    EXPECT_EQ(contentTypeFor("x.svg"), "image/svg+xml");
    EXPECT_EQ(contentTypeFor("Makefile"), "application/octet-stream");
}

}  // namespace
}  // namespace lenvaro
