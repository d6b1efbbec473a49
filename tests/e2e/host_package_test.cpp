// Installation: `cmake --install` to a prefix, and the Debian package unpacked into a temporary
// root, each with the systemd user unit and the autostart entry in place.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <regex>

#include "host_e2e_support.h"

namespace lenvaro::testing {
namespace {

// The build tree the tested executable comes from: <build>/bin/lenvaro-server.
std::string buildDirectory() {
    std::string path = LENVARO_SERVER_EXECUTABLE;
    path = path.substr(0, path.rfind('/'));
    return path.substr(0, path.rfind('/'));
}

bool isExecutableFile(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && access(path.c_str(), X_OK) == 0;
}

bool hasLine(const std::string& text, const std::string& line) {
    return ("\n" + text + "\n").find("\n" + line + "\n") != std::string::npos;
}

// When systemd's tools are there, they accept the unit.
void expectSystemdAccepts(const std::string& unit) {
    if (runCommand("sh", {"-c", "command -v systemd-analyze"}).status != 0) return;
    const CommandRun verify = runCommand("systemd-analyze", {"verify", unit});
    EXPECT_EQ(verify.status, 0) << verify.errors;
}

TEST(HostInstall, CmakeInstallPutsTheServiceAndItsUnitFilesUnderThePrefix) {
    ScratchDirectory prefix;
    const CommandRun install =
        runCommand("cmake", {"--install", buildDirectory(), "--prefix", prefix.path()});
    ASSERT_EQ(install.status, 0) << install.output << install.errors;

    EXPECT_TRUE(isExecutableFile(prefix.file("bin/lenvaro-server")));
    EXPECT_EQ(access(prefix.file("lib/libpictavo.so").c_str(), R_OK), 0);
    EXPECT_EQ(access(prefix.file("cfg/exeCfg.xml").c_str(), R_OK), 0);

    const std::string unit = readWholeFile(prefix.file("lib/systemd/user/lenvaro-server.service"));
    EXPECT_TRUE(hasLine(unit, "ExecStart=" + prefix.file("bin/lenvaro-server"))) << unit;
    EXPECT_TRUE(hasLine(unit, "Restart=on-failure")) << unit;
    EXPECT_TRUE(hasLine(unit, "WantedBy=default.target")) << unit;
    expectSystemdAccepts(prefix.file("lib/systemd/user/lenvaro-server.service"));

    const std::string entry = readWholeFile(prefix.file("etc/xdg/autostart/lenvaro-server.desktop"));
    EXPECT_TRUE(hasLine(entry, "[Desktop Entry]")) << entry;
    EXPECT_TRUE(hasLine(entry, "Type=Application")) << entry;
    EXPECT_TRUE(hasLine(entry, "Exec=" + prefix.file("bin/lenvaro-server"))) << entry;

    // The installed program finds its library through ../lib.
    const CommandRun version = runCommand(prefix.file("bin/lenvaro-server"), {"--version"});
    EXPECT_EQ(version.status, 0) << version.errors;
}

TEST(HostInstall, TheDebianPackageInstallsIntoARootWithItsUnitFilesAndDependencies) {
    ScratchDirectory work;
    const CommandRun pack = runCommand(
        "cpack", {"-G", "DEB", "-B", work.path(), "--config", buildDirectory() + "/CPackConfig.cmake"},
        {}, std::chrono::seconds(50));
    ASSERT_EQ(pack.status, 0) << pack.output << pack.errors;
    const std::smatch found = [&] {
        std::smatch match;
        std::regex_search(pack.output, match, std::regex(R"(package: (\S+\.deb) generated)"));
        return match;
    }();
    ASSERT_FALSE(found.empty()) << pack.output;
    const std::string package = found[1];

    const CommandRun fields = runCommand("dpkg-deb", {"--field", package, "Package", "Depends"});
    ASSERT_EQ(fields.status, 0) << fields.errors;
    EXPECT_NE(fields.output.find("Package: lenvaro-server"), std::string::npos) << fields.output;
    for (const char* dependency :
         {"libjsoncpp", "libtinyxml", "libboost-system", "libjpeg", "libc6", "libopencv-dnn"}) {
        EXPECT_NE(fields.output.find(dependency), std::string::npos) << dependency << " in " << fields.output;
    }

    const std::string root = work.file("root");
    const CommandRun unpack = runCommand("dpkg-deb", {"--extract", package, root});
    ASSERT_EQ(unpack.status, 0) << unpack.errors;
    const std::string home = root + "/opt/lenvaro-server";
    EXPECT_TRUE(isExecutableFile(home + "/bin/lenvaro-server"));
    EXPECT_EQ(access((home + "/lib/libpictavo.so").c_str(), R_OK), 0);
    EXPECT_EQ(access((home + "/cfg/exeCfg.xml").c_str(), R_OK), 0);
    // The face model scripts/setup converted, where the library looks for it.
    for (const char* file : {"face_detector.onnx", "face_landmarks.onnx", "face_recognition.onnx"}) {
        EXPECT_EQ(access((home + "/share/lenvaro-server/models/face/" + file).c_str(), R_OK), 0) << file;
    }

    const std::string unit = readWholeFile(root + "/usr/lib/systemd/user/lenvaro-server.service");
    EXPECT_TRUE(hasLine(unit, "ExecStart=/opt/lenvaro-server/bin/lenvaro-server")) << unit;
    EXPECT_TRUE(hasLine(unit, "Restart=on-failure")) << unit;
    const std::string entry = readWholeFile(root + "/etc/xdg/autostart/lenvaro-server.desktop");
    EXPECT_TRUE(hasLine(entry, "Exec=/opt/lenvaro-server/bin/lenvaro-server")) << entry;
    // USB ID card readers are the user's at the seat; libusb comes with the package.
    const std::string rule = readWholeFile(root + "/usr/lib/udev/rules.d/60-lenvaro-id-card-reader.rules");
    EXPECT_NE(rule.find(R"(ATTR{idVendor}=="0400", ATTR{idProduct}=="c35a", TAG+="uaccess")"),
              std::string::npos) << rule;
    EXPECT_NE(fields.output.find("libusb-1.0-0"), std::string::npos) << fields.output;
    // The copies meant for a prefix install stay out of the package.
    EXPECT_NE(access((home + "/lib/systemd").c_str(), F_OK), 0);
    EXPECT_NE(access((home + "/etc").c_str(), F_OK), 0);

    // The browser policy is the administrator's choice: documented, never installed.
    const std::string readme = readWholeFile(root + "/usr/share/doc/lenvaro-server/README.Debian");
    EXPECT_NE(readme.find("--browser-policy install"), std::string::npos) << readme;
    EXPECT_NE(access((root + "/etc/chromium").c_str(), F_OK), 0);
    EXPECT_NE(access((root + "/etc/opt").c_str(), F_OK), 0);
    const CommandRun description = runCommand("dpkg-deb", {"--field", package, "Description"});
    EXPECT_NE(description.output.find("README.Debian"), std::string::npos) << description.output;

    const CommandRun version = runCommand(home + "/bin/lenvaro-server", {"--version"});
    EXPECT_EQ(version.status, 0) << version.errors;
}

}  // namespace
}  // namespace lenvaro::testing
