// The card readers end to end: the real executable on the built-in library's simulated
// readers, with a card configuration of the test's own, spoken to over a WebSocket.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "common/base64.h"
#include "server_process.h"
#include "ws_test_client.h"

namespace lenvaro::testing {
namespace {

// The built-in library reads `cardsSection` as the "cards" section of its configuration, with
// the computer's smart card readers left out: these tests read the simulated cards only.
class CardServer {
  public:
    explicit CardServer(const std::string& cardsSection) {
        const std::string path = server_.root().file("simulator.json");
        const size_t open = cardsSection.find('{') + 1;
        const bool empty = cardsSection.find_first_not_of(" \n", open) == cardsSection.rfind('}');
        std::ofstream(path) << "{\"cards\": {\"pcsc\": false" << (empty ? "" : ", ")
                            << cardsSection.substr(open) << "}";
        server_.setEnvironment("PICTAVO_CONFIG", path);
        port_ = server_.start();
        if (port_ != 0) connected_ = page_.connect(port_);
    }

    bool ready() const { return connected_; }
    ServerProcess& server() { return server_; }

    std::optional<std::string> send(const std::string& request) { return page_.roundTrip(request); }

    // The result of a quoted reply to `name`; "<no reply>" or "<not a reply to name>" otherwise.
    std::string result(const std::string& name, const std::string& argument = "{}") {
        const std::optional<std::string> reply =
            send("{\"FuncName\":\"" + name + "\",\"argument\":" + argument + "}");
        if (!reply) return "<no reply>";
        const std::string head = "{\"FuncName\":\"" + name + "\",\"result\":\"";
        if (reply->rfind(head, 0) != 0 || reply->size() < head.size() + 2 ||
            reply->compare(reply->size() - 2, 2, "\"}") != 0) {
            return "<not a reply to " + name + ": " + *reply + ">";
        }
        return reply->substr(head.size(), reply->size() - head.size() - 2);
    }

  private:
    ServerProcess server_;
    WsTestClient page_;
    uint16_t port_ = 0;
    bool connected_ = false;
};

std::vector<std::string> splitAt(const std::string& text, char separator) {
    std::vector<std::string> items;
    size_t start = 0;
    for (size_t at; (at = text.find(separator, start)) != std::string::npos; start = at + 1) {
        items.push_back(text.substr(start, at - start));
    }
    items.push_back(text.substr(start));
    return items;
}

const char* const kFields[9] = {
    "王五",         "女",       "回",      "19851231", "上海市示例路2号", "310101198512310022",
    "上海市公安局", "20150601", "20350601"};

std::string configuredIdCard() {
    std::string fields;
    for (const char* field : kFields) {
        fields += std::string(fields.empty() ? "" : ", ") + "\"" + field + "\"";
    }
    return R"({"idCard": {"fields": [)" + fields + "]}}";
}

uint32_t le32(const std::string& bytes, size_t at) {
    return static_cast<uint8_t>(bytes[at]) | (static_cast<uint8_t>(bytes[at + 1]) << 8) |
           (static_cast<uint8_t>(bytes[at + 2]) << 16) |
           (static_cast<uint32_t>(static_cast<uint8_t>(bytes[at + 3])) << 24);
}

// A bitmap whose header agrees with its size; its width and height, or 0 x 0.
std::pair<uint32_t, uint32_t> bitmapSize(const std::string& bytes) {
    if (bytes.size() < 54 || bytes.compare(0, 2, "BM") != 0 || le32(bytes, 2) != bytes.size()) {
        return {0, 0};
    }
    return {le32(bytes, 18), le32(bytes, 22)};
}

// Every file under `dir` whose name is `name`, at any depth.
size_t filesNamed(const std::string& dir, const std::string& name) {
    size_t found = 0;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* entry = readdir(d)) {
            const std::string child = entry->d_name;
            if (child == "." || child == "..") continue;
            if (child == name) ++found;
            struct stat info {};
            const std::string path = dir + "/" + child;
            if (lstat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode))
                found += filesNamed(path, name);
        }
        closedir(d);
    }
    return found;
}

std::string decode(const std::string& base64) {
    size_t count = 0;
    return base64Decode(base64, base64.size(), count);
}

TEST(CardsEndToEnd, AnIdCardReadGivesTheConfiguredFieldsAndABitmapPhoto) {
    CardServer cards(configuredIdCard());
    ASSERT_TRUE(cards.ready()) << cards.server().standardError();

    const std::vector<std::string> items = splitAt(cards.result("idcardrfidReadIDCardEx"), '|');
    ASSERT_EQ(items.size(), 10u);
    for (size_t i = 0; i < 9; ++i) EXPECT_EQ(items[i], kFields[i]) << i;
    EXPECT_EQ(items[9].find_first_of("\r\n"), std::string::npos) << "the photo is one line";
    EXPECT_EQ(bitmapSize(decode(items[9])), std::make_pair(102u, 126u));
    EXPECT_EQ(filesNamed(cards.server().runtimeDir(), "idCard.bmp") +
                  filesNamed(cards.server().tmp(), "idCard.bmp"),
              0u)
        << "the temporary photo is gone";

    const std::vector<std::string> again = splitAt(cards.result("iReadIdentityCard"), '|');
    ASSERT_EQ(again.size(), 10u);
    EXPECT_EQ(again[9], items[9]) << "the same card, the same photo";
}

TEST(CardsEndToEnd, TheHolderPhotoGoesWhereThePageSays) {
    CardServer cards(configuredIdCard());
    ASSERT_TRUE(cards.ready());
    const std::string photo = cards.server().tmp() + "/head.bmp";
    const std::vector<std::string> items =
        splitAt(cards.result("idcardrfidReadIDCard", R"({"HeadPath":")" + photo + "\"}"), '|');
    ASSERT_EQ(items.size(), 9u);
    EXPECT_EQ(items[0], kFields[0]);
    EXPECT_EQ(bitmapSize(readWholeFile(photo)), std::make_pair(102u, 126u));

    // A photo that cannot be written costs the photo, not the card's fields.
    const std::string nowhere = cards.server().tmp() + "/missing/head.bmp";
    const std::string fields =
        cards.result("idcardrfidReadIDCard", R"({"HeadPath":")" + nowhere + R"("})");
    EXPECT_EQ(splitAt(fields, '|').at(5), kFields[5]) << fields;
}

TEST(CardsEndToEnd, CardFacesAndFingerprintTemplatesAreWrittenToTheGivenFiles) {
    CardServer cards("{}");
    ASSERT_TRUE(cards.ready());
    const std::string front = cards.server().tmp() + "/front.bmp";
    const std::string back = cards.server().tmp() + "/back.bmp";
    EXPECT_EQ(cards.result(
                  "idcardrfidGetIDCardImage",
                  R"({"pFileFront":")" + front + R"(","pFileBack":")" + back + R"(","nType":"1"})"),
              "0");
    EXPECT_EQ(bitmapSize(readWholeFile(front)), std::make_pair(856u, 540u));
    EXPECT_EQ(bitmapSize(readWholeFile(back)), std::make_pair(856u, 540u));
    EXPECT_EQ(cards.result("idcardrfidGetIDCardImage", R"({"pFileFront":"","pFileBack":""})"),
              "-2");

    const std::string finger = cards.server().tmp() + "/finger.dat";
    const std::optional<std::string> reply = cards.send(
        R"({"FuncName":"idcardrfidGetOneFingerprintMsg","argument":{"nIndex":1,"filePath":")" +
        finger + "\"}}");
    ASSERT_TRUE(reply.has_value());
    const std::vector<std::string> parts = splitAt(*reply, '$');
    // "$*$name$*$template$*$status" splits into "", "*", "name", "*", "template", "*", "status".
    ASSERT_EQ(parts.size(), 7u) << *reply;
    EXPECT_EQ(parts[2], "idcardrfidGetOneFingerprintMsg");
    EXPECT_EQ(parts[4].size(), 700u);
    EXPECT_EQ(parts[6], "0");
    const std::string written = readWholeFile(finger);
    EXPECT_EQ(written.size(), 512u);
    EXPECT_EQ(decode(parts[4]), written);
    EXPECT_EQ(written[0], 'C');
}

TEST(CardsEndToEnd, WithoutACardTheReadsAreEmpty) {
    CardServer cards(R"({"idCard": {"present": false}, "bankCard": {"present": false},
                         "socialCard": {"present": false}, "magCard": {"present": false}})");
    ASSERT_TRUE(cards.ready());
    EXPECT_EQ(cards.result("idcardrfidReadIDCard"), "||||||||");
    EXPECT_EQ(cards.result("idcardrfidReadIDCardEx"), "|||||||||");
    EXPECT_EQ(cards.result("ReadSBKCaard"), "|||||");
    EXPECT_EQ(cards.result("ReadBankCard"), "");
    EXPECT_EQ(cards.result("ReadMagneticCard"), "||");
    EXPECT_EQ(cards.send(R"({"FuncName":"idcardrfidGetOneFingerprintMsg"})"),
              "$*$idcardrfidGetOneFingerprintMsg$*$$*$-1");
}

TEST(CardsEndToEnd, OtherCardsGiveTheirSampleData) {
    CardServer cards("{}");
    ASSERT_TRUE(cards.ready());
    EXPECT_EQ(cards.result("ReadSBKCaard"), "张三|男|汉族|A01234567|110100|110101199003071233");
    EXPECT_EQ(cards.result("ReadBankCard"), "6200000000000000000");
    EXPECT_EQ(cards.result("iReadICCardNum"), "6200000000000000000");
    const std::vector<std::string> tracks = splitAt(cards.result("ReadMagneticCard"), '|');
    ASSERT_EQ(tracks.size(), 3u);
    EXPECT_EQ(tracks[1], "6200000000000000000=30122010000000000");
}

// ---- The IC card, whose PIN pad types what the test configured ----

// The holder types a wrong PIN three times, then the right one.
const char* const kCard = R"({"icCard": {"pinPad": ["000000", "000000", "000000", "123456"]}})";

TEST(IcCardEndToEnd, AWriteIsReadBack) {
    CardServer cards(kCard);
    ASSERT_TRUE(cards.ready()) << cards.server().standardError();
    const std::string basic = cards.result("iReadCardBas", R"({"iType":1})");
    ASSERT_EQ(basic.rfind("110100|110101199003071233|A01234567|", 0), 0u) << basic;
    const std::string card = R"("iType":1,"pCardInfo":")" + basic + "\"";
    EXPECT_EQ(
        cards.result("iWriteCard",
                     "{" + card + R"(,"pFileAddr":"EF06","pWriteData":"written by the page"})"),
        "OK|19");
    EXPECT_EQ(cards.result("iReadCard", "{" + card + R"(,"iAuthType":0,"pFileAddr":"EF06"})"),
              "OK|written by the page");
    EXPECT_EQ(cards.result("iReadCard", "{" + card + R"(,"pFileAddr":"EF99"})"), "ERR|NO_FILE");
}

TEST(IcCardEndToEnd, ThreeWrongPinsBlockThePinAndUnblockingRestoresIt) {
    CardServer cards(kCard);
    ASSERT_TRUE(cards.ready());
    EXPECT_EQ(cards.result("iVerifyPIN", R"({"iType":1})"), "ERR|PIN_WRONG|2");
    EXPECT_EQ(cards.result("iVerifyPIN", R"({"iType":1})"), "ERR|PIN_WRONG|1");
    EXPECT_EQ(cards.result("iVerifyPIN", R"({"iType":1})"), "ERR|PIN_BLOCKED");
    EXPECT_EQ(cards.result("iVerifyPIN", R"({"iType":1})"), "ERR|PIN_BLOCKED");
    EXPECT_EQ(cards.result("iUnblockPIN", R"({"iType":1,"pCardInfo":"A01234567"})"), "OK");
    EXPECT_EQ(cards.result("iVerifyPIN", R"({"iType":1})"), "OK");
}

TEST(IcCardEndToEnd, SteppedOperationsCarryTheirKeyThroughThePage) {
    CardServer cards("{}");
    ASSERT_TRUE(cards.ready());
    const std::string step1 = cards.result(
        "iDoDebit_HSM_Step1", R"({"iType":1,"pCardInfo":"A01234567","pPayInfo":"1250|Canteen"})");
    ASSERT_EQ(step1.size(), 19u) << step1;
    EXPECT_EQ(cards.result("iDoDebit_HSM_Step2", R"({"pKey":"0000000000000000"})"), "ERR|BAD_KEY");
    const std::string again = cards.result(
        "iDoDebit_HSM_Step1", R"({"iType":1,"pCardInfo":"A01234567","pPayInfo":"1250|Canteen"})");
    EXPECT_EQ(cards.result("iDoDebit_HSM_Step2", R"({"pKey":")" + again + "\"}"), "OK|1|1250|8750");
    EXPECT_EQ(cards.result("iReadDebitRecord", R"({"iType":1})"), "OK|8750|1|1,1250,8750,Canteen");

    const std::string unblock1 =
        cards.result("iUnblockPIN_HSM_Step1", R"({"iType":1,"pCardInfo":"A01234567"})");
    const std::string unblock2 =
        cards.result("iUnblockPIN_HSM_Step2", R"({"pKey":")" + unblock1 + "\"}");
    EXPECT_EQ(cards.result("iUnblockPIN_HSM_Step3", R"({"pKey":")" + unblock2 + "\"}"), "OK");
}

}  // namespace
}  // namespace lenvaro::testing
